#pragma once

#include <QLoggingCategory>

namespace vell::app {

/// The application shell: settings, watchdog, start-up and shut-down.
Q_DECLARE_LOGGING_CATEGORY(lcApp)

} // namespace vell::app
