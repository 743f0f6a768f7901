#include "attempttracker.h"

#include "link/reply.h"

#include <cmath>

namespace vell::app {

std::optional<int> Tally::yieldPercent() const
{
    const int boards = ok + failed;
    if (boards == 0)
        return std::nullopt;
    return int(std::lround(100.0 * ok / boards));
}

AttemptTracker::AttemptTracker(const link::ProgrammerSlots &programmerSlots,
                               const link::PaneBoard &panes, const link::PortNames &names,
                               QObject *parent)
    : QObject(parent), m_slots(programmerSlots), m_panes(panes), m_names(names)
{
}

void AttemptTracker::beginLoad(const QString &path, bool restoreDefaults, bool blackBox)
{
    // Hashed once, here: the stream reads the file on its own.
    m_image = ImageIdentity::of(path);
    m_restoreDefaults = restoreDefaults;
    m_blackBox = blackBox;
    Q_EMIT imageChanged();
    begin(Attempt::Step::Load);
}

void AttemptTracker::beginProgramTarget()
{
    begin(Attempt::Step::ProgramTarget);
}

void AttemptTracker::begin(Attempt::Step step)
{
    // A programmer that never answered the previous command gets no answer to it now.
    endPending(Attempt::Result::NoResult);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!m_slots.inUse(n))
            continue;
        Attempt attempt;
        attempt.started = now;
        attempt.programmer = n;
        attempt.comPort = m_slots.slot(n).comPort;
        attempt.port = m_names.identityOf(attempt.comPort);
        attempt.step = step;
        attempt.image = m_image;
        attempt.restoreDefaults = m_restoreDefaults;
        attempt.blackBox = m_blackBox;
        m_pending[index(n)] = attempt;
    }
}

void AttemptTracker::onLoadFinished(load::FileTransfer::Outcome outcome)
{
    using Outcome = load::FileTransfer::Outcome;
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!isPending(n) || m_pending[index(n)]->step != Attempt::Step::Load)
            continue;
        switch (outcome) {
        case Outcome::Loaded:
        case Outcome::Refused:
            break;
        case Outcome::TimedOut:
            end(n, Attempt::Result::TimedOut);
            break;
        case Outcome::ProgrammerLost:
            end(n, n == 1 ? Attempt::Result::Lost : Attempt::Result::NoResult);
            break;
        case Outcome::AllLinksLost:
            end(n, Attempt::Result::Lost);
            break;
        case Outcome::StreamFailed:
            end(n, Attempt::Result::NoResult);
            break;
        }
    }
}

void AttemptTracker::onReply(int n, const QByteArray &token)
{
    // The handler leaves the reply's bytes in the slot; a refused repeated greeting comes
    // without its token.
    const QByteArray bytes = m_slots.slot(n).replyText.toLatin1();
    if (token.isEmpty() || bytes.size() < link::Reply::kSize)
        return;
    const link::Reply reply = link::Reply::parse(bytes);
    if (token != reply.token())
        return;
    if (reply.kind() == link::Reply::Kind::Usbr) {
        m_versions[index(n)] = reply.version();
        return;
    }
    if (!isPending(n))
        return;
    const bool load = m_pending[index(n)]->step == Attempt::Step::Load;
    switch (reply.kind()) {
    case link::Reply::Kind::LpOk:
        if (load)
            end(n, Attempt::Result::Ok);
        break;
    case link::Reply::Kind::LpEr:
        if (load)
            end(n, Attempt::Result::Error, reply.errorCode());
        break;
    case link::Reply::Kind::PtOk:
        if (!load)
            end(n, Attempt::Result::Ok);
        break;
    case link::Reply::Kind::PtEr:
        if (!load)
            end(n, Attempt::Result::Error, reply.errorCode());
        break;
    default:
        break;
    }
}

void AttemptTracker::onLost(int n)
{
    if (isPending(n))
        end(n, Attempt::Result::Lost);
}

void AttemptTracker::endPending(Attempt::Result result)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (isPending(n))
            end(n, result);
    }
}

void AttemptTracker::end(int n, Attempt::Result result, std::optional<int> code)
{
    Attempt attempt = *std::exchange(m_pending[index(n)], std::nullopt);
    attempt.ended = QDateTime::currentDateTimeUtc();
    attempt.result = result;
    attempt.code = code;
    attempt.text = m_panes.pane(n).status;
    attempt.programmerVersion = m_versions[index(n)];
    if (attempt.step == Attempt::Step::ProgramTarget) {
        Tally &tally = m_tallies[index(n)];
        ++(result == Attempt::Result::Ok ? tally.ok : tally.failed);
    }
    Q_EMIT attemptEnded(attempt);
    if (attempt.step == Attempt::Step::ProgramTarget)
        Q_EMIT tallyChanged(n);
}

} // namespace vell::app
