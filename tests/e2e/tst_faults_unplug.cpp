// Guards what the operator sees when a programmer is unplugged in the handshake, in the stream
// or while programming its target: that pane says so, the others finish, nothing hangs.
#include "faultbench.h"

#include "app/texts.h"
#include "link/texts.h"
#include "load/texts.h"

#include <QSignalSpy>

using vell::load::FileTransfer;
using vell::sim::PtyProgrammer;
using vell::sim::SimDevice;
using vell::test::FaultBench;
using vell::test::fastDevice;

namespace lt = vell::link::texts;
namespace ldt = vell::load::texts;

class TestFaultsUnplug : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Programmer n vanishes right after the first load frame reached it, before it was
    // ready: it leaves the load at once, the others are not held until the watchdog.
    void unplugDuringHandshake_data()
    {
        QTest::addColumn<int>("gone");
        QTest::newRow("programmer 1") << 1;
        QTest::newRow("programmer 3") << 3;
    }
    void unplugDuringHandshake()
    {
        QFETCH(int, gone);
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {2, 4, 6, 8})
            sims << fb.add(com, fastDevice(com == 2 * gone ? QStringLiteral("noready") : QString()));
        PtyProgrammer *victim = sims.at(gone - 1);
        connect(victim->device(), &SimDevice::frameReceived, victim,
                [victim] { QTimer::singleShot(0, victim, [victim] { victim->unplug(); }); });
        vell::app::Station &bench = fb.start({2, 4, 6, 8});
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 4 * 512);
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);

        bench.loadProgramFile(QStringLiteral("image.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 2000); // well before the watchdog
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(), FileTransfer::Outcome::Loaded);
        for (int n = 1; n <= 4; ++n) {
            if (n == gone)
                continue;
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
            QCOMPARE(sims.at(n - 1)->device()->image(), file);
        }
        QCOMPARE(fb.status(gone), ldt::kCommunicationLost);
        QVERIFY(bench.transfer()->droppedOut(gone));
        QCOMPARE(bench.prompt(), vell::app::texts::kPromptDoubleClick);
        QVERIFY(!bench.faultTimedOut());
        QVERIFY(fb.op.messages.isEmpty());
    }

    // Every programmer gone in the handshake: the load ends at once, nobody waits.
    void everyProgrammerUnpluggedDuringHandshake()
    {
        FaultBench fb;
        PtyProgrammer *p = fb.add(3, fastDevice(QStringLiteral("noready,unplug=24")));
        vell::app::Station &bench = fb.start({3});
        fb.writeProgramFile(QStringLiteral("image.bin"), 2048);
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 2000);
        QVERIFY(!p->isPlugged());
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::AllLinksLost);
        QCOMPARE(fb.status(1), ldt::kCommunicationLost);
        QVERIFY(!bench.busy());
        QVERIFY(!bench.watchdog().isArmed());
    }

    // Programmer 2 vanishes after a few blocks: it drops out, the rest get the whole file.
    void unplugDuringStream()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {1, 2, 3})
            sims << fb.add(com, fastDevice(com == 2 ? QStringLiteral("unplug=3000") : QString()));
        vell::app::Station &bench = fb.start({1, 2, 3});
        const QByteArray file = fb.writeProgramFile(QStringLiteral("big.bin"), 64 * 512);
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);
        bench.loadProgramFile(QStringLiteral("big.bin"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QVERIFY(!sims.at(1)->isPlugged());
        QCOMPARE(fb.status(2), ldt::kCommunicationLost);
        for (int n : {1, 3}) {
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
            QCOMPARE(sims.at(n - 1)->device()->image(), file);
        }
        QVERIFY(fb.op.messages.isEmpty());
    }

    // Programmer 2 vanishes in the middle of programming its board: its pane says so instead
    // of keeping its last percentage; the others finish; the next command still works.
    void unplugWhileProgrammingTarget()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {5, 6, 7})
            sims << fb.add(com, fastDevice(QStringLiteral("prog=40,verify=40,interval=5")));
        vell::app::Station &bench = fb.start({5, 6, 7});
        fb.writeProgramFile(QStringLiteral("image.bin"), 2 * 512);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);

        bench.programTarget();
        QTRY_VERIFY(fb.status(2).startsWith(lt::kProgrammingTargetBoardPrefix));
        sims.at(1)->unplug();
        QTRY_COMPARE(fb.status(2), ldt::kCommunicationLost);
        QTRY_COMPARE(fb.status(1), lt::kBoardProgrammedOk);
        QTRY_COMPARE(fb.status(3), lt::kBoardProgrammedOk);
        QCOMPARE(fb.status(2), ldt::kCommunicationLost);
        QVERIFY(fb.op.messages.isEmpty());
        QVERIFY(!bench.busy());

        // The bench is not stuck: the next press reaches the others, and names the lost one.
        bench.programTarget();
        QCOMPARE(fb.op.messages.size(), 1);
        QCOMPARE(fb.op.messages.at(0).first, lt::connectProgrammerN(2));
        const auto targetFrames = [&sims] {
            int count = 0;
            for (const QByteArray &frame : sims.at(0)->device()->frames())
                count += frame.at(2) == 'T' ? 1 : 0;
            return count;
        };
        QTRY_COMPARE(targetFrames(), 2);
        QTRY_COMPARE(fb.status(1), lt::kBoardProgrammedOk);
        QTRY_COMPARE(fb.status(3), lt::kBoardProgrammedOk);
    }
};

QTEST_GUILESS_MAIN(TestFaultsUnplug)
#include "tst_faults_unplug.moc"
