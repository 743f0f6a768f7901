#pragma once

#include "core/report/shiftreport.h"

#include <QJsonObject>
#include <QString>

namespace vell::cli::report {

/// The report as one JSON object, with the same figures as the table (durations in ms, times
/// in ISO 8601 UTC, yield 0..1 or null without a try). A line's report (line) names its
/// source `database` instead of `log`, has no unreadable lines, and gives each programmer its
/// host.
[[nodiscard]] QJsonObject reportJson(const vell::report::ShiftReport &report, const QString &source,
                                     const QString &since, const QString &until, bool line = false);

} // namespace vell::cli::report
