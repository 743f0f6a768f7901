#include "sim/simlog.h"

namespace vell::sim {
Q_LOGGING_CATEGORY(lcSim, "vell.sim", QtWarningMsg)
} // namespace vell::sim
