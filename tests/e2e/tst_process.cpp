// Guards vell-usb-programmer as an operator or a script runs it: exit codes, the headless
// output against a vell-programmer-sim process (and what that recorded), the README's demo,
// SIGTERM and the windows run; ports another user may not open, two copies on the same
// programmers, the claim on a programmer across its names, a replug and its holder's end, the
// windows once per user.
#include "common/files.h"
#include "common/process.h"
#include "link/claimlock.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace vell;

namespace {

const QString kApp = QStringLiteral(VELL_APP_BIN);
using test::kEveryone;

using test::sim;
using test::Simulator;

/// The JSON events of a run's stdout called name.
QList<QJsonObject> events(const QStringList &out, const QString &name)
{
    QList<QJsonObject> found;
    for (const QString &line : out) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event["event"] == name)
            found << event;
    }
    return found;
}

QSet<int> comsFound(const QStringList &out)
{
    QSet<int> coms;
    for (const QJsonObject &found : events(out, "found"))
        coms << found["com"].toInt();
    return coms;
}

/// Starts the tool with arguments, working in home.
void startApp(QProcess &app, const QString &home, const QStringList &arguments)
{
    test::prepare(app, home);
    app.start(kApp, arguments);
}

QStringList lines(QProcess &app)
{
    return QString::fromUtf8(app.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
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

QStringList notRoot(const QString &bin)
{
    return test::notRoot(bin, kApp);
}

/// --list-ports --json over folder: each port's access and holder ("in use 1234", "ok 0").
QStringList access(const QString &home, const QString &folder)
{
    const test::Run run = test::run(kApp, {"--ports", folder, "--list-ports", "--json"}, home);
    QStringList rows;
    for (const QJsonValue &row : QJsonDocument::fromJson(run.out.value(0).toUtf8()).array())
        rows << row["access"].toString() + ' ' + QString::number(row["holder_pid"].toInteger());
    return rows;
}

} // namespace

class TstProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void usageErrorsExitTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option"); // the message names it
        QTest::newRow("simulate 5") << QStringList{"--simulate", "5"} << "--simulate";
        QTest::newRow("a board's history over the line database")
            << QStringList{"--report", "--database", "postgresql:///line", "--board", "SN-1"}
            << "--board";
        QTest::newRow("timeout not a number")
            << QStringList{"--program-target", "--timeout", "soon"} << "--timeout";
        QTest::newRow("missing ports folder")
            << QStringList{"--ports", "/no/such/folder"} << "--ports";
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "frobnicate";
        QTest::newRow("SHA-256 not 64 hex digits")
            << QStringList{"--program-target", "--expect-sha256", QString(63, u'a')}
            << "--expect-sha256";
        // Digits of other scripts are no hex digits: a pin of them would refuse every file.
        QTest::newRow("SHA-256 with an Arabic-Indic digit")
            << QStringList{"--program-target", "--expect-sha256", QString(63, u'a') + QChar(0x0663)}
            << "--expect-sha256";
        QTest::newRow("CRC-32 in fullwidth digits")
            << QStringList{"--program-target", "--expect-crc32", "0x" + QString(8, QChar(0xFF11))}
            << "--expect-crc32";
        QTest::newRow("retries negative")
            << QStringList{"--program-target", "--retries", "-1"} << "--retries";
        QTest::newRow("retries not a number")
            << QStringList{"--program-target", "--retries", "x"} << "--retries";
        QTest::newRow("a board on a COM without a port")
            << QStringList{"--simulate", "2", "--program-target", "--board", "COM3=SN-3"}
            << "--board";
    }
    void usageErrorsExitTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        QTemporaryDir home;
        const test::Run run = test::run(kApp, arguments, home.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains(option), qPrintable(run.err));
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

    // --retries 1 against a simulator whose second programmer refuses its first load: the
    // repeat's frame and stream reach that programmer alone, its records count tries 1 and 2,
    // and the final results make the exit and the summary.
    void retriesRepeatTheFailedOnly()
    {
        QTemporaryDir home, ports, record;
        QProcess simulator;
        QSignalSpy ready(&simulator, &QProcess::readyReadStandardOutput);
        test::prepare(simulator, home.path());
        simulator.start(sim(), {"--ports", ports.path(), "--record", record.path(), "COM1",
                                "COM2:firstloaderr=3"});
        QByteArray lines;
        while (lines.count('\n') < 2 && ready.wait(5000))
            lines += simulator.readAllStandardOutput();
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(5 * 512)));
        const QString log = home.filePath("attempts.jsonl");
        // The CRC-32 pin as a script gives it: another one is refused with both; the file's,
        // in capitals after 0x, is the approved image every record names.
        test::Run run = test::run(
            kApp, {"--ports", ports.path(), "--load", "board.bin", "--expect-crc32", "00000000"},
            home.path());
        QCOMPARE(run.exitCode, 2);
        const QString crc =
            QRegularExpression("CRC-32 approved: 00000000, the file's: ([0-9a-f]{8})")
                .match(run.err)
                .captured(1);
        QVERIFY2(!crc.isEmpty(), qPrintable(run.err));
        run = test::run(kApp,
                        {"--ports", ports.path(), "--load", "board.bin", "--retries", "1", "--log",
                         log, "--timeout", "20", "--expect-crc32", "0x" + crc.toUpper()},
                        home.path());
        simulator.terminate();
        QVERIFY2(run.exitCode == 0, qPrintable(run.out.join('\n') + run.err));
        QVERIFY(run.out.last().contains(
            "; retried: Programmer 2 (COM 2) load: File Loaded OK (2 tries)"));
        const auto logOf = [&](int com) {
            return QString::fromUtf8(
                       test::readFile(record.filePath(QStringLiteral("COM%1.log").arg(com))))
                .split('\n', Qt::SkipEmptyParts);
        };
        // The first try's frame may repeat within its handshake; nothing reaches it after.
        const QStringList first = logOf(1);
        QCOMPARE(first.filter("load "), QStringList({"load 2560 bytes ok"}));
        QCOMPARE(first.last(), QStringLiteral("load 2560 bytes ok"));
        const QStringList second = logOf(2);
        QCOMPARE(second.filter("load "),
                 QStringList({"load 2560 bytes error", "load 2560 bytes ok"}));
        QVERIFY(second.indexOf("frame L", second.indexOf("load 2560 bytes error")) > 0);
        QStringList tries;
        for (const QByteArray &line : test::readFile(log).split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            if (!r.isEmpty())
                tries << QStringLiteral("%1 %2 %3 %4")
                             .arg(r["programmer"].toInt())
                             .arg(r["try"].toInt())
                             .arg(r["result"].toString(), r["expected_crc32"].toString());
        }
        // Each programmer's records in its order; the first tries' verdicts come together, in
        // whichever order their ports are read.
        QCOMPARE(tries.size(), 3);
        QCOMPARE(tries.filter(QRegularExpression("^1 ")), QStringList({"1 1 ok " + crc}));
        QCOMPARE(tries.filter(QRegularExpression("^2 ")),
                 QStringList({"2 1 error " + crc, "2 2 ok " + crc}));
    }

    // --list-ports --json: one array, a row per simulated programmer.
    void listPortsAsJson()
    {
        QTemporaryDir home;
        const test::Run run =
            test::run(kApp, {"--simulate", "2", "--list-ports", "--json"}, home.path());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out.size(), 1);
        const QJsonArray rows = QJsonDocument::fromJson(run.out.at(0).toUtf8()).array();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(1)["com"], 2);
        QVERIFY(rows.at(1)["device"].toString().startsWith("/dev/"));
    }

    // The log's folder and file turn read-only after the load's records, for a user whom that
    // binds (as root the tool runs as nobody): the log the tool holds open keeps every record,
    // none is lost, exit 0.
    void logTurnsReadOnlyMidRun()
    {
        QTemporaryDir home, logs, bin;
        const QStringList app = notRoot(bin.path());
        if (app.isEmpty())
            QSKIP("root, and no setpriv to run the tool as a user a read-only folder binds");
        for (const QString &folder : {home.path(), logs.path()})
            QVERIFY(QFile::setPermissions(folder, kEveryone));
        const QString log = logs.filePath("attempts.jsonl");
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(8 * 512)));
        QVERIFY(QFile::setPermissions(home.filePath("board.bin"), kEveryone));
        QProcess process;
        QSignalSpy finished(&process, &QProcess::finished);
        QSignalSpy ready(&process, &QProcess::readyReadStandardOutput);
        test::prepare(process, home.path());
        const QStringList arguments{"--simulate",       "2",      "--load", "board.bin",
                                    "--program-target", "--json", "--log",  log};
        process.start(app.first(), app.mid(1) + arguments);
        QByteArray out;
        while (out.count("\"step\":\"load\"") < 2 && ready.wait(20000))
            out += process.readAllStandardOutput();
        QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::ReadOther));
        QVERIFY(QFile::setPermissions(logs.path(), QFile::ReadOwner | QFile::ExeOwner |
                                                       QFile::ReadOther | QFile::ExeOther));
        QVERIFY(finished.wait(30000));
        out += process.readAllStandardOutput();
        QVERIFY2(process.exitCode() == 0, qPrintable(process.readAllStandardError()));
        const QJsonObject summary =
            QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
        QCOMPARE(summary["records_lost"], 0);
        QStringList steps;
        for (const QByteArray &line : test::readFile(log).chopped(1).split('\n'))
            steps << QJsonDocument::fromJson(line).object()["step"].toString();
        QCOMPARE(steps, QStringList({"load", "load", "program-target", "program-target"}));
        QFile::setPermissions(logs.path(), kEveryone); // for the folder's removal
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
        QVERIFY(test::signal(app, SIGTERM));
        QVERIFY(finished.wait(10000));
        QCOMPARE(app.exitCode(), 130);
        out += app.readAllStandardOutput();
        const QJsonObject summary =
            QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
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
        test::Run run = test::run(
            kApp, {"--simulate", "1", "--in-state-folder", "--screenshot", home.filePath("shots")},
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
        QVERIFY(test::signal(app, SIGTERM));
        QVERIFY(finished.wait(10000));
        QCOMPARE(app.exitStatus(), QProcess::NormalExit);
        QCOMPARE(entries(home.path()), QStringList());
    }

    // A user who may not open the ports is told why and what to do, on stderr, in a JSON
    // event per port and in --list-ports; no programmer usable is still exit 2. As root the
    // tool runs as nobody (uid 65534), the ports being root's alone.
    void portsThisUserMayNotOpen()
    {
        QTemporaryDir home, ports, bin;
        const QStringList app = notRoot(bin.path());
        if (app.isEmpty())
            QSKIP("root, and no setpriv to run the tool as a user the ports refuse");
        for (const QString &folder : {home.path(), ports.path()})
            QVERIFY(QFile::setPermissions(folder, kEveryone));
        Simulator simulator(home.path(), ports.path(), {"COM1", "COM2"});
        for (const char *com : {"COM1", "COM2"}) {
            const QString pty = QFileInfo(ports.filePath(com)).canonicalFilePath();
            QVERIFY(QFile::setPermissions(pty, app.size() == 1
                                                   ? QFile::Permissions()
                                                   : QFile::ReadOwner | QFile::WriteOwner));
        }
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(600)));
        test::Run run = test::run(
            app.first(),
            app.mid(1) + QStringList{"--ports", ports.path(), "--load", "board.bin", "--json"},
            home.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QString("COM1 (%1): Permission denied")
                                      .arg(QFileInfo(ports.filePath("COM1")).canonicalFilePath())),
                 qPrintable(run.err));
        QCOMPARE(run.err.count("sudo usermod -aG dialout"), 1); // said once, for both ports
        const QList<QJsonObject> unusable = events(run.out, "port-unusable");
        QCOMPARE(unusable.size(), 2);
        QCOMPARE(unusable.at(1)["com"], 2);
        QCOMPARE(unusable.at(1)["cause"], "denied");
        QVERIFY(unusable.at(1)["pid"].isNull());
        run = test::run(app.first(),
                        app.mid(1) + QStringList{"--ports", ports.path(), "--list-ports", "--json"},
                        home.path());
        const QJsonArray rows = QJsonDocument::fromJson(run.out.value(0).toUtf8()).array();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0)["access"], "denied");
    }

    // Two copies on the same four programmers, started together: never both on one programmer,
    // every programmer loaded once by the copy that claimed it.
    void twoCopies()
    {
        QTemporaryDir home, ports, record;
        QStringList programmers;
        for (int n = 1; n <= 4; ++n)
            programmers << QString("COM%1:rate=4000").arg(n); // a load of 6 s outlasts a search
        Simulator simulator(home.path(), ports.path(), programmers, {"--record", record.path()});
        const QByteArray file = test::pattern(48 * 512);
        QVERIFY(test::writeFile(home.filePath("board.bin"), file));
        const QStringList load{"--ports", ports.path(), "--load", "board.bin", "--json"};

        QProcess a, b;
        QSignalSpy aDone(&a, &QProcess::finished), bDone(&b, &QProcess::finished);
        startApp(a, home.path(), load);
        startApp(b, home.path(), load);
        QVERIFY(aDone.wait(30000) || aDone.size() == 1);
        QVERIFY(bDone.size() == 1 || bDone.wait(30000));
        const QStringList aOut = lines(a), bOut = lines(b);
        const QSet<int> aComs = comsFound(aOut), bComs = comsFound(bOut);
        QVERIFY2(!aComs.intersects(bComs), qPrintable(aOut.join('\n') + bOut.join('\n')));
        QCOMPARE(aComs + bComs, QSet<int>({1, 2, 3, 4}));
        QCOMPARE(a.exitCode(), aComs.isEmpty() ? 2 : 0);
        QCOMPARE(b.exitCode(), bComs.isEmpty() ? 2 : 0);
        for (int n = 1; n <= 4; ++n)
            QCOMPARE(test::readFile(record.filePath(QString("COM%1.bin").arg(n))), file);
    }

    // The windows hold a programmer (--list-ports names them). Its node's mode changes (as udev
    // does), letting in a user it did not; a copy run as that user, reaching it through another
    // --ports link and (as root) another node of the device, is refused it and told who holds
    // it, on stderr and in the events. Plugged back into its place as another device, it is
    // still the windows': a copy on that place is refused it, while the device that left the
    // place is free.
    void claimHeldThroughEveryNameAndItsPlace()
    {
        QTemporaryDir home, held, other, elsewhere, bin;
        const QStringList copy = notRoot(bin.path()); // the second copy
        if (copy.isEmpty())
            QSKIP("root, and no setpriv to run the second copy as another user");
        for (const QString &folder : {home.path(), held.path(), other.path()})
            QVERIFY(QFile::setPermissions(folder, kEveryone));
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(600))); // read by all
        const auto second = [&](const QString &folder) {
            return test::run(copy.first(),
                             copy.mid(1) +
                                 QStringList{"--ports", folder, "--load", "board.bin", "--json"},
                             home.path());
        };
        Simulator simulator(home.path(), held.path(), {"COM1"});
        const QString pty = QFileInfo(held.filePath("COM1")).canonicalFilePath();
        QProcess windows;
        QSignalSpy ended(&windows, &QProcess::finished);
        startApp(windows, home.path(), {"--ports", held.path()});
        QTRY_COMPARE_WITH_TIMEOUT(access(home.path(), held.path()).value(0),
                                  QString("in use %1").arg(windows.processId()), 15000);
        const QString byWindows =
            QString("In use by another copy of Vell USB Programmer (process %1)")
                .arg(windows.processId());

        QVERIFY(QFile::setPermissions(pty, kEveryone));
        QVERIFY(QFile::link(pty, other.filePath("COM1")));
        struct stat node = {};
        const bool root = ::geteuid() == 0;
        QVERIFY(::stat(QFile::encodeName(pty).constData(), &node) == 0);
        QVERIFY(!root || ::mknod(QFile::encodeName(other.filePath("COM2")).constData(),
                                 S_IFCHR | 0666, node.st_rdev) == 0);
        test::Run run = second(other.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QString("COM1 (%1): %2").arg(pty, byWindows)),
                 qPrintable(run.err));
        QVERIFY2(!root || run.err.contains(
                              QString("COM2 (%1): %2").arg(other.filePath("COM2"), byWindows)),
                 qPrintable(run.err));
        const QList<QJsonObject> unusable = events(run.out, "port-unusable");
        QCOMPARE(unusable.size(), root ? 2 : 1);
        QCOMPARE(unusable.at(0)["cause"], "in use");
        QCOMPARE(unusable.at(0)["pid"].toInteger(), windows.processId());

        Simulator replugged(home.path(), elsewhere.path(), {"COM1"});
        const QString plugged = QFileInfo(elsewhere.filePath("COM1")).canonicalFilePath();
        QVERIFY(QFile::setPermissions(plugged, kEveryone));
        QVERIFY(QFile::remove(held.filePath("COM1")) &&
                QFile::link(plugged, held.filePath("COM1")));
        run = second(held.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QString("COM1 (%1): %2").arg(plugged, byWindows)),
                 qPrintable(run.err));
        QTRY_COMPARE_WITH_TIMEOUT(access(home.path(), other.path()).value(0), "ok 0", 5000);
        QVERIFY(test::signal(windows, SIGTERM));
        QVERIFY(ended.wait(10000));
    }

    // The windows hold the programmers of two simulators. One simulator ends: its device, once
    // gone, is free, also when its pty's number is given out again at another place. Then the
    // windows are killed: the lock files they leave block no later copy, which removes them.
    void claimFreeOnceGoneAndAfterItsHolder()
    {
        QTemporaryDir home, held, elsewhere;
        // COM1 goes: the windows have judged it once they hold COM2.
        auto goes = std::make_unique<Simulator>(home.path(), held.path(), QStringList{"COM1"});
        Simulator stays(home.path(), held.path(), {"COM2"});
        const QString gone = QFileInfo(held.filePath("COM1")).canonicalFilePath();
        QProcess windows;
        QSignalSpy ended(&windows, &QProcess::finished);
        startApp(windows, home.path(), {"--ports", held.path()});
        QTRY_COMPARE_WITH_TIMEOUT(access(home.path(), held.path()),
                                  QStringList(2, QString("in use %1").arg(windows.processId())),
                                  15000);
        goes.reset();
        Simulator back(home.path(), elsewhere.path(), {"COM1"});
        if (QFileInfo(elsewhere.filePath("COM1")).canonicalFilePath() != gone)
            QSKIP("the pty's number was not given out again");
        QTRY_COMPARE_WITH_TIMEOUT(access(home.path(), elsewhere.path()).value(0), "ok 0", 5000);

        QStringList left; // the claim files that name the windows as their holder
        const QDir locks = QFileInfo(link::ClaimLock::fileFor("x")).dir();
        for (const QString &file : locks.entryList({"vell-usb-programmer.*.lock"}, QDir::Files)) {
            if (test::readFile(locks.filePath(file)).split('\n').first() ==
                QByteArray::number(windows.processId()))
                left << locks.filePath(file);
        }
        QCOMPARE(left.size(), 3); // COM2's place and device, COM1's place
        QVERIFY(test::signal(windows, SIGKILL));
        QVERIFY(ended.wait(10000));
        QVERIFY(test::writeFile(home.filePath("board.bin"), test::pattern(600)));
        const test::Run run =
            test::run(kApp, {"--ports", held.path(), "--load", "board.bin"}, home.path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        for (const QString &file : left)
            QVERIFY2(!QFile::exists(file), qPrintable(file));
    }

    // A second start of the windows for the same user brings the first forward and ends.
    void windowsOncePerUser()
    {
        QTemporaryDir home;
        QProcess first;
        QSignalSpy finished(&first, &QProcess::finished);
        test::prepare(first, home.path());
        QProcessEnvironment env = first.processEnvironment();
        env.insert("QT_LOGGING_RULES", "vell.gui.instance.debug=true");
        first.setProcessEnvironment(env);
        first.start(kApp, {"--simulate", "1"});
        const QString socket =
            home.filePath(QString("vell-usb-programmer-%1.socket").arg(::getuid()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socket), 10000);
        const test::Run second = test::run(kApp, {"--simulate", "1"}, home.path());
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.err.contains("a copy is already running for this user; it was brought "
                                     "to the front"),
                 qPrintable(second.err));
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(test::signal(first, SIGTERM));
        QVERIFY(finished.wait(10000));
        QVERIFY(first.readAllStandardError().contains("a later start asked to come forward"));
    }
};

QTEST_GUILESS_MAIN(TstProcess)
#include "tst_process.moc"
