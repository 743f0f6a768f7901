#include "replyhandler.h"

#include "logging.h"
#include "programmertraits.h"
#include "texts.h"

#include <algorithm>
#include <cmath>

namespace vell::link {

namespace {

constexpr int kOldBlackBoxCode = 12;

/// A verify phase after a program phase, or after a fresh start, counts from 0.
bool restartsVerifyCount(const QString &status)
{
    return status.contains(texts::kProgrammingTargetBoard) ||
           status.contains(texts::kProgrammerWaiting);
}

} // namespace

ReplyHandler::ReplyHandler(int n, ProgrammerSlots &programmers, PaneBoard &panes, ReplyHooks &hooks,
                           QObject *parent)
    : QObject(parent), m_n(n), m_slots(programmers), m_panes(panes), m_hooks(hooks)
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
    ProgrammerSlot &slot = m_slots.slot(m_n);
    slot.replyText = QString::fromLatin1(bytes);
    const Reply reply = Reply::parse(bytes);
    const ProgrammerTraits &traits = traitsOf(m_n);

    Reply::Kind kind = reply.kind();
    if (kind == Reply::Kind::Usbr && slot.replyUsbr && traits.repeatedUsbrIsUnknown)
        kind = Reply::Kind::Unknown;

    switch (kind) {
    case Reply::Kind::Usbr:
        slot.replyUsbr = true;
        if (traits.greetsOnVersionLabel) {
            m_panes.setStatus(m_n, texts::kProgrammerWaiting);
            m_panes.setProgrammerVersion(texts::kProgrammerSoftwareVersion + reply.version());
        } else {
            m_panes.setStatus(m_n, texts::kProgrammerWaitingVersion + reply.version());
        }
        break;
    case Reply::Kind::Send:
        slot.replySend = true;
        m_panes.setStatus(m_n, texts::kReadyForFile);
        break;
    case Reply::Kind::LpOk:
        slot.replyLpOk = true;
        m_hooks.releaseProgramFile();
        m_panes.setStatus(m_n, texts::kFileLoadedOk);
        break;
    case Reply::Kind::LpEr:
        m_panes.setStatus(m_n, loadErrorText(reply.errorCode()));
        slot.replyLpEr = true;
        break;
    case Reply::Kind::PtOk:
        slot.replyPtOk = true;
        m_panes.setStatus(m_n, texts::kBoardProgrammedOk);
        if (traits.fillsBarOnPtOk)
            m_panes.setBarValue(m_n, m_panes.pane(m_n).barMaximum);
        if (traits.namesBoardSoftware)
            m_panes.setSoftwareVersion(texts::kBoardSoftwareVersion + m_hooks.lastLoadedFileName());
        break;
    case Reply::Kind::PtEr:
        m_panes.setStatus(m_n, targetErrorText(reply.errorCode()));
        slot.replyPtEr = true;
        break;
    case Reply::Kind::Data:
        slot.replyData = true;
        break;
    case Reply::Kind::Veri:
        progressStep(reply, true, texts::kVerifyingFilePrefix);
        break;
    case Reply::Kind::Prog:
        progressStep(reply, false, texts::kProgrammingTargetBoardPrefix);
        break;
    case Reply::Kind::Unknown:
        qCDebug(lcLink) << "programmer" << m_n << "unrecognised reply" << bytes.toHex(' ');
        m_slots.resetReplies(m_n);
        Q_EMIT replyHandled(m_n, QByteArray());
        // A repeated greeting is refused but well framed; only unknown bytes mean we lost step.
        return reply.kind() != Reply::Kind::Unknown;
    }
    Q_EMIT replyHandled(m_n, reply.token());
    return true;
}

void ReplyHandler::progressStep(const Reply &reply, bool restartTest, const QString &prefix)
{
    ProgrammerSlot &slot = m_slots.slot(m_n);
    const Pane &pane = m_panes.pane(m_n);

    if (restartTest && restartsVerifyCount(pane.status))
        slot.progressCount = 0;

    const int total = reply.count();
    m_panes.setCountText(m_n, QString::number(total));
    slot.progressTotal = total;

    // The bar's value before this step: left by the previous step, "APTOK" or the transfer.
    const int previousValue = pane.barValue;
    if (total > previousValue)
        slot.progressCount += 1;
    else
        slot.progressCount = 0;

    // Count byte 0, or a count above the new maximum, must not leave the bar out of range.
    const int value = std::clamp(slot.progressCount, 0, total);
    if (total >= previousValue) {
        m_panes.setBarMaximum(m_n, total);
        m_panes.setBarValue(m_n, value);
    } else {
        m_panes.setBarValue(m_n, value);
        m_panes.setBarMaximum(m_n, total);
    }

    // Division in double in this order, a half to the even neighbour: 3 of 8 shows 38.
    int percent = 0;
    if (total > 0) {
        const double share = static_cast<double>(slot.progressCount) /
                             static_cast<double>(slot.progressTotal) * 100.0;
        percent = static_cast<int>(std::min(std::nearbyint(share), 100.0));
    }
    m_panes.setStatus(m_n, prefix + QString::number(percent) + texts::kSpacedPercentComplete);
}

QString ReplyHandler::errorText(int code, const QList<QPair<int, QString>> &table,
                                const QString &undefined) const
{
    // Code 12 is in both tables, but not every programmer's handler knows it.
    if (code == kOldBlackBoxCode)
        return traitsOf(m_n).knowsCode12 ? texts::kOldBlackBoxError12 : undefined;
    for (const auto &[known, text] : table) {
        if (known == code)
            return text;
    }
    return undefined;
}

QString ReplyHandler::loadErrorText(int code) const
{
    static const QList<QPair<int, QString>> table = {
        {1, texts::kLoadError1}, {2, texts::kLoadError2}, {3, texts::kLoadError3},
        {4, texts::kLoadError4}, {5, texts::kLoadError5}, {6, texts::kLoadError6},
        {7, texts::kLoadError7}, {8, texts::kLoadError8},
    };
    return errorText(code, table, texts::kUndefinedLoadError);
}

QString ReplyHandler::targetErrorText(int code) const
{
    static const QList<QPair<int, QString>> table = {
        {9, texts::kTargetError9}, {10, texts::kTargetError10}, {11, texts::kTargetError11},
    };
    return errorText(code, table, texts::kUndefinedTargetError);
}

} // namespace vell::link
