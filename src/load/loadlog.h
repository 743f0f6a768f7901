#pragma once

#include "logging.h" // the old name, until its last user includes logging.h
