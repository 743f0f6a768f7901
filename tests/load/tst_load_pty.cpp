// Guards the whole load over ptys against simulated programmers, through the application's Station.
#include "app/station.h"
#include "app/texts.h"
#include "app/watchdog.h"
#include "load/filetransfer.h"
#include "load/texts.h"

#include "common/files.h"
#include "common/recordingoperator.h"
#include "link/commandframe.h"
#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using vell::app::Station;
using vell::load::FileTransfer;
using vell::sim::DeviceOptions;
using vell::test::pattern;
namespace link = vell::link;

Q_DECLARE_METATYPE(vell::load::FileTransfer::Outcome)

namespace {

constexpr int kHandshakeMs = 100;
constexpr int kWatchdogMs = 1200;
constexpr int kStallMs = 500;
constexpr int kFirstCom = 3;

/// Simulated programmers on COM3.., a Station over real serial ports to them, a program folder.
struct Bed
{
    explicit Bed(QList<DeviceOptions> devices)
    {
        bank = std::make_unique<vell::sim::SimBank>(simDir.path());
        for (int i = 0; i < devices.size(); ++i) {
            sims.append(bank->add(kFirstCom + i, devices.at(i)));
            ok = ok && sims.last();
        }
        bench = std::make_unique<Station>(
            link::PortNames::fromDirectory(simDir.path()), op, link::qserialPortFactory(),
            vell::app::StationTimings{kHandshakeMs, kWatchdogMs, kStallMs});
        for (int n = 1; n <= devices.size(); ++n) {
            bench->programmerSlots().slot(n).comPort = quint8(kFirstCom + n - 1);
            bench->programmerSlots().slot(n).present = true;
        }
        bench->setCurrentFolder(programDir.path());
        finished = std::make_unique<QSignalSpy>(bench->transfer(), &FileTransfer::finished);
        statuses = std::make_unique<QSignalSpy>(&bench->panes(), &link::PaneBoard::statusChanged);
    }

    void write(const QString &name, const QByteArray &bytes)
    {
        QVERIFY(vell::test::writeFile(programDir.filePath(name), bytes));
    }
    vell::sim::SimDevice &device(int n) { return *sims.at(n - 1)->device(); }
    [[nodiscard]] FileTransfer::Outcome outcome(int i) const
    {
        return finished->at(i).at(0).value<FileTransfer::Outcome>();
    }
    /// The numbers of the "Transferring File" texts programmer n showed, in order.
    [[nodiscard]] QList<int> percents(int n) const
    {
        QList<int> out;
        for (const QList<QVariant> &args : *statuses) {
            const QString text = args.at(1).toString();
            if (args.at(0).toInt() == n && text.startsWith(vell::load::texts::kTransferringFile))
                out.append(text.mid(vell::load::texts::kTransferringFile.size())
                               .chopped(vell::load::texts::kPercentComplete.size())
                               .toInt());
        }
        return out;
    }

    QTemporaryDir simDir;
    QTemporaryDir programDir;
    std::unique_ptr<vell::sim::SimBank> bank;
    QList<vell::sim::PtyProgrammer *> sims;
    vell::test::RecordingOperator op;
    std::unique_ptr<Station> bench;
    std::unique_ptr<QSignalSpy> finished;
    std::unique_ptr<QSignalSpy> statuses;
    bool ok = true;
};

QByteArray configWithTrailer(const QList<QByteArray> &values)
{
    QByteArray text = "Config\r\nsecond line\r\n";
    for (const QByteArray &v : values)
        text += v + "\r\n";
    return text;
}

QList<QByteArray> oneTo32()
{
    QList<QByteArray> values;
    for (int v = 1; v <= 32; ++v)
        values.append(QByteArray::number(v));
    return values;
}

} // namespace

