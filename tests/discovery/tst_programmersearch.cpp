// Guards the search: its port schedule, what counts as a programmer, the order programmers are
// numbered in, the four-programmer stop, the finish texts and the port files; and the same
// search over simulated programmers on ptys through QSerialPort, leaving the ports free.
#include "common/files.h"
#include "discovery/programmersearch.h"
#include "discovery/texts.h"
#include "link/qserialportlink.h"
#include "scriptedports.h"
#include "sim/simbank.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using vell::discovery::ProgrammerSearch;
using vell::test::message;
using vell::test::PortScript;
using vell::test::ScriptedLink;
using Ports = QMap<int, PortScript>;
using Kind = vell::sim::DeviceOptions::Kind;

Q_DECLARE_METATYPE(Ports)

namespace {

// The timer never fires in the scripted tests: they step the machine by hand.
constexpr int kManualTick = 3600 * 1000;
// Over ptys: long enough for a greeting to cross within one tick on a busy machine.
constexpr int kTickMs = 50;
constexpr int kScanTimeoutMs = 20 * 1000;

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int i = first; i <= last; ++i)
        out.append(i);
    return out;
}

/// One search over scripted ports.
struct Scan
{
    explicit Scan(const Ports &ports)
        : names(vell::link::PortNames::fromDirectory(QStringLiteral("/nonexistent/ports")))
    {
        search = std::make_unique<ProgrammerSearch>(
            programmers, names,
            [this, ports] {
                auto scripted = std::make_unique<ScriptedLink>(ports);
                link = scripted.get();
                return scripted;
            },
            kManualTick);
    }

    /// Starts and ticks until the scan ends; returns the number of ticks it took.
    int runToEnd()
    {
        search->start();
        int ticks = 0;
        while (search->isRunning() && ticks < 100) {
            search->tick();
            ++ticks;
        }
        return ticks;
    }

    vell::link::ProgrammerSlots programmers;
    vell::link::PortNames names;
    ScriptedLink *link = nullptr; // owned by the search
    std::unique_ptr<ProgrammerSearch> search;
};

vell::sim::DeviceOptions kindOf(vell::sim::DeviceOptions::Kind kind)
{
    vell::sim::DeviceOptions options;
    options.kind = kind;
    return options;
}

} // namespace

class tst_ProgrammerSearch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scan_data();
    void scan();
    void recognition_data();
    void recognition();
    void messageAfterRecordingDoesNotCountForTheNextPort();
    void stopEndsTheScanAndFreesThePort();
    void portFilesNameThePortsInTheWorkingFolder();
    void portFilesThatCannotBeCreatedAreSkipped();
    void overPtysAmongOtherDevices();
    void overPtysFourthProgrammerEndsTheScan();

private:
    vell::test::WorkFolder m_workFolder; // port files go to the working folder
};

void tst_ProgrammerSearch::scan_data()
{
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<QList<int>>("comPorts"); // programmers 1..4, 0 = not found
    QTest::addColumn<QList<int>>("attempts");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<int>("lastPort");

    const QByteArray greeting = message("AUSBR");

    QTest::newRow("no ports at all")
        << Ports{} << QList<int>{0, 0, 0, 0} << range(1, 15) << 15 << 16;

    Ports silent;
    for (int com = 1; com <= 15; ++com)
        silent[com] = PortScript::device();
    QTest::newRow("fifteen silent ports, one tick to open and one to judge each")
        << silent << QList<int>{0, 0, 0, 0} << range(1, 15) << 30 << 16;

    QTest::newRow("programmer on port 1 only")
        << Ports{{1, PortScript::device({greeting})}} << QList<int>{1, 0, 0, 0} << range(1, 15)
        << 16 << 16;

    QTest::newRow("programmer on port 15, the last probed")
        << Ports{{15, PortScript::device({greeting})}} << QList<int>{15, 0, 0, 0} << range(1, 15)
        << 16 << 16;

    const Ports mixed{
        {1, PortScript::device()},
        {2, PortScript::device({QByteArray("MODEM READY, FIRMWARE 2.31\r\n")})},
        {3, PortScript::device({greeting})},
        {4, PortScript::device({greeting.left(23)})},
        {5, PortScript::busy()},
        {7, PortScript::device({greeting.left(10), greeting.mid(10)})},
        {8, PortScript::device()},
    };
    QTest::newRow("programmers on 3 and 7 among other devices")
        << mixed << QList<int>{3, 7, 0, 0} << range(1, 15) << 22 << 16;

    const Ports five{
        {2, PortScript::device({greeting})},
        {5, PortScript::device({message("ALPOK")})},
        {6, PortScript::device({greeting})},
        {7, PortScript::device()},
        {8, PortScript::device()},
        {9, PortScript::device({message("ADATA")})},
        {12, PortScript::device({greeting})},
    };
    QTest::newRow("four programmers end the scan at the fourth")
        << five << QList<int>{2, 5, 6, 9} << range(1, 9) << 14 << 9;
}

