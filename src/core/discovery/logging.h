#pragma once

#include <QLoggingCategory>

namespace vell::discovery {

/// The search: ports opened and what each sent.
Q_DECLARE_LOGGING_CATEGORY(lcDiscovery)

} // namespace vell::discovery
