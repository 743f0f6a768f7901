#pragma once

#include "core/report/shiftreport.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace vell::cli::report {

/// Each row as one line, every column as wide as its widest cell, those marked right-aligned
/// (numbers) to the right.
[[nodiscard]] QStringList alignColumns(const QList<QStringList> &rows, const QList<bool> &right);

/// The report as aligned text: the log's counts, a row per programmer, each followed by its
/// failures by code with their texts.
[[nodiscard]] QString reportTable(const vell::report::ShiftReport &report, const QString &log,
                                  const QString &since, const QString &until);

} // namespace vell::cli::report
