// Guards the load watchdog: one shot per arming, no restart when armed again, disarm stops it,
// and what the bench does when it fires (prompt "Error", port files released, fault set).
#include "app/station.h"
#include "app/texts.h"
#include "app/watchdog.h"

#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using vell::app::Station;
using vell::app::Watchdog;

namespace {

/// True when this process holds a descriptor open on path (Linux: /proc/self/fd).
bool holdsOpen(const QString &path)
{
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QFileInfoList fds =
        QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::AllEntries | QDir::System);
    for (const QFileInfo &fd : fds) {
        if (fd.symLinkTarget() == wanted)
            return true;
    }
    return false;
}

} // namespace

class TestWatchdog : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One shot per arming; a disarmed watchdog stays quiet while another one fires, and can
    // be armed again.
    void firesOnceAndDisarms()
    {
        Watchdog dog(40);
        Watchdog reference(120);
        QSignalSpy fired(&dog, &Watchdog::fired);
        QSignalSpy referenceFired(&reference, &Watchdog::fired);
        QElapsedTimer clock;
        clock.start();
        dog.arm();
        QVERIFY(dog.isArmed());
        QVERIFY(fired.wait(2000));
        QVERIFY(clock.elapsed() >= 35);
        QVERIFY(!dog.isArmed());

        dog.arm();
        reference.arm();
        dog.disarm();
        QVERIFY(!dog.isArmed());
        QVERIFY(referenceFired.wait(2000));
        QCOMPARE(fired.count(), 1);
        dog.arm();
        QVERIFY(fired.wait(2000));
        QCOMPARE(fired.count(), 2);
    }

    void armingAgainDoesNotRestartTheCount()
    {
        Watchdog dog(5000);
        QElapsedTimer clock;
        clock.start();
        dog.arm();
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() >= 150, 3000);
        dog.arm();
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(dog.remainingMs() <= 5000 - elapsed + 10,
                 qPrintable(QString::number(dog.remainingMs())));
        QVERIFY(dog.isArmed());
    }

    void firingEndsTheLoadWithError()
    {
        const vell::test::WorkFolder folder; // port files land here
        QVERIFY(folder.isValid());

        vell::test::FakeLinkBank bank;
        vell::test::RecordingOperator op;
        vell::app::StationTimings timings;
        timings.watchdogMs = 30;
        Station bench(vell::link::PortNames::fromDirectory(folder.path()), op, bank.factory(),
                    timings);
        bench.programmerSlots().slot(1).comPort = 3;
        bench.programmerSlots().slot(2).comPort = 7;
        bench.programmerSlots().slot(2).present = true;
        bench.links().openLinks(vell::test::only(1), QStringLiteral("Establishing Communication"), vell::link::Links::Command::Load, {});
        bench.links().openLinks(vell::test::only(2), QStringLiteral("Establishing Communication"), vell::link::Links::Command::Load, {});
        const QString portFile1 = QDir(folder.path()).filePath(QStringLiteral("3"));
        const QString portFile2 = QDir(folder.path()).filePath(QStringLiteral("7"));
        QVERIFY(holdsOpen(portFile1));
        QVERIFY(holdsOpen(portFile2));
        QCOMPARE(bench.prompt(), vell::app::texts::kPromptDoubleClick);

        QSignalSpy prompts(&bench, &Station::promptChanged);
        bench.watchdog().arm();
        QTRY_VERIFY_WITH_TIMEOUT(bench.faultTimedOut(), 2000);
        QCOMPARE(bench.prompt(), QStringLiteral("Error"));
        QCOMPARE(prompts.count(), 1);
        QCOMPARE(prompts.first().first().toString(), QStringLiteral("Error"));
        QVERIFY(!bench.watchdog().isArmed());
        QVERIFY(!holdsOpen(portFile1));
        QVERIFY(!holdsOpen(portFile2));
        QVERIFY(op.messages.isEmpty());

        // The next load starts without the fault.
        bench.clearFault();
        QVERIFY(!bench.faultTimedOut());
        QCOMPARE(bench.prompt(), vell::app::texts::kPromptDoubleClick);
    }
};

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
