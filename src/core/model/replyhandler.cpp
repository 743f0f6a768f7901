#include "replyhandler.h"

#include "logging.h"
#include "programmertraits.h"

#include <algorithm>
#include <cmath>

namespace vell::model {

ReplyHandler::ReplyHandler(ProgrammerNumber n, Programmers &programmers, QObject *parent)
    : QObject(parent), m_n(n), m_programmers(programmers)
{
}

void ReplyHandler::attach(link::SerialLink *link)
{
    if (m_link == link)
        return;
    if (m_link)
        disconnect(m_link, nullptr, this, nullptr);
    discardPending();
    m_link = link;
    if (!link)
        return;
    connect(link, &link::SerialLink::readyRead, this, &ReplyHandler::readLink);
    // Bytes from a device that went away must not join those of the next one.
    connect(link, &link::SerialLink::deviceLost, this, &ReplyHandler::discardPending);
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
    // A slot of a signal below may feed again; the loop below picks those bytes up in order.
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
    using link::Reply;
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
            s.percent = 0;
            s.code = 0;
        });
        break;
    case Reply::Kind::Send:
        m_programmers.update(m_n, [](ProgrammerState &s) { s.ready = true; });
        m_programmers.setStatus(m_n, Status::ReadyForFile);
        break;
    case Reply::Kind::LpOk:
        Q_EMIT fileLoaded(m_n);
        m_programmers.setStatus(m_n, Status::LoadedOk);
        Q_EMIT verdict(m_n, Step::Load, std::nullopt);
        break;
    case Reply::Kind::LpEr:
        m_programmers.setStatus(m_n, Status::LoadError, 0, reply.errorCode());
        Q_EMIT verdict(m_n, Step::Load, reply.errorCode());
        break;
    case Reply::Kind::PtOk:
        m_programmers.update(m_n, [&](ProgrammerState &s) {
            s.status = Status::ProgrammedOk;
            s.percent = 0;
            s.code = 0;
            if (traits.fillsBarOnPtOk)
                s.barValue = s.barMaximum;
            // The board now holds the image this programmer took last.
            if (traits.namesBoardSoftware)
                s.boardSoftware = s.image() ? s.image()->name : QString();
        });
        Q_EMIT verdict(m_n, Step::ProgramTarget, std::nullopt);
        break;
    case Reply::Kind::PtEr:
        m_programmers.setStatus(m_n, Status::TargetError, 0, reply.errorCode());
        Q_EMIT verdict(m_n, Step::ProgramTarget, reply.errorCode());
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
        qCDebug(lcModel) << "programmer" << m_n.value() << "unrecognised reply" << bytes.toHex(' ');
        m_programmers.update(m_n, [](ProgrammerState &s) {
            s.greeted = false;
            s.ready = false;
        });
        // A repeated greeting is refused but well framed; only unknown bytes mean we lost step.
        return reply.kind() != Reply::Kind::Unknown;
    }
    return true;
}

void ReplyHandler::progressStep(ProgrammerState &s, const link::Reply &reply, Status phase)
{
    // A verify phase after a program phase, or after a fresh start, counts from 0.
    if (phase == Status::Verifying &&
        (s.status == Status::ProgrammingTargetBoard || s.status == Status::Programming ||
         s.status == Status::Waiting))
        s.progressCount = 0;

    const int total = reply.count();
    // The bar's value before this step: left by the previous step, "APTOK" or the transfer.
    if (total > s.barValue)
        s.progressCount += 1;
    else
        s.progressCount = 0;

    // The count box and the bar's scale both show the phase's total. Count byte 0, or a count
    // above the new maximum, must not leave the bar out of range.
    s.count = total;
    s.barMaximum = total;
    s.barValue = std::clamp(s.progressCount, 0, total);

    // Division in double in this order, a half to the even neighbour: 3 of 8 shows 38.
    int percent = 0;
    if (total > 0) {
        const double share =
            static_cast<double>(s.progressCount) / static_cast<double>(total) * 100.0;
        percent = static_cast<int>(std::min(std::nearbyint(share), 100.0));
    }
    s.status = phase;
    s.percent = percent;
    s.code = 0;
}

} // namespace vell::model
