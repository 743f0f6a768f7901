#include "logging.h"

namespace vell::link {

// Both are off unless enabled with QT_LOGGING_RULES ("vell.link.debug=true").
Q_LOGGING_CATEGORY(lcLink, "vell.link", QtWarningMsg)
Q_LOGGING_CATEGORY(lcWire, "vell.wire", QtWarningMsg)

} // namespace vell::link
