// Guards the headless run over simulated programmers: steps, waits, output lines and exit codes.
#include "app/cli/consolereport.h"
#include "app/cli/headless.h"
#include "app/cli/headlessrun.h"

#include "common/files.h"

#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vell;

namespace {

struct Outcome
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

/// A program file of three whole blocks and a tail the load never sends.
const QByteArray kImage = test::pattern(3 * 512 + 164);

} // namespace

class tst_HeadlessRun : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void loadAndProgramEverywhere();
    void failuresAreNamedAndOthersSucceed();
    void loadOptionsReachTheLoad();
    void resultTimeoutFails();
    void noProgrammersIsUsageError();
    void badCommandLine_data();
    void badCommandLine();

private:
    Outcome run(const cli::Options &options, int budgetMs = 30000);
    cli::Options options() const;
    sim::PtyProgrammer *add(int com, const QString &switches = {});

    test::WorkFolder m_work; // port files land in the working folder
    QString m_file;
    std::unique_ptr<QTemporaryDir> m_ports;
    std::unique_ptr<sim::SimBank> m_bank;
};

void tst_HeadlessRun::initTestCase()
{
    QVERIFY(m_work.isValid());
    m_file = QDir(m_work.path()).filePath(QStringLiteral("board.bin"));
    QVERIFY(test::writeFile(m_file, kImage));
}

void tst_HeadlessRun::init()
{
    m_ports = std::make_unique<QTemporaryDir>();
    m_bank = std::make_unique<sim::SimBank>(m_ports->path());
}

void tst_HeadlessRun::cleanup()
{
    m_bank.reset();
    m_ports.reset();
}

sim::PtyProgrammer *tst_HeadlessRun::add(int com, const QString &switches)
{
    const auto options = sim::DeviceOptions::parse(switches);
    return m_bank->add(com, *options);
}

cli::Options tst_HeadlessRun::options() const
{
    cli::Options o;
    o.ports = link::PortNames::fromDirectory(m_ports->path());
    // The shipped tick: a shorter one can miss a greeting on a busy machine. Four programmers
    // end the search early.
    o.searchTickMs = 100;
    o.timeoutSeconds = 10;
    return o;
}

Outcome tst_HeadlessRun::run(const cli::Options &options, int budgetMs)
{
    QString outText;
    QString errText;
    QTextStream out(&outText);
    QTextStream err(&errText);
    cli::ConsoleReport report(out, err, false);
    cli::HeadlessRun headless(options, link::qserialPortFactory(), report);
    QSignalSpy finished(&headless, &cli::HeadlessRun::finished);
    headless.start();
    Outcome result;
    if (finished.isEmpty() && !finished.wait(budgetMs))
        return result;
    result.exitCode = finished.first().first().toInt();
    result.out = outText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    result.err = errText;
    return result;
}

void tst_HeadlessRun::loadAndProgramEverywhere()
{
    for (int com = 1; com <= 4; ++com)
        QVERIFY(add(com));
    cli::Options o = options();
    o.loadFile = QStringLiteral("board.bin"); // relative to the working folder
    o.programTarget = true;

    const Outcome result = run(o);
    QCOMPARE(result.exitCode, int(cli::kExitSuccess));
    for (int n = 1; n <= 4; ++n) {
        const QString prefix = QStringLiteral("Programmer %1 (COM %1): ").arg(n);
        QVERIFY2(result.out.contains(prefix + QStringLiteral("File Loaded OK")),
                 qPrintable(result.out.join('\n')));
        QVERIFY(result.out.contains(prefix + QStringLiteral("Programming Target Board")));
        QVERIFY(result.out.contains(prefix + QStringLiteral("Board Programmed OK")));
        // The loaded result comes before the target work starts.
        QVERIFY(result.out.indexOf(prefix + QStringLiteral("File Loaded OK")) <
                result.out.indexOf(prefix + QStringLiteral("Programming Target Board")));
        QCOMPARE(m_bank->programmer(n)->device()->image(), kImage.left(3 * 512));
    }
    QVERIFY(result.out.last().startsWith(QStringLiteral("Summary: ")));
    QVERIFY(result.out.last().contains(QStringLiteral("load succeeded on 4 of 4")));
    QVERIFY(result.out.last().contains(QStringLiteral("program target succeeded on 4 of 4")));
}

