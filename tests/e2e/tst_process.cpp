// Guards vell-usb-programmer as an operator or a script runs it: exit codes, the headless
// output against a vell-programmer-sim process (and what that recorded), the README's demo,
// SIGTERM and the windows run.
#include "common/files.h"
#include "common/process.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

using namespace vell;

namespace {

const QString kApp = QStringLiteral(VELL_APP_BIN);

QString sim()
{
    return qEnvironmentVariable("VELL_SIM_BIN");
}

QStringList entries(const QString &folder) // every COMn below folder
{
    QStringList found;
    QDirIterator it(folder, {"COM*"}, QDir::System | QDir::AllEntries,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace

class TstProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void usageErrorsExitTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("simulate 5") << QStringList{"--simulate", "5"};
        QTest::newRow("timeout not a number")
            << QStringList{"--program-target", "--timeout", "soon"};
        QTest::newRow("missing ports folder") << QStringList{"--ports", "/no/such/folder"};
        QTest::newRow("unknown option") << QStringList{"--frobnicate"};
    }
    void usageErrorsExitTwo()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir home;
        const test::Run run = test::run(kApp, arguments, home.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY(!run.err.trimmed().isEmpty());
    }

    // scripts/run.sh's headless path: the sample file into four simulated programmers, their
    // boards programmed, exit 0, and the simulated ports gone afterwards.
    void theDemo()
    {
        QTemporaryDir home;
        const test::Run run =
            test::run(kApp,
                      {"--simulate", "4", "--load", VELL_SOURCE_DIR "/examples/demo-board.bin",
                       "--program-target"},
                      home.path(), 60000);
        QVERIFY2(run.exitCode == 0, qPrintable(run.out.join('\n') + run.err));
        for (int n = 1; n <= 4; ++n) {
            QVERIFY(
                run.out.contains(QStringLiteral("Programmer %1 (COM %1): File Loaded OK").arg(n)));
            QVERIFY(run.out.contains(
                QStringLiteral("Programmer %1 (COM %1): Board Programmed OK").arg(n)));
        }
        QVERIFY(run.out.last().contains(QStringLiteral("load succeeded on 4 of 4")));
        QVERIFY(run.out.last().contains(QStringLiteral("program target succeeded on 4 of 4")));
        QCOMPARE(entries(home.path()), QStringList());
        QCOMPARE(QDir(home.path()).entryList({"VellProgrammer.txt"}, QDir::Files), QStringList());
    }

    // Against a simulator process: what each programmer received, a failure's line and exit 1,
    // no programmer's exit 2 after the search's three seconds.
    void headlessAgainstTheSimulator()
    {
        QTemporaryDir home, ports, record;
        QProcess simulator;
        QSignalSpy ready(&simulator, &QProcess::readyReadStandardOutput);
        test::prepare(simulator, home.path());
        simulator.start(
            sim(), {"--ports", ports.path(), "--record", record.path(), "COM1", "COM2:loaderr=3"});
        QByteArray lines;
        while (lines.count('\n') < 2 && ready.wait(5000))
            lines += simulator.readAllStandardOutput();
        const QByteArray file = test::pattern(5 * 512 + 77);
        QVERIFY(test::writeFile(home.filePath("board.bin"), file));
        test::Run run = test::run(
            kApp, {"--ports", ports.path(), "--load", "board.bin", "--timeout", "20"}, home.path());
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.contains("Programmer 1 (COM 1): File Loaded OK"));
        QVERIFY(run.out.contains(
            "Programmer 2 (COM 2): Error #3 / Memory Size & Processor Type Do Not Match"));
        QCOMPARE(test::readFile(record.filePath("COM1.bin")), file.left(5 * 512));
        simulator.terminate();

        QTemporaryDir empty;
        run = test::run(kApp, {"--ports", empty.path(), "--load", "board.bin"}, home.path(), 10000);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.ms < 5000, qPrintable(QString::number(run.ms)));
        QVERIFY(run.err.contains(QStringLiteral("No Programmers Found")));
    }

    // --list-ports --json: one array, a row per simulated programmer.
    void listPortsAsJson()
    {
        QTemporaryDir home;
        const test::Run run = test::run(kApp, {"--simulate", "2", "--list-ports", "--json"},
                                        home.path());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.size(), 1);
        const QJsonArray rows = QJsonDocument::fromJson(run.out.at(0).toUtf8()).array();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1)["com"], 2);
        QVERIFY(rows.at(1)["device"].toString().startsWith("/dev/"));
    }

    // SIGTERM mid-load: the steps still waiting are recorded as without a result, each record
    // a whole line, and the JSON summary's exit is the process's.
    void sigtermMidLoadKeepsTheRecord()
    {
        QTemporaryDir home;
        const QString log = home.filePath("attempts.jsonl");
        QVERIFY(test::writeFile(home.filePath("big.bin"), test::pattern(128 * 512)));
        QProcess app;
        QSignalSpy finished(&app, &QProcess::finished);
        QSignalSpy ready(&app, &QProcess::readyReadStandardOutput);
        test::prepare(app, home.path());
        app.start(kApp, {"--simulate", "2", "--load", "big.bin", "--json", "--log", log});
        QByteArray out;
        while (!out.contains("\"phase\":\"transfer\"") && ready.wait(20000))
            out += app.readAllStandardOutput();
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(finished.wait(10000));
        QCOMPARE(app.exitCode(), 130);
        out += app.readAllStandardOutput();
        const QJsonObject summary = QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
        QCOMPARE(summary["event"], "summary");
        QCOMPARE(summary["exit"], 130);
        const QByteArray records = test::readFile(log);
        QVERIFY(records.endsWith('\n'));
        QStringList results;
        for (const QByteArray &line : records.chopped(1).split('\n'))
            results << QJsonDocument::fromJson(line).object()["result"].toString();
        QCOMPARE(results, QStringList({"no-result", "no-result"}));
    }

    // The windows go from the search to the main window, working in the state folder when asked;
    // SIGTERM ends a run and its simulated ports with it.
    void windowsAndSigterm()
    {
        QTemporaryDir home;
        // As the desktop entry starts it: the port files go to the state folder.
        test::Run run = test::run(kApp,
                                  {"--simulate", "1", "--in-state-folder", "--screenshot",
                                   home.filePath("shots")},
                                  home.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::exists(home.filePath("vell-usb-programmer/1")));
        QVERIFY(!QFile::exists(home.filePath("1")));
        QVERIFY(QFile::exists(home.filePath("shots/search-window.png")));
        QVERIFY(QFile::exists(home.filePath("shots/main-window.png")));
        QProcess app;
        QSignalSpy finished(&app, &QProcess::finished);
        test::prepare(app, home.path());
        app.start(kApp, {"--simulate", "2"});
        QTRY_COMPARE_WITH_TIMEOUT(entries(home.path()).size(), 2, 10000);
        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(finished.wait(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(entries(home.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TstProcess)
#include "tst_process.moc"
