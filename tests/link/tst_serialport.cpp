// Guards what only a real port shows, with QSerialPort on ptys: every byte written past a
// full driver, a vanished device reported once, the simulator's greeting on every open (past the
// flush that ends a newer Qt's open) and nothing stale after a reopen, split and merged replies
// reaching a handler, flow control against a slow and a stalled reader, a replugged programmer
// named by its new device.
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"

#include "app/station.h"
#include "link/qserialportlink.h"
#include "model/replyhandler.h"
#include "sim/simbank.h"

#include <QDir>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

using namespace vell;
using link::QSerialPortLink;
using link::SerialLink;
using sim::PtyProgrammer;

Q_DECLARE_METATYPE(vell::sim::PtyProgrammer::OpenDetection)

namespace {

sim::DeviceOptions options(const QString &switches)
{
    auto o = *sim::DeviceOptions::parse(switches);
    o.stepIntervalMs = 1;
    return o;
}

/// A Station over simulated programmers on ptys, with a program file to load.
struct PtyBench
{
    explicit PtyBench(const QByteArray &file) : file(file)
    {
        written = test::writeFile(files.filePath("image.bin"), file);
    }
    /// The search, at the shipped tick: true when it found three programmers.
    bool find()
    {
        QSignalSpy done(&station, &app::Station::searchFinished);
        station.startSearch();
        return done.wait(10000) && station.programmers().presentCount() == 3;
    }
    void load() { station.loadProgramFile(files.filePath("image.bin")); }

    QTemporaryDir ports, files;
    test::WorkFolder work;
    sim::SimBank bank{ports.path()};
    test::RecordingOperator op;
    app::Station station{link::PortNames::fromDirectory(ports.path()), op,
                         link::qserialPortFactory(), model::Timings{100, 15000, 500}};
    QByteArray file;
    bool written = false;
};

/// Whether this process has device open (its descriptors, as /proc lists them).
bool holdsOpen(const QString &device)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList entries = fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    return std::any_of(entries.begin(), entries.end(), [&](const QString &fd) {
        return QFileInfo(fds.filePath(fd)).symLinkTarget() == device;
    });
}

} // namespace

