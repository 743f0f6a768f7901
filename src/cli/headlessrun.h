#pragma once

#include "headless.h"

#include "app/attemptlog.h"

#include "link/portnames.h"
#include "link/programmerslot.h"
#include "link/seriallink.h"
#include "load/filetransfer.h"

#include <QFileInfo>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>

namespace vell::app {
class Station;
struct Attempt;
} // namespace vell::app
namespace vell::discovery {
class ProgrammerSearch;
}

namespace vell::cli {

class ConsoleReport;

/// One headless run: the search, then the load and/or the program-target command on the same
/// Station the windows use, waiting for every programmer's result of each step. Ends with
/// finished(exit code).
class HeadlessRun : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Searching,
        Loading,        ///< the load runs (handshake and stream)
        AwaitingLoad,   ///< the stream is out; waiting for "ALPOK"/"ALPER"
        AwaitingTarget, ///< the "T" frame is out; waiting for "APTOK"/"APTER"
        Done,
    };

    /// One programmer's result of one step.
    enum class Outcome
    {
        Pending,
        Succeeded,
        Failed,
        NotRun,
    };

    HeadlessRun(const Options &options, link::LinkFactory factory, ConsoleReport &report,
                QObject *parent = nullptr);
    ~HeadlessRun() override;

    /// Checks the command line and opens the attempt log, then starts the search.
    void start();
    /// Ends a run that has not finished (the process is told to end): every step still
    /// waiting is recorded as without a result, and the run is summed up with exitCode.
    void stop(int exitCode);

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] int exitCode() const { return m_exitCode; }
    /// The Station of the run (null before the command line was accepted).
    [[nodiscard]] app::Station *station() const { return m_station.get(); }

Q_SIGNALS:
    void finished(int exitCode);

private:
    enum Step
    {
        Load,
        Target,
        StepCount,
    };
    struct Result
    {
        Outcome outcome = Outcome::Pending;
        QString detail;
    };
    using StepResults = std::array<Result, link::kProgrammerCount>;

    void setState(State state);
    void onSearchFinished(bool anyFound);
    void startLoad();
    void startTarget();
    void onLoadFinished(load::FileTransfer::Outcome outcome);
    void onDroppedOut(int n);
    void onReplyHandled(int n);
    void onDeviceLost(int n);
    void onAttemptEnded(const app::Attempt &attempt);
    /// Programmer n failed the current step (first verdict only).
    void fail(int n, const QString &detail);
    void onTimeout();
    /// Moves on once every programmer in use has a result for the current step.
    void checkStep();
    void failPending(Step step, const QString &detail);
    void finish(int exitCode);
    [[nodiscard]] bool stepFailed(Step step) const;
    [[nodiscard]] QString summary() const;
    [[nodiscard]] QJsonObject summaryJson(int exitCode) const;
    /// The image line and the tallies the summary ends with.
    [[nodiscard]] QString imageAndTallies() const;

    const Options m_options;
    link::LinkFactory m_factory;
    ConsoleReport &m_report;
    QFileInfo m_file;
    std::unique_ptr<app::Station> m_station;
    std::unique_ptr<discovery::ProgrammerSearch> m_search;
    QTimer m_timeout;
    app::AttemptLog m_log;
    bool m_logFailed = false;

    State m_state = State::Idle;
    std::array<StepResults, StepCount> m_results{};
    std::array<bool, StepCount> m_asked{};
    int m_exitCode = kExitSuccess;
};

} // namespace vell::cli
