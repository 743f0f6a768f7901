// Guards vell-usb-programmer's command line: usage errors exit 2, --list-ports prints the
// table, --simulate's programmers live in a folder of their own that is gone after the run
// (also after SIGTERM), and the windows run goes from the search to the main window.
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

/// TMPDIR at tmp, so the tool's simulated programmers land there; HOME too, so the browser
/// opens at an empty folder away from the real one.
void startTool(QProcess &process, const QStringList &arguments, const QString &tmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), tmp);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(VELL_APP_BIN), arguments);
}

Run runTool(const QStringList &arguments, const QString &tmp, int timeoutMs = 20000)
{
    QProcess process;
    startTool(process, arguments, tmp);
    Run run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

/// The COMn links found anywhere below folder.
QStringList comLinks(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, {QStringLiteral("COM*")}, QDir::System | QDir::AllEntries,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void usageErrorsExitTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("simulate 0") << QStringList{"--simulate", "0"};
        QTest::newRow("simulate 5") << QStringList{"--simulate", "5"};
        QTest::newRow("timeout 0") << QStringList{"--load", "x.bin", "--timeout", "0"};
        QTest::newRow("missing ports folder") << QStringList{"--ports", "/no/such/folder"};
        QTest::newRow("simulate and ports") << QStringList{"--simulate", "1", "--ports", "/tmp"};
        QTest::newRow("stray argument") << QStringList{"file.bin"};
    }

    void usageErrorsExitTwo()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir tmp;
        const Run run = runTool(arguments, tmp.path());
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(QStringLiteral("--help")), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
    }

    void listPortsOfSimulatedProgrammers()
    {
        QTemporaryDir tmp;
        const Run run = runTool(
            {QStringLiteral("--simulate"), QStringLiteral("3"), QStringLiteral("--list-ports")},
            tmp.path());
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        for (int com = 1; com <= 3; ++com) {
            QVERIFY2(lines.at(com - 1).startsWith(QStringLiteral("COM%1 ").arg(com)),
                     qPrintable(lines.at(com - 1)));
            QVERIFY(lines.at(com - 1).endsWith(QStringLiteral("/COM%1").arg(com)));
            QVERIFY(lines.at(com - 1).contains(tmp.path()));
        }
        QCOMPARE(comLinks(tmp.path()), QStringList());
    }

    void listPortsOfAFolder()
    {
        QTemporaryDir ports;
        const Run empty =
            runTool({QStringLiteral("--ports"), ports.path(), QStringLiteral("--list-ports")},
                    ports.path());
        QCOMPARE(empty.exitCode, 0);
        QCOMPARE(empty.out, QStringLiteral("No serial ports found.\n"));

        QFile device(ports.filePath(QStringLiteral("COM4")));
        QVERIFY(device.open(QIODevice::WriteOnly));
        device.close();
        const Run run =
            runTool({QStringLiteral("--ports"), ports.path(), QStringLiteral("--list-ports")},
                    ports.path());
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("COM4 ")), qPrintable(run.out));
        QVERIFY(run.out.trimmed().endsWith(ports.path() + QStringLiteral("/COM4")));
    }

    void simulatedProgrammersGoAwayOnSigterm()
    {
        QTemporaryDir tmp;
        QProcess process;
        startTool(process, {QStringLiteral("--simulate"), QStringLiteral("2")}, tmp.path());
        QVERIFY(process.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(comLinks(tmp.path()).size(), 2, 10000);
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(comLinks(tmp.path()), QStringList());
    }

    void windowsGoFromTheSearchToTheMainWindow()
    {
        QTemporaryDir tmp;
        const QString shots = tmp.filePath(QStringLiteral("shots"));
        const Run run = runTool({QStringLiteral("--simulate"), QStringLiteral("1"),
                                 QStringLiteral("--screenshot"), shots},
                                tmp.path(), 30000);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::exists(shots + QStringLiteral("/search-window.png")));
        QVERIFY(QFile::exists(shots + QStringLiteral("/main-window.png")));
        QCOMPARE(comLinks(tmp.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
