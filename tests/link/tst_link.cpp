// Guards the link layer over fakes: the command frame's bytes, the links (byte-by-byte
// interleaving, what a link that refuses a byte gets), port names, why a port cannot be used,
// and the claims on a port's place and device.
#include "cli/portlisting.h"
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/testmain.h"
#include "link/links.h"
#include "link/portaccess.h"
#include "link/portclaim.h"
#include "link/portnames.h"

#include <QJsonArray>
#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vell::link;
using vell::test::FakeSerialLink;

class TstFrames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("expected");
        const auto size = [](quint32 length) {
            return CommandFrame::SizeFields::fromLength(length);
        };
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        const QByteArray zeros(15, '\0');
        QTest::newRow("program-target, no file loaded")
            << CommandFrame::programTarget({}) << hex("415054") + zeros + hex("000000 00F2 0D");
        QTest::newRow("program-target after 74,565 bytes")
            << CommandFrame::programTarget(size(74565))
            << hex("415054") + zeros + hex("012345 015B 0D");
        QTest::newRow("load 32,768") << CommandFrame::load(false, size(32768))
                                     << hex("41504C") + zeros + hex("008000 016A 0D");
        QTest::newRow("load, restore defaults")
            << CommandFrame::load(true, size(32768))
            << hex("41504C01") + zeros.left(14) + hex("008000 016B 0D");
        QTest::newRow("16,777,216 keeps the low 24 bits")
            << CommandFrame::load(false, size(16777216))
            << hex("41504C") + zeros + hex("000000 00EA 0D");
    }
    void frames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, expected);
        QCOMPARE(frame.toHex(' '), expected.toHex(' '));
    }
};

class TstLinks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Byte i reaches programmers 1, 2, 3 before byte i + 1 reaches any; 4 is not a target. A
    // link that refuses a byte gets none of the rest of the frame.
    void frameInterleavesByteByByte()
    {
        vell::test::FakeLinkBank bank;
        Links links(bank.factory());
        for (const ProgrammerNumber n : ProgrammerSet::all())
            QCOMPARE(
                links.open(n, PortNames::fromDirectory(QStringLiteral("/nonexistent")), n.value()),
                SerialLink::OpenResult::Opened);
        links.setSizeFields(CommandFrame::SizeFields::fromLength(74565));
        ProgrammerSet targets = ProgrammerSet::all();
        targets.remove(ProgrammerNumber(4));
        int written = 0;
        bank.links.at(1)->onWrite = [&](const QByteArray &bytes) {
            bank.writeLog.append({1, bytes});
            bank.links.at(1)->refuseWrites = ++written == 5;
        };
        links.sendFrame(CommandFrame::kProgramTarget, CommandFrame::Params{}, targets);
        const QByteArray frame =
            CommandFrame::programTarget(CommandFrame::SizeFields::fromLength(74565));
        QCOMPARE(links.lastFrame(), frame);
        QList<QPair<int, QByteArray>> expected;
        for (int i = 0; i < CommandFrame::kSize; ++i) {
            for (int link : {0, 1, 2}) {
                if (link != 1 || i < 5)
                    expected.append({link, QByteArray(1, frame.at(i))});
            }
        }
        QCOMPARE(bank.writeLog, expected);
        QVERIFY(bank.links.at(3)->writes.isEmpty());
    }

private:
    vell::test::WorkFolder m_work; // port files land here
};

/// A machine's serial ports as files, and a by-path folder of symlinks to them.
struct Machine
{
    /// ports: "name[ vid:pid[ serial]]"; sockets: "entry>name".
    Machine(const QStringList &ports, const QStringList &sockets)
    {
        QDir().mkpath(dir.filePath("dev"));
        QDir().mkpath(dir.filePath("by-path"));
        for (const QString &p : ports) {
            const QStringList f = p.split(' ');
            const QString device = dir.filePath("dev/" + f.at(0));
            QFile(device).open(QIODevice::WriteOnly);
            list.append({device, f.value(1), f.value(2), {}});
        }
        for (const QString &s : sockets)
            QFile::link(dir.filePath("dev/" + s.section('>', 1)),
                        dir.filePath("by-path/" + s.section('>', 0, 0)));
    }
    PortNames names() const { return PortNames::fromSystemPorts(list, dir.filePath("by-path")); }
    QTemporaryDir dir;
    QList<PortNames::SystemPort> list;
};

