#include "logging.h"

namespace vell::cli {

// Off unless enabled with QT_LOGGING_RULES ("vell.cli.debug=true").
Q_LOGGING_CATEGORY(lcCli, "vell.cli", QtWarningMsg)

} // namespace vell::cli
