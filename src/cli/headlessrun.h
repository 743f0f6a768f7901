#pragma once

#include "app/runresult.h"
#include "headless.h"

#include "link/seriallink.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

namespace vell::app {
class Station;
struct Attempt;
struct OperationResult;
} // namespace vell::app

namespace vell::linedb {
class Shipper;
}

namespace vell::cli {

class ConsoleReport;

/// One headless run: the search, then its steps as operations on the same Station the windows
/// use (the load and its repeats, then program-target and its repeats), each waited for until
/// it has finished. It decides nothing of a step itself: the operations' results say how each
/// one ended, and the run keeps them in one RunResult. Ends with finished(exit code).
class HeadlessRun : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Searching,
        Loading,   ///< the load, its repeats and the programmers' verdicts on them
        Targeting, ///< the "T" frame, its repeats and the verdicts on them
        Serving,   ///< --serve: the programmers are held for the control socket's commands
        Done,
    };

    HeadlessRun(const Options &options, link::LinkFactory factory, ConsoleReport &report,
                QObject *parent = nullptr);
    ~HeadlessRun() override;

    /// What is wrong with the command line or its program file, before any port is touched;
    /// empty when nothing is.
    [[nodiscard]] static QString usageProblem(const Options &options);

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
    /// --serve: the search found programmers, and the run holds them.
    void serving();
    void finished(int exitCode);

private:
    /// The Station of the run, with its log open: null, after saying why, when a named log
    /// cannot be opened.
    [[nodiscard]] std::unique_ptr<app::Station> makeStation();
    void setState(State state);
    void onSearchFinished(bool anyFound);
    void startLoad();
    void startTarget();
    /// The programmer found on COM com, if any.
    [[nodiscard]] std::optional<model::ProgrammerNumber> programmerOn(int com) const;
    void onAttemptEnded(const app::Attempt &attempt);
    void onOperationFinished(const app::OperationResult &result);
    /// Repeats the step on the programmers whose step failed, while repeats are left; false
    /// when there is nothing left to repeat.
    bool retry(model::Step step);
    void finish(int exitCode);
    /// The closing summary, once the run's records were sent or the wait for them ended.
    void summarise();

    /// How long the end of a run waits for its records to reach the line database.
    static constexpr int kShipWaitSeconds = 10;

    const Options m_options;
    link::LinkFactory m_factory;
    ConsoleReport &m_report;
    QString m_path;
    std::unique_ptr<app::Station> m_station;
    std::unique_ptr<linedb::Shipper> m_shipper;
    QTimer m_timeout;
    QTimer m_shipWait;
    bool m_ran = false;
    bool m_summarised = false;

    State m_state = State::Idle;
    app::RunResult m_result;
    int m_loadRetries = 0;
    int m_targetRetries = 0;
    int m_exitCode = kExitSuccess;
};

} // namespace vell::cli
