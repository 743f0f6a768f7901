// Guards the program-target button on the Station: it runs the command, and is ignored while a load
// runs.
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"

#include "app/station.h"

#include <QDir>
#include <QTest>

using namespace vell;

class tst_BenchProgramTarget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sendsWhenIdleIgnoredDuringLoad();
};

void tst_BenchProgramTarget::sendsWhenIdleIgnoredDuringLoad()
{
    test::WorkFolder work;
    QVERIFY(test::writeFile(QDir(work.path()).filePath(QStringLiteral("board.bin")),
                            test::pattern(1024)));

    const link::PortNames names = link::PortNames::fromDirectory(work.path());
    test::RecordingOperator op;
    test::FakeLinkBank fakes;
    app::Station bench(names, op, fakes.factory());
    bench.programmerSlots().slot(1).comPort = 1;
    auto *fake = static_cast<test::FakeSerialLink *>(bench.links().link(1));

    bench.programTarget();
    QCOMPARE(fake->written().left(3), QByteArray("APT"));
    fake->writes.clear();

    bench.setCurrentFolder(work.path());
    bench.loadProgramFile(QStringLiteral("board.bin"));
    QVERIFY(bench.busy()); // waiting for "ASEND"
    QCOMPARE(fake->written().left(3), QByteArray("APL"));
    bench.programmerSlots().slot(1).replyUsbr = true;

    bench.programTarget();
    QVERIFY(!fake->written().contains("APT"));
    // Nothing of the command ran: the load's flags and texts stand.
    QVERIFY(bench.programmerSlots().slot(1).replyUsbr);
    QVERIFY(bench.panes().pane(1).status != QStringLiteral("Programming Target Board"));
}

QTEST_GUILESS_MAIN(tst_BenchProgramTarget)
#include "tst_benchprogramtarget.moc"
