#include "loadlog.h"

Q_LOGGING_CATEGORY(lcLoad, "vell.load", QtWarningMsg)
