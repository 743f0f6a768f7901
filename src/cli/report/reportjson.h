#pragma once

#include "core/report/shiftreport.h"

#include <QJsonObject>
#include <QString>

namespace vell::cli::report {

/// The report as one JSON object, with the same figures as the table (durations in ms, times
/// in ISO 8601 UTC, yield 0..1 or null without a try).
[[nodiscard]] QJsonObject reportJson(const vell::report::ShiftReport &report, const QString &log,
                                     const QString &since, const QString &until);

} // namespace vell::cli::report
