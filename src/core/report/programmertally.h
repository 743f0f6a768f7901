#pragma once

#include "durationstats.h"

#include "record/attemptrecord.h"
#include "record/tally.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace vell::report {

/// One programmer's figures over the log: a programmer is its COM number, USB location and
/// USB serial number together, as the record names them (and, over a line's records, its
/// host).
class ProgrammerTally
{
public:
    /// Failures with the same code (or, without a code, the same result) together.
    struct Failure
    {
        std::optional<int> code;
        QString result; ///< the result of the first record of this group
        qint64 count = 0;
        QStringList texts;    ///< the distinct status texts, the first kMaxTexts of them
        qint64 moreTexts = 0; ///< records whose text was not among those
    };
    struct Step
    {
        QString name;
        qint64 tries = 0;
        qint64 ok = 0;
        DurationStats durations;
    };

    static constexpr int kMaxTexts = 3;
    /// Beyond these, further codes count as one group without a code, result "other"; a log
    /// of garbage cannot make the tally grow without bound.
    static constexpr int kMaxFailureGroups = 64;
    static constexpr int kMaxSteps = 8;

    ProgrammerTally(int com, QString location, QString usbSerial, QString host = {});

    void add(const record::AttemptRecord &record);
    // The line database's report counts groups of records in the server and brings them here
    // in the order each group was first met, so both reports count by this one code.
    /// count records alike in all this tally reads of them but their times, durations and
    /// runs: record.timeMs is the first of their times, lastMs the last.
    void addAlike(const record::AttemptRecord &record, qint64 count, std::optional<qint64> lastMs);
    /// count durations of ms of step (met in addAlike before).
    void addDurations(const QString &step, qint64 ms, qint64 count);
    /// Runs counted apart (the changes of run in the records' order).
    void addRuns(qint64 runs) { m_runs += runs; }

    [[nodiscard]] QString host() const { return m_host; }
    [[nodiscard]] int com() const { return m_com; }
    [[nodiscard]] const QString &location() const { return m_location; }
    [[nodiscard]] const QString &usbSerial() const { return m_usbSerial; }
    /// Records of a step that ran (a skipped one is not a try).
    [[nodiscard]] qint64 tries() const { return m_tries; }
    [[nodiscard]] qint64 ok() const { return m_ok; }
    [[nodiscard]] qint64 failed() const { return m_tries - m_ok; }
    [[nodiscard]] qint64 skipped() const { return m_skipped; }
    /// Tries after the first of a step (records with `try` above 1).
    [[nodiscard]] qint64 retries() const { return m_retries; }
    /// Runs of the tool that used this programmer (from `run_id` or `pid`; 0 without them).
    [[nodiscard]] qint64 runs() const { return m_runs; }
    [[nodiscard]] qint64 pinned() const { return m_pinned; }
    /// Distinct board serials among its program-target records (the report counts them).
    [[nodiscard]] qint64 distinctBoards() const { return m_distinctBoards; }
    void addDistinctBoard() { ++m_distinctBoards; }
    void addDistinctBoards(qint64 count) { m_distinctBoards += count; }
    /// Its boards and loads, by the tallies' one rule.
    [[nodiscard]] const record::Tally &tally() const { return m_tally; }
    /// The boards' yield, 0..1: a skipped board is a failed board; nothing before a board.
    [[nodiscard]] std::optional<double> yield() const { return m_tally.yield(); }
    /// Most frequent first.
    [[nodiscard]] std::vector<Failure> failures() const;
    /// load and program-target first, then others in the order met.
    [[nodiscard]] const std::vector<Step> &steps() const { return m_steps; }
    [[nodiscard]] std::optional<qint64> first() const { return m_first; }
    [[nodiscard]] std::optional<qint64> last() const { return m_last; }

private:
    Step *stepNamed(const QString &name);
    void addFailure(const record::AttemptRecord &record, qint64 count);

    QString m_host;
    int m_com;
    QString m_location;
    QString m_usbSerial;
    qint64 m_tries = 0;
    qint64 m_ok = 0;
    qint64 m_skipped = 0;
    qint64 m_retries = 0;
    qint64 m_runs = 0;
    qint64 m_pinned = 0;
    qint64 m_distinctBoards = 0;
    record::Tally m_tally;
    QString m_lastRun;
    std::vector<Failure> m_failures;
    std::vector<Step> m_steps;
    std::optional<qint64> m_first;
    std::optional<qint64> m_last;
};

} // namespace vell::report
