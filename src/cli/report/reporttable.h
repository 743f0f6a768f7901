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
/// failures by code with their texts. A line's report (byHost) is headed by its database and
/// gives each programmer's host first.
[[nodiscard]] QString reportTable(const vell::report::ShiftReport &report, const QString &source,
                                  const QString &since, const QString &until, bool byHost = false);

} // namespace vell::cli::report
