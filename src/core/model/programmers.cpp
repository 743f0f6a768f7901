#include "programmers.h"

#include "programmertraits.h"

namespace vell::model {

record::Result resultOf(Ending ending)
{
    using record::Result;
    switch (ending) {
    case Ending::Ok:
        return Result::Ok;
    case Ending::Error:
        return Result::Error;
    case Ending::Lost:
    case Ending::Unopenable:
        return Result::Lost;
    case Ending::TimedOut:
        return Result::TimedOut;
    case Ending::Skipped:
        return Result::Skipped;
    case Ending::StreamFailed:
    case Ending::NotStarted:
    case Ending::Timeout:
    case Ending::Superseded:
    case Ending::Closed:
        break;
    }
    return Result::NoResult;
}

Programmers::Programmers(QObject *parent) : QObject(parent)
{
    m_states[ProgrammerNumber(1)].visible = true;
}

Programmers::Shown Programmers::shown(ProgrammerNumber n) const
{
    const ProgrammerState &s = m_states[n];
    const bool first = n == ProgrammerNumber(1);
    const bool versionInStatus = s.status == Status::Waiting && !traitsOf(n).greetsOnVersionLabel;
    return {s.status,
            s.percent,
            s.code,
            versionInStatus ? s.version : std::nullopt,
            s.barValue,
            s.barMaximum,
            s.count,
            first ? s.version : std::nullopt,
            first ? s.boardSoftware : std::nullopt};
}

void Programmers::notify(ProgrammerNumber n, const Shown &before)
{
    const Shown now = shown(n);
    if (now.status != before.status || now.percent != before.percent || now.code != before.code ||
        now.statusVersion != before.statusVersion)
        Q_EMIT statusChanged(n);
    if (now.barValue != before.barValue || now.barMaximum != before.barMaximum ||
        now.count != before.count)
        Q_EMIT barChanged(n);
    if (now.version != before.version || now.boardSoftware != before.boardSoftware)
        Q_EMIT versionsChanged();
}

void Programmers::setStatus(ProgrammerNumber n, Status status, int percent, int code)
{
    update(n, [&](ProgrammerState &s) {
        s.status = status;
        s.percent = percent;
        s.code = code;
    });
}

void Programmers::forget()
{
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        update(n, [n](ProgrammerState &s) {
            s = ProgrammerState();
            s.visible = n == ProgrammerNumber(1);
        });
        Q_EMIT paneChanged(n);
    }
}

void Programmers::setFound(ProgrammerNumber n, int comPort, const link::PortNames::Identity &port)
{
    ProgrammerState &s = m_states[n];
    s.comPort = quint8(comPort);
    s.present = true;
    s.port = port;
}

void Programmers::setPort(ProgrammerNumber n, const link::PortNames::Identity &port)
{
    ProgrammerState &s = m_states[n];
    if (s.port.device == port.device && s.port.location == port.location &&
        s.port.usbSerial == port.usbSerial && s.port.vidPid == port.vidPid)
        return;
    s.port = port;
    Q_EMIT paneChanged(n);
}

void Programmers::show(ProgrammerNumber n)
{
    m_states[n].visible = true;
    setStatus(n, Status::Found);
    Q_EMIT paneChanged(n);
}

void Programmers::setLastStep(ProgrammerNumber n, const StepRecord &ended)
{
    ProgrammerState &s = m_states[n];
    (ended.step == Step::Load ? s.lastLoad : s.lastTarget) = ended;
    s.lastKind = ended.step;
    if (ended.step != Step::ProgramTarget || ended.board.isEmpty())
        return;
    if (ended.succeeded())
        m_programmedBoards.insert(ended.board, {ended.ended, n});
    // Its field is free for the next board; a serial scanned meanwhile stays, and so does the
    // serial of a board left out, which waits at its programmer.
    if (ended.ending != Ending::Skipped && s.boardScan.serial() == ended.board)
        setBoardScan(n, {});
}

std::optional<Status> Programmers::leftOut(ProgrammerNumber n,
                                           const PerProgrammer<QString> &boards) const
{
    const ProgrammerState &s = m_states[n];
    if (s.lastLoad && !s.lastLoad->succeeded())
        return Status::NotProgrammed;
    // The pin exists so that no other image ever reaches a board.
    if (m_approved.isSet() && (!s.image() || !m_approved.admits(*s.image())))
        return Status::ImageNotApproved;
    const QString &board = boards[n];
    if (board.isEmpty())
        return m_boardRules.required ? std::optional(Status::NoBoardSerial) : std::nullopt;
    // One of the two labels was misread, or one board sits in two fixtures: neither record
    // could be trusted.
    for (const ProgrammerNumber other : inUse()) {
        if (other != n && boards[other] == board)
            return Status::SameBoardSerialTwice;
    }
    return std::nullopt;
}

void Programmers::setBoardScan(ProgrammerNumber n, const BoardScan &scan)
{
    if (m_states[n].boardScan == scan)
        return;
    m_states[n].boardScan = scan;
    Q_EMIT boardChanged(n);
}

void Programmers::setBoardBefore(ProgrammerNumber n, const std::optional<BoardProgrammed> &before)
{
    if (!before && !m_states[n].boardBefore)
        return;
    m_states[n].boardBefore = before;
    Q_EMIT boardChanged(n);
}

std::optional<BoardProgrammed> Programmers::programmedBefore(const QString &serial) const
{
    const auto it = m_programmedBoards.constFind(serial);
    if (serial.isEmpty() || it == m_programmedBoards.cend())
        return std::nullopt;
    return *it;
}

bool Programmers::inUse(ProgrammerNumber n) const
{
    return traitsOf(n).alwaysInUse || m_states[n].present;
}

ProgrammerSet Programmers::inUse() const
{
    ProgrammerSet set;
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        if (inUse(n))
            set.insert(n);
    }
    return set;
}

int Programmers::presentCount() const
{
    int count = 0;
    for (const ProgrammerState &s : m_states)
        count += s.present ? 1 : 0;
    return count;
}

void Programmers::clearReplyFlags(ProgrammerSet which)
{
    for (const ProgrammerNumber n : which) {
        m_states[n].greeted = false;
        m_states[n].ready = false;
    }
}

} // namespace vell::model
