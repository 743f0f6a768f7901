#pragma once

#include <QLoggingCategory>

namespace vell::control {

/// The control socket: connections, requests, the steps they run.
Q_DECLARE_LOGGING_CATEGORY(lcControl)

} // namespace vell::control