void tst_ProgrammerSearch::scan()
{
    QFETCH(Ports, ports);
    QFETCH(QList<int>, comPorts);
    QFETCH(QList<int>, attempts);
    QFETCH(int, ticks);
    QFETCH(int, lastPort);

    Scan scan(ports);
    QSignalSpy finished(scan.search.get(), &ProgrammerSearch::finished);
    QSignalSpy closeRequested(scan.search.get(), &ProgrammerSearch::closeRequested);
    QCOMPARE(scan.search->portSearchedLabel(), QStringLiteral("Searching Port"));
    QCOMPARE(scan.search->portSearched(), QStringLiteral("1"));

    QCOMPARE(scan.runToEnd(), ticks);

    const int found = int(comPorts.size() - comPorts.count(0));
    QCOMPARE(scan.search->programmersFound(), found);
    for (int n = 1; n <= 4; ++n) {
        const int com = comPorts.at(n - 1);
        QCOMPARE(int(scan.programmers.slot(n).comPort), com);
        QCOMPARE(scan.programmers.slot(n).present, com != 0);
        QCOMPARE(scan.search->programmerLabel(n),
                 com != 0 ? QStringLiteral("Programmer Found on Com Port %1").arg(com) : QString());
    }
    QCOMPARE(scan.link->attempts, attempts);
    QCOMPARE(scan.search->currentPort(), lastPort);
    QCOMPARE(scan.search->portSearched(), QString::number(lastPort));

    // The search window only asks to close when there is a programmer to hand over.
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), found > 0);
    QCOMPARE(closeRequested.count(), found > 0 ? 1 : 0);
    QCOMPARE(scan.search->portSearchedLabel(),
             found > 0 ? QStringLiteral("Searching Port")
                       : QStringLiteral("No Programmers Found\r"
                                        "Please Connect Programmer(s) and Restart Program"));

    // The scanning port is let go, so the main window can open the programmers' ports.
    QVERIFY(!scan.link->isOpen());
    QVERIFY(!scan.search->isRunning());
    // The search uses its own capture, not programmer 1's reply text.
    QVERIFY(scan.programmers.slot(1).replyText.isEmpty());
}

void tst_ProgrammerSearch::recognition_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<bool>("recognised");

    for (const char *token : {"AUSBR", "ASEND", "ALPOK", "ALPER", "APTOK", "APTER", "ADATA"}) {
        QTest::addRow("24 bytes starting %s", token) << QList<QByteArray>{message(token)} << true;
        QTest::addRow("23 bytes starting %s", token)
            << QList<QByteArray>{message(token, 23)} << false;
    }
    QTest::newRow("23 bytes, then one more")
        << QList<QByteArray>{message("AUSBR", 23), "x"} << true;
    QTest::newRow("more than 24 bytes") << QList<QByteArray>{message("APTER", 40)} << true;
    QTest::newRow("lower-case token") << QList<QByteArray>{message("ausbr")} << false;
    QTest::newRow("progress token") << QList<QByteArray>{message("APROG")} << false;
    QTest::newRow("four letters of a token") << QList<QByteArray>{message("AUSB")} << false;
    QTest::newRow("token after the first byte")
        << QList<QByteArray>{"\n" + message("AUSBR")} << false;
    QTest::newRow("a later message replaces the first")
        << QList<QByteArray>{message("HELLO"), message("AUSBR")} << true;
    QTest::newRow("a later other message replaces a greeting")
        << QList<QByteArray>{message("AUSBR"), message("HELLO")} << false;
}

void tst_ProgrammerSearch::recognition()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(bool, recognised);

    // A whole message judged alone gives the same answer as the scan.
    if (chunks.size() == 1 && chunks.first().size() >= 24)
        QCOMPARE(ProgrammerSearch::isProgrammerReply(chunks.first()), recognised);

    Scan scan(Ports{{1, PortScript::device(chunks)}, {2, PortScript::device()}});
    scan.search->start();
    scan.search->tick(); // judges port 1
    QCOMPARE(scan.search->programmersFound(), recognised ? 1 : 0);
    QCOMPARE(scan.programmers.slot(1).present, recognised);
    QCOMPARE(int(scan.programmers.slot(1).comPort), recognised ? 1 : 0);
    // Either way the next port is the one probed next.
    QCOMPARE(scan.search->currentPort(), 2);
}

