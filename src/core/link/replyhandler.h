#pragma once

#include "programmers.h"
#include "reply.h"
#include "replyframer.h"
#include "seriallink.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>

namespace vell::link {

/// What the reply handler needs from the rest of the application.
class ReplyHooks
{
public:
    virtual ~ReplyHooks() = default;
    /// "ALPOK": the load no longer needs the program file it holds open.
    virtual void releaseProgramFile() = 0;
};

/// The receive side of programmer n's link: reads the link, has a ReplyFramer cut the bytes into
/// replies, and applies each Reply to the programmer's state: what its pane shows, its
/// counters, and the end of its step when the reply is the step's verdict.
class ReplyHandler : public QObject
{
    Q_OBJECT
public:
    /// n is 1..4.
    ReplyHandler(int n, Programmers &programmers, ReplyHooks &hooks, QObject *parent = nullptr);

    [[nodiscard]] int programmer() const { return m_n; }

    /// Reads link on every readyRead from now on (null: stop reading). A partial reply of a
    /// previous link is dropped.
    void attach(SerialLink *link);

    /// Bytes as they came off the link: every whole reply is handled in order, a partial one
    /// waits for the rest.
    void feed(const QByteArray &bytes);
    /// Drops a partial reply, for a sender that drains the link before a command.
    void discardPending();
    /// Bytes of a partial reply waiting for the rest (always fewer than one reply).
    [[nodiscard]] int pendingBytes() const { return m_framer.pendingBytes(); }

private:
    void readLink();
    /// Acts on one reply; false when its bytes are out of step with the replies.
    bool handle(const QByteArray &bytes);
    void progressStep(ProgrammerState &s, const Reply &reply, Status phase);
    /// A result reply: the status it shows (and alsoShow's changes), and the end of the step
    /// it answers.
    void verdict(Step step, Status status, std::optional<int> errorCode = std::nullopt,
                 const std::function<void(ProgrammerState &)> &alsoShow = {});

    const int m_n;
    Programmers &m_programmers;
    ReplyHooks &m_hooks;
    QPointer<SerialLink> m_link;

    ReplyFramer m_framer;
    bool m_handling = false;
};

} // namespace vell::link
