// Guards the load and the program-target operations over fakes: Config.txt lines as bytes, the
// program file's refusals and trailer, the transfer's frame repeats, progress, flow control,
// stalls and drop-outs and the steps they end, and who gets the "T" frame.
#include "app/loadoperation.h"
#include "app/programtargetoperation.h"
#include "app/watchdog.h"
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"
#include "link/links.h"
#include "load/configfile.h"
#include "load/filetransfer.h"
#include "load/programfile.h"
#include "model/pane.h"

#include <QtTest>

using namespace vell;
using load::ConfigFile;
using load::FileTransfer;
using load::ProgramFile;
using model::ProgrammerNumber;
using model::ProgrammerSet;
using test::blocksOf;
using test::pattern;

Q_DECLARE_METATYPE(vell::load::FileTransfer::Outcome)
Q_DECLARE_METATYPE(vell::model::ImagePin)

namespace {

constexpr int kFail = -1;

ConfigFile trailerOneTo32()
{
    ConfigFile config;
    config.readText(test::configText(test::numbers(32)));
    return config;
}

QByteArray readAllBytes(ProgramFile &file)
{
    QByteArray out;
    while (!file.atEnd()) {
        const std::optional<quint8> b = file.nextByte();
        if (!b)
            break;
        out += char(*b);
    }
    return out;
}

/// Operations over links to fakes whose bytes wait until the test lets the wire take them. The
/// rig keeps which operation holds each programmer's step, as the station does.
struct Rig : app::StepLedger
{
    explicit Rig(int count)
    {
        for (int n = 1; n <= count; ++n)
            programmers.setFound(ProgrammerNumber(n), n + 2, {});
    }
    QString writeProgram(const QByteArray &bytes, const QString &name = QStringLiteral("image.bin"))
    {
        return test::writeFile(dir.filePath(name), bytes) ? dir.filePath(name) : QString();
    }
    test::FakeSerialLink &wire(int n) { return *bank.links.at(size_t(n - 1)); }
    void ready(int count)
    {
        for (int n = 1; n <= count; ++n)
            programmers.update(ProgrammerNumber(n),
                               [](model::ProgrammerState &s) { s.ready = true; });
    }
    QString status(int n) const
    {
        return model::Pane::statusText(ProgrammerNumber(n), programmers.state(ProgrammerNumber(n)));
    }
    /// How programmer n's last step ended; none while it is under way.
    std::optional<model::Ending> ending(int n) const { return endings[ProgrammerNumber(n)]; }
    void beginStep(app::Operation &operation, ProgrammerNumber n) override
    {
        if (app::Operation *owner = owners[n]; owner && owner != &operation)
            owner->endStep(n, model::Ending::Superseded);
        owners[n] = &operation;
        endings[n].reset();
    }
    template <typename Operation> Operation &start(std::unique_ptr<Operation> operation)
    {
        Operation &op = *operation;
        QObject::connect(&op, &app::Operation::stepEnded, &op, [this, &op](ProgrammerNumber n) {
            endings[n] = op.result().steps[n]->ending;
            if (owners[n] == &op)
                owners[n] = nullptr;
        });
        operations.push_back(std::move(operation));
        op.start();
        return op;
    }
    /// A load into programmers (every one in use by default), each at try 1.
    app::LoadOperation &load(const QString &path, std::optional<ProgrammerSet> only = {})
    {
        return start(std::make_unique<app::LoadOperation>(
            path, only.value_or(programmers.inUse()), ones(), context(),
            load::FileTransfer::Hooks{[this] { return blackBox; },
                                      [this] { return restoreDefaults; },
                                      [this](ProgrammerNumber n) { discarded.append(n.value()); }},
            model::Timings{20, 100000, 150, 5}, watchdog));
    }
    app::ProgramTargetOperation &target(std::optional<ProgrammerSet> only = {})
    {
        return start(std::make_unique<app::ProgramTargetOperation>(
            only.value_or(programmers.inUse()), ones(), context()));
    }
    app::OperationContext context() { return {programmers, links, names, op, *this}; }
    static model::PerProgrammer<int> ones()
    {
        model::PerProgrammer<int> tries;
        for (int &t : tries)
            t = 1;
        return tries;
    }
    /// Until the load ends, the wires of the links given take all that waits every
    /// millisecond (link 4 only slowFour bytes, when given), between the transfer's own turns.
    bool drainUntilFinished(QList<int> taking, QSignalSpy &finished, qint64 slowFour = -1)
    {
        QTimer wires;
        QObject::connect(&wires, &QTimer::timeout, &wires, [&] {
            for (int n : taking)
                wire(n).takePending(n == 4 ? slowFour : -1);
        });
        wires.start(1);
        return QTest::qWaitFor([&] { return !finished.isEmpty(); }, 10000);
    }

