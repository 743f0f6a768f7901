#pragma once

#include "core/report/shiftreport.h"

#include <QString>

namespace vell::cli::report {

/// The report as aligned text: the log's counts, a row per programmer, each followed by its
/// failures by code with their texts.
[[nodiscard]] QString reportTable(const vell::report::ShiftReport &report, const QString &log,
                                  const QString &since, const QString &until);

} // namespace vell::cli::report
