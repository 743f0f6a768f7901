// Guards the search over real serial ports: simulated programmers on ptys are found through
// QSerialPort within one tick each, others are passed over, and the ports are free afterwards.
#include "discovery/programmersearch.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using vell::discovery::ProgrammerSearch;
using vell::sim::DeviceOptions;
using Kind = vell::sim::DeviceOptions::Kind;

namespace {

// Long enough for a greeting to cross the pty within one tick on a busy machine.
constexpr int kTickMs = 50;
constexpr int kScanTimeoutMs = 20 * 1000;

DeviceOptions kindOf(Kind kind)
{
    DeviceOptions options;
    options.kind = kind;
    return options;
}

} // namespace

class tst_SearchOverPtys : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void programmersAmongOtherDevices();
    void fourthProgrammerEndsTheScan();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QTemporaryDir> m_workDir;
};

void tst_SearchOverPtys::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_workDir->path())); // port files
}

void tst_SearchOverPtys::programmersAmongOtherDevices()
{
    vell::sim::SimBank bank(m_dir->path());
    QVERIFY2(bank.add(2, kindOf(Kind::Silent)), qPrintable(bank.errorString()));
    QVERIFY(bank.add(3));
    QVERIFY(bank.add(4, kindOf(Kind::OtherText)));
    QVERIFY(bank.add(5, kindOf(Kind::ShortGreeting)));
    QVERIFY(bank.add(7));
    QVERIFY(bank.add(8, kindOf(Kind::Silent)));

    vell::link::ProgrammerSlots programmers;
    const auto names = vell::link::PortNames::fromDirectory(m_dir->path());
    ProgrammerSearch search(programmers, names, vell::link::qserialPortFactory(), kTickMs);
    QSignalSpy finished(&search, &ProgrammerSearch::finished);
    search.start();
    QVERIFY(finished.wait(kScanTimeoutMs));

    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(search.programmersFound(), 2);
    QCOMPARE(int(programmers.slot(1).comPort), 3);
    QCOMPARE(int(programmers.slot(2).comPort), 7);
    QVERIFY(programmers.slot(1).present);
    QVERIFY(programmers.slot(2).present);
    QVERIFY(!programmers.slot(3).present);
    QVERIFY(!programmers.slot(4).present);
    QCOMPARE(search.programmerLabel(1), QStringLiteral("Programmer Found on Com Port 3"));
    QCOMPARE(search.programmerLabel(2), QStringLiteral("Programmer Found on Com Port 7"));
    QVERIFY(search.programmerLabel(3).isEmpty());
    // Every device was probed once; the search sends nothing.
    for (int com : bank.comPorts()) {
        QCOMPARE(bank.programmer(com)->device()->openCount(), 1);
        QCOMPARE(bank.programmer(com)->device()->receivedBytes(), 0);
    }

    // The scanning port is let go: the main window's link can open a programmer's port.
    QTRY_VERIFY(!bank.programmer(7)->isPortOpen());
    vell::link::QSerialPortLink mainLink;
    QCOMPARE(mainLink.open(names.deviceFor(7)), vell::link::SerialLink::OpenResult::Opened);
}

void tst_SearchOverPtys::fourthProgrammerEndsTheScan()
{
    vell::sim::SimBank bank(m_dir->path());
    for (int com : {1, 2, 4, 6, 9})
        QVERIFY2(bank.add(com), qPrintable(bank.errorString()));

    vell::link::ProgrammerSlots programmers;
    const auto names = vell::link::PortNames::fromDirectory(m_dir->path());
    ProgrammerSearch search(programmers, names, vell::link::qserialPortFactory(), kTickMs);
    QSignalSpy closeRequested(&search, &ProgrammerSearch::closeRequested);
    QSignalSpy laterOpened(bank.programmer(9), &vell::sim::PtyProgrammer::portOpened);
    search.start();
    QVERIFY(closeRequested.wait(kScanTimeoutMs));

    QCOMPARE(search.programmersFound(), 4);
    QCOMPARE(int(programmers.slot(4).comPort), 6);
    QVERIFY(programmers.slot(4).present);
    QVERIFY(!search.isRunning());
    QCOMPARE(search.currentPort(), 6);
    // The timer has stopped, so COM9 is never opened.
    QCOMPARE(laterOpened.count(), 0);
    QCOMPARE(bank.programmer(9)->device()->openCount(), 0);
}

QTEST_GUILESS_MAIN(tst_SearchOverPtys)
#include "tst_searchoverptys.moc"
