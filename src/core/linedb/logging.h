#pragma once

#include <QLoggingCategory>

namespace vell::linedb {

/// The line database: connections, shipping, the line's report.
Q_DECLARE_LOGGING_CATEGORY(lcLine)

} // namespace vell::linedb