class TstLoadPty : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void streams_data()
    {
        QTest::addColumn<int>("programmers");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<int>>("percents");
        QTest::addColumn<bool>("restoreDefaults");
        QTest::newRow("1,536 bytes, four programmers")
            << 4 << pattern(1536) << QList<int>{33, 66, 100} << false;
        QTest::newRow("1,000 bytes: one block, stops at 51")
            << 2 << pattern(1000) << QList<int>{51} << false;
        QTest::newRow("under 512 bytes: no block") << 2 << pattern(511) << QList<int>{} << false;
        QTest::newRow("filler is 0x00 whatever the file holds")
            << 3 << QByteArray(4 * 512, char(0xFF)) << QList<int>{25, 50, 75, 100} << false;
        QTest::newRow("restore defaults") << 1 << pattern(1024) << QList<int>{50, 100} << true;
    }

    // Whole blocks go to every programmer, each with a 0x00 filler; the tail is never sent.
    void streams()
    {
        QFETCH(int, programmers);
        QFETCH(QByteArray, content);
        QFETCH(QList<int>, percents);
        QFETCH(bool, restoreDefaults);
        QList<DeviceOptions> devices(programmers);
        Bed bed(devices);
        QVERIFY(bed.ok);
        bed.write("image.bin", content);
        bed.bench->setRestoreDefaults(restoreDefaults);
        bed.bench->loadProgramFile("image.bin");
        QTRY_COMPARE(bed.finished->count(), 1);
        QCOMPARE(bed.outcome(0), FileTransfer::Outcome::Loaded);

        const int blocks = int(content.size() / 512);
        const auto size = link::CommandFrame::SizeFields::fromLength(quint32(content.size()));
        for (int n = 1; n <= programmers; ++n) {
            QTRY_COMPARE(bed.device(n).image().size(), blocks * 512);
            QCOMPARE(bed.device(n).image(), content.left(blocks * 512));
            QCOMPARE(bed.device(n).fillers(), QByteArray(blocks, '\0'));
            QCOMPARE(bed.percents(n), percents);
            const QByteArray frame = bed.device(n).frames().value(0);
            QCOMPARE(frame, link::CommandFrame::load(restoreDefaults, size));
            QCOMPARE(int(frame.at(3)), restoreDefaults ? 1 : 0);
        }
        QCOMPARE(bed.bench->lastFileLoadedFolder(), bed.programDir.path());
        if (content.size() == 1000)
            QCOMPARE(bed.device(1).frames().value(0).mid(18, 3).toHex(' '), QByteArray("00 03 e8"));
        if (blocks > 0) {
            for (int n = 1; n <= programmers; ++n)
                QTRY_COMPARE(bed.bench->panes().pane(n).status, QStringLiteral("File Loaded OK"));
        }
    }

    // Programmer 2 never ready: the frame goes to every programmer once per period until the
    // watchdog ends the load with "Error"; the next load starts without that fault.
    void neverReadyThenNextLoadWorks()
    {
        DeviceOptions neverReady;
        neverReady.neverReady = true;
        Bed bed({DeviceOptions{}, neverReady});
        QVERIFY(bed.ok);
        bed.write("image.bin", pattern(2048));
        bed.bench->loadProgramFile("image.bin");
        QTRY_COMPARE_WITH_TIMEOUT(bed.finished->count(), 1, 3 * kWatchdogMs);
        QCOMPARE(bed.outcome(0), FileTransfer::Outcome::TimedOut);
        QCOMPARE(bed.bench->prompt(), vell::app::texts::kPromptError);
        QVERIFY(bed.bench->faultTimedOut());
        const int expected = kWatchdogMs / kHandshakeMs;
        for (int n = 1; n <= 2; ++n) {
            const int frames = int(bed.device(n).frames().size());
            QVERIFY2(frames >= expected - 3 && frames <= expected + 1,
                     qPrintable(QString::number(frames)));
            QVERIFY(bed.device(n).image().isEmpty());
        }
        QVERIFY(!bed.bench->busy());

        // Only programmer 1 in use now: the next load goes through though the fault was set.
        bed.bench->programmerSlots().slot(2).present = false;
        bed.bench->loadProgramFile("image.bin");
        QCOMPARE(bed.bench->prompt(), vell::app::texts::kPromptDoubleClick);
        QVERIFY(!bed.bench->faultTimedOut());
        QTRY_COMPARE(bed.finished->count(), 2);
        QCOMPARE(bed.outcome(1), FileTransfer::Outcome::Loaded);
        QTRY_COMPARE(bed.device(1).image(), pattern(2048));
        QCOMPARE(bed.bench->prompt(), vell::app::texts::kPromptDoubleClick);
    }

    void blackBox_data()
    {
        QTest::addColumn<QList<QByteArray>>("trailer");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("lines 3..34 = 1..32") << oneTo32() << true;
        QList<QByteArray> failing = oneTo32();
        failing[9] = "255.5";
        QTest::newRow("a value that is not a byte") << failing << false;
    }

    // The last 32 bytes come from Config.txt; a value that fails ends the stream before the
    // block that holds it.
    void blackBox()
    {
        QFETCH(QList<QByteArray>, trailer);
        QFETCH(bool, loaded);
        Bed bed({DeviceOptions{}, DeviceOptions{}});
        QVERIFY(bed.ok);
        const QByteArray content = pattern(1536);
        bed.write("image.bin", content);
        bed.write("Config.txt", configWithTrailer(trailer));
        bed.bench->setBlackBox(true);
        bed.bench->loadProgramFile("image.bin");
        QTRY_COMPARE(bed.finished->count(), 1);
        QCOMPARE(bed.outcome(0),
                 loaded ? FileTransfer::Outcome::Loaded : FileTransfer::Outcome::StreamFailed);
        QByteArray expected = content;
        for (int k = 1; k <= 32; ++k)
            expected[1536 - 33 + k] = char(k);
        for (int n = 1; n <= 2; ++n) {
            if (loaded) {
                QTRY_COMPARE(bed.device(n).image(), expected);
                QCOMPARE(bed.device(n).image().right(32).toHex(),
                         QByteArray("0102030405060708090a0b0c0d0e0f10"
                                    "1112131415161718191a1b1c1d1e1f20"));
            } else {
                QTRY_COMPARE(bed.device(n).receivedBytes(), 24 + 2 * 513);
                QCOMPARE(bed.device(n).image(), content.left(1024));
            }
        }
    }

    // Programmer 1 unplugged since the last load: the lost-link message, no frame to anyone.
    void programmerOneUnplugged()
    {
        Bed bed({DeviceOptions{}, DeviceOptions{}});
        QVERIFY(bed.ok);
        bed.write("image.bin", pattern(1024));
        bed.bench->loadProgramFile("image.bin");
        QTRY_COMPARE(bed.finished->count(), 1);
        QTRY_COMPARE(bed.bench->panes().pane(2).status, QStringLiteral("File Loaded OK"));
        const qsizetype framesBefore = bed.device(2).frames().size();

        bed.sims.at(0)->unplug();
        QTRY_VERIFY(!bed.bench->links().link(1)->isOpen());
        bed.bench->loadProgramFile("image.bin");
        QCOMPARE(bed.finished->count(), 2);
        QCOMPARE(bed.outcome(1), FileTransfer::Outcome::ProgrammerLost);
        QCOMPARE(bed.op.messages.last(),
                 qMakePair(QStringLiteral("Communication with Programmer Lost\rRestart Program "
                                          "with Programmer Connected"),
                           QStringLiteral("Vell Programmer")));
        QTest::qWait(3 * kHandshakeMs);
        QCOMPARE(bed.device(2).frames().size(), framesBefore);
        QVERIFY(!bed.bench->watchdog().isArmed());
    }

    void dropOut_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("unplugged mid-stream") << "unplug";
        QTest::newRow("stops reading") << "stall";
    }

    // One failing programmer drops out; every other one gets the whole file and loads it.
    void dropOut()
    {
        QFETCH(QString, fault);
        DeviceOptions bad;
        (fault == "unplug" ? bad.unplugAfter : bad.stallAfter) = 24 + 40 * 513;
        Bed bed({DeviceOptions{}, bad, DeviceOptions{}});
        QVERIFY(bed.ok);
        const QByteArray content = pattern(256 * 1024);
        bed.write("image.bin", content);
        QSignalSpy dropped(bed.bench->transfer(), &FileTransfer::droppedOutOfStream);
        bed.bench->loadProgramFile("image.bin");
        QTRY_COMPARE_WITH_TIMEOUT(bed.finished->count(), 1, 10000);
        QCOMPARE(bed.outcome(0), FileTransfer::Outcome::Loaded);
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).toInt(), 2);
        QCOMPARE(bed.bench->panes().pane(2).status, vell::load::texts::kCommunicationLost);
        for (int n : {1, 3}) {
            QTRY_COMPARE(bed.bench->panes().pane(n).status, QStringLiteral("File Loaded OK"));
            QCOMPARE(bed.device(n).image(), content);
        }
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("16 MiB, sparse") << "16MiB";
        QTest::newRow("not a readable file") << "folder";
    }

    void refusals()
    {
        QFETCH(QString, kind);
        Bed bed({DeviceOptions{}, DeviceOptions{}});
        QVERIFY(bed.ok);
        if (kind == "16MiB") {
            QFile big(bed.programDir.filePath("image.bin"));
            QVERIFY(big.open(QIODevice::WriteOnly));
            QVERIFY(big.resize(16 * 1024 * 1024));
        } else if (kind == "folder") {
            QVERIFY(QDir(bed.programDir.path()).mkdir("image.bin"));
        }
        bed.bench->loadProgramFile("image.bin");
        QCOMPARE(bed.finished->count(), 1);
        QCOMPARE(bed.outcome(0), FileTransfer::Outcome::Refused);
        QCOMPARE(bed.op.messages.size(), 1);
        QVERIFY(bed.op.messages.at(0).first.contains("image.bin"));
        QTest::qWait(kHandshakeMs);
        for (int n = 1; n <= 2; ++n) {
            QVERIFY(!bed.bench->links().link(n)->isOpen());
            QVERIFY(!bed.sims.at(n - 1)->isPortOpen());
        }
        QVERIFY(bed.statuses->isEmpty());
    }

private:
    vell::test::WorkFolder m_workFolder; // port files land here
};

QTEST_GUILESS_MAIN(TstLoadPty)
#include "tst_load_pty.moc"
