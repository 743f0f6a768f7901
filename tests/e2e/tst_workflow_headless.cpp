// Guards the headless command line end to end: the real vell-usb-programmer against a
// vell-programmer-sim process, its output lines, what the programmers received, and exit codes.
#include "common/files.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kImage = vell::test::pattern(5 * 512 + 77);

struct Run
{
    int exitCode = -1;
    QStringList out;
    QString err;
    qint64 elapsedMs = 0;
};

} // namespace

class tst_WorkflowHeadless : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void everyProgrammerSucceeds();
    void failuresGiveExitCodeOne();
    void noProgrammerGivesExitCodeTwo();
    void usageErrorGivesExitCodeTwo_data();
    void usageErrorGivesExitCodeTwo();

private:
    bool startSimulator(const QStringList &programmers);
    Run runApp(const QStringList &arguments, int budgetMs = 30000);
    QByteArray recorded(int com) const;

    QTemporaryDir m_work;
    QTemporaryDir m_config; // where a settings file would go when the tool's folder is read-only
    QString m_file;
    std::unique_ptr<QTemporaryDir> m_ports;
    std::unique_ptr<QTemporaryDir> m_record;
    std::unique_ptr<QProcess> m_sim;
};

void tst_WorkflowHeadless::initTestCase()
{
    QVERIFY(QFile::exists(QStringLiteral(VELL_APP_BIN)));
    QVERIFY(!qEnvironmentVariable("VELL_SIM_BIN").isEmpty());
    m_file = m_work.filePath(QStringLiteral("board.bin"));
    QVERIFY(vell::test::writeFile(m_file, kImage));
}

void tst_WorkflowHeadless::cleanup()
{
    if (m_sim && m_sim->state() != QProcess::NotRunning) {
        QSignalSpy finished(m_sim.get(), &QProcess::finished);
        m_sim->terminate();
        QVERIFY(finished.wait(5000));
    }
    m_sim.reset();
}

bool tst_WorkflowHeadless::startSimulator(const QStringList &programmers)
{
    m_ports = std::make_unique<QTemporaryDir>();
    m_record = std::make_unique<QTemporaryDir>();
    m_sim = std::make_unique<QProcess>();
    QSignalSpy output(m_sim.get(), &QProcess::readyReadStandardOutput);
    m_sim->start(qEnvironmentVariable("VELL_SIM_BIN"),
                 QStringList{QStringLiteral("--ports"), m_ports->path(), QStringLiteral("--record"),
                             m_record->path()} +
                     programmers);
    // One line per programmer once its link is in place.
    QByteArray lines;
    while (lines.count('\n') < programmers.size()) {
        if (!output.wait(5000))
            return false;
        lines += m_sim->readAllStandardOutput();
    }
    return true;
}

