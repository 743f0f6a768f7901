#include "operation.h"

#include "logging.h"

#include "model/pane.h"
#include "model/programmertraits.h"

#include <QPointer>

#include <utility>

namespace vell::app {

using model::ProgrammerNumber;
using model::ProgrammerSet;

model::ProgrammerSet OperationResult::succeeded() const
{
    ProgrammerSet ok;
    for (const ProgrammerNumber n : programmers) {
        if (steps[n] && steps[n]->succeeded())
            ok.insert(n);
    }
    return ok;
}

Operation::Operation(model::Step kind, ProgrammerSet programmers, model::PerProgrammer<int> tries,
                     const OperationContext &context, Request request, QObject *parent)
    : QObject(parent), m_context(context), m_request(std::move(request)), m_tries(tries)
{
    m_result.step = kind;
    m_result.programmers = programmers;
}

Operation::~Operation() = default;

void Operation::start()
{
    Q_ASSERT(!m_started);
    m_started = true;
    run();
    checkFinished();
}

const model::StepRecord *Operation::stepUnderWay(ProgrammerNumber n) const
{
    return m_underWay[n] ? &*m_underWay[n] : nullptr;
}

void Operation::beginStep(ProgrammerNumber n, model::StepRecord record)
{
    // The step still under way on this programmer ends first, and its record comes first.
    m_context.ledger.beginStep(*this, n);
    record.step = kind();
    record.tryNumber = m_tries[n];
    record.started = QDateTime::currentDateTimeUtc();
    record.expected = m_context.programmers.approvedImage();
    record.requestId = m_request.id;
    m_underWay[n] = std::move(record);
}

void Operation::endStep(ProgrammerNumber n, model::Ending ending, std::optional<int> code)
{
    if (!m_underWay[n])
        return;
    model::StepRecord ended = *std::exchange(m_underWay[n], std::nullopt);
    ended.ending = ending;
    ended.code = code;
    ended.ended = QDateTime::currentDateTimeUtc();
    ended.text = model::Pane::statusText(n, m_context.programmers.state(n));
    if (ending == model::Ending::Skipped) {
        ended.image.reset(); // nothing was programmed
        ended.reprogrammed = false;
    }
    m_result.steps[n] = std::move(ended);
    Q_EMIT stepEnded(n);
    checkFinished();
}

void Operation::endSteps(model::Ending ending)
{
    for (const ProgrammerNumber n : programmers())
        endStep(n, ending);
}

void Operation::onVerdict(ProgrammerNumber n, model::Step step, std::optional<int> code)
{
    if (step == kind())
        endStep(n, code ? model::Ending::Error : model::Ending::Ok, code);
}

void Operation::openLinks(ProgrammerSet targets, const std::function<void(ProgrammerSet)> &send)
{
    ProgrammerSet unopenable; // no device stands for the port number: the operator is told
    ProgrammerSet closed;     // a port that would not open for another cause (in use, refused)
    for (const ProgrammerNumber n : targets) {
        const link::SerialLink::OpenResult result = openLink(n);
        if (result == link::SerialLink::OpenResult::InvalidPort)
            unopenable.insert(n);
        else if (result == link::SerialLink::OpenResult::Failed)
            closed.insert(n);
    }
    // Their steps cannot go on, and no one waits for them; the others' frames go out before
    // the operator reads why, so a message never holds the other boards and no step counts
    // the reading time.
    for (const ProgrammerNumber n : unopenable | closed) {
        m_context.programmers.setStatus(n, model::Status::Lost);
        endStep(n, unopenable.contains(n) ? model::Ending::Unopenable : model::Ending::Lost);
    }
    send(targets - unopenable - closed);
    m_unacknowledged += unopenable.count();
    setAwaitingOk(m_unacknowledged > 0);
    for (const ProgrammerNumber n : unopenable) {
        const model::ProgrammerTraits &traits = model::traitsOf(n);
        const auto &[prompt, title] = kind() == model::Step::ProgramTarget
                                          ? traits.invalidPortOnTarget
                                          : traits.invalidPortOnLoad;
        m_context.op.message(prompt, title, [self = QPointer<Operation>(this)] {
            if (!self || --self->m_unacknowledged > 0)
                return;
            self->setAwaitingOk(false);
            self->checkFinished();
        });
    }
}

void Operation::framesSent(ProgrammerSet to)
{
    for (const ProgrammerNumber n : to - m_framed) {
        m_framed.insert(n);
        if (m_underWay[n])
            m_underWay[n]->started = QDateTime::currentDateTimeUtc();
    }
}

link::SerialLink::OpenResult Operation::openLink(ProgrammerNumber n)
{
    m_context.programmers.setStatus(n, kind() == model::Step::ProgramTarget
                                           ? model::Status::ProgrammingTargetBoard
                                           : model::Status::Establishing);
    const int comPort = m_context.programmers.state(n).comPort;
    const auto result = m_context.links.open(n, m_context.names, comPort);
    // After a replug the same COM number may stand for another device.
    if (result == link::SerialLink::OpenResult::Opened)
        m_context.programmers.setPort(n, m_context.names.identityOf(comPort));
    return result;
}

void Operation::setAwaitingOk(bool awaiting)
{
    if (m_awaitingOk == awaiting)
        return;
    m_awaitingOk = awaiting;
    Q_EMIT busyChanged(isBusy());
}

model::ProgrammerSet Operation::reset() const
{
    return programmers() == m_context.programmers.inUse() ? ProgrammerSet::all() : programmers();
}

void Operation::refuse()
{
    m_result.refused = true;
}

void Operation::checkFinished()
{
    if (!m_started || m_finished || isBusy())
        return;
    for (const auto &step : m_underWay) {
        if (step)
            return;
    }
    m_finished = true;
    qCDebug(lcApp) << "operation finished";
    Q_EMIT finished();
}

} // namespace vell::app
