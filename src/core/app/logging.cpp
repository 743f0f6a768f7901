#include "logging.h"

namespace vell::app {

// Off unless enabled with QT_LOGGING_RULES ("vell.app.debug=true"); warnings always show.
Q_LOGGING_CATEGORY(lcApp, "vell.app", QtWarningMsg)

} // namespace vell::app
