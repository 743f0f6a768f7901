#pragma once

#include "pane.h"
#include "programmerslot.h"
#include "reply.h"
#include "replyframer.h"
#include "seriallink.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

namespace vell::link {

/// What the reply handler needs from the rest of the application.
class ReplyHooks
{
public:
    virtual ~ReplyHooks() = default;
    /// "ALPOK": the load no longer needs the program file it holds open.
    virtual void releaseProgramFile() = 0;
    /// The name, without folder, of the program file last loaded (empty before any).
    [[nodiscard]] virtual QString lastLoadedFileName() const = 0;
};

/// The receive side of programmer n's link: reads the link, has a ReplyFramer cut the bytes into
/// replies, and applies each Reply to the slot's flags and counters and the pane's texts and bar.
class ReplyHandler : public QObject
{
    Q_OBJECT
public:
    /// n is 1..4.
    ReplyHandler(int n, ProgrammerSlots &programmers, PaneBoard &panes, ReplyHooks &hooks,
                 QObject *parent = nullptr);

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

Q_SIGNALS:
    /// After a reply was acted on; token is its five letters, empty for an unrecognised one.
    void replyHandled(int n, const QByteArray &token);

private:
    void readLink();
    /// Acts on one reply; false when its bytes are out of step with the replies.
    bool handle(const QByteArray &bytes);
    void progressStep(const Reply &reply, bool restartTest, const QString &prefix);
    /// The text for an error code in table, or undefined; code 12 follows the programmer's traits.
    [[nodiscard]] QString errorText(int code, const QList<QPair<int, QString>> &table,
                                    const QString &undefined) const;
    [[nodiscard]] QString loadErrorText(int code) const;
    [[nodiscard]] QString targetErrorText(int code) const;

    const int m_n;
    ProgrammerSlots &m_slots;
    PaneBoard &m_panes;
    ReplyHooks &m_hooks;
    QPointer<SerialLink> m_link;

    ReplyFramer m_framer;
    bool m_handling = false;
};

} // namespace vell::link
