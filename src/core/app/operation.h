#pragma once

#include "link/links.h"
#include "link/portnames.h"
#include "model/operatorinterface.h"
#include "model/programmers.h"

#include <QJsonValue>
#include <QObject>

#include <functional>
#include <optional>

namespace vell::app {

class Operation;

/// Where an operation's steps begin: the station, which ends the step still under way on that
/// programmer first (superseded by the new one) and keeps which operation holds each
/// programmer's step.
class StepLedger
{
public:
    virtual ~StepLedger() = default;
    virtual void beginStep(Operation &operation, model::ProgrammerNumber n) = 0;
};

/// What comes with a command besides its programmers.
struct Request
{
    /// The control socket's request that asks for it (any JSON value); none from elsewhere.
    std::optional<QJsonValue> id;
    /// A program-target's board serials, per programmer (empty: none given). The Station adds
    /// the serials held by the other programmers in use, so a serial held twice is seen.
    model::PerProgrammer<QString> boards;
};

/// What an operation works with.
struct OperationContext
{
    model::Programmers &programmers;
    link::Links &links;
    const link::PortNames &names;
    model::Operator &op;
    StepLedger &ledger;
};

/// How an operation ended, per programmer and as a whole: the one value that records, tallies,
/// events, summaries and exit codes are made from.
struct OperationResult
{
    model::Step step = model::Step::None;
    /// The programmers it was for.
    model::ProgrammerSet programmers;
    /// Each one's ended step.
    model::PerProgrammer<std::optional<model::StepRecord>> steps;
    /// A load whose file was refused: nothing was touched.
    bool refused = false;

    /// Those whose step ended OK.
    [[nodiscard]] model::ProgrammerSet succeeded() const;
    [[nodiscard]] model::ProgrammerSet failed() const { return programmers - succeeded(); }
};

/// One step, a load or a program-target, over a set of programmers: it owns their steps with
/// their try numbers, its timers, and its result. Each programmer's step ends once, with the
/// status text its pane shows then; when every step has ended and the operation holds the
/// station no longer, it is finished. A repeat is a new operation over the programmers to
/// repeat, with their next try numbers.
class Operation : public QObject
{
    Q_OBJECT
public:
    ~Operation() override;

    [[nodiscard]] model::Step kind() const { return m_result.step; }
    [[nodiscard]] model::ProgrammerSet programmers() const { return m_result.programmers; }
    [[nodiscard]] const OperationResult &result() const { return m_result; }
    [[nodiscard]] const Request &request() const { return m_request; }

    /// Runs the command part: the frames, and for a load the stream.
    void start();
    /// True while it holds the station (a load runs, or the operator's OK is awaited): a
    /// second command is ignored meanwhile.
    [[nodiscard]] virtual bool isBusy() const { return m_awaitingOk; }
    /// Programmer n's step, while it is under way in this operation.
    [[nodiscard]] const model::StepRecord *stepUnderWay(model::ProgrammerNumber n) const;
    [[nodiscard]] bool hasFinished() const { return m_finished; }

    /// Ends programmer n's step, if it is under way in this operation: the ending, the code,
    /// the end time and the text its pane shows now.
    void endStep(model::ProgrammerNumber n, model::Ending ending,
                 std::optional<int> code = std::nullopt);
    /// endStep for each of its programmers whose step is under way.
    void endSteps(model::Ending ending);
    /// A programmer's verdict: it ends programmer n's step if that is of this kind (a late
    /// "ALPOK" is no program-target's result).
    void onVerdict(model::ProgrammerNumber n, model::Step step, std::optional<int> code);
    /// Programmer n's device went away.
    virtual void onDeviceLost(model::ProgrammerNumber n) { Q_UNUSED(n); }
    /// Programmer n's "ALPOK": the file a load holds open is no longer needed.
    virtual void onFileLoaded(model::ProgrammerNumber n) { Q_UNUSED(n); }

Q_SIGNALS:
    /// Programmer n's step ended; result().steps[n] holds it.
    void stepEnded(vell::model::ProgrammerNumber n);
    void busyChanged(bool busy);
    /// Every step has ended, and the station is free.
    void finished();

protected:
    /// tries: each programmer's try number.
    Operation(model::Step kind, model::ProgrammerSet programmers, model::PerProgrammer<int> tries,
              const OperationContext &context, Request request = {}, QObject *parent = nullptr);
    virtual void run() = 0;

    /// Programmer n's step begins: record gives what it is about (its image and options).
    void beginStep(model::ProgrammerNumber n, model::StepRecord record);
    /// Makes sure the link of each target is open: shows the operation's opening status in its
    /// pane and opens the port when it is not open yet. A link that cannot be opened ends that
    /// programmer's step at once (lost); send then gets the others, whose frames go out, and
    /// only then is the operator shown the message for each programmer whose port number
    /// stands for no device. The operation holds the station until every message is
    /// acknowledged.
    void openLinks(model::ProgrammerSet targets,
                   const std::function<void(model::ProgrammerSet)> &send);
    /// The first frame of these programmers' steps went out: each step counts from it.
    void framesSent(model::ProgrammerSet to);
    /// The programmers whose replies and bars the command resets: all four, absent ones
    /// included, for the command of every programmer in use; else only its own.
    [[nodiscard]] model::ProgrammerSet reset() const;
    /// The operation was refused before it touched anything.
    void refuse();
    /// Finishes the operation when nothing of it is left under way.
    void checkFinished();

    OperationContext m_context;

private:
    /// Opens programmer n's link (AlreadyOpen when it is).
    link::SerialLink::OpenResult openLink(model::ProgrammerNumber n);
    void setAwaitingOk(bool awaiting);

    OperationResult m_result;
    Request m_request;
    model::PerProgrammer<int> m_tries;
    model::PerProgrammer<std::optional<model::StepRecord>> m_underWay;
    bool m_started = false;
    bool m_finished = false;
    bool m_awaitingOk = false;
    /// Messages shown and not yet acknowledged.
    int m_unacknowledged = 0;
    /// The programmers whose first frame went out.
    model::ProgrammerSet m_framed;
};

} // namespace vell::app
