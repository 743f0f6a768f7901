#include "replyhandler.h"

#include "logging.h"
#include "programmertraits.h"

#include <algorithm>
#include <cmath>

namespace vell::link {

ReplyHandler::ReplyHandler(int n, Programmers &programmers, ReplyHooks &hooks, QObject *parent)
    : QObject(parent), m_n(n), m_programmers(programmers), m_hooks(hooks)
{
    Q_ASSERT(n >= 1 && n <= kProgrammerCount);
}

void ReplyHandler::attach(SerialLink *link)
{
    if (m_link == link)
        return;
    if (m_link)
        disconnect(m_link, nullptr, this, nullptr);
    discardPending();
    m_link = link;
    if (!link)
        return;
    connect(link, &SerialLink::readyRead, this, &ReplyHandler::readLink);
    // Bytes from a device that went away must not join those of the next one.
    connect(link, &SerialLink::deviceLost, this, &ReplyHandler::discardPending);
    if (link->bytesAvailable() > 0)
        readLink();
}

void ReplyHandler::readLink()
{
    if (m_link)
        feed(m_link->readAll());
}

void ReplyHandler::feed(const QByteArray &bytes)
{
    m_framer.append(bytes);
    // A slot of replyHandled may feed again; the loop below picks those bytes up in order.
    if (m_handling)
        return;
    m_handling = true;
    while (const std::optional<QByteArray> bytesOfReply = m_framer.next()) {
        // Out of step with the programmer: what follows in this read cannot be trusted.
        if (!handle(*bytesOfReply))
            m_framer.clear();
    }
    m_handling = false;
}

void ReplyHandler::discardPending()
{
    m_framer.clear();
}

bool ReplyHandler::handle(const QByteArray &bytes)
{
    const Reply reply = Reply::parse(bytes);
    const ProgrammerTraits &traits = traitsOf(m_n);

    Reply::Kind kind = reply.kind();
    if (kind == Reply::Kind::Usbr && m_programmers.state(m_n).greeted &&
        traits.repeatedUsbrIsUnknown)
        kind = Reply::Kind::Unknown;

    switch (kind) {
    case Reply::Kind::Usbr:
        m_programmers.update(m_n, [&](ProgrammerState &s) {
            s.greeted = true;
            s.version = reply.version();
            s.status = Status::Waiting;
        });
        break;
    case Reply::Kind::Send:
        m_programmers.update(m_n, [](ProgrammerState &s) {
            s.ready = true;
            s.status = Status::ReadyForFile;
        });
        break;
    case Reply::Kind::LpOk:
        m_hooks.releaseProgramFile();
        verdict(Step::Load, Status::LoadedOk);
        break;
    case Reply::Kind::LpEr:
        verdict(Step::Load, Status::LoadError, reply.errorCode());
        break;
    case Reply::Kind::PtOk:
        verdict(Step::ProgramTarget, Status::ProgrammedOk, std::nullopt, [&](ProgrammerState &s) {
            if (traits.fillsBarOnPtOk)
                s.barValue = s.barMaximum;
            // The board now holds the image this programmer took last.
            if (traits.namesBoardSoftware)
                s.boardSoftware = s.image ? s.image->name : QString();
        });
        break;
    case Reply::Kind::PtEr:
        verdict(Step::ProgramTarget, Status::TargetError, reply.errorCode());
        break;
    case Reply::Kind::Data:
        break;
    case Reply::Kind::Veri:
        m_programmers.update(
            m_n, [&](ProgrammerState &s) { progressStep(s, reply, Status::Verifying); });
        break;
    case Reply::Kind::Prog:
        m_programmers.update(
            m_n, [&](ProgrammerState &s) { progressStep(s, reply, Status::Programming); });
        break;
    case Reply::Kind::Unknown:
        qCDebug(lcLink) << "programmer" << m_n << "unrecognised reply" << bytes.toHex(' ');
        m_programmers.update(m_n, [](ProgrammerState &s) {
            s.greeted = false;
            s.ready = false;
        });
        // A repeated greeting is refused but well framed; only unknown bytes mean we lost step.
        return reply.kind() != Reply::Kind::Unknown;
    }
    return true;
}

void ReplyHandler::verdict(Step step, Status status, std::optional<int> errorCode,
                           const std::function<void(ProgrammerState &)> &alsoShow)
{
    m_programmers.update(m_n, [&](ProgrammerState &s) {
        s.status = status;
        if (errorCode)
            s.code = *errorCode;
        if (alsoShow)
            alsoShow(s);
    });
    // It ends a step of its own kind only: a late "ALPOK" is no program-target's result.
    m_programmers.endStepOf(m_n, step, errorCode ? Ending::Error : Ending::Ok, errorCode);
}

void ReplyHandler::progressStep(ProgrammerState &s, const Reply &reply, Status phase)
{
    // A verify phase after a program phase, or after a fresh start, counts from 0.
    if (phase == Status::Verifying &&
        (s.status == Status::ProgrammingTargetBoard || s.status == Status::Programming ||
         s.status == Status::Waiting))
        s.progressCount = 0;

    const int total = reply.count();
    s.count = total;
    s.progressTotal = total;

    // The bar's value before this step: left by the previous step, "APTOK" or the transfer.
    if (total > s.barValue)
        s.progressCount += 1;
    else
        s.progressCount = 0;

    // Count byte 0, or a count above the new maximum, must not leave the bar out of range.
    s.barMaximum = total;
    s.barValue = std::clamp(s.progressCount, 0, total);

    // Division in double in this order, a half to the even neighbour: 3 of 8 shows 38.
    int percent = 0;
    if (total > 0) {
        const double share =
            static_cast<double>(s.progressCount) / static_cast<double>(s.progressTotal) * 100.0;
        percent = static_cast<int>(std::min(std::nearbyint(share), 100.0));
    }
    s.status = phase;
    s.percent = percent;
}

} // namespace vell::link
