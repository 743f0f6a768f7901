#include "logging.h"

namespace vell::target {

// Off unless enabled with QT_LOGGING_RULES ("vell.target.debug=true").
Q_LOGGING_CATEGORY(lcTarget, "vell.target", QtWarningMsg)

} // namespace vell::target
