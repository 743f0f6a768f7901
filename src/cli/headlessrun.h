#pragma once

#include "headless.h"

#include "app/attempt.h"

#include "link/portnames.h"
#include "link/programmerstate.h"
#include "link/seriallink.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

namespace vell::app {
class Station;
}

namespace vell::cli {

class ConsoleReport;

/// One headless run: the search, then the load and/or the program-target command on the same
/// Station the windows use, waiting until every programmer's step has ended. It decides
/// nothing of a step itself: the Station's attempts say how each one ended. Ends with
/// finished(exit code).
class HeadlessRun : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Searching,
        Loading,   ///< the load and the programmers' verdicts on it
        Targeting, ///< the "T" frame and the verdicts on it
        Done,
    };

    HeadlessRun(const Options &options, link::LinkFactory factory, ConsoleReport &report,
                QObject *parent = nullptr);
    ~HeadlessRun() override;

    /// Checks the command line and opens the attempt log, then starts the search.
    void start();
    /// Ends a run that has not finished (the process is told to end): every step still
    /// under way is recorded as without a result, and the run is summed up with exitCode.
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
    using StepAttempts = std::array<std::optional<app::Attempt>, link::kProgrammerCount>;

    void setState(State state);
    void onSearchFinished(bool anyFound);
    void startLoad();
    void startTarget();
    /// Repeats the current step on the programmers whose step failed, while retries are left;
    /// false when there is nothing left to repeat.
    bool retry(Step step);
    void onAttemptEnded(const app::Attempt &attempt);
    void onTimeout();
    /// Moves on once every programmer in use has ended the current step.
    void checkStep();
    void finish(int exitCode);
    [[nodiscard]] bool succeeded(Step step, int n) const;
    [[nodiscard]] bool stepFailed(Step step) const;
    /// Why programmer n's step did not succeed, for the summary.
    [[nodiscard]] QString failure(Step step, int n) const;
    [[nodiscard]] QString summary() const;
    /// The programmers that needed more than one try, for the summary.
    [[nodiscard]] QStringList retried() const;
    [[nodiscard]] QJsonObject summaryJson(int exitCode) const;
    /// The image line and the tallies the summary ends with.
    [[nodiscard]] QString imageAndTallies() const;

    const Options m_options;
    link::LinkFactory m_factory;
    ConsoleReport &m_report;
    QString m_path;
    std::unique_ptr<app::Station> m_station;
    QTimer m_timeout;

    State m_state = State::Idle;
    std::array<StepAttempts, StepCount> m_attempts{};
    std::array<bool, StepCount> m_asked{};
    /// The programmers whose attempt at the current step is still to come.
    std::array<link::ProgrammerSet, StepCount> m_waiting{};
    std::array<int, StepCount> m_retriesLeft{};
    bool m_retrying = false;
    bool m_loadRefused = false;
    bool m_targetNotRun = false;
    int m_exitCode = kExitSuccess;
};

} // namespace vell::cli