class TstSerialPort : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Reported once with the link closed, no flood after; plugged in again, once more.
    void vanishedDeviceIsReportedOnce()
    {
        QTemporaryDir dir;
        QSerialPortLink link;
        QSignalSpy lost(&link, &SerialLink::deviceLost);
        for (int round = 1; round <= 2; ++round) {
            const auto p = PtyProgrammer::create(dir.filePath("COM1"));
            QCOMPARE(link.open(p->linkPath()), SerialLink::OpenResult::Opened);
            p->unplug();
            QVERIFY(lost.wait(5000));
            QVERIFY(!link.isOpen());
            QVERIFY(!lost.wait(300));
            QCOMPARE(lost.count(), round);
        }
    }

    // Written far faster than the far end reads a few kilobytes at a time: what the driver could
    // not take goes later, and every byte arrives once, in order, told once through bytesWritten.
    void everyByteArrivesPastAFullDriver()
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const auto closeMaster = qScopeGuard([master] { ::close(master); });
        QSerialPortLink link;
        QCOMPARE(link.open(QString::fromLocal8Bit(::ptsname(master))),
                 SerialLink::OpenResult::Opened);
        qint64 told = 0;
        connect(&link, &SerialLink::bytesWritten, &link, [&told](qint64 n) { told += n; });
        const QByteArray sent = test::pattern(256 * 1024);
        for (int at = 0; at < sent.size(); at += 7000)
            QVERIFY(link.write(sent.mid(at, 7000)));
        QTest::qWait(50); // nobody reads: the driver fills up
        QVERIFY(link.bytesToWrite() > 0 && told < sent.size());
        QByteArray got;
        QTimer reader;
        connect(&reader, &QTimer::timeout, &reader, [&got, master] {
            char chunk[4096];
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            got.append(chunk, n > 0 ? int(n) : 0);
        });
        reader.start(1);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 20000);
        QCOMPARE(got, sent);
        QVERIFY(told == sent.size() && link.bytesToWrite() == 0);
    }

    void greetingOnEveryOpenNothingStale_data()
    {
        QTest::addColumn<PtyProgrammer::OpenDetection>("detection");
        QTest::newRow("inotify") << PtyProgrammer::OpenDetection::Inotify;
        QTest::newRow("poll") << PtyProgrammer::OpenDetection::Poll;
    }
    // The search opens and closes, the load opens again: greeted each time, and what a session
    // left behind (half a frame) is gone at the next. Another descriptor opened and closed
    // beside the app's (a port check, a reopen told before the old close) ends no session.
    void greetingOnEveryOpenNothingStale()
    {
        QFETCH(PtyProgrammer::OpenDetection, detection);
        QTemporaryDir dir;
        const auto p = PtyProgrammer::create(dir.filePath("COM3"), options("version=0107"), nullptr,
                                             detection);
        QVERIFY(p);
        QSerialPortLink link;
        QByteArray got;
        connect(&link, &SerialLink::readyRead, &link, [&] { got += link.readAll(); });
        const QByteArray greeting = test::reply("AUSBR", 0, "0107");
        QCOMPARE(link.open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(got, greeting);
        QSignalSpy closed(p.get(), &PtyProgrammer::portClosed);
        const int other = ::open(QFile::encodeName(p->linkPath()).constData(),
                                 O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(other >= 0);
        ::close(other);
        QVERIFY(link.write(QByteArray("APL\0\0", 5)));
        QTRY_COMPARE(p->device()->receivedBytes(), 5);
        QCOMPARE(closed.count(), 0);
        link.close();
        QTRY_VERIFY(!p->isPortOpen());
        QCOMPARE(link.open(p->linkPath()), SerialLink::OpenResult::Opened);
        QTRY_COMPARE(got, greeting + greeting);
        QVERIFY(link.write(
            link::CommandFrame::load(false, link::CommandFrame::SizeFields::fromLength(10))));
        QTRY_COMPARE(got.size(), 4 * 24); // answered at once: "ASEND", "ALPOK"
        QCOMPARE(got.mid(48, 5), QByteArray("ASEND"));

        // Qt 6.5 and later flush the input as their open() ends, after the device saw the open:
        // the greeting still arrives.
        link.close();
        QTRY_VERIFY(!p->isPortOpen());
        QSignalSpy opened(p.get(), &PtyProgrammer::portOpened);
        const int fd = ::open(QFile::encodeName(p->linkPath()).constData(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        QVERIFY(opened.wait(5000));
        QCOMPARE(::tcflush(fd, TCIFLUSH), 0);
        pollfd readable{fd, POLLIN, 0};
        QTRY_COMPARE(::poll(&readable, 1, 0), 1);
        QByteArray late(48, '\0');
        QCOMPARE(::read(fd, late.data(), size_t(late.size())), ssize_t(greeting.size()));
        QCOMPARE(late.left(24), greeting);
    }

    // One byte per read, or two replies in one read: each reply handled once, in order.
    void splitAndMergedReplies()
    {
        QTemporaryDir dir;
        sim::SimBank bank(dir.path());
        QVERIFY(bank.add(5, options("split,prog=2,verify=0")) &&
                bank.add(6, options("double,prog=2,verify=0")));
        for (int com : {5, 6}) {
            model::Programmers programmers;
            const model::ProgrammerNumber two(2);
            model::ReplyHandler handler(two, programmers);
            QSerialPortLink link;
            QList<model::Status> shown;
            connect(&programmers, &model::Programmers::statusChanged, &link,
                    [&] { shown << programmers.state(two).status; });
            QCOMPARE(link.open(bank.programmer(com)->linkPath()), SerialLink::OpenResult::Opened);
            handler.attach(&link);
            QTRY_COMPARE(shown.size(), 1);
            QVERIFY(link.write(link::CommandFrame::programTarget({})));
            QTRY_COMPARE(shown.size(), 4);
            QCOMPARE(shown, (QList<model::Status>{
                                model::Status::Waiting, model::Status::Programming,
                                model::Status::Programming, model::Status::ProgrammedOk}));
        }
    }

    // A slow reader gets every block at its pace; a stalled one drops out alone.
    void flowControlAgainstSlowAndStalledReaders()
    {
        PtyBench b(test::pattern(256 * 512));
        QVERIFY(b.written && b.bank.add(1) && b.bank.add(2, options("rate=200000")) &&
                b.bank.add(3, options("stall=10000")) && b.find());
        auto &station = b.station;
        auto &bank = b.bank;
        const QByteArray &file = b.file;
        b.load();
        QTRY_COMPARE_WITH_TIMEOUT(station.statusText(model::ProgrammerNumber(3)),
                                  QStringLiteral("Communication with Programmer Lost"), 15000);
        for (int n = 1; n <= 2; ++n) {
            QTRY_COMPARE_WITH_TIMEOUT(station.statusText(model::ProgrammerNumber(n)),
                                      QStringLiteral("File Loaded OK"), 15000);
            QCOMPARE(bank.programmer(n)->device()->image(), file);
        }
        QVERIFY(bank.programmer(3)->device()->receivedBytes() == 10000);
    }

    // Programmer 2 unplugged mid-load comes back on another pty under the same COM name: the
    // next load opens it again, and every programmer loads the whole file.
    void replugBetweenLoads()
    {
        PtyBench b(test::pattern(40 * 512));
        QVERIFY(b.written && b.bank.add(1) && b.bank.add(2, options("unplug=3000")) &&
                b.bank.add(3) && b.find());
        const QString before = QFileInfo(b.ports.filePath("COM2")).canonicalFilePath();
        auto &station = b.station;
        auto &bank = b.bank;
        const QByteArray &file = b.file;
        for (int round = 1; round <= 2; ++round) {
            b.load();
            for (int n = 1; n <= 3; ++n) {
                const bool gone = round == 1 && n == 2;
                QTRY_COMPARE_WITH_TIMEOUT(station.statusText(model::ProgrammerNumber(n)),
                                          gone
                                              ? QStringLiteral("Communication with Programmer Lost")
                                              : QStringLiteral("File Loaded OK"),
                                          15000);
                if (!gone)
                    QCOMPARE(bank.programmer(n)->device()->image(), file);
            }
            QTRY_VERIFY(!station.busy());
            if (round == 1) {
                bank.remove(2);
                // Its number is free once this process no longer holds the old device open.
                QTRY_VERIFY_WITH_TIMEOUT(!holdsOpen(before), 10000);
                QVERIFY(bank.add(9)); // takes the pty number programmer 2 left free
                QVERIFY(bank.add(2));
                QVERIFY(QFileInfo(b.ports.filePath("COM2")).canonicalFilePath() != before);
            }
        }
        // The pane names the device its link opened last, not the one found at the start.
        QCOMPARE(station.state(model::ProgrammerNumber(2)).port.device,
                 QFileInfo(b.ports.filePath("COM2")).canonicalFilePath());
        QVERIFY(b.op.messages.isEmpty());
    }
};

VELL_TEST_MAIN(QCoreApplication, TstSerialPort)
#include "tst_serialport.moc"
