// Guards the search over scripted ports, stepped by hand: its port schedule, what counts as a
// programmer, the order programmers are numbered in, the four-programmer stop, the finish
// texts, the claims it takes and keeps, and a device's whole tick after a slow open.
#include "common/files.h"
#include "discovery/programmersearch.h"
#include "discovery/scriptedports.h"
#include "link/portclaim.h"

#include <QtTest>

#include <algorithm>

using vell::discovery::ProgrammerSearch;
using vell::model::ProgrammerNumber;
using vell::test::PortScript;
using vell::test::ScriptedLink;
using Ports = QMap<int, PortScript>;

namespace {

/// 24 bytes (or length) that start with token, as a device sends them after open.
QByteArray message(const QByteArray &token, int length = 24)
{
    return token.leftJustified(length, '\0', true);
}

QList<int> range(int first, int last)
{
    QList<int> out;
    for (int i = first; i <= last; ++i)
        out << i;
    return out;
}

/// One search whose timer never fires (unless given a tick): the test ticks it.
struct Scan
{
    explicit Scan(const Ports &ports, const QString &dir = QStringLiteral("/nonexistent"),
                  int tickMs = 3600 * 1000, int openMs = 0)
    {
        search = std::make_unique<ProgrammerSearch>(
            programmers, vell::link::PortNames::fromDirectory(dir),
            [this, ports, openMs] {
                auto scripted = std::make_unique<ScriptedLink>(ports);
                scripted->openMs = openMs;
                link = scripted.get();
                return scripted;
            },
            tickMs);
    }
    /// Starts and ticks until the scan ends; the number of ticks it took.
    int runToEnd()
    {
        search->start();
        int ticks = 0;
        for (; search->isRunning() && ticks < 100; ++ticks)
            search->tick();
        return ticks;
    }

    const vell::model::ProgrammerState &state(int n) const
    {
        return programmers.state(ProgrammerNumber(n));
    }

    vell::model::Programmers programmers;
    ScriptedLink *link = nullptr; // owned by the search
    std::unique_ptr<ProgrammerSearch> search;
};

} // namespace

