// Guards the application over in-process simulated programmers (no ports): load and program
// target through the Station, one command at a time, programmers that vanish, the black-box
// Config.txt, the watchdog's fault and its end; the headless run's lines and exit codes; the
// watchdog itself and the settings file.
#include "common/fakedevices.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"

#include "app/attemptlog.h"
#include "app/operation.h"
#include "app/operatorqueue.h"
#include "app/settings.h"
#include "app/station.h"
#include "app/watchdog.h"
#include "cli/commandline.h"
#include "cli/consolereport.h"
#include "cli/headless.h"
#include "cli/headlessrun.h"
#include "load/programfile.h"

#include <QtTest>

using namespace vell;
using model::ProgrammerNumber;
using test::pattern;

namespace {

const QString kLoaded = QStringLiteral("File Loaded OK");
const QString kProgrammed = QStringLiteral("Board Programmed OK");
const QString kLost = QStringLiteral("Communication with Programmer Lost");
using Boards = QMap<int, QString>; // COM -> board serial

/// A Station over simulated programmers on COM 1..n, found by its search, browsing a folder.
struct Bed
{
    explicit Bed(const QStringList &switches, int stepMs = 1, int watchdogMs = 1000)
    {
        for (int n = 1; n <= switches.size(); ++n)
            devices.add(n, switches.at(n - 1), stepMs);
        station = std::make_unique<app::Station>(link::PortNames::fromDirectory("/fake"), op,
                                                 devices.factory(),
                                                 model::Timings{20, watchdogMs, 300, 5});
        QSignalSpy found(station.get(), &app::Station::searchFinished);
        station->startSearch();
        if (found.wait(5000))
            station->showFoundProgrammers();
        station->setCurrentFolder(files.path());
        QObject::connect(station.get(), &app::Station::operationFinished, station.get(),
                         [this](const app::OperationResult &r) {
                             loadsEnded += r.step == model::Step::Load ? 1 : 0;
                         });
        QObject::connect(station.get(), &app::Station::attemptEnded, station.get(),
                         [this](const app::Attempt &a) { ended.append(a); });
    }
    /// "n step result[ code]" of every attempt ended so far, sorted.
    [[nodiscard]] QStringList attempts() const
    {
        QStringList out;
        for (const app::Attempt &a : ended)
            out << QStringLiteral("%1 %2 %3%4")
                       .arg(a.programmer.value())
                       .arg(a.step.step == model::Step::Load ? "load" : "target",
                            record::resultName(a.result()),
                            a.step.code ? QStringLiteral(" %1").arg(*a.step.code) : QString());
        out.sort();
        return out;
    }
    QByteArray write(int length, const QString &name = QStringLiteral("image.bin"))
    {
        const QByteArray bytes = pattern(length);
        return test::writeFile(files.filePath(name), bytes) ? bytes : QByteArray();
    }
    void load(const QString &name = QStringLiteral("image.bin"))
    {
        station->loadProgramFile(files.filePath(name));
    }
    [[nodiscard]] QString status(int n) const { return station->statusText(ProgrammerNumber(n)); }
    [[nodiscard]] const model::ProgrammerState &state(int n) const
    {
        return station->state(ProgrammerNumber(n));
    }
    [[nodiscard]] const record::Tally &tally(int n) const
    {
        return station->tally(ProgrammerNumber(n));
    }
    test::WorkFolder work; // port files
    QTemporaryDir files;
    test::FakeDevices devices; // outlives the links
    test::RecordingOperator op;
    std::unique_ptr<app::Station> station;
    int loadsEnded = 0;
    QList<app::Attempt> ended;
};

/// One headless run over simulated programmers; its exit code, stdout lines and stderr.
struct Headless
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

Headless runHeadless(test::FakeDevices &devices, cli::Options options)
{
    if (options.ports.directory().isEmpty())
        options.ports = link::PortNames::fromDirectory("/fake");
    options.searchTickMs = 5;
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    cli::ConsoleReport report(out, err,
                              options.json ? cli::ConsoleReport::Style::Json
                                           : cli::ConsoleReport::Style::Lines);
    cli::HeadlessRun run(options, devices.factory(), report);
    QSignalSpy finished(&run, &cli::HeadlessRun::finished);
    run.start();
    Headless result;
    if (finished.isEmpty() && !finished.wait(10000))
        return result;
    result.exitCode = finished.first().first().toInt();
    result.out = outText.split(u'\n', Qt::SkipEmptyParts);
    result.err = errText;
    return result;
}

QString line(int n, const QString &text)
{
    return QStringLiteral("Programmer %1 (COM %1): ").arg(n) + text;
}

} // namespace

