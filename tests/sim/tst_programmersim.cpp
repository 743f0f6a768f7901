// Guards the vell-programmer-sim command line: its links appear and are listed, it records a
// load, it exits 0 on SIGTERM and SIGINT leaving no link behind, and it refuses bad arguments
// with exit code 2.
#include "link/commandframe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using vell::link::CommandFrame;

namespace {

QString simBinary()
{
    return qEnvironmentVariable("VELL_SIM_BIN");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

} // namespace

class TestProgrammerSim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (simBinary().isEmpty())
            QSKIP("VELL_SIM_BIN is not set (run through ctest)");
        QVERIFY(QFileInfo(simBinary()).isExecutable());
    }

    void runsUntilSignalled_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void runsUntilSignalled()
    {
        QFETCH(int, signalNumber);
        QTemporaryDir dir;
        QProcess sim;
        QSignalSpy finished(&sim, &QProcess::finished);
        const QString ports = dir.filePath(QStringLiteral("ports"));
        sim.start(simBinary(), {QStringLiteral("--ports"), ports, QStringLiteral("COM7:noready"),
                                QStringLiteral("COM3")});
        QTRY_COMPARE_WITH_TIMEOUT(entries(ports), (QStringList{"COM3", "COM7"}), 5000);
        // One line per programmer, in port order, with its switches.
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += sim.readAllStandardOutput()).count('\n') == 2, 5000);
        const QList<QByteArray> lines = out.trimmed().split('\n');
        QVERIFY(lines.at(0).startsWith(
            QByteArray("COM3 " + QFile::encodeName(ports + "/COM3") + " -> ")));
        QVERIFY(lines.at(1).startsWith(
            QByteArray("COM7 " + QFile::encodeName(ports + "/COM7") + " -> ")));
        QVERIFY(lines.at(1).endsWith(" [noready]"));
        for (const QString &name : entries(ports)) {
            const QFileInfo link(QDir(ports).filePath(name));
            QVERIFY(link.isSymLink());
            QVERIFY(link.exists()); // points at a live pty
        }
        QCOMPARE(sim.state(), QProcess::Running);

        ::kill(pid_t(sim.processId()), signalNumber);
        QVERIFY(finished.wait(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        QCOMPARE(entries(ports), QStringList());
    }

    void recordsTheImage()
    {
        QTemporaryDir dir;
        const QString ports = dir.filePath(QStringLiteral("ports"));
        const QString records = dir.filePath(QStringLiteral("records"));
        QProcess sim;
        QSignalSpy finished(&sim, &QProcess::finished);
        sim.start(simBinary(), {QStringLiteral("--ports"), ports, QStringLiteral("--record"),
                                records, QStringLiteral("COM2")});
        const QString link = QDir(ports).filePath(QStringLiteral("COM2"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 5000);

        QByteArray file(1300, Qt::Uninitialized);
        for (int i = 0; i < file.size(); ++i)
            file[i] = char(i % 251);
        QByteArray wire = CommandFrame::load(false, CommandFrame::SizeFields::fromLength(1300));
        wire += file.left(512) + QByteArray(1, '\0') + file.mid(512, 512) + QByteArray(1, '\0');
        // Kept open until the record is written: the simulator drops what a closed port left.
        QFile port(link);
        QVERIFY(port.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        QCOMPARE(port.write(wire), wire.size());
        const QString record = QDir(records).filePath(QStringLiteral("COM2.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 5000);
        QFile recorded(record);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QCOMPARE(recorded.readAll(), file.left(1024));
        port.close();
        sim.terminate();
        QVERIFY(finished.wait(5000));
        QCOMPARE(sim.exitCode(), 0);
    }

    void refusesBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no --ports") << QStringList{"COM3"} << QByteArray("--ports DIR is required");
        QTest::newRow("no programmer")
            << QStringList{"--ports", "DIR"} << QByteArray("name at least one programmer");
        QTest::newRow("bad switch") << QStringList{"--ports", "DIR", "COM3:loaderr=x"}
                                    << QByteArray("COM3: switch 'loaderr': 'x' is not a number");
        QTest::newRow("COM16") << QStringList{"--ports", "DIR", "COM16"}
                               << QByteArray("'COM16' is not a port name");
        QTest::newRow("twice") << QStringList{"--ports", "DIR", "COM3", "COM3:split"}
                               << QByteArray("COM3 is named twice");
        QTest::newRow("unknown option")
            << QStringList{"--port", "DIR", "COM3"} << QByteArray("unknown option '--port'");
    }
    void refusesBadArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());
        QProcess sim;
        QSignalSpy finished(&sim, &QProcess::finished);
        sim.start(simBinary(), arguments);
        QVERIFY(finished.wait(5000));
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY2(sim.readAllStandardError().contains(message), message.constData());
        QCOMPARE(entries(dir.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestProgrammerSim)
#include "tst_programmersim.moc"
