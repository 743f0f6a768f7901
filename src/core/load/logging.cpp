#include "logging.h"

namespace vell::load {

// Off unless enabled with QT_LOGGING_RULES ("vell.load.debug=true").
Q_LOGGING_CATEGORY(lcLoad, "vell.load", QtWarningMsg)

} // namespace vell::load