void tst_ProgrammerSearch::messageAfterRecordingDoesNotCountForTheNextPort()
{
    Scan scan(Ports{{1, PortScript::device({message("AUSBR")})}, {2, PortScript::device()}});
    scan.search->start();
    scan.search->tick(); // port 1 judged and recorded; its port is still open
    QCOMPARE(scan.search->programmersFound(), 1);

    scan.link->inject(message("AUSBR")); // programmer 1 says something again
    scan.search->tick();                 // opens the silent port 2
    scan.search->tick();                 // judges it
    QCOMPARE(scan.search->programmersFound(), 1);
    QVERIFY(!scan.programmers.slot(2).present);
    QCOMPARE(scan.search->currentPort(), 3);
}

void tst_ProgrammerSearch::stopEndsTheScanAndFreesThePort()
{
    Ports ports;
    for (int com = 1; com <= 15; ++com)
        ports[com] = PortScript::device();
    ports[2] = PortScript::device({message("AUSBR")});
    Scan scan(ports);
    QSignalSpy finished(scan.search.get(), &ProgrammerSearch::finished);
    scan.search->start();
    for (int i = 0; i < 3; ++i)
        scan.search->tick();
    QCOMPARE(scan.search->programmersFound(), 1);
    QVERIFY(scan.link->isOpen());

    scan.search->stop();
    QVERIFY(!scan.search->isRunning());
    QVERIFY(!scan.link->isOpen());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);

    const QList<int> attempts = scan.link->attempts;
    scan.search->tick();
    scan.search->stop();
    QCOMPARE(scan.link->attempts, attempts);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(int(scan.programmers.slot(1).comPort), 2);
}

void tst_ProgrammerSearch::portFilesNameThePortsInTheWorkingFolder()
{
    const vell::test::WorkFolder dir;
    QVERIFY(dir.isValid());
    Scan scan(Ports{{1, PortScript::device()}, {2, PortScript::device()}});
    scan.runToEnd();

    // Each probe opens the port file named by the port the scanning link was set to before it
    // (port 1 before the first), so port 15's number never names one.
    QStringList expected;
    for (int n : range(1, 14))
        expected.append(QString::number(n));
    QStringList names = QDir(dir.path()).entryList(QDir::Files);
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
    QCOMPARE(names, expected);
}

void tst_ProgrammerSearch::portFilesThatCannotBeCreatedAreSkipped()
{
    const vell::test::WorkFolder dir;
    QVERIFY(dir.isValid());
    // A folder in place of every port file makes each one fail to open.
    for (int n = 1; n <= 16; ++n)
        QVERIFY(QDir(dir.path()).mkdir(QString::number(n)));
    Scan scan(Ports{{1, PortScript::device()}, {3, PortScript::device({message("AUSBR")})}});
    scan.runToEnd();

    QCOMPARE(int(scan.programmers.slot(1).comPort), 3);
    QCOMPARE(scan.link->attempts, range(1, 15));
}

void tst_ProgrammerSearch::overPtysAmongOtherDevices()
{
    QTemporaryDir ptys;
    vell::sim::SimBank bank(ptys.path());
    QVERIFY2(bank.add(2, kindOf(Kind::Silent)), qPrintable(bank.errorString()));
    QVERIFY(bank.add(3));
    QVERIFY(bank.add(4, kindOf(Kind::OtherText)));
    QVERIFY(bank.add(5, kindOf(Kind::ShortGreeting)));
    QVERIFY(bank.add(7));
    QVERIFY(bank.add(8, kindOf(Kind::Silent)));

    vell::link::ProgrammerSlots programmers;
    const auto names = vell::link::PortNames::fromDirectory(ptys.path());
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

void tst_ProgrammerSearch::overPtysFourthProgrammerEndsTheScan()
{
    QTemporaryDir ptys;
    vell::sim::SimBank bank(ptys.path());
    for (int com : {1, 2, 4, 6, 9})
        QVERIFY2(bank.add(com), qPrintable(bank.errorString()));

    vell::link::ProgrammerSlots programmers;
    const auto names = vell::link::PortNames::fromDirectory(ptys.path());
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

QTEST_GUILESS_MAIN(tst_ProgrammerSearch)
#include "tst_programmersearch.moc"
