#pragma once

#include "programmers.h"

#include "link/reply.h"
#include "link/replyframer.h"
#include "link/seriallink.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <optional>

namespace vell::model {

/// The receive side of programmer n's link: reads the link, has a ReplyFramer cut the bytes into
/// replies, and applies each Reply to the programmer's state: what its pane shows and its
/// counters. A result reply is announced as a verdict on a step of its kind; ending the step
/// is for the operation that runs it.
class ReplyHandler : public QObject
{
    Q_OBJECT
public:
    ReplyHandler(ProgrammerNumber n, Programmers &programmers, QObject *parent = nullptr);

    /// Reads link on every readyRead from now on (null: stop reading). A partial reply of a
    /// previous link is dropped.
    void attach(link::SerialLink *link);

    /// Bytes as they came off the link: every whole reply is handled in order, a partial one
    /// waits for the rest.
    void feed(const QByteArray &bytes);
    /// Drops a partial reply, for a sender that drains the link before a command.
    void discardPending();
    /// Bytes of a partial reply waiting for the rest (always fewer than one reply).
    [[nodiscard]] int pendingBytes() const { return m_framer.pendingBytes(); }

Q_SIGNALS:
    /// "ALPOK" came, before it is shown: the load no longer needs the program file it holds.
    void fileLoaded(vell::model::ProgrammerNumber n);
    /// A result reply: programmer n's step of that kind ended, OK or with the error code.
    void verdict(vell::model::ProgrammerNumber n, vell::model::Step step, std::optional<int> code);

private:
    void readLink();
    /// Acts on one reply; false when its bytes are out of step with the replies.
    bool handle(const QByteArray &bytes);
    void progressStep(ProgrammerState &s, const link::Reply &reply, Status phase);

    const ProgrammerNumber m_n;
    Programmers &m_programmers;
    QPointer<link::SerialLink> m_link;

    link::ReplyFramer m_framer;
    bool m_handling = false;
};

} // namespace vell::model
