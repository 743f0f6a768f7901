#include "logging.h"

namespace vell::model {

// Off unless enabled with QT_LOGGING_RULES ("vell.model.debug=true").
Q_LOGGING_CATEGORY(lcModel, "vell.model", QtWarningMsg)

} // namespace vell::model
