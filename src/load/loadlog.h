#pragma once

#include <QLoggingCategory>

// The load's diagnostics: phases, drop-outs, refusals. Off by default.
Q_DECLARE_LOGGING_CATEGORY(lcLoad)
