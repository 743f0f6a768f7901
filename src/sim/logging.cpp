#include "logging.h"

namespace vell::sim {

// Off unless enabled with QT_LOGGING_RULES ("vell.sim.debug=true").
Q_LOGGING_CATEGORY(lcSim, "vell.sim", QtWarningMsg)

} // namespace vell::sim