class TstStation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void loadThenProgram_data()
    {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<QStringList>("afterLoad");
        QTest::addColumn<QStringList>("afterTarget");
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QList<int>>("failedBoards");
        QStringList allOk;
        for (int n = 1; n <= 4; ++n)
            allOk << QStringLiteral("%1 load ok").arg(n) << QStringLiteral("%1 target ok").arg(n);
        QTest::newRow("all succeed")
            << QStringList{{}, {}, {}, {}} << QStringList{kLoaded, kLoaded, kLoaded, kLoaded}
            << QStringList{kProgrammed, kProgrammed, kProgrammed, kProgrammed} << allOk
            << QList<int>{0, 0, 0, 0};
        QStringList someFail = allOk;
        someFail.replace(2, "2 load error 3");
        someFail.replace(3, "2 target skipped");
        someFail.replace(5, "3 target error 10");
        QTest::newRow("one load and one target fail")
            << QStringList{{}, "loaderr=3", "targeterr=10", {}}
            << QStringList{kLoaded, "Error #3 / Memory Size & Processor Type Do Not Match", kLoaded,
                           kLoaded}
            << QStringList{kProgrammed, "Not Programmed: Last Load Failed",
                           "Error #10 / Cannot Communicate With Target Board", kProgrammed}
            << someFail << QList<int>{0, 1, 1, 0};
    }
    // Whole blocks reach every programmer; the button meanwhile is ignored; the "T" frame
    // then carries the length of the file just loaded.
    void loadThenProgram()
    {
        QFETCH(QStringList, switches);
        QFETCH(QStringList, afterLoad);
        QFETCH(QStringList, afterTarget);
        QFETCH(QStringList, attempts);
        QFETCH(QList<int>, failedBoards);
        Bed bed(switches);
        const QByteArray file = bed.write(4 * 512 + 300);
        bed.load();
        QVERIFY(bed.station->busy());
        bed.station->programTarget();
        for (int n = 1; n <= 4; ++n)
            QTRY_COMPARE(bed.status(n), afterLoad.at(n - 1));
        QTRY_VERIFY(!bed.station->busy());
        for (int n = 1; n <= 4; ++n) {
            QCOMPARE(bed.devices.device(n)->image(), file.left(4 * 512));
            QVERIFY(!bed.devices.device(n)->frames().join().contains("APT"));
            QCOMPARE(bed.state(n).image().has_value(), afterLoad.at(n - 1) == kLoaded);
        }
        bed.station->programTarget();
        for (int n = 1; n <= 4; ++n) {
            QTRY_COMPARE(bed.status(n), afterTarget.at(n - 1));
            // A programmer whose load failed is not sent the frame.
            const QByteArray last = bed.devices.device(n)->frames().last();
            QCOMPARE(last.left(3), afterTarget.at(n - 1).startsWith("Not") ? "APL" : "APT");
            QCOMPARE(last.mid(18, 3).toHex(), QByteArray("00092c"));
        }
        QCOMPARE(bed.station->softwareVersionText(),
                 QStringLiteral("Board Software Version image.bin"));
        QVERIFY(bed.op.messages.isEmpty());
        // Every step of every programmer recorded, with the image of the load and the boards.
        QTRY_COMPARE(bed.attempts(), attempts);
        for (int n = 1; n <= 4; ++n) {
            const record::Tally &tally = bed.tally(n);
            QCOMPARE(tally.boardsFailed, failedBoards.at(n - 1));
            QCOMPARE(tally.boardsOk, 1 - failedBoards.at(n - 1));
        }
        for (const app::Attempt &a : std::as_const(bed.ended)) {
            // A skipped programmer programmed no image.
            QCOMPARE(a.step.image.has_value(), a.result() != record::Result::Skipped);
            QVERIFY(!a.step.image || a.step.image->size == file.size());
            QCOMPARE(a.step.text, a.step.step == model::Step::Load
                                      ? afterLoad.at(a.programmer.value() - 1)
                                      : afterTarget.at(a.programmer.value() - 1));
            QVERIFY(a.step.started <= a.step.ended);
        }
    }

    // With an approved image, a double-click on another file shows the refusal and touches no
    // programmer; the approved file loads.
    void approvedImageOnly()
    {
        Bed bed({""});
        const QByteArray approved = bed.write(512, QStringLiteral("approved.bin"));
        bed.write(512 + 1, QStringLiteral("other.bin"));
        bed.station->setApprovedImage(
            {QString::fromLatin1(
                 QCryptographicHash::hash(approved, QCryptographicHash::Sha256).toHex()),
             {}});
        const QString found = bed.status(1);
        bed.load(QStringLiteral("other.bin"));
        QCOMPARE(bed.op.messages.size(), 1);
        QVERIFY(bed.op.messages.at(0).first.startsWith(
            QStringLiteral("Program File Is Not the Approved Image")));
        QVERIFY(!bed.station->busy());
        QCOMPARE(bed.status(1), found);
        bed.load(QStringLiteral("approved.bin"));
        QTRY_COMPARE(bed.attempts(), QStringList{"1 load ok"});
        QCOMPARE(bed.devices.device(1)->image(), approved);
        QCOMPARE(bed.devices.device(1)->frames().size(), 1);
    }

    // Programmer 2's port is gone: its step ends lost at once; the others are programmed while
    // the message waits for the operator's OK, their steps ending with their verdicts, not with
    // the OK; the button and a load meanwhile are ignored.
    void unopenableLinkDuringProgramTarget()
    {
        Bed bed(QStringList{{}, {}, {}});
        bed.devices.unplug(2); // nothing stands for COM 2 now
        bed.write(1024);
        bed.op.holdOk = true;
        bed.station->programTarget();
        QVERIFY(bed.station->busy());
        QCOMPARE(bed.attempts(), QStringList{"2 target lost"});
        QCOMPARE(bed.status(2), kLost);
        QCOMPARE(bed.tally(2).boardsFailed, 1);
        bed.station->programTarget();
        bed.load();
        QTRY_COMPARE(bed.attempts(), QStringList({"1 target ok", "2 target lost", "3 target ok"}));
        QCOMPARE(bed.op.messages.size(), 1);
        QVERIFY(bed.station->busy());
        QVERIFY(bed.op.acknowledge());
        QVERIFY(!bed.station->busy());
        QCOMPARE(bed.devices.device(1)->frames().size(), 1);
        QCOMPARE(bed.devices.device(1)->frames().at(0).left(3), QByteArray("APT"));
        QCOMPARE(bed.loadsEnded, 0);
    }

    // A load meets programmer 2's port gone: its step ends lost at once, and the others load
    // without waiting for it; the message comes after their frames.
    void unopenableLinkDuringLoad()
    {
        Bed bed(QStringList{{}, {}}, 1, 300);
        bed.devices.unplug(2);
        bed.write(1024);
        bed.load();
        QCOMPARE(bed.attempts(), QStringList{"2 load lost"});
        QCOMPARE(bed.status(2), kLost);
        QTRY_COMPARE(bed.loadsEnded, 1);
        QCOMPARE(bed.attempts(), QStringList({"1 load ok", "2 load lost"}));
        QCOMPARE(bed.op.messages.size(), 1);
        QVERIFY(!bed.station->faultTimedOut());
    }

    void vanishesDuringLoad_data()
    {
        QTest::addColumn<int>("gone");
        QTest::addColumn<bool>("inHandshake");
        QTest::newRow("programmer 1 before it was ready") << 1 << true;
        QTest::newRow("programmer 3 before it was ready") << 3 << true;
        QTest::newRow("programmer 2 in the stream") << 2 << false;
    }
    // That programmer leaves the load at once and says so; the others are not held until the
    // watchdog and get every block.
    void vanishesDuringLoad()
    {
        QFETCH(int, gone);
        QFETCH(bool, inHandshake);
        QStringList switches{{}, {}, {}, {}};
        if (inHandshake)
            switches[gone - 1] = QStringLiteral("noready");
        Bed bed(switches);
        const QByteArray file = bed.write(64 * 512);
        const auto unplug = [&bed, gone] {
            QTimer::singleShot(0, bed.station.get(), [&bed, gone] { bed.devices.unplug(gone); });
        };
        if (inHandshake)
            connect(bed.devices.device(gone), &sim::SimDevice::frameReceived, bed.station.get(),
                    unplug);
        else
            connect(bed.station.get(), &app::Station::statusChanged, bed.station.get(),
                    [unplug, &bed, gone](ProgrammerNumber n) {
                        if (n.value() == gone &&
                            bed.state(gone).status == model::Status::Transferring)
                            unplug();
                    });
        bed.load();
        QTRY_COMPARE(bed.loadsEnded, 1);
        for (int n = 1; n <= 4; ++n) {
            if (n != gone) {
                QTRY_COMPARE(bed.status(n), kLoaded);
                QCOMPARE(bed.devices.device(n)->image(), file);
            }
        }
        QCOMPARE(bed.status(gone), kLost);
        QTRY_COMPARE(bed.ended.size(), 4);
        QVERIFY(bed.attempts().contains(QStringLiteral("%1 load lost").arg(gone)));
        QCOMPARE(bed.station->prompt(), QStringLiteral("Double-click file to Load Programmer ==>"));
        QVERIFY(!bed.station->faultTimedOut());
        QVERIFY(bed.op.messages.isEmpty());
    }

    // Programmer 2 never ready: the watchdog ends the load with "Error" and lets go of the port
    // files; the next load starts without that fault.
    void watchdogEndsTheLoadAndNotTheNext()
    {
        Bed bed({{}, QStringLiteral("noready")}, 1, 300);
        const QByteArray file = bed.write(2048);
        bed.load();
        QVERIFY(bed.station->links().portFile(ProgrammerNumber(2)).isOpen());
        QTRY_COMPARE(bed.loadsEnded, 1);
        QCOMPARE(bed.attempts(), QStringList({"1 load timed-out", "2 load timed-out"}));
        QCOMPARE(bed.station->prompt(), QStringLiteral("Error"));
        QVERIFY(bed.station->faultTimedOut());
        QVERIFY(!bed.station->links().portFile(ProgrammerNumber(1)).isOpen() &&
                !bed.station->links().portFile(ProgrammerNumber(2)).isOpen());
        QVERIFY(bed.devices.device(1)->image().isEmpty());
        // No programmer took it: the image line says so rather than naming it.
        QCOMPARE(bed.station->imageText(),
                 QStringLiteral("image.bin not loaded by any programmer"));
        QVERIFY(!bed.station->image());

        // The operator swaps programmer 2 for one that gets ready.
        bed.devices.unplug(2);
        bed.devices.add(2);
        bed.load();
        QCOMPARE(bed.station->prompt(), QStringLiteral("Double-click file to Load Programmer ==>"));
        QVERIFY(!bed.station->faultTimedOut());
        QTRY_COMPARE(bed.loadsEnded, 2);
        QTRY_COMPARE(bed.devices.device(1)->image(), file);
        QTRY_COMPARE(
            bed.station->imageText(),
            QStringLiteral("image.bin (2048 bytes, CRC-32 %1)").arg(bed.state(1).image()->crc32));
    }

    // Each repeat of a load on a programmer counts one more try, whether Retry Failed or its
    // pane's "again" began it; the command of every programmer begins at 1 again.
    void triesCountRepeats()
    {
        Bed bed({{}, QStringLiteral("loaderr=3")});
        bed.write(1024);
        const auto step = [&](const std::function<void()> &command) {
            const int before = bed.loadsEnded;
            command();
            QTRY_COMPARE(bed.loadsEnded, before + 1);
        };
        step([&] { bed.load(); });
        step([&] { QVERIFY(bed.station->retryFailed()); });
        step([&] { QVERIFY(bed.station->repeatStep(ProgrammerNumber(2), model::Step::Load)); });
        step([&] { bed.load(); });
        QStringList tries(2);
        for (const app::Attempt &a : std::as_const(bed.ended))
            tries[a.programmer.value() - 1] += QString::number(a.step.tryNumber);
        QCOMPARE(tries, QStringList({"11", "1231"}));
    }

    void leftOutBoardAlone_data()
    {
        QTest::addColumn<bool>("byPane");
        QTest::newRow("its pane's Program Target Again") << true;
        QTest::newRow("Retry Failed after the program-target") << false;
    }
    // A board left out after its programmer's load failed is programmed alone once that load
    // has succeeded; the boards done are not touched again, and every repeat counts its try.
    void leftOutBoardAlone()
    {
        QFETCH(bool, byPane);
        const ProgrammerNumber two(2);
        Bed bed({{}, QStringLiteral("firstloaderr=3"), {}});
        bed.write(1024);
        bed.load();
        QTRY_COMPARE(bed.loadsEnded, 1);
        bed.station->programTarget();
        QTRY_COMPARE(bed.ended.size(), 6);
        QCOMPARE(bed.status(2), QStringLiteral("Not Programmed: Last Load Failed"));
        QVERIFY(bed.station->failedProgrammers().isEmpty());
        QVERIFY(bed.station->nothingToRetry().contains(QStringLiteral("programmer 2")));
        QCOMPARE(bed.station->paneSteps(two), std::vector<model::Step>{model::Step::Load});
        QVERIFY(bed.station->repeatStep(two, model::Step::Load));
        QTRY_COMPARE(bed.loadsEnded, 2);
        QCOMPARE(bed.station->paneSteps(two),
                 (std::vector<model::Step>{model::Step::Load, model::Step::ProgramTarget}));
        const qsizetype frames1 = bed.devices.device(1)->frames().size();
        const qsizetype frames3 = bed.devices.device(3)->frames().size();
        QVERIFY(byPane ? bed.station->repeatStep(two, model::Step::ProgramTarget)
                       : bed.station->retryFailed());
        QTRY_COMPARE(bed.status(2), kProgrammed);
        QCOMPARE(bed.devices.device(1)->frames().size(), frames1);
        QCOMPARE(bed.devices.device(3)->frames().size(), frames3);
        for (int n : {1, 3})
            QVERIFY(bed.tally(n).boardsOk == 1 && bed.tally(n).boardsFailed == 0);
        QVERIFY(bed.tally(2).boardsOk == 1 && bed.tally(2).boardsFailed == 1);
        QVERIFY(bed.station->paneSteps(two).empty());         // its board is done
        QVERIFY(bed.station->canRepeat(ProgrammerNumber(1))); // no step begun on a board done
        QStringList tries;
        for (const app::Attempt &a : std::as_const(bed.ended)) {
            if (a.programmer == two)
                tries << QStringLiteral("%1 %2")
                             .arg(a.step.step == model::Step::Load ? "load" : "target")
                             .arg(a.step.tryNumber);
        }
        QCOMPARE(tries, QStringList({"load 1", "target 1", "load 2", "target 2"}));
    }

    // Two operations side by side: a verdict ends the step of the one that holds it, and a
    // command begun on a programmer ends its step under way first, without a result.
    void operationsSideBySide()
    {
        Bed bed({QStringLiteral("prog=20"), QStringLiteral("targeterr=10")}, 40);
        bed.write(1024);
        bed.station->programTarget();
        QTRY_COMPARE(bed.attempts(), QStringList{"2 target error 10"});
        QVERIFY(bed.station->retryFailed()); // programmer 1 still programming
        QTRY_COMPARE(bed.attempts(), QStringList({"1 target ok", "2 target error 10"}));
        bed.load(); // programmer 2's repeat still under way
        QCOMPARE(bed.attempts(),
                 QStringList({"1 target ok", "2 target error 10", "2 target no-result"}));
    }

    // One message at a time, in the order asked: the next shows once the last is acknowledged.
    void oneMessageAtATime()
    {
        test::RecordingOperator shown;
        shown.holdOk = true;
        app::OperatorQueue queue(shown);
        queue.message(QStringLiteral("first"), {}, {});
        queue.message(QStringLiteral("second"), {}, {});
        QCOMPARE(shown.messages.size(), 1);
        QVERIFY(shown.acknowledge());
        QCOMPARE(shown.messages.value(1).first, QStringLiteral("second"));
    }

    // A board this run programmed OK is programmed again, on purpose: its pane says when and by
    // which programmer, and only its record says reprogrammed.
    void reprogrammedBoard()
    {
        Bed bed(QStringList(2));
        const ProgrammerNumber one(1), two(2);
        app::Request first, again;
        first.boards[two] = QStringLiteral("SN-1");
        again.boards[one] = QStringLiteral("SN-1");
        QVERIFY(bed.station->programTarget(first));
        QTRY_COMPARE(bed.ended.size(), 2);
        QVERIFY(bed.station->programTarget(again));
        QTRY_COMPARE(bed.ended.size(), 4);
        QStringList records;
        for (const app::Attempt &a : std::as_const(bed.ended)) {
            const QJsonObject r = a.record().toJson();
            records << QStringLiteral("%1 %2 %3")
                           .arg(r["programmer"].toInt())
                           .arg(r["board"].toString("-"),
                                r["reprogrammed"].toBool() ? "again" : "");
        }
        records.sort();
        QCOMPARE(records, QStringList({"1 - ", "1 SN-1 again", "2 - ", "2 SN-1 "}));
        QVERIFY(bed.station->boardNote(one).endsWith(QStringLiteral(" by programmer 2")));
        QCOMPARE(bed.station->boardNote(two), QString());
    }

    void blackBox_data()
    {
        QTest::addColumn<QByteArray>("config");  // "-": no Config.txt
        QTest::addColumn<QByteArray>("trailer"); // empty: the stream stops at line 20
        QByteArray oneTo32;
        for (int k = 1; k <= 32; ++k)
            oneTo32 += char(k);
        QList<QByteArray> line20 = test::numbers(32, 3);
        line20[17] = "256";
        QTest::newRow("lines 3..34 = 1..32") << test::configText(test::numbers(32)) << oneTo32;
        QTest::newRow("ended by junk, CR and LF ends")
            << QByteArray("1\r\n2\n") + test::numbers(32).join(QByteArray("\x00\xffjunk\r", 7))
            << oneTo32;
        QTest::newRow("missing") << QByteArray("-") << QByteArray(32, '\0');
        QTest::newRow("line 20 is no byte") << test::configText(line20) << QByteArray();
    }
    // The last 32 bytes come from Config.txt; a value that is not a byte ends the stream before
    // the block that holds it, and the operator is told which line.
    void blackBox()
    {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, trailer);
        Bed bed(QStringList(2));
        bed.station->setBlackBox(true);
        const QByteArray file = bed.write(4 * 512);
        if (config != "-")
            QVERIFY(test::writeFile(bed.files.filePath("Config.txt"), config));
        bed.load();
        QTRY_COMPARE(bed.loadsEnded, 1);
        if (trailer.isEmpty()) {
            QCOMPARE(bed.attempts(), QStringList({"1 load no-result", "2 load no-result"}));
            QCOMPARE(bed.op.messages.size(), 1);
            QCOMPARE(bed.op.messages.at(0).first.section(u'\n', 0, 0),
                     QStringLiteral("Config.txt Line 20 Is Not a Number from 0 to 255"));
            QVERIFY(bed.op.messages.at(0).first.endsWith(QStringLiteral("Config.txt")));
            QTRY_COMPARE(bed.devices.device(1)->image(), file.left(3 * 512));
            QVERIFY(bed.status(1) != kLoaded);
        } else {
            QTRY_COMPARE(bed.status(2), kLoaded);
            QCOMPARE(bed.devices.device(1)->image(), file.left(file.size() - 32) + trailer);
            QCOMPARE(bed.devices.device(2)->image(), file.left(file.size() - 32) + trailer);
            QVERIFY(bed.op.messages.isEmpty());
        }
    }
};

