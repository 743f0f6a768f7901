#pragma once

#include <QLoggingCategory>

namespace vell::sim {

/// The simulated programmers: opens, frames received, replies sent.
Q_DECLARE_LOGGING_CATEGORY(lcSim)

} // namespace vell::sim
