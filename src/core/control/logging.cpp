#include "logging.h"

namespace vell::control {

// Off unless enabled with QT_LOGGING_RULES ("vell.control.debug=true"); warnings always show.
Q_LOGGING_CATEGORY(lcControl, "vell.control", QtWarningMsg)

} // namespace vell::control
