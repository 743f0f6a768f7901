#pragma once

#include <QLoggingCategory>

namespace vell::sim {
Q_DECLARE_LOGGING_CATEGORY(lcSim)
} // namespace vell::sim
