// Guards replies over a real serial port: bytes written to a pty in pieces, or several replies
// at once, reach the handler attached to a QSerialPortLink and are handled in order.
#include "link/pane.h"
#include "link/programmerslot.h"
#include "link/qserialportlink.h"
#include "link/reply.h"
#include "link/replyhandler.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

using vell::link::Reply;
using vell::link::ReplyHandler;

namespace {

struct Hooks : vell::link::ReplyHooks
{
    int releases = 0;
    void releaseProgramFile() override { ++releases; }
    QString lastLoadedFileName() const override { return {}; }
};

/// The device end of a pseudo-terminal; the port end is opened by the link under test.
class Pty
{
public:
    Pty()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        termios t{};
        if (::tcgetattr(m_master, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(m_master, TCSANOW, &t);
        }
        m_slaveName = QString::fromLocal8Bit(::ptsname(m_master));
    }
    ~Pty()
    {
        if (m_master >= 0)
            ::close(m_master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    [[nodiscard]] QString slaveName() const { return m_slaveName; }
    bool send(const QByteArray &bytes)
    {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

private:
    int m_master = -1;
    QString m_slaveName;
};

} // namespace

class TstReplyHandlerPty : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void repliesArriveInPiecesAndTogether();
};

void TstReplyHandlerPty::repliesArriveInPiecesAndTogether()
{
    Pty pty;
    if (pty.slaveName().isEmpty())
        QSKIP("no pseudo-terminal available");

    vell::link::ProgrammerSlots programmers;
    vell::link::PaneBoard panes;
    Hooks hooks;
    ReplyHandler handler(2, programmers, panes, hooks);
    vell::link::QSerialPortLink link;
    QCOMPARE(link.open(pty.slaveName()), vell::link::SerialLink::OpenResult::Opened);
    handler.attach(&link);
    QSignalSpy handled(&handler, &ReplyHandler::replyHandled);

    // One reply in three pieces: each piece waits until the next arrives.
    const QByteArray usbr = Reply::encode("AUSBR", 0, "0106");
    QVERIFY(pty.send(usbr.left(5)));
    QTRY_COMPARE_WITH_TIMEOUT(handler.pendingBytes(), 5, 5000);
    QVERIFY(pty.send(usbr.mid(5, 13)));
    QTRY_COMPARE_WITH_TIMEOUT(handler.pendingBytes(), 18, 5000);
    QCOMPARE(handled.count(), 0);
    QVERIFY(pty.send(usbr.mid(18)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 5000);
    QCOMPARE(panes.pane(2).status, QStringLiteral("Programmer Waiting / Software Version 0106"));

    // Two replies and the start of a third in one write, the rest later.
    const QByteArray ok = Reply::encode("APTOK");
    QVERIFY(pty.send(Reply::encode("ASEND") + Reply::encode("ALPOK") + ok.left(9)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 3, 5000);
    QVERIFY(pty.send(ok.mid(9)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 4, 5000);

    QList<QByteArray> tokens;
    for (const auto &args : handled)
        tokens << args.at(1).toByteArray();
    QCOMPARE(tokens, (QList<QByteArray>{"AUSBR", "ASEND", "ALPOK", "APTOK"}));
    QVERIFY(programmers.slot(2).replyUsbr && programmers.slot(2).replySend &&
            programmers.slot(2).replyLpOk && programmers.slot(2).replyPtOk);
    QCOMPARE(hooks.releases, 1);
    QCOMPARE(panes.pane(2).status, QStringLiteral("Board Programmed OK"));
}

QTEST_GUILESS_MAIN(TstReplyHandlerPty)
#include "tst_replyhandler_pty.moc"
