#pragma once

#include "attemptrecord.h"

#include <QString>

#include <optional>

namespace vell::record {

/// One programmer's boards and loads, counted by the one rule both the window's tallies and
/// the shift report use: a board is a program-target result, and a skipped board is a failed
/// board (it left the bench unprogrammed); loads are counted apart. The yield is the boards'.
struct Tally
{
    qint64 boardsOk = 0;
    qint64 boardsFailed = 0;
    qint64 loadsOk = 0;
    qint64 loadsFailed = 0;

    /// Counts count records of step (kStepLoad, kStepProgramTarget) and result name; other
    /// steps count nowhere.
    void add(const QString &step, const QString &result, qint64 count = 1);
    [[nodiscard]] qint64 boards() const { return boardsOk + boardsFailed; }
    [[nodiscard]] qint64 loads() const { return loadsOk + loadsFailed; }
    /// boardsOk / boards, 0..1; nothing before the first board.
    [[nodiscard]] std::optional<double> yield() const;
    /// The yield in whole percent, rounded.
    [[nodiscard]] std::optional<int> yieldPercent() const;
};

} // namespace vell::record
