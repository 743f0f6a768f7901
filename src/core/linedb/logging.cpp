#include "logging.h"

namespace vell::linedb {

// Off unless enabled with QT_LOGGING_RULES ("vell.linedb.debug=true"); warnings always show.
Q_LOGGING_CATEGORY(lcLine, "vell.linedb", QtWarningMsg)

} // namespace vell::linedb
