#pragma once

#include "core/report/shiftreport.h"

#include <QString>

namespace vell::cli::report {

/// The report as aligned text: the log's counts, a row per programmer, each followed by its
/// failures by code with their texts. A line's report (byHost) is headed by its database and
/// gives each programmer's host first.
[[nodiscard]] QString reportTable(const vell::report::ShiftReport &report, const QString &source,
                                  const QString &since, const QString &until, bool byHost = false);

} // namespace vell::cli::report