class TstSearch : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void scan_data()
    {
        QTest::addColumn<Ports>("ports");
        QTest::addColumn<QList<int>>("comPorts"); // programmers 1..4, 0 = not found
        QTest::addColumn<int>("lastProbed");      // no port above it is opened
        const QByteArray hi = message("AUSBR");
        const auto dev = &PortScript::device;
        Ports silent;
        for (int com = 1; com <= 15; ++com)
            silent[com] = dev({});
        QTest::newRow("no ports") << Ports{} << QList<int>{0, 0, 0, 0} << 15;
        QTest::newRow("fifteen silent") << silent << QList<int>{0, 0, 0, 0} << 15;
        QTest::newRow("on port 15 only") << Ports{{15, dev({hi})}} << QList<int>{15, 0, 0, 0} << 15;
        QTest::newRow("3 and 7 among other devices")
            << Ports{{1, dev({})},
                     {2, dev({"MODEM READY, FIRMWARE 2.31\r\n"})},
                     {3, dev({hi})},
                     {4, dev({hi.left(23)})},
                     {5, PortScript::busy()},
                     {7, dev({hi.left(10), hi.mid(10)})},
                     {8, dev({})}}
            << QList<int>{3, 7, 0, 0} << 15;
        QTest::newRow("the fourth ends the scan")
            << Ports{{2, dev({hi})}, {5, dev({message("ALPOK")})}, {6, dev({hi})}, {7, dev({})},
                     {8, dev({})},   {9, dev({message("ADATA")})}, {12, dev({hi})}}
            << QList<int>{2, 5, 6, 9} << 9;
    }
    // Programmers are numbered in the order of their ports; each port is opened once, no port
    // after the fourth programmer's is opened, the scan ends within its 30 ticks (about three
    // seconds) and lets go of the scanning port.
    void scan()
    {
        QFETCH(Ports, ports);
        QFETCH(QList<int>, comPorts);
        QFETCH(int, lastProbed);
        Scan scan(ports);
        QSignalSpy finished(scan.search.get(), &ProgrammerSearch::finished);
        QSignalSpy closeRequested(scan.search.get(), &ProgrammerSearch::closeRequested);
        QVERIFY(scan.runToEnd() <= ProgrammerSearch::kMostTicks);
        const int found = int(comPorts.size() - comPorts.count(0));
        QCOMPARE(scan.search->programmersFound(), found);
        for (int n = 1; n <= 4; ++n) {
            const int com = comPorts.at(n - 1);
            QCOMPARE(int(scan.state(n).comPort), com);
            QCOMPARE(scan.state(n).present, com != 0);
            QCOMPARE(scan.search->programmerLabel(ProgrammerNumber(n)),
                     com ? QStringLiteral("Programmer Found on Com Port %1").arg(com) : QString());
        }
        QList<int> probed = scan.link->attempts;
        std::sort(probed.begin(), probed.end());
        QCOMPARE(probed, range(1, lastProbed));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), found > 0);
        QCOMPARE(closeRequested.count(), found > 0 ? 1 : 0);
        QCOMPARE(
            scan.search->portSearchedLabel(),
            found > 0
                ? QStringLiteral("Searching Port")
                : QStringLiteral(
                      "No Programmers Found\rPlease Connect Programmer(s) and Restart Program"));
        QVERIFY(!scan.link->isOpen()); // let go, for the main window's links
    }

    void recognition_data()
    {
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<bool>("recognised");
        for (const char *token : {"AUSBR", "ASEND", "ALPOK", "ALPER", "APTOK", "APTER", "ADATA"}) {
            QTest::addRow("24 bytes of %s", token) << QList<QByteArray>{message(token)} << true;
            QTest::addRow("23 bytes of %s", token)
                << QList<QByteArray>{message(token, 23)} << false;
        }
        QTest::newRow("23 bytes, then one more")
            << QList<QByteArray>{message("AUSBR", 23), "x"} << true;
        QTest::newRow("more than 24 bytes") << QList<QByteArray>{message("APTER", 40)} << true;
        QTest::newRow("lower-case token") << QList<QByteArray>{message("ausbr")} << false;
        QTest::newRow("progress token") << QList<QByteArray>{message("APROG")} << false;
        QTest::newRow("token after the first byte")
            << QList<QByteArray>{"\n" + message("AUSBR")} << false;
        QTest::newRow("a later message replaces the first")
            << QList<QByteArray>{message("HELLO"), message("AUSBR")} << true;
        QTest::newRow("a later other message replaces a greeting")
            << QList<QByteArray>{message("AUSBR"), message("HELLO")} << false;
    }
    void recognition()
    {
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(bool, recognised);
        Scan scan(Ports{{1, PortScript::device(chunks)}, {2, PortScript::device()}});
        scan.search->start();
        scan.search->tick(); // judges port 1
        QCOMPARE(scan.state(1).present, recognised);
        QCOMPARE(int(scan.state(1).comPort), recognised ? 1 : 0);
        QCOMPARE(scan.search->currentPort(), 2);
    }

    // An open that takes longer than a tick still leaves the device a whole tick to answer in.
    void slowOpen_data()
    {
        QTest::addColumn<int>("com");
        QTest::newRow("the first port") << 1;
        QTest::newRow("a later port") << 2;
    }
    void slowOpen()
    {
        QFETCH(int, com);
        Scan scan(Ports{{com, PortScript::device({message("AUSBR")})}}, "/nonexistent", 50, 150);
        QSignalSpy finished(scan.search.get(), &ProgrammerSearch::finished);
        scan.search->start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(int(scan.state(1).comPort), com);
    }

    // A port another copy claimed is never opened and is named "in use" by that copy; the
    // programmers found stay claimed until the search is gone, a port judged empty at once.
    void claims()
    {
        QTemporaryDir dir;
        const auto com = [&](int n) { return dir.filePath(QStringLiteral("COM%1").arg(n)); };
        for (int n = 1; n <= 4; ++n)
            QVERIFY(vell::test::writeFile(com(n), {}));
        using Outcome = vell::link::PortClaim::Outcome;
        vell::link::PortClaim other(com(2));
        QCOMPARE(other.take(), Outcome::Held);
        const QByteArray hi = message("AUSBR");
        auto scan = std::make_unique<Scan>(Ports{{1, PortScript::device({hi})},
                                                 {2, PortScript::device({hi})},
                                                 {3, PortScript::device({})},
                                                 {4, PortScript::device({hi})}},
                                           dir.path());
        scan->runToEnd();
        QCOMPARE(scan->link->attempts, QList<int>({1, 3, 4, 5}) + range(6, 15));
        QCOMPARE(int(scan->state(1).comPort), 1);
        QCOMPARE(int(scan->state(2).comPort), 4);
        const auto unusable = scan->search->unusablePorts();
        QCOMPARE(unusable.size(), 1);
        QCOMPARE(unusable.at(0).comPort, 2);
        QCOMPARE(unusable.at(0).verdict.causeName(), "in use");
        QCOMPARE(unusable.at(0).verdict.pid, QCoreApplication::applicationPid());
        other.release();
        const auto claimed = [&](int n) { // a claim of its own is refused
            return vell::link::PortClaim(com(n)).take() == Outcome::HeldByOther;
        };
        QVERIFY(claimed(1) && !claimed(3) && claimed(4));
        scan.reset();
        QVERIFY(!claimed(1) && !claimed(4));

        // Nothing found: the failure text names the port and why, between its two lines.
        QCOMPARE(other.take(), Outcome::Held);
        Scan none(Ports{{2, PortScript::device({hi})}}, dir.path());
        none.runToEnd();
        const QStringList lines = none.search->portSearchedLabel().split('\r');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0), "No Programmers Found");
        QVERIFY2(lines.at(1).startsWith("COM2 (" + com(2) + "): In use by another copy"),
                 qPrintable(lines.at(1)));
        QCOMPARE(lines.at(2), "Please Connect Programmer(s) and Restart Program");
    }

private:
    vell::test::WorkFolder m_work; // the port files the search leaves
};

QTEST_GUILESS_MAIN(TstSearch)
#include "tst_search.moc"
