// Guards the QSerialPort link on a real pty: line settings, bytes both ways, open results, a
// vanished device reported once with the link closed, and replies in pieces reaching a handler.
#include "common/pty.h"
#include "link/qserialportlink.h"
#include "link/replyhandler.h"

#include <QtTest>

using vell::link::QSerialPortLink;
using vell::link::SerialLink;
using vell::test::Pty;

namespace {

struct Hooks : vell::link::ReplyHooks
{
    int releases = 0;
    void releaseProgramFile() override { ++releases; }
    QString lastLoadedFileName() const override { return {}; }
};

} // namespace

class TstQSerialPortLink : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void opensWithTheLineSettings();
    void bytesTravelBothWays();
    void vanishedDeviceIsReportedOnceAndClosed();
    void openResults();
    void sameNameInTwoFoldersOpensBoth();
    void repliesArriveInPiecesAndTogether();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Pty> m_pty;
    QString m_com1;
};

void TstQSerialPortLink::init()
{
    m_pty.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_com1 = m_dir->filePath(QStringLiteral("COM1"));
    m_pty = std::make_unique<Pty>(m_com1);
    QVERIFY(m_pty->ok());
}

void TstQSerialPortLink::opensWithTheLineSettings()
{
    QSerialPortLink link;
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    QVERIFY(link.isOpen());
    QCOMPARE(link.deviceName(), m_com1);

    // The pty's modes are the slave's: 115200, 8 data bits, no parity, one stop bit.
    termios modes{};
    QCOMPARE(::tcgetattr(m_pty->fd(), &modes), 0);
    QCOMPARE(::cfgetospeed(&modes), speed_t(B115200));
    QCOMPARE(::cfgetispeed(&modes), speed_t(B115200));
    QCOMPARE(modes.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(modes.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(modes.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(modes.c_cflag & CRTSCTS, tcflag_t(0));

    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::AlreadyOpen);
    link.close();
    QVERIFY(!link.isOpen());
    QVERIFY(!link.write("x"));
}

void TstQSerialPortLink::bytesTravelBothWays()
{
    QSerialPortLink link;
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    QSignalSpy written(&link, &SerialLink::bytesWritten);
    QSignalSpy ready(&link, &SerialLink::readyRead);

    // Every byte value, CR and LF included, passes unchanged (raw mode).
    QByteArray out;
    for (int i = 0; i < 256; ++i)
        out.append(char(i));
    QVERIFY(link.write(out));
    QTRY_COMPARE_WITH_TIMEOUT(m_pty->received(), out, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!written.isEmpty(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(link.bytesToWrite(), qint64(0), 5000);

    const QByteArray in = QByteArray("AUSBR0106") + QByteArray(15, '\0') + "\r\n";
    QVERIFY(m_pty->send(in));
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT((got += link.readAll()), in, 5000);
    QVERIFY(!ready.isEmpty());
    QCOMPARE(link.bytesAvailable(), qint64(0));
}

void TstQSerialPortLink::vanishedDeviceIsReportedOnceAndClosed()
{
    QSerialPortLink link;
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    QSignalSpy lost(&link, &SerialLink::deviceLost);
    m_pty->closeMaster();

    QVERIFY(lost.wait(5000));
    QVERIFY(!link.isOpen());
    // Nothing further arrives: no second report, no flood keeping the loop busy.
    QVERIFY(!lost.wait(300));
    QCOMPARE(lost.count(), 1);
    QVERIFY(!link.write("x"));

    // Plugged in again: the link reopens, and the next loss is reported once more.
    m_pty.reset();
    QVERIFY(QFile::remove(m_com1));
    m_pty = std::make_unique<Pty>(m_com1);
    QVERIFY(m_pty->ok());
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    QVERIFY(link.write("AP"));
    QTRY_COMPARE_WITH_TIMEOUT(m_pty->received(), QByteArray("AP"), 5000);
    m_pty->closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 2, 5000);
    QVERIFY(!link.isOpen());
    QVERIFY(!lost.wait(300));
    QCOMPARE(lost.count(), 2);
}

void TstQSerialPortLink::openResults()
{
    QSerialPortLink link;
    QSignalSpy lost(&link, &SerialLink::deviceLost);
    QCOMPARE(link.open(m_dir->filePath(QStringLiteral("COM9"))),
             SerialLink::OpenResult::InvalidPort);
    QCOMPARE(link.open(QString()), SerialLink::OpenResult::InvalidPort);
    QVERIFY(!link.isOpen());

    // A port another link holds is busy, not invalid.
    QSerialPortLink holder;
    QCOMPARE(holder.open(m_com1), SerialLink::OpenResult::Opened);
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Failed);
    QVERIFY(!link.isOpen());

    // A failed open is not a lost device, and the link can still open a free port later.
    holder.close();
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    QCoreApplication::processEvents();
    QCOMPARE(lost.count(), 0);
}

void TstQSerialPortLink::sameNameInTwoFoldersOpensBoth()
{
    // Serial ports are locked by name; two benches (or two tests) each with their own COM1
    // folder must not take each other's lock.
    QTemporaryDir other;
    QVERIFY(other.isValid());
    const QString otherCom1 = other.filePath(QStringLiteral("COM1"));
    Pty otherPty(otherCom1);
    QVERIFY(otherPty.ok());

    QSerialPortLink first;
    QSerialPortLink second;
    QCOMPARE(first.open(m_com1), SerialLink::OpenResult::Opened);
    QCOMPARE(second.open(otherCom1), SerialLink::OpenResult::Opened);
    QCOMPARE(second.deviceName(), otherCom1);
    QVERIFY(second.write("T"));
    QTRY_COMPARE_WITH_TIMEOUT(otherPty.received(), QByteArray("T"), 5000);
    QVERIFY(m_pty->received().isEmpty());
}

void TstQSerialPortLink::repliesArriveInPiecesAndTogether()
{
    using vell::link::Reply;
    using vell::link::ReplyHandler;
    vell::link::ProgrammerSlots programmers;
    vell::link::PaneBoard panes;
    Hooks hooks;
    ReplyHandler handler(2, programmers, panes, hooks);
    QSerialPortLink link;
    QCOMPARE(link.open(m_com1), SerialLink::OpenResult::Opened);
    handler.attach(&link);
    QSignalSpy handled(&handler, &ReplyHandler::replyHandled);

    // One reply in three pieces: each piece waits until the next arrives.
    const QByteArray usbr = Reply::encode("AUSBR", 0, "0106");
    QVERIFY(m_pty->send(usbr.left(5)));
    QTRY_COMPARE_WITH_TIMEOUT(handler.pendingBytes(), 5, 5000);
    QVERIFY(m_pty->send(usbr.mid(5, 13)));
    QTRY_COMPARE_WITH_TIMEOUT(handler.pendingBytes(), 18, 5000);
    QCOMPARE(handled.count(), 0);
    QVERIFY(m_pty->send(usbr.mid(18)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 1, 5000);
    QCOMPARE(panes.pane(2).status, QStringLiteral("Programmer Waiting / Software Version 0106"));

    // Two replies and the start of a third in one write, the rest later.
    const QByteArray ok = Reply::encode("APTOK");
    QVERIFY(m_pty->send(Reply::encode("ASEND") + Reply::encode("ALPOK") + ok.left(9)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 3, 5000);
    QVERIFY(m_pty->send(ok.mid(9)));
    QTRY_COMPARE_WITH_TIMEOUT(handled.count(), 4, 5000);
    QList<QByteArray> tokens;
    for (const auto &args : handled)
        tokens << args.at(1).toByteArray();
    QCOMPARE(tokens, (QList<QByteArray>{"AUSBR", "ASEND", "ALPOK", "APTOK"}));
    QCOMPARE(hooks.releases, 1);
    QCOMPARE(panes.pane(2).status, QStringLiteral("Board Programmed OK"));
}

QTEST_GUILESS_MAIN(TstQSerialPortLink)
#include "tst_qserialportlink.moc"
