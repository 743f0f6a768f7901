#pragma once

#include "core/report/boardhistory.h"

#include <QJsonArray>
#include <QString>

namespace vell::cli::report {

/// A board's history as aligned text: a line naming the board, the log and how many records,
/// then a row per record (time, host, programmer, COM, step, try, result, image and its
/// SHA-256); or the line saying there is none.
[[nodiscard]] QString historyTable(const vell::report::BoardHistory &history, const QString &serial,
                                   const QString &log);
/// The same records as one JSON array, each as the log holds it.
[[nodiscard]] QJsonArray historyJson(const vell::report::BoardHistory &history);

} // namespace vell::cli::report
