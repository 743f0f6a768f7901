#include "logging.h"

namespace vell::discovery {

// Off unless enabled with QT_LOGGING_RULES ("vell.discovery.debug=true").
Q_LOGGING_CATEGORY(lcDiscovery, "vell.discovery", QtWarningMsg)

} // namespace vell::discovery