void tst_HeadlessRun::failuresAreNamedAndOthersSucceed()
{
    QVERIFY(add(1));
    QVERIFY(add(2, QStringLiteral("loaderr=3")));
    QVERIFY(add(3, QStringLiteral("targeterr=10")));
    QVERIFY(add(4));
    cli::Options o = options();
    o.loadFile = m_file;
    o.programTarget = true;

    // A load that failed anywhere programs no board.
    Outcome result = run(o);
    QCOMPARE(result.exitCode, int(cli::kExitFailed));
    QVERIFY(result.out.contains(QStringLiteral(
        "Programmer 2 (COM 2): Error #3 / Memory Size & Processor Type Do Not Match")));
    for (int n : {1, 3, 4})
        QVERIFY(
            result.out.contains(QStringLiteral("Programmer %1 (COM %1): File Loaded OK").arg(n)));
    QCOMPARE(m_bank->programmer(1)->device()->frames().last().at(2), 'L');
    QVERIFY(!result.out.join('\n').contains(QStringLiteral("Programming Target Board")));
    QVERIFY(result.out.last().contains(QStringLiteral("load succeeded on 3 of 4")));
    QVERIFY(result.out.last().contains(QStringLiteral("program target not run")));

    // Asked alone, the boards are programmed with what the programmers hold.
    o.loadFile.clear();
    o.programTarget = true;
    result = run(o);
    QCOMPARE(result.exitCode, int(cli::kExitFailed));
    QVERIFY(result.out.contains(
        QStringLiteral("Programmer 3 (COM 3): Error #10 / Cannot Communicate With Target Board")));
    for (int n : {1, 2, 4})
        QVERIFY(result.out.contains(
            QStringLiteral("Programmer %1 (COM %1): Board Programmed OK").arg(n)));
    QVERIFY(result.out.last().contains(
        QStringLiteral("Programmer 3 (COM 3) program target: Error #10")));
}

void tst_HeadlessRun::loadOptionsReachTheLoad()
{
    // Two whole blocks, so the trailer is sent; Config.txt gives it the values 1..32.
    QTemporaryDir folder;
    const QByteArray image = test::pattern(1024);
    const QString imagePath = folder.filePath(QStringLiteral("old.bin"));
    QVERIFY(test::writeFile(imagePath, image));
    QByteArray config = "title\r\nunused\r\n";
    QByteArray trailer;
    for (int i = 1; i <= 32; ++i) {
        config += QByteArray::number(i) + "\r\n";
        trailer.append(char(i));
    }
    QVERIFY(test::writeFile(folder.filePath(QStringLiteral("Config.txt")), config));

    for (int com = 1; com <= 4; ++com)
        QVERIFY(add(com));
    cli::Options o = options();
    o.loadFile = imagePath;
    o.restoreDefaults = true;
    o.blackBox = true;

    const Outcome result = run(o);
    QCOMPARE(result.exitCode, int(cli::kExitSuccess));
    const sim::SimDevice *device = m_bank->programmer(1)->device();
    QCOMPARE(device->frames().first().at(3), '\x01');
    QCOMPARE(device->image(), image.left(1024 - 32) + trailer);
}

void tst_HeadlessRun::resultTimeoutFails()
{
    QVERIFY(add(1));
    QVERIFY(add(2, QStringLiteral("interval=60000")));
    QVERIFY(add(3));
    QVERIFY(add(4));
    cli::Options o = options();
    o.programTarget = true;
    o.timeoutSeconds = 1;

    QElapsedTimer clock;
    clock.start();
    const Outcome result = run(o);
    QCOMPARE(result.exitCode, int(cli::kExitFailed));
    QVERIFY(clock.elapsed() < 8000);
    QVERIFY(result.out.contains(QStringLiteral("Programmer 1 (COM 1): Board Programmed OK")));
    QVERIFY(result.out.last().contains(
        QStringLiteral("Programmer 2 (COM 2) program target: no result within 1 s")));
}

void tst_HeadlessRun::noProgrammersIsUsageError()
{
    // The shipped tick's three seconds are checked on the real tool (tst_workflow_headless).
    cli::Options o = options();
    o.searchTickMs = 20;
    o.programTarget = true;

    const Outcome result = run(o, 10000);
    QCOMPARE(result.exitCode, int(cli::kExitUsage));
    QVERIFY(result.out.isEmpty()); // nothing ran, nothing to sum up
    QVERIFY(result.err.contains(QStringLiteral("No Programmers Found")));
}

void tst_HeadlessRun::badCommandLine_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("message");
    QTest::addColumn<qint64>("makeSize"); // the file is made this large first; -1: not made

    QTest::newRow("missing file") << QStringLiteral("nothing-here.bin") << 10
                                  << QStringLiteral("Program File Not Found") << qint64(-1);
    QTest::newRow("a folder") << QStringLiteral(".") << 10
                              << QStringLiteral("Program File Is Not a File") << qint64(-1);
    QTest::newRow("too large")
        << QStringLiteral("huge.bin") << 10
        << QStringLiteral("huge.bin: Program File Too Large (A program file must be smaller than "
                          "16,777,216 bytes)")
        << qint64(16'777'216);
    QTest::newRow("zero timeout") << QString() << 0 << QStringLiteral("--timeout") << qint64(-1);
}

void tst_HeadlessRun::badCommandLine()
{
    QFETCH(QString, file);
    QFETCH(int, timeout);
    QFETCH(QString, message);
    QFETCH(qint64, makeSize);
    QFile made(file);
    if (makeSize >= 0)
        QVERIFY(made.open(QIODevice::WriteOnly) && made.resize(makeSize)); // sparse

    sim::PtyProgrammer *programmer = add(1);
    cli::Options o = options();
    o.loadFile = file;
    o.programTarget = file.isEmpty();
    o.timeoutSeconds = timeout;

    const Outcome result = run(o, 2000);
    QCOMPARE(result.exitCode, int(cli::kExitUsage));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QCOMPARE(programmer->device()->openCount(), 0); // no port was touched
}

QTEST_GUILESS_MAIN(tst_HeadlessRun)
#include "tst_headlessrun.moc"