    test::WorkFolder work; // port files
    QTemporaryDir dir;
    model::Programmers programmers;
    link::PortNames names = link::PortNames::fromDirectory(dir.path());
    test::RecordingOperator op;
    test::FakeLinkBank bank;
    link::Links links{bank.factory(true)};
    app::Watchdog watchdog{100000};
    bool blackBox = false;
    bool restoreDefaults = false;
    QList<int> discarded;
    model::PerProgrammer<app::Operation *> owners;
    model::PerProgrammer<std::optional<model::Ending>> endings;
    std::vector<std::unique_ptr<app::Operation>> operations;
};

} // namespace

class TstConfigFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void byteValue_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("expected"); // kFail: not a byte
        // clang-format off
        const std::pair<const char *, int> rows[] = {
            {"17", 17}, {"", 0}, {"&H1F", 31}, {"&h1f", 31}, {"&H", 0}, {"&H1G", 1},
            {"&H100", kFail}, {"&H00000000000000FF", 255}, {"&O17", 15}, {"&O18", 1}, {"&17", 0},
            {"0x1F", 0}, {"2 5", 25}, {"2\t5", 25}, {"  42  ", 42}, {"abc", 0}, {"12abc", 12},
            {"1,5", 1}, {"255", 255}, {"256", kFail}, {"255.5", kFail}, {"254.5", 254}, {"2.5", 2},
            {"2.51", 3}, {".6", 1}, {"7.", 7}, {"+9", 9}, {"-1", kFail}, {"-0.4", 0}, {"-0.5", 0},
            {"--5", 0}, {"2.5E1", 25}, {"1D2", 100}, {"1500e-1", 150}, {"3E", 3},
            {"1E999999999999999999999", kFail}, {"1E-999999999999999999999", 0}};
        // clang-format on
        for (const auto &[line, value] : rows)
            QTest::addRow("'%s'", line) << QString::fromLatin1(line) << value;
        QTest::newRow("many leading zeros") << QString(5000, u'0') + "12" << 12;
        QTest::newRow("long fraction then exponent") << "0." + QString(3000, u'0') + "5E3001" << 5;
        QTest::newRow("non-ASCII stops") << QString::fromUtf8("1\u00e92") << 1;
    }
    void byteValue()
    {
        QFETCH(QString, line);
        QFETCH(int, expected);
        const std::optional<quint8> value = ConfigFile::byteValue(line);
        QCOMPARE(value.has_value(), expected != kFail);
        if (value)
            QCOMPARE(int(*value), expected);
    }

    void lineEnds_data()
    {
        QTest::addColumn<QByteArray>("end");
        QTest::newRow("CR LF") << QByteArray("\r\n");
        QTest::newRow("CR") << QByteArray("\r");
        QTest::newRow("LF") << QByteArray("\n");
    }
    // Lines 3..34 give trailer positions 1..32 with any line end; line 35 is never read.
    void lineEnds()
    {
        QFETCH(QByteArray, end);
        ConfigFile config;
        config.readText(test::configText(test::numbers(33), end));
        QCOMPARE(config.line(0), QStringLiteral("header two"));
        for (int k = 1; k <= 32; ++k)
            QCOMPARE(config.trailerByte(k), std::optional<quint8>(quint8(k)));
        QVERIFY(config.line(33).isEmpty());
    }
};

class TstProgramFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<model::ImagePin>("approved");
        QTest::addColumn<ProgramFile::Refusal>("refusal");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("hashes");
        QTest::newRow("missing") << "missing" << model::ImagePin{} << ProgramFile::Refusal::NotFound
                                 << "Program File Not Found"
                                 << "";
        QTest::newRow("folder") << "folder" << model::ImagePin{} << ProgramFile::Refusal::NotAFile
                                << "Program File Is Not a File"
                                << "";
        QTest::newRow("16 MiB")
            << "16MiB" << model::ImagePin{} << ProgramFile::Refusal::TooLarge
            << "Program File Too Large (A program file must be smaller than 16,777,216 bytes)"
            << "A program file must be smaller than 16,777,216 bytes";
        // "123456789": the checksums' published check values.
        const QString sha = "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225";
        const QString other = QString(64, u'0');
        const QString shaLine = "SHA-256 approved: " + other + ", the file's: " + sha;
        QTest::newRow("other SHA-256")
            << "check" << model::ImagePin{other, {}} << ProgramFile::Refusal::NotApproved
            << "Program File Is Not the Approved Image\n" + shaLine << shaLine;
        const QString crcLine = "CRC-32 approved: cbf43927, the file's: cbf43926";
        QTest::newRow("other CRC-32, right SHA-256")
            << "check" << model::ImagePin{sha, "cbf43927"} << ProgramFile::Refusal::NotApproved
            << "Program File Is Not the Approved Image\n" + crcLine << crcLine;
    }
    // A refusal names the file and what is wrong, with the limit or the hashes where they say
    // more; the command line's one line leaves out the file.
    void refusals()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath("image.bin");
        QFile big(path);
        if (kind == "folder")
            QVERIFY(QDir(dir.path()).mkdir("image.bin"));
        else if (kind == "16MiB")
            QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(ProgramFile::kLengthLimit));
        else if (kind == "check")
            QVERIFY(test::writeFile(path, "123456789"));
        QFETCH(model::ImagePin, approved);
        QFETCH(QString, hashes);
        ProgramFile file;
        QTEST(file.open(path, approved), "refusal");
        const QString text = file.refusalText();
        QVERIFY(text.contains(QDir::toNativeSeparators(path)));
        QVERIFY2(text.endsWith(hashes), qPrintable(text));
        QTEST(file.refusalLine(), "line");
        QCOMPARE(file.length(), 0);
        QVERIFY(!file.isOpen());
    }

    void trailer_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("blackBox");
        QTest::newRow("plain 1,000") << 1000 << false;
        QTest::newRow("black box 1,000") << 1000 << true;
        QTest::newRow("black box 10") << 10 << true;
        QTest::newRow("black box across read buffers") << 200000 << true;
        QTest::newRow("plain across read buffers") << 200000 << false;
    }
    // The last 32 bytes come from lines 3..34 in the black-box format (a shorter file takes the
    // last lines); block reads and byte reads agree.
    void trailer()
    {
        QFETCH(int, length);
        QFETCH(bool, blackBox);
        QTemporaryDir dir;
        const QByteArray content = pattern(length);
        QVERIFY(test::writeFile(dir.filePath("image.bin"), content));
        const ConfigFile config = trailerOneTo32();
        QByteArray expected = content;
        for (int i = std::max(0, length - 32); blackBox && i < length; ++i)
            expected[i] = char(32 - (length - 1 - i));

        ProgramFile byBytes;
        QCOMPARE(byBytes.open(dir.filePath("image.bin")), ProgramFile::Refusal::None);
        // Measured and hashed in the same opening that the stream then reads again.
        QCOMPARE(byBytes.identity().size, length);
        QCOMPARE(byBytes.identity().sha256,
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        QVERIFY(byBytes.openStream());
        byBytes.setTrailerSource(&config, [blackBox] { return blackBox; });
        QCOMPARE(readAllBytes(byBytes), expected);
        QCOMPARE(byBytes.position(), length);

        ProgramFile byBlocks;
        QCOMPARE(byBlocks.open(dir.filePath("image.bin")), ProgramFile::Refusal::None);
        QVERIFY(byBlocks.openStream());
        byBlocks.setTrailerSource(&config, [blackBox] { return blackBox; });
        QByteArray blocks(length, '\0');
        for (int done = 0; done < length; done += 513) // odd size: runs cross the trailer
            QVERIFY(byBlocks.readBytes(blocks.data() + done, std::min(513, length - done)));
        QCOMPARE(blocks, expected);
        QVERIFY(!byBlocks.readBytes(blocks.data(), 1));
    }
};

