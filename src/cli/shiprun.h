#pragma once

#include "linedb/databaseurl.h"

#include <QString>

namespace vell::cli {

/// --ship [LOG]: sends the records of the attempt log (the default one for an empty path) that
/// the line database does not hold yet, in the existing QCoreApplication's event loop. Exit 0
/// when the database holds them all, 1 at the first failure (said on stderr, the records
/// waiting in the log), 2 when the log cannot be read.
[[nodiscard]] int runShip(const QString &log, const linedb::DatabaseUrl &database);

} // namespace vell::cli