class TstPortNames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void socketOrder_data()
    {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("sockets");
        QTest::addColumn<QStringList>("expected"); // COM1.. as "location device"
        const QString vid = QStringLiteral(" 0403:6001");
        QTest::newRow("by socket, not by kernel name")
            << QStringList{"ttyUSB0" + vid, "ttyUSB1" + vid}
            << QStringList{"usb-0:1.3-port0>ttyUSB0", "usb-0:1.2-port0>ttyUSB1"}
            << QStringList{"usb-0:1.2-port0 ttyUSB1", "usb-0:1.3-port0 ttyUSB0"};
        QTest::newRow("the two adapters swapped kernel names")
            << QStringList{"ttyUSB1" + vid, "ttyUSB0" + vid}
            << QStringList{"usb-0:1.3-port0>ttyUSB1", "usb-0:1.2-port0>ttyUSB0"}
            << QStringList{"usb-0:1.2-port0 ttyUSB0", "usb-0:1.3-port0 ttyUSB1"};
        QTest::newRow("ports 2, 9 and 10 in natural order")
            << QStringList{"ttyUSB0" + vid, "ttyUSB1" + vid, "ttyUSB2" + vid}
            << QStringList{"usb-0:10-port0>ttyUSB0", "usb-0:9-port0>ttyUSB1",
                           "usb-0:2-port0>ttyUSB2"}
            << QStringList{"usb-0:2-port0 ttyUSB2", "usb-0:9-port0 ttyUSB1",
                           "usb-0:10-port0 ttyUSB0"};
        QTest::newRow("USB without an entry, then the others")
            << QStringList{"ttyS10", "ttyS9", "ttyACM0", "ttyUSB3" + vid, "cu.usbserial-1410" + vid}
            << QStringList{"usb-0:4-port0>ttyUSB3"}
            << QStringList{"usb-0:4-port0 ttyUSB3", "- cu.usbserial-1410", "- ttyACM0", "- ttyS9",
                           "- ttyS10"};
    }
    // A programmer keeps its COM number while it stays in its socket, whatever the kernel
    // calls it; it is opened through its socket's entry.
    void socketOrder()
    {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, sockets);
        QFETCH(QStringList, expected);
        Machine machine(ports, sockets);
        const PortNames names = machine.names();
        QStringList got;
        for (int n = 1; n <= expected.size(); ++n) {
            const PortNames::Identity id = names.identityOf(n);
            got << (id.location.isEmpty() ? "-" : id.location) + ' ' +
                       QFileInfo(id.device).fileName();
            QCOMPARE(names.deviceFor(n).contains("/by-path/"), !id.location.isEmpty());
            QCOMPARE(QFileInfo(names.deviceFor(n)).canonicalFilePath(),
                     QFileInfo(id.device).canonicalFilePath());
        }
        QCOMPARE(got, expected);
        QVERIFY(names.deviceFor(expected.size() + 1).isEmpty());
    }

    // --ports with a folder relative to the working folder opens its entries there, not in /dev.
    void relativeFolder()
    {
        const QString before = QDir::currentPath();
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path()));
        const QString device = PortNames::fromDirectory(QStringLiteral("ports")).deviceFor(3);
        QDir::setCurrent(before);
        QCOMPARE(device, dir.filePath(QStringLiteral("ports/COM3")));
    }

    // Missing and duplicate serial numbers show in the listing's rows and its JSON.
    void listing()
    {
        Machine machine({"ttyUSB0 0403:6001 A10K", "ttyUSB1 0403:6001 A10K", "ttyS0"},
                        {"usb-0:1-port0>ttyUSB0", "usb-0:2-port0>ttyUSB1"});
        const QStringList lines =
            vell::cli::describe(machine.names()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        const qsizetype serialColumn = lines.at(0).indexOf("SERIAL");
        QCOMPARE(lines.at(1).mid(serialColumn, 4), "A10K");
        QCOMPARE(lines.at(2).mid(serialColumn, 4), "A10K");
        QVERIFY(lines.at(3).startsWith("COM3") && lines.at(3).endsWith("ttyS0"));
        const QJsonArray json = vell::cli::describeJson(machine.names());
        QCOMPARE(json.size(), 3);
        QCOMPARE(json.at(1)["usb_serial"], "A10K");
        QCOMPARE(json.at(1)["location"], "usb-0:2-port0");
        QCOMPARE(json.at(2)["com"], 3);
        QVERIFY(json.at(2)["usb_serial"].isNull() && json.at(2)["usb_vid_pid"].isNull());
        QCOMPARE(json.at(2)["access"], "ok");
    }

    // Why a port that exists cannot be used, and by whom where a lock says.
    void access_data()
    {
        QTest::addColumn<QString>("holder"); // what holds the port
        QTest::addColumn<QString>("cause");
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<QString>("text");
        QTest::newRow("free") << ""
                              << "ok" << qint64(0) << "";
        QTest::newRow("this process's own claim") << "claim"
                                                  << "ok" << qint64(0) << "";
        QTest::newRow("a live LCK file")
            << "lck"
            << "in use" << qint64(1) << "In use by another program (process 1)";
        QTest::newRow("a dead LCK file") << "dead lck"
                                         << "ok" << qint64(0) << "";
        QTest::newRow("gone") << "gone"
                              << "other" << qint64(0)
                              << "Cannot be opened: \"No such file or directory\"";
        QTest::newRow("no permission")
            << "mode 0"
            << "denied" << qint64(0) << "Permission denied: this user may not open the port";
    }
    void access()
    {
        QFETCH(QString, holder);
        QTemporaryDir dir;
        const QString device =
            dir.filePath(QStringLiteral("ttyVELL%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(vell::test::writeFile(device, {}));
        PortClaim claim(device);
        // As QSerialPort names it: the path, each / an underscore.
        QFile lock(QDir::tempPath() + "/LCK.." + QString(device).replace('/', '_'));
        if (holder == "claim")
            QCOMPARE(claim.take(), PortClaim::Outcome::Held);
        if (holder.endsWith("lck")) {
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(holder == "lck" ? "1\n" : "999999999\n");
            lock.close();
        }
        if (holder == "gone")
            QVERIFY(QFile::remove(device));
        if (holder == "mode 0") {
            if (::geteuid() == 0)
                QSKIP("root opens any file; the process test drops to another user for this");
            QVERIFY(QFile::setPermissions(device, {}));
        }
        const PortAccess::Verdict verdict =
            holder.isEmpty() || holder == "dead lck" || holder == "claim"
                ? PortAccess::check(device)
                : PortAccess::diagnose(device, "Qt's words");
        lock.remove();
        QTEST(verdict.causeName(), "cause");
        QTEST(verdict.pid, "pid");
        QTEST(verdict.text(), "text");
    }
};

/// A pseudo-terminal the test holds: a device node, /dev/pts/N, until closed.
struct Pty
{
    ~Pty() { ::close(master); }
    [[nodiscard]] QString path() const { return QString::fromLocal8Bit(::ptsname(master)); }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
};

class TstClaims : public QObject
{
    Q_OBJECT
    using Outcome = PortClaim::Outcome;
    /// Whether a claim on name is refused (a claim of this process holds it, as another copy).
    static bool refused(const QString &name)
    {
        return PortClaim(name).take() == Outcome::HeldByOther;
    }

private Q_SLOTS:
    void take_data()
    {
        QTest::addColumn<QStringList>("names"); // what another claim holds, what is claimed
        QTest::addColumn<int>("outcome");
        QTest::newRow("held through another node of the device")
            << QStringList{"/dev/ptmx", "/dev/pts/ptmx"} << int(Outcome::HeldByOther);
        QTest::newRow("no lock file can be made")
            << QStringList{"", "squatted"} << int(Outcome::Unclaimed);
        QTest::newRow("leads to no device")
            << QStringList{"", "nothing"} << int(Outcome::Unclaimed);
    }
    void take()
    {
        QFETCH(QStringList, names);
        const QString held = names.at(0), name = names.at(1);
        Pty pty;
        QTemporaryDir dir;
        const QMap<QString, QString> paths{{"squatted", pty.path()},
                                           {"nothing", dir.filePath("none")}};
        const QString path = paths.value(name, name);
        if (name.startsWith('/') && !QFile::exists(path))
            QSKIP("no such device node here");
        PortClaim other(paths.value(held, held));
        if (!held.isEmpty())
            QCOMPARE(other.take(), Outcome::Held);
        const QString squat = PortClaim::lockFileFor(pty.path()); // a folder in the lock's place
        QVERIFY(name != "squatted" || QDir().mkdir(squat));
        PortClaim claim(path);
        const Outcome outcome = claim.take();
        QDir().rmdir(squat); // a lock file is no folder: only the squatter goes
        QCOMPARE(int(outcome), VELL_FETCH(int, outcome));
        QCOMPARE(claim.holderPid(),
                 outcome == Outcome::HeldByOther ? QCoreApplication::applicationPid() : 0);
    }

    // A place stays claimed; the claim on the device behind it ends when the device goes, or
    // when another device takes its place while no link holds it open, and a link that opens
    // claims the device now there first.
    void devicesGo_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("oldFree"); // the device first claimed, through another name
        QTest::newRow("the node's mode changed") << "chmod" << false;
        QTest::newRow("the device went, its number given out again") << "close" << true;
        QTest::newRow("another device in its place") << "replug" << true;
        QTest::newRow("another device in its place, the old one open") << "replug open" << false;
    }
    void devicesGo()
    {
        QFETCH(QString, change);
        QTemporaryDir dir;
        auto first = std::make_unique<Pty>();
        const Pty second;
        const QString old = first->path(), place = dir.filePath("COM1");
        QVERIFY(QFile::link(old, place) && QFile::link(old, dir.filePath("other")));
        ClaimedPorts claims(3600 * 1000);
        FakeSerialLink link;
        QCOMPARE(claims.open(link, place), SerialLink::OpenResult::Opened); // claimed, kept
        if (!change.endsWith("open"))
            link.close();
        QVERIFY(change != "chmod" || ::chmod(QFile::encodeName(old).constData(), 0666) == 0);
        if (change == "close") {
            first.reset();
            first = std::make_unique<Pty>();
            if (first->path() != old)
                QSKIP("the pty's number was not given out again");
        }
        if (change.startsWith("replug"))
            QVERIFY(QFile::remove(place) && QFile::link(second.path(), place));
        claims.checkDevices();
        QCOMPARE(!refused(dir.filePath("other")), VELL_FETCH(bool, oldFree));
        QVERIFY(refused(place));
        link.close();
        QCOMPARE(claims.open(link, place), SerialLink::OpenResult::Opened);
        QVERIFY(refused(QFileInfo(place).canonicalFilePath()));
    }
};

VELL_TEST_MAIN(QCoreApplication, TstFrames, TstLinks, TstPortNames, TstClaims)
#include "tst_link.moc"