Run tst_WorkflowHeadless::runApp(const QStringList &arguments, int budgetMs)
{
    QProcess app;
    app.setWorkingDirectory(m_work.path()); // the port files land here
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    app.setProcessEnvironment(env);
    QSignalSpy finished(&app, &QProcess::finished);
    QElapsedTimer clock;
    clock.start();
    app.start(QStringLiteral(VELL_APP_BIN), arguments);
    Run run;
    if (!finished.wait(budgetMs)) {
        app.kill();
        return run;
    }
    run.elapsedMs = clock.elapsed();
    run.exitCode = app.exitStatus() == QProcess::NormalExit ? app.exitCode() : -2;
    run.out =
        QString::fromUtf8(app.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.err = QString::fromUtf8(app.readAllStandardError());
    return run;
}

QByteArray tst_WorkflowHeadless::recorded(int com) const
{
    return vell::test::readFile(
        QDir(m_record->path()).filePath(QStringLiteral("COM%1.bin").arg(com)));
}

void tst_WorkflowHeadless::everyProgrammerSucceeds()
{
    const QFileInfo settings(QFileInfo(QStringLiteral(VELL_APP_BIN))
                                 .dir()
                                 .filePath(QStringLiteral("VellProgrammer.txt")));
    const bool settingsExisted = settings.exists();
    const QDateTime settingsTime = settings.lastModified();

    QVERIFY(startSimulator({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                            QStringLiteral("COM4")}));
    const Run run = runApp({QStringLiteral("--ports"), m_ports->path(), QStringLiteral("--load"),
                            m_file, QStringLiteral("--program-target"), QStringLiteral("--timeout"),
                            QStringLiteral("20")});
    QVERIFY2(run.exitCode == 0, qPrintable(run.out.join('\n') + run.err));
    for (int n = 1; n <= 4; ++n) {
        const QString prefix = QStringLiteral("Programmer %1 (COM %1): ").arg(n);
        QVERIFY(run.out.contains(prefix + QStringLiteral("File Loaded OK")));
        QVERIFY(run.out.contains(prefix + QStringLiteral("Board Programmed OK")));
        QCOMPARE(recorded(n), kImage.left(5 * 512));
    }
    QVERIFY(run.out.last().startsWith(QStringLiteral("Summary: ")));

    // A headless run leaves the settings file alone, wherever it would live.
    QFileInfo after(settings.filePath());
    QCOMPARE(after.exists(), settingsExisted);
    QCOMPARE(after.lastModified(), settingsTime);
    QVERIFY(QDir(m_config.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
                .isEmpty());
}

void tst_WorkflowHeadless::failuresGiveExitCodeOne()
{
    QVERIFY(startSimulator({QStringLiteral("COM1"), QStringLiteral("COM2:loaderr=3"),
                            QStringLiteral("COM3:targeterr=10"), QStringLiteral("COM4")}));
    const QStringList ports{QStringLiteral("--ports"), m_ports->path()};

    Run run = runApp(ports + QStringList{QStringLiteral("--load"), m_file});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.contains(QStringLiteral(
        "Programmer 2 (COM 2): Error #3 / Memory Size & Processor Type Do Not Match")));
    for (int n : {1, 3, 4})
        QVERIFY(run.out.contains(QStringLiteral("Programmer %1 (COM %1): File Loaded OK").arg(n)));

    run = runApp(ports + QStringList{QStringLiteral("--program-target")});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.out.contains(
        QStringLiteral("Programmer 3 (COM 3): Error #10 / Cannot Communicate With Target Board")));
    for (int n : {1, 2, 4})
        QVERIFY(
            run.out.contains(QStringLiteral("Programmer %1 (COM %1): Board Programmed OK").arg(n)));
}

void tst_WorkflowHeadless::noProgrammerGivesExitCodeTwo()
{
    QTemporaryDir empty;
    const Run run =
        runApp({QStringLiteral("--ports"), empty.path(), QStringLiteral("--load"), m_file}, 10000);
    QCOMPARE(run.exitCode, 2);
    // The search gives up after its 3 seconds; allow for process start and a loaded machine.
    QVERIFY2(run.elapsedMs < 5000, qPrintable(QString::number(run.elapsedMs)));
    QVERIFY(run.err.contains(QStringLiteral("No Programmers Found")));
}

void tst_WorkflowHeadless::usageErrorGivesExitCodeTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("timeout not a number") << QStringList{
        QStringLiteral("--program-target"), QStringLiteral("--timeout"), QStringLiteral("soon")};
    QTest::newRow("missing program file")
        << QStringList{QStringLiteral("--load"), QStringLiteral("no-such-file.bin")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate")};
}

void tst_WorkflowHeadless::usageErrorGivesExitCodeTwo()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir empty;
    const Run run = runApp(QStringList{QStringLiteral("--ports"), empty.path()} + arguments, 10000);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(!run.err.trimmed().isEmpty());
}

QTEST_GUILESS_MAIN(tst_WorkflowHeadless)
#include "tst_workflow_headless.moc"