class TstTransfer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void handshakeRepeatsUntilAllReady_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("two, the second slow") << 2;
        QTest::newRow("four, the fourth slow") << 4;
    }
    // The frame repeats every handshake period to every programmer until all are ready, with
    // the restore-defaults choice of the moment; then the stream.
    void handshakeRepeatsUntilAllReady()
    {
        QFETCH(int, count);
        Rig rig(count);
        rig.restoreDefaults = true;
        const QString name = rig.writeProgram(pattern(1536));
        QStringList shown; // the share that left the PC, truncated
        connect(&rig.programmers, &model::Programmers::statusChanged, &rig.programmers,
                [&](ProgrammerNumber n) {
                    if (n.value() == 1 && rig.status(1).startsWith("Transferring"))
                        shown << rig.status(1);
                });
        rig.wire(count).refuseWrites = true; // its first frame goes out a period late
        app::LoadOperation &load = rig.load(name);
        const QDateTime begun = QDateTime::currentDateTimeUtc();
        rig.wire(count).refuseWrites = false;
        QSignalSpy disarm(&load.transfer(), &FileTransfer::watchdogDisarmRequested);
        QSignalSpy finished(&load.transfer(), &FileTransfer::finished);
        QCOMPARE(load.transfer().state(), FileTransfer::State::Handshake);
        QCOMPARE(rig.discarded, count == 2 ? QList<int>({1, 2}) : QList<int>({1, 2, 3, 4}));
        QCOMPARE(rig.status(count), QStringLiteral("Establishing Communication"));
        for (int n = 1; n <= count; ++n) { // a step each, with the options and the file's identity
            const model::StepRecord *step = load.stepUnderWay(ProgrammerNumber(n));
            QVERIFY(step && step->step == model::Step::Load && step->restoreDefaults);
            QCOMPARE(step->image->sha256,
                     QCryptographicHash::hash(pattern(1536), QCryptographicHash::Sha256).toHex());
        }
        QTRY_VERIFY(rig.wire(1).writesOfSize(1).size() >= 3 * 24);
        QVERIFY(load.stepUnderWay(ProgrammerNumber(count))->started > begun); // from its frame

        rig.ready(count - 1);        // the last one still not ready
        rig.restoreDefaults = false; // the operator unticks the box meanwhile
        const qsizetype framesNow = rig.wire(count).writesOfSize(1).size();
        QTRY_VERIFY(rig.wire(count).writesOfSize(1).size() >= framesNow + 2 * 24);
        QCOMPARE(rig.wire(1).streamWrites(), QByteArray());
        rig.ready(count);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(disarm.count(), 1);
        QCOMPARE(shown, QStringList({"Transferring File / 33% Complete",
                                     "Transferring File / 66% Complete",
                                     "Transferring File / 100% Complete"}));
        for (int n = 1; n <= count; ++n) {
            const QByteArray frames = rig.wire(n).writesOfSize(1);
            QCOMPARE(frames.left(24).toHex(' '),
                     QByteArray("41 50 4c 01 00 00 00 00 00 00 00 00 00 00 00 "
                                "00 00 00 00 06 00 00 f1 0d"));
            QCOMPARE(frames.size() % 24, 0);
            QCOMPARE(
                frames.right(24),
                link::CommandFrame::load(false, link::CommandFrame::SizeFields::fromLength(1536)));
            QCOMPARE(rig.wire(n).streamWrites(), blocksOf(pattern(1536)));
        }
    }

    void loadIntoSomeTouchesNoOther_data()
    {
        QTest::addColumn<int>("named");
        QTest::newRow("programmer 2") << 2;
        QTest::newRow("programmer 1") << 1; // the one whose loss at the drain ends a load
    }
    // A load for one programmer: only its link gets the frames and the stream, only it is
    // waited for; the others keep their replies, panes and steps, also a program-target under
    // way through the load's watchdog.
    void loadIntoSomeTouchesNoOther()
    {
        QFETCH(int, named);
        const ProgrammerNumber one(named);
        Rig rig(3);
        const QString path = rig.writeProgram(pattern(1024));
        app::LoadOperation &first = rig.load(path);
        QSignalSpy firstFinished(&first.transfer(), &FileTransfer::finished);
        rig.ready(3);
        QVERIFY(rig.drainUntilFinished({1, 2, 3}, firstFinished));
        for (int n = 1; n <= 3; ++n)
            first.endStep(ProgrammerNumber(n),
                          n == named ? model::Ending::Error : model::Ending::Ok);
        app::ProgramTargetOperation &target = rig.target(ProgrammerSet::only(ProgrammerNumber(3)));
        rig.ready(3);
        std::array<model::ProgrammerState, 3> before;
        std::array<qsizetype, 3> writes{};
        for (int n = 1; n <= 3; ++n) {
            before[size_t(n - 1)] = rig.programmers.state(ProgrammerNumber(n));
            writes[size_t(n - 1)] = rig.wire(n).writes.size();
        }
        const auto untouched = [&] {
            for (int n = 1; n <= 3; ++n) {
                if (n == named)
                    continue;
                const model::ProgrammerState &s = rig.programmers.state(ProgrammerNumber(n));
                const model::ProgrammerState &b = before[size_t(n - 1)];
                QCOMPARE(rig.wire(n).writes.size(), writes[size_t(n - 1)]);
                QCOMPARE(rig.status(n), model::Pane::statusText(ProgrammerNumber(n), b));
                QVERIFY(s.ready && s.greeted == b.greeted && s.barValue == b.barValue);
                QCOMPARE(rig.ending(n).has_value(), n != 3);
            }
        };

        rig.discarded.clear();
        app::LoadOperation &again = rig.load(path, ProgrammerSet::only(one));
        QSignalSpy finished(&again.transfer(), &FileTransfer::finished);
        QCOMPARE(again.transfer().state(), FileTransfer::State::Handshake);
        QCOMPARE(rig.discarded, QList<int>({named}));
        const qsizetype frames = rig.wire(named).writesOfSize(1).size();
        QTRY_VERIFY(rig.wire(named).writesOfSize(1).size() >=
                    frames + 2 * 24); // it alone is waited for
        untouched();
        rig.programmers.update(one, [](model::ProgrammerState &s) { s.ready = true; });
        QVERIFY(rig.drainUntilFinished({named}, finished));
        QCOMPARE(finished.value(0).value(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        QCOMPARE(rig.wire(named).streamWrites(), blocksOf(pattern(1024)).repeated(2));
        untouched();

        again.endStep(one, model::Ending::Error);
        app::LoadOperation &third = rig.load(path, ProgrammerSet::only(one));
        third.onWatchdogFired();
        QCOMPARE(rig.ending(named), model::Ending::TimedOut);
        untouched();
        QCOMPARE(target.stepUnderWay(ProgrammerNumber(3)) != nullptr, named != 3);
    }

    // Never more than 8192 bytes wait on any link, also the slow fourth one; the next blocks go
    // out as the wires take them. The black-box box unticked during the stream counts for the
    // trailer still to come.
    void flowControl()
    {
        Rig rig(4);
        const QByteArray content = pattern(64 * 512);
        qint64 maxPending = 0;
        rig.blackBox = true;
        QVERIFY(
            test::writeFile(rig.dir.filePath("Config.txt"), test::configText(test::numbers(32))));
        app::LoadOperation &load = rig.load(rig.writeProgram(content));
        QSignalSpy finished(&load.transfer(), &FileTransfer::finished);
        for (int n = 1; n <= 4; ++n) {
            rig.wire(n).onWrite = [&rig, &maxPending, n](const QByteArray &) {
                maxPending = std::max(maxPending, rig.wire(n).bytesToWrite());
            };
        }
        rig.ready(4);
        QTRY_COMPARE(load.transfer().state(), FileTransfer::State::Streaming);
        rig.blackBox = false;
        QCOMPARE(rig.wire(1).streamWrites().size(), (8192 / 513) * 513);
        QCOMPARE(rig.status(3), QStringLiteral("Transferring File / 23% Complete"));
        QVERIFY(rig.drainUntilFinished({1, 2, 3, 4}, finished, 4 * 513));
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        QVERIFY(maxPending <= FileTransfer::kMaxPendingPerLink);
        for (int n = 1; n <= 4; ++n) {
            // A good stream leaves the verdict to the programmers.
            QVERIFY(load.stepUnderWay(ProgrammerNumber(n)));
            QCOMPARE(rig.wire(n).streamWrites(), blocksOf(content));
            QCOMPARE(rig.programmers.state(ProgrammerNumber(n)).barValue, 100);
        }
    }

    void dropOut_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("device lost") << "lost";
        QTest::newRow("write refused") << "refused";
        QTest::newRow("stalled") << "stalled";
    }
    // A failing link leaves the stream with "Communication with Programmer Lost"; the others
    // receive every block.
    void dropOut()
    {
        QFETCH(QString, how);
        Rig rig(3);
        const QByteArray content = pattern(80 * 512);
        app::LoadOperation &load = rig.load(rig.writeProgram(content));
        QSignalSpy finished(&load.transfer(), &FileTransfer::finished);
        QSignalSpy dropped(&load, &app::Operation::stepEnded);
        rig.ready(3);
        QTRY_COMPARE(load.transfer().state(), FileTransfer::State::Streaming);
        test::FakeSerialLink &bad = rig.wire(2);
        if (how == "lost") {
            bad.loseDevice();
            load.onDeviceLost(ProgrammerNumber(2));
        } else if (how == "refused") {
            bad.refuseWrites = true;
        }
        QVERIFY(rig.drainUntilFinished({1, 3}, finished));
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(dropped.at(0).at(0).value<ProgrammerNumber>(), ProgrammerNumber(2));
        QCOMPARE(rig.ending(2), model::Ending::Lost);
        QVERIFY(!bad.isOpen());
        if (how == "stalled")
            QCOMPARE(bad.discardCalls, 1);
        QCOMPARE(rig.status(2), QStringLiteral("Communication with Programmer Lost"));
        QCOMPARE(rig.wire(1).streamWrites(), blocksOf(content));
        QCOMPARE(rig.wire(3).streamWrites(), blocksOf(content));
        QCOMPARE(rig.status(3), QStringLiteral("Transferring File / 100% Complete"));
    }

    // Programmer 1 unplugged since its link was open: the load sends nothing, waits for the
    // operator's OK on "Communication with programmer lost", and only then ends.
    void firstProgrammerLostAtTheDrain()
    {
        Rig rig(2);
        QVERIFY(rig.links.open(ProgrammerNumber(1), rig.names, 3) ==
                link::SerialLink::OpenResult::Opened);
        rig.wire(1).loseDevice();
        rig.wire(1).openResult = link::SerialLink::OpenResult::Failed;
        rig.op.holdOk = true;
        app::LoadOperation &load = rig.load(rig.writeProgram(pattern(1024)));
        QSignalSpy finished(&load.transfer(), &FileTransfer::finished);
        QCOMPARE(load.transfer().state(), FileTransfer::State::AwaitingOk);
        QCOMPARE(rig.op.messages.size(), 1);
        QVERIFY(rig.op.messages.at(0).first.startsWith("Communication with"));
        QVERIFY(load.isBusy());
        QVERIFY(rig.op.acknowledge());
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::ProgrammerLost);
        QVERIFY(rig.wire(2).written().isEmpty());
        QCOMPARE(rig.ending(1), model::Ending::Lost);
        QCOMPARE(rig.ending(2), model::Ending::NotStarted);
        QVERIFY(load.hasFinished());
    }

    // A link that keeps taking bytes, slowly, is not stalled however long the stream takes.
    void slowLinkIsNotStalled()
    {
        Rig rig(1);
        app::LoadOperation &load = rig.load(rig.writeProgram(pattern(40 * 512)));
        QSignalSpy finished(&load.transfer(), &FileTransfer::finished);
        rig.ready(1);
        QTimer wire; // a block every 10 ms: the stream takes about 400 ms, the stall limit is 150
        connect(&wire, &QTimer::timeout, &wire, [&rig] { rig.wire(1).takePending(513); });
        wire.start(10);
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QCOMPARE(finished.at(0).at(0).value<FileTransfer::Outcome>(),
                 FileTransfer::Outcome::Loaded);
        QVERIFY(load.stepUnderWay(ProgrammerNumber(1)));
    }
};

