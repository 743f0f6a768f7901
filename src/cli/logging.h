#pragma once

#include <QLoggingCategory>

namespace vell::cli {

/// The headless run's states.
Q_DECLARE_LOGGING_CATEGORY(lcCli)

} // namespace vell::cli
