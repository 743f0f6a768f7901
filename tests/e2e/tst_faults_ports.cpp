// Guards the ports around a load: a programmer's port that vanished between the search and
// the load is named to the operator and the retry works; a working folder where no port file
// can be made does not stop any command.
#include "faultbench.h"

#include "common/readonlyfolder.h"

#include "app/texts.h"
#include "discovery/programmersearch.h"
#include "link/texts.h"

#include <QSignalSpy>

using vell::discovery::ProgrammerSearch;
using vell::load::FileTransfer;
using vell::sim::PtyProgrammer;
using vell::test::FaultBench;
using vell::test::ReadOnlyFolder;

namespace lt = vell::link::texts;

class TestFaultsPorts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portVanishesBetweenSearchAndLoad()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {2, 5, 9})
            sims << fb.add(com);
        vell::app::Station &bench = fb.start({});
        {
            // The search, as the search window runs it, fills the slots.
            // The search keeps a reference to its port names.
            const auto names = vell::link::PortNames::fromDirectory(fb.portDir());
            // The shipped tick: a shorter one can miss a greeting on a loaded machine.
            ProgrammerSearch search(bench.programmerSlots(), names,
                                    vell::link::qserialPortFactory());
            QSignalSpy finished(&search, &ProgrammerSearch::finished);
            search.start();
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
            QCOMPARE(search.programmersFound(), 3);
            search.stop();
        }
        QCOMPARE(bench.programmerSlots().slot(2).comPort, 5);
        bench.showFoundProgrammers();

        fb.sims().programmer(5)->unplug(); // gone before the double-click
        fb.writeProgramFile(QStringLiteral("image.bin"), 4 * 512);
        QSignalSpy finished(bench.transfer(), &FileTransfer::finished);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        QCOMPARE(fb.op.messages.size(), 1);
        QCOMPARE(fb.op.messages.at(0),
                 qMakePair(lt::connectProgrammerN(2), lt::kIncorrectPortNumber));
        // Programmer 2 cannot answer: the load ends through the watchdog, with no block out.
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(), FileTransfer::Outcome::TimedOut);
        QCOMPARE(bench.prompt(), vell::app::texts::kPromptError);
        QCOMPARE(sims.at(0)->device()->image(), QByteArray());
        QCOMPARE(sims.at(2)->device()->image(), QByteArray());

        // Plugged back in: the retry loads every programmer.
        const auto replugged = PtyProgrammer::create(
            vell::sim::SimBank::linkPath(fb.portDir(), 5), vell::test::fastDevice());
        QVERIFY(replugged);
        const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 4 * 512);
        bench.loadProgramFile(QStringLiteral("image.bin"));
        QCOMPARE(bench.prompt(), vell::app::texts::kPromptDoubleClick);
        for (int n = 1; n <= 3; ++n)
            QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
        QCOMPARE(replugged->device()->image(), file);
        QCOMPARE(fb.op.messages.size(), 1);
    }

    // No port file can be made in the working folder: the links open all the same, silently.
    void readOnlyWorkingFolder()
    {
        FaultBench fb;
        QList<PtyProgrammer *> sims;
        for (int com : {3, 4})
            sims << fb.add(com);
        QTemporaryDir base;
        const QString previous = QDir::currentPath();
        {
            ReadOnlyFolder work(base.filePath(QStringLiteral("work")));
            if (!work.isReadOnly())
                QSKIP("no read-only folder can be made here");
            QVERIFY(QDir::setCurrent(work.path()));
            vell::app::Station &bench = fb.start({3, 4});
            const QByteArray file = fb.writeProgramFile(QStringLiteral("image.bin"), 4 * 512);
            bench.loadProgramFile(QStringLiteral("image.bin"));
            for (int n = 1; n <= 2; ++n) {
                QTRY_COMPARE(fb.status(n), lt::kFileLoadedOk);
                QCOMPARE(sims.at(n - 1)->device()->image(), file);
                QVERIFY(!bench.links().portFile(n).isOpen());
            }
            bench.programTarget();
            for (int n = 1; n <= 2; ++n)
                QTRY_COMPARE(fb.status(n), lt::kBoardProgrammedOk);
            QVERIFY(fb.op.messages.isEmpty());
            QCOMPARE(QDir(work.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList());
            QVERIFY(QDir::setCurrent(previous));
        }
    }
};

QTEST_GUILESS_MAIN(TestFaultsPorts)
#include "tst_faults_ports.moc"