class TstProgramTarget : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The command of every programmer: replies of all four forgotten, a step for each programmer
    // in use, their links opened with the status, one "T" frame byte by byte; others untouched.
    // A programmer whose last load failed is left out; one without a load in this run takes
    // part, image unknown.
    void frameGoesToProgrammersInUse()
    {
        Rig rig(0);
        const model::ImageIdentity image{QStringLiteral("a.bin"), {}, 1, QStringLiteral("5ha"), {}};
        const std::optional<model::Ending> lastLoads[] = {model::Ending::Ok, model::Ending::Error,
                                                          std::nullopt, model::Ending::Ok};
        for (int n = 1; n <= 4; ++n) {
            const ProgrammerNumber k(n);
            if (n <= 3)
                rig.programmers.setFound(k, n, {});
            rig.programmers.update(k, [](model::ProgrammerState &s) {
                s.greeted = s.ready = true;
                s.status = model::Status::LoadedOk;
            });
            if (lastLoads[n - 1]) {
                model::StepRecord load;
                load.step = model::Step::Load;
                load.ending = lastLoads[n - 1];
                load.image = image;
                rig.programmers.setLastStep(k, load);
            }
        }
        rig.links.setSizeFields(link::CommandFrame::SizeFields::fromLength(74565));
        app::ProgramTargetOperation &command = rig.target();
        const QByteArray frame = "APT" + QByteArray(15, '\0') + QByteArray::fromHex("012345015B0D");
        const char *statuses[] = {"Programming Target Board", "Not Programmed: Last Load Failed",
                                  "Programming Target Board", "File Loaded OK"};
        for (int n = 1; n <= 4; ++n) {
            const ProgrammerNumber k(n);
            const model::ProgrammerState &s = rig.programmers.state(k);
            QVERIFY(!s.greeted && !s.ready);
            const bool sent = n == 1 || n == 3;
            QCOMPARE(rig.wire(n).written(), sent ? frame : QByteArray());
            QCOMPARE(rig.wire(n).writes.size(), sent ? 24 : 0);
            QCOMPARE(rig.status(n), QString::fromLatin1(statuses[n - 1]));
            QCOMPARE(command.stepUnderWay(k) != nullptr, sent);
            QCOMPARE(command.programmers().contains(k), n <= 3);
            const auto &ended = command.result().steps[k];
            QCOMPARE(ended.has_value(), n == 2);
            if (const model::StepRecord *step = command.stepUnderWay(k))
                QCOMPARE(step->image.has_value(), n == 1);
        }
        QCOMPARE(rig.ending(2), model::Ending::Skipped);
        QVERIFY(!command.result().steps[ProgrammerNumber(2)]->image);
        rig.wire(1).inject("APTOK"); // half a reply waiting stays for the reply handler
        rig.target();
        QCOMPARE(rig.wire(1).openCalls, 1);
        QCOMPARE(rig.wire(1).bytesAvailable(), 5);
        QCOMPARE(command.result().steps[ProgrammerNumber(1)]->ending, model::Ending::Superseded);
    }

    // With an approved image, only a programmer that holds it in this run is programmed: one
    // holding another image, or none known, is left out and sent nothing.
    void approvedImageOnly()
    {
        Rig rig(3);
        const model::ImageIdentity approved{QStringLiteral("a.bin"), {}, 1, QString(64, u'a'), {}};
        const model::ImageIdentity other{QStringLiteral("b.bin"), {}, 1, QString(64, u'b'), {}};
        rig.programmers.setApprovedImage({approved.sha256, {}});
        for (const auto &[n, image] : {std::pair{1, approved}, std::pair{2, other}}) {
            model::StepRecord load;
            load.step = model::Step::Load;
            load.ending = model::Ending::Ok;
            load.image = image;
            rig.programmers.setLastStep(ProgrammerNumber(n), load);
        }
        rig.target();
        QCOMPARE(rig.wire(1).writesOfSize(1).left(3), QByteArray("APT"));
        for (int n : {2, 3}) {
            QCOMPARE(rig.ending(n), model::Ending::Skipped);
            QCOMPARE(rig.status(n), QStringLiteral("Not Programmed: Image Not Approved"));
            QVERIFY(rig.wire(n).writes.isEmpty());
        }
    }

    void invalidPort_data()
    {
        QTest::addColumn<int>("bad");
        QTest::addColumn<bool>("noDevice");
        QTest::addColumn<model::Step>("step");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("title");
        const QString incorrect = QStringLiteral("Incorrect Port Number");
        const QString connect1 =
            QStringLiteral("Please Make Sure Programmer is Connected and Retry");
        QTest::newRow("1 by program-target") << 1 << false << model::Step::ProgramTarget
                                             << incorrect << QStringLiteral("Vell Programmer");
        QTest::newRow("1 by load") << 1 << false << model::Step::Load << connect1 << incorrect;
        QTest::newRow("1 by load, no device")
            << 1 << true << model::Step::Load << connect1 << incorrect;
        for (int n = 2; n <= 4; ++n) {
            for (auto step : {model::Step::Load, model::Step::ProgramTarget})
                QTest::addRow("%d by %s", n, step == model::Step::Load ? "load" : "target")
                    << n << (n == 3) << step
                    << QStringLiteral("Please Make Sure Programmer %1 is Connected and Retry")
                           .arg(n)
                    << incorrect;
        }
    }
    // The missing programmer is named every time and its step ends lost at once; the others'
    // frames go out before the message is shown, each step counting from its own frame, and
    // the operation holds the station until the operator's OK.
    void invalidPort()
    {
        QFETCH(int, bad);
        QFETCH(bool, noDevice);
        QFETCH(model::Step, step);
        QFETCH(QString, prompt);
        QFETCH(QString, title);
        Rig rig(4);
        const ProgrammerNumber missing(bad);
        if (noDevice) // beyond COM15: no name stands for it
            rig.programmers.setFound(missing, link::PortNames::kMaxPort + 1, {});
        else
            rig.wire(bad).openResult = link::SerialLink::OpenResult::InvalidPort;
        const QString path = rig.writeProgram(pattern(1024));
        const auto command = [&]() -> app::Operation & {
            if (step == model::Step::Load)
                return rig.load(path);
            return rig.target();
        };
        rig.op.holdOk = true;
        const QDateTime before = QDateTime::currentDateTimeUtc();
        app::Operation &first = command();
        QVERIFY(first.isBusy());
        for (int n = 1; n <= 4; ++n) {
            QCOMPARE(rig.ending(n) == model::Ending::Unopenable, n == bad);
            QCOMPARE(rig.wire(n).writesOfSize(1).isEmpty(), n == bad);
            if (const model::StepRecord *frameSent = first.stepUnderWay(ProgrammerNumber(n)))
                QVERIFY(frameSent->started >= before);
        }
        QCOMPARE(rig.status(bad), QStringLiteral("Communication with Programmer Lost"));
        QCOMPARE(rig.op.messages.size(), 1);
        QVERIFY(rig.op.acknowledge());
        QCOMPARE(first.isBusy(), step == model::Step::Load); // a load goes on with the others
        rig.op.holdOk = false;
        command();
        QCOMPARE(rig.op.messages,
                 (QList<QPair<QString, QString>>{{prompt, title}, {prompt, title}}));
        const char letter = step == model::Step::Load ? 'L' : 'T';
        for (int n = 1; n <= 4; ++n) {
            const QByteArray frames = rig.wire(n).writesOfSize(1);
            QCOMPARE(frames.isEmpty(), n == bad);
            QVERIFY(frames.isEmpty() || frames.at(2) == letter);
            QCOMPARE(rig.wire(n).openCalls, n != bad ? 1 : noDevice ? 0 : 2);
        }
    }
};

VELL_TEST_MAIN(QCoreApplication, TstConfigFile, TstProgramFile, TstTransfer, TstProgramTarget)
#include "tst_load.moc"