class TstHeadless : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(test::writeFile(m_work.file("board.bin"), pattern(3 * 512 + 164)));
    }

    // A load that failed anywhere programs no board; asked alone, the boards are programmed.
    void failuresAreNamed()
    {
        test::FakeDevices devices;
        const QStringList switches{{}, "loaderr=3", "targeterr=10", {}};
        for (int com = 1; com <= 4; ++com)
            devices.add(com, switches.at(com - 1));
        cli::Options o;
        o.loadFile = m_work.file("board.bin");
        o.programTarget = true;
        Headless run = runHeadless(devices, o);
        QCOMPARE(run.exitCode, int(cli::kExitFailed));
        QVERIFY(run.out.contains(line(2, "Error #3 / Memory Size & Processor Type Do Not Match")));
        QVERIFY(run.out.contains(line(4, kLoaded)));
        QVERIFY(!run.out.join('\n').contains(QStringLiteral("Programming Target Board")));
        QVERIFY(run.out.last().contains(QStringLiteral("load succeeded on 3 of 4")));
        QVERIFY(run.out.last().contains(QStringLiteral("program target not run")));

        o.loadFile.clear();
        run = runHeadless(devices, o);
        QCOMPARE(run.exitCode, int(cli::kExitFailed));
        QVERIFY(run.out.contains(line(3, "Error #10 / Cannot Communicate With Target Board")));
        QVERIFY(run.out.contains(line(2, kProgrammed)));
        QVERIFY(run.out.last().contains(
            QStringLiteral("Programmer 3 (COM 3) program target: Error #10")));
    }

    // --json always ends with its summary, also when no programmer was found (exit 2).
    void jsonWithNothingFound()
    {
        test::FakeDevices none;
        cli::Options o;
        o.programTarget = true;
        o.json = true;
        const Headless run = runHeadless(none, o);
        QCOMPARE(run.exitCode, int(cli::kExitUsage));
        QVERIFY(!run.out.isEmpty());
        const QJsonObject summary = QJsonDocument::fromJson(run.out.last().toUtf8()).object();
        QCOMPARE(summary["event"], "summary");
        QCOMPARE(summary["exit"], 2);
        QCOMPARE(summary["programmed"], 0);
    }

    void boardSerials_data()
    {
        QTest::addColumn<Boards>("boards"); // --board COMn=SERIAL
        QTest::addColumn<bool>("required");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("results"); // "n result board"
        QTest::addColumn<QString>("error");       // exit 2: why; "searched" when after the search
        QTest::newRow("a serial per COM") << Boards{{1, "SN-1"}, {2, "SN-2"}} << false << 0
                                          << QStringList{"1 ok SN-1", "2 ok SN-2"} << QString();
        QTest::newRow("--require-board, COM 2 without")
            << Boards{{1, "SN-1"}} << true << 1 << QStringList{"1 ok SN-1", "2 skipped -"}
            << QString();
        QTest::newRow("one serial on two COMs")
            << Boards{{1, "SN-1"}, {2, "SN-1"}} << false << 1
            << QStringList{"1 skipped SN-1", "2 skipped SN-1"} << QString();
        QTest::newRow("a port without a programmer: no board touched")
            << Boards{{1, "SN-1"}, {3, "SN-3"}} << false << 2 << QStringList()
            << "searched --board COM3: no programmer was found on COM 3";
        QTest::newRow("no port: nothing opened")
            << Boards{{1, "SN-1"}, {4, "SN-4"}} << false << 2 << QStringList()
            << "--board COM4: there is no port COM 4";
    }
    // --board gives each COM's board serial to its programmer's record (with the operator);
    // the rules of the windows hold headless. Ports COM1..3 are there, programmers on 1 and 2.
    void boardSerials()
    {
        test::FakeDevices devices;
        devices.add(1);
        devices.add(2);
        QTemporaryDir ports;
        for (int com = 1; com <= 3; ++com)
            QVERIFY(test::writeFile(ports.filePath(QStringLiteral("COM%1").arg(com)), {}));
        cli::Options o;
        o.ports = link::PortNames::fromDirectory(ports.path());
        o.programTarget = true;
        o.json = true;
        o.boards = VELL_FETCH(Boards, boards);
        o.boardRules.required = VELL_FETCH(bool, required);
        o.operatorName = QStringLiteral("Ana");
        const Headless run = runHeadless(devices, o);
        QTEST(run.exitCode, "exit");
        QStringList results;
        for (const QString &line : run.out) {
            const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
            if (e["event"] == "result")
                results << QStringLiteral("%1 %2 %3")
                               .arg(e["programmer"].toInt())
                               .arg(e["result"].toString(), e["board"].toString("-"));
            QVERIFY(e["event"] != "result" || e["operator"] == "Ana");
        }
        results.sort();
        QTEST(results, "results");
        QString error = VELL_FETCH(QString, error);
        const bool searched = error.startsWith("searched ");
        if (searched)
            error = error.mid(9);
        QVERIFY2(run.err.contains(error), qPrintable(run.err));
        if (run.exitCode == int(cli::kExitUsage)) {
            QVERIFY(devices.device(1)->frames().isEmpty());
            QCOMPARE(devices.device(1)->openCount() > 0, searched);
        }
    }

    void boardOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error"); // how the usage error begins; empty: none
        const QStringList target{"--program-target"};
        QTest::newRow("COMn=SERIAL, any case")
            << target + QStringList{"--board", "COM3=SN-1", "--board", "com12=a=b"} << QString();
        QTest::newRow("no COM") << target + QStringList{"--board", "3=SN-1"}
                                << "--board takes COMn=SERIAL";
        QTest::newRow("COM 16") << target + QStringList{"--board", "COM16=SN"}
                                << "--board takes COMn=SERIAL";
        QTest::newRow("empty serial")
            << target + QStringList{"--board", "COM3="} << "--board COM3: no serial given";
        QTest::newRow("a COM twice")
            << target + QStringList{"--board", "COM3=A", "--board", "COM3=B"}
            << "--board: COM3 is given twice";
        QTest::newRow("not of the pattern")
            << target + QStringList{"--board-pattern", "SN-\\d+", "--board", "COM3=X"}
            << "--board COM3: it does not match the board pattern SN-\\d+";
        QTest::newRow("no regular expression")
            << target + QStringList{"--board-pattern", "SN-("} << "--board-pattern: 'SN-('";
        QTest::newRow("without --program-target")
            << QStringList{"--load", "f.bin", "--board", "COM3=A"} << "--board COMn=SERIAL is for";
        QTest::newRow("--scan-boards headless")
            << target + QStringList{"--scan-boards"} << "--scan-boards is for the windows";
        QTest::newRow("--operator empty")
            << target + QStringList{"--operator", ""} << "--operator takes a name";
        QTest::newRow("one board's history")
            << QStringList{"--report", "--board", "A", "--board", "B"}
            << "--report takes one --board SERIAL";
    }
    // Refused before any port is touched, naming the option.
    void boardOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        cli::CommandLine line;
        const bool taken = line.parse(QStringList{"vell-usb-programmer"} + arguments);
        QVERIFY2(taken == error.isEmpty() && line.errorText().startsWith(error),
                 qPrintable(line.errorText()));
        if (taken)
            QCOMPARE(line.boards(), (Boards{{3, "SN-1"}, {12, "a=b"}}));
    }

    // A file shorter than a block sends no block: the programmers answer the frame at once,
    // before the load has ended; program-target waits for that end, and nothing is amiss.
    void verdictsBeforeTheLoadEnds()
    {
        QVERIFY(test::writeFile(m_work.file("tiny.bin"), pattern(100)));
        test::FakeDevices devices;
        devices.add(1);
        cli::Options o;
        o.loadFile = m_work.file("tiny.bin");
        o.programTarget = true;
        o.timeoutSeconds = 3;
        const Headless run = runHeadless(devices, o);
        QVERIFY2(run.exitCode == int(cli::kExitSuccess) && run.err.isEmpty(), qPrintable(run.err));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("approvedCrc32");
        QTest::newRow("missing file") << "nothing-here.bin" << 10 << ""
                                      << "Program File Not Found"
                                      << "";
        QTest::newRow("16 MiB") << "big.bin" << 10 << ""
                                << "Program File Too Large"
                                << "";
        QTest::newRow("zero timeout") << "" << 0 << ""
                                      << "--timeout"
                                      << "";
        QTest::newRow("log cannot be written")
            << "" << 10 << "/proc/no-such-folder/attempts.jsonl"
            << "Cannot write the attempt log /proc/no-such-folder/attempts.jsonl"
            << "";
        QTest::newRow("not the approved image")
            << "check.bin" << 10 << ""
            << "Program File Is Not the Approved Image\nCRC-32 approved: 00000000, the file's: "
               "cbf43926"
            << "00000000";
    }
    // Refused before any port is touched.
    void badCommandLine()
    {
        QFETCH(QString, file);
        QFETCH(int, timeout);
        QFETCH(QString, log);
        QFETCH(QString, message);
        QFETCH(QString, approvedCrc32);
        QFile big(m_work.file("big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(16 * 1024 * 1024));
        QVERIFY(test::writeFile(m_work.file("check.bin"), "123456789"));
        test::FakeDevices devices;
        devices.add(1);
        cli::Options o;
        o.loadFile = file;
        o.programTarget = file.isEmpty();
        o.timeoutSeconds = timeout;
        o.logFile = log;
        o.approved.crc32 = approvedCrc32;
        const Headless run = runHeadless(devices, o);
        QCOMPARE(run.exitCode, int(cli::kExitUsage));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(devices.device(1)->openCount(), 0);
    }

    // One load record per programmer, each a whole line: the good one ok, the error with its
    // code, the one unplugged mid-stream lost, with the file as it was; a second run appends
    // and leaves the first run's lines byte for byte. The summary speaks of three programmers.
    void attemptRecords()
    {
        const QString log = m_work.file("records/attempts.jsonl");
        const QByteArray image = pattern(40 * 512);
        QVERIFY(test::writeFile(m_work.file("records.bin"), image));
        const QByteArray sha256 =
            QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        QByteArray before;
        for (int round = 1; round <= 2; ++round) {
            test::FakeDevices devices;
            devices.add(1);
            devices.add(2, "loaderr=3");
            devices.add(3, "unplug=1000");
            cli::Options o;
            o.loadFile = m_work.file("records.bin");
            o.logFile = log;
            // The second round pins the image it loads: the records name the approved hash.
            if (round == 2)
                o.approved.sha256 = QString::fromLatin1(sha256);
            const Headless run = runHeadless(devices, o);
            QCOMPARE(run.exitCode, int(cli::kExitFailed));
            // The summary counts and names only the three programmers found.
            QVERIFY(run.out.last().contains(QStringLiteral("load succeeded on 1 of 3")));
            QVERIFY(run.out.last().contains(QStringLiteral("Programmer 3 (COM 3) load: ")));
            QVERIFY(!run.out.last().contains(QStringLiteral("Programmer 4")));
            const QByteArray all = test::readFile(log);
            QVERIFY(all.startsWith(before) && all.endsWith('\n'));
            const QList<QByteArray> lines = all.mid(before.size()).chopped(1).split('\n');
            QStringList results;
            for (const QByteArray &line : lines) {
                const QJsonObject r = QJsonDocument::fromJson(line).object();
                results << QStringLiteral("%1 %2 %3 %4")
                               .arg(r["programmer"].toInt())
                               .arg(r["step"].toString(), r["result"].toString(),
                                    r["code"].isNull() ? "-" : QString::number(r["code"].toInt()));
                QCOMPARE(r["file"]["sha256"].toString().toLatin1(), sha256);
                QCOMPARE(r["file"]["size"].toInt(), image.size());
                QCOMPARE(r["expected_sha256"].toString(), o.approved.sha256);
                QCOMPARE(r.contains("expected_crc32"), false);
            }
            results.sort();
            QCOMPARE(results, QStringList({"1 load ok -", "2 load error 3", "3 load lost -"}));
            before = all;
        }
    }

    // --json: every line is one object; the programmers found come first, the summary last,
    // its exit the run's, naming the board that failed.
    void jsonEvents()
    {
        test::FakeDevices devices;
        devices.add(1);
        devices.add(2, "targeterr=10");
        cli::Options o;
        o.loadFile = m_work.file("board.bin");
        o.programTarget = true;
        o.json = true;
        o.logFile = m_work.file("json.jsonl");
        const Headless run = runHeadless(devices, o);
        QCOMPARE(run.exitCode, int(cli::kExitFailed));
        QList<QJsonObject> events;
        QStringList results, phases;
        QString shown[2]; // each programmer's last status text
        const QRegularExpression percentShown(QStringLiteral("/ (\\d+) ?%"));
        for (const QString &line : run.out) {
            QJsonParseError error{};
            const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
            QVERIFY2(error.error == QJsonParseError::NoError && doc.isObject(), qPrintable(line));
            events << doc.object();
            const QJsonObject &e = events.last();
            if (e["event"] == "result")
                results << QStringLiteral("%1 %2 %3")
                               .arg(e["programmer"].toInt())
                               .arg(e["step"].toString(), e["result"].toString());
            const QString phase =
                QStringLiteral("%1 %2").arg(e["programmer"].toInt()).arg(e["phase"].toString());
            if (e["event"] == "status")
                shown[e["programmer"].toInt() - 1] = e["text"].toString();
            if (e["event"] != "progress")
                continue;
            if (!phases.contains(phase))
                phases << phase;
            // The percent is the one the status text shows.
            const QString text = shown[e["programmer"].toInt() - 1];
            QCOMPARE(percentShown.match(text).captured(1), QString::number(e["percent"].toInt()));
        }
        QCOMPARE(events.at(0)["event"], "found");
        QCOMPARE(events.at(1)["com"], 2);
        results.sort();
        QCOMPARE(results, QStringList({"1 load ok", "1 program-target ok", "2 load ok",
                                       "2 program-target error"}));
        phases.sort();
        QCOMPARE(phases, QStringList({"1 program", "1 transfer", "1 verify", "2 program",
                                      "2 transfer", "2 verify"}));
        const QJsonObject summary = events.last();
        QCOMPARE(summary["event"], "summary");
        QCOMPARE(summary["exit"], run.exitCode);
        QCOMPARE(summary["loaded"], 2);
        QCOMPARE(summary["programmed"], 1);
        QCOMPARE(summary["failed"].toArray().size(), 1); // of the two programmers found
        QCOMPARE(summary["failed"][0]["programmer"], 2);
        QCOMPARE(summary["tallies"].toArray().size(), 2);
        QCOMPARE(summary["tallies"][1]["failed"], 1);
        QCOMPARE(summary["file"]["size"], 3 * 512 + 164);
    }

    // A log that takes no record (a full disk): the boards are still programmed, and the run
    // says how many records were lost and why, ends with exit 3, and shows no Qt warning.
    void lostRecords()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        test::FakeDevices devices;
        devices.add(1);
        devices.add(2);
        cli::Options o;
        o.loadFile = m_work.file("board.bin");
        o.programTarget = true;
        o.json = true;
        o.logFile = QStringLiteral("/dev/full");
        const Headless run = runHeadless(devices, o);
        QCOMPARE(run.exitCode, int(cli::kExitRecordLost));
        QCOMPARE(run.err.count(QStringLiteral("Cannot write the attempt log /dev/full")), 1);
        const QJsonObject summary = QJsonDocument::fromJson(run.out.last().toUtf8()).object();
        QCOMPARE(summary["exit"], 3);
        QCOMPARE(summary["programmed"], 2);
        QCOMPARE(summary["records_lost"], 4);
        QVERIFY(summary["records_lost_why"].toString().startsWith("Cannot write the attempt log"));
        // Every record names this run, the same in the events as in the summary.
        QVERIFY(!summary["run_id"].toString().isEmpty());
        for (const QString &line : run.out) {
            const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
            if (e["event"] == "result") {
                QCOMPARE(e["run_id"], summary["run_id"]);
                QCOMPARE(e["pid"].toInteger(), QCoreApplication::applicationPid());
            }
        }
    }

    // Against the checksums' published check values; an unreadable file has no identity.
    void imageIdentity()
    {
        QVERIFY(test::writeFile(m_work.file("check.bin"), "123456789"));
        load::ProgramFile file;
        QCOMPARE(file.open(m_work.file("check.bin")), load::ProgramFile::Refusal::None);
        const model::ImageIdentity &image = file.identity();
        QCOMPARE(image.crc32, "cbf43926");
        QCOMPARE(image.sha256, "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225");
        QCOMPARE(image.size, 9);
        QVERIFY(file.open(m_work.file("none.bin")) != load::ProgramFile::Refusal::None);
        QVERIFY(file.identity().sha256.isEmpty());
    }

    // Quotes, line ends and bytes above 127 stay inside their record's one line.
    void recordStaysOneLine()
    {
        const QString text = QStringLiteral("say \"hi\"\r\nnext \u00e9\u00ff");
        app::AttemptLog log;
        QVERIFY(log.open(m_work.file("one/line.jsonl")));
        record::AttemptRecord one;
        one.result = QStringLiteral("ok");
        one.text = text;
        QVERIFY(log.append(one));
        one.text = QStringLiteral("second");
        QVERIFY(log.append(one));
        const QList<QByteArray> lines = test::readFile(log.path()).split('\n');
        QCOMPARE(lines.size(), 3);
        QCOMPARE(QJsonDocument::fromJson(lines.at(0)).object()["text"].toString(), text);
    }

private:
    test::WorkFolder m_work;
};

class TstSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parseLastFolder_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("folder");
        const QByteArray four = app::Settings::format(4, QStringLiteral("/srv/boards/Model A"));
        QTest::newRow("as written") << four << true << "/srv/boards/Model A";
        QTest::newRow("CR only") << QByteArray(four).replace("\r\n", "\r") << true
                                 << "/srv/boards/Model A";
        QTest::newRow("LF only") << QByteArray(four).replace("\r\n", "\n") << true
                                 << "/srv/boards/Model A";
        QTest::newRow("seventh unended")
            << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n/a") << true << "/a";
        QTest::newRow("six lines") << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n") << false << "";
        QTest::newRow("empty") << QByteArray() << false << "";
    }
    void parseLastFolder()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, found);
        const std::optional<QString> read = app::Settings::parseLastFolder(content);
        QCOMPARE(read.has_value(), found);
        if (found)
            QTEST(*read, "folder");
    }

    // Seven CR LF lines byte for byte, replacing whatever stood there, no temporary left.
    void writeThenRead()
    {
        QTemporaryDir exe, user;
        const app::Settings settings(exe.path(), user.path());
        QCOMPARE(settings.filePath(), exe.filePath(QStringLiteral("VellProgrammer.txt")));
        QVERIFY(!settings.readLastFolder().has_value());
        QVERIFY(test::writeFile(settings.filePath(), QByteArray(4096, 'x')));
        QVERIFY(settings.write(4, QStringLiteral("/srv/boards/Model A")));
        QCOMPARE(test::readFile(settings.filePath()),
                 QByteArray("****** Ini file for Vell USB Programmer *******\r\n\r\nLast Com Port "
                            "Number used\r\n"
                            "4\r\n\r\nLast File loaded from\r\n/srv/boards/Model A\r\n"));
        QCOMPARE(settings.readLastFolder(), std::optional<QString>("/srv/boards/Model A"));
        // A remembered folder that is gone gives way to the fallback.
        QCOMPARE(app::Settings::startFolder(user.path()), user.path());
        QCOMPARE(app::Settings::startFolder(user.filePath("gone")),
                 app::Settings::fallbackFolder());
        QCOMPARE(QDir(exe.path()).entryList(QDir::Files), QStringList{"VellProgrammer.txt"});
    }
};

VELL_TEST_MAIN(QCoreApplication, TstStation, TstHeadless, TstSettings)
#include "tst_app.moc"
