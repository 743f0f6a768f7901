// Guards the link layer over fakes: the command frame's bytes, the reply side (framing, every
// token's state, pane text and verdict, the per-programmer differences, the progress step),
// the links (byte-by-byte interleaving, the invalid-port messages and their steps' end), why
// a port cannot be used, and the claims on a port's place and device.
#include "app/pane.h"
#include "cli/portlisting.h"
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"
#include "link/links.h"
#include "link/portaccess.h"
#include "link/portclaim.h"
#include "link/portnames.h"
#include "link/replyhandler.h"

#include <QJsonArray>
#include <QtTest>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vell::link;
using vell::test::FakeSerialLink;
using vell::test::reply;
using Message = QPair<QString, QString>;

namespace {

/// Programmer n's state after change.
template <typename Change> void set(Programmers &programmers, int n, Change change)
{
    programmers.update(n, change);
}

/// What a reply left: its readiness flags and how the step under way ended, if it did.
QString outcome(const ProgrammerState &s)
{
    QStringList f;
    if (s.greeted)
        f << "greeted";
    if (s.ready)
        f << "ready";
    if (s.step.ending)
        f << (*s.step.ending == Ending::Ok ? QStringLiteral("ok")
                                           : "error " + QString::number(s.step.code.value_or(-1)));
    return f.join(',');
}

struct Hooks : ReplyHooks
{
    int releases = 0;
    void releaseProgramFile() override { ++releases; }
};

/// Four reply handlers, each reading its own fake link; n is the one under test.
struct Replies
{
    explicit Replies(int n = 1) : n(n)
    {
        for (int i = 0; i < 4; ++i) {
            handlers[i] = std::make_unique<ReplyHandler>(i + 1, programmers, hooks);
            wires[i].setOpen(true);
            handlers[i]->attach(&wires[i]);
        }
    }
    ReplyHandler &handler() { return *handlers[n - 1]; }
    const ProgrammerState &state() const { return programmers.state(n); }
    vell::app::Pane pane() const { return vell::app::Pane::of(n, state()); }
    void feed(const QByteArray &bytes) { wires[n - 1].inject(bytes); }
    void begin(Step step)
    {
        StepRecord record;
        record.step = step;
        programmers.beginStep(n, record);
    }

    int n;
    Programmers programmers;
    Hooks hooks;
    FakeSerialLink wires[4];
    std::unique_ptr<ReplyHandler> handlers[4];
};

/// Links over fakes, programmers 1..present found on COM 3, 5, 7, 9.
struct Rig
{
    explicit Rig(int present)
    {
        for (int n = 1; n <= present; ++n) {
            set(programmers, n, [n](ProgrammerState &s) {
                s.comPort = quint8(2 * n + 1);
                s.present = true;
            });
        }
        links = std::make_unique<Links>(programmers, names, op, bank.factory());
    }
    FakeSerialLink &fake(int n) { return *bank.links.at(size_t(n - 1)); }
    /// One command as the senders issue it: open each addressed link, then one frame.
    void command(Links::Command command)
    {
        const auto targets = programmers.targets();
        links->openLinks(targets, command, [this, targets] {
            links->sendFrame(CommandFrame::kProgramTarget, CommandFrame::Params{}, targets);
        });
    }

    Programmers programmers;
    PortNames names = PortNames::fromDirectory(QStringLiteral("/nonexistent"));
    vell::test::RecordingOperator op;
    vell::test::FakeLinkBank bank;
    std::unique_ptr<Links> links;
};

} // namespace

class TstFrames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("expected");
        const auto size = [](quint32 length) {
            return CommandFrame::SizeFields::fromLength(length);
        };
        const auto hex = [](const char *text) { return QByteArray::fromHex(text); };
        const QByteArray zeros(15, '\0');
        QTest::newRow("program-target, no file loaded")
            << CommandFrame::programTarget({}) << hex("415054") + zeros + hex("000000 00F2 0D");
        QTest::newRow("program-target after 74,565 bytes")
            << CommandFrame::programTarget(size(74565))
            << hex("415054") + zeros + hex("012345 015B 0D");
        QTest::newRow("load 32,768") << CommandFrame::load(false, size(32768))
                                     << hex("41504C") + zeros + hex("008000 016A 0D");
        QTest::newRow("load, restore defaults")
            << CommandFrame::load(true, size(32768))
            << hex("41504C01") + zeros.left(14) + hex("008000 016B 0D");
        QTest::newRow("16,777,216 keeps the low 24 bits")
            << CommandFrame::load(false, size(16777216))
            << hex("41504C") + zeros + hex("000000 00EA 0D");
    }
    void frames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, expected);
        QCOMPARE(frame.toHex(' '), expected.toHex(' '));
    }
};

class TstReplies : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Every whole reply waiting is handled in order; a partial one waits for the rest.
    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QList<int>>("handledAfter");
        QTest::addColumn<QString>("status");
        const QByteArray send = reply("ASEND");
        for (int split : {23, 1, 12})
            QTest::addRow("%d then %d", split, 24 - split)
                << QList<QByteArray>{send.left(split), send.mid(split)} << QList<int>{0, 1}
                << "Ready For File";
        const QByteArray third = reply("APTOK");
        QTest::newRow("two and a part in one read")
            << QList<QByteArray>{send + reply("ALPOK") + third.left(6), third.mid(6)}
            << QList<int>{2, 3} << "Board Programmed OK";
    }
    void framing()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<int>, handledAfter);
        Replies rig(2);
        QSignalSpy handled(&rig.programmers, &Programmers::changed);
        for (int i = 0; i < reads.size(); ++i) {
            rig.feed(reads.at(i));
            QCOMPARE(handled.count(), handledAfter.at(i));
        }
        QCOMPARE(rig.handler().pendingBytes(), 0);
        for (const auto &args : handled)
            QCOMPARE(args.at(0).toInt(), 2);
        QVERIFY(rig.state().ready);
        QTEST(rig.pane().status, "status");
    }

    void tokens_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Step>("step");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("programmerVersion");
        QTest::addColumn<int>("releases");
        const auto row = [](const QString &name, int n, const QByteArray &bytes,
                            const QString &status, const char *outcome, const QString &version = {},
                            int releases = 0, std::optional<Step> step = std::nullopt) {
            const Step under =
                step.value_or(bytes.startsWith("AP") ? Step::ProgramTarget : Step::Load);
            QTest::newRow(qPrintable(name)) << n << bytes << under << status
                                            << QString::fromLatin1(outcome) << version << releases;
        };
        const auto code = [](const char *token, int c) { return reply(token, 0, "", c); };
        row("AUSBR 1", 1, reply("AUSBR"), "Programmer Waiting", "greeted",
            "Programmer Software version 0106");
        for (int n = 2; n <= 4; ++n)
            row(QStringLiteral("AUSBR %1").arg(n), n, reply("AUSBR", 0, "0107"),
                "Programmer Waiting / Software Version 0107", "greeted");
        row("ASEND", 3, reply("ASEND"), "Ready For File", "ready");
        row("ALPOK", 4, reply("ALPOK"), "File Loaded OK", "ok", {}, 1);
        row("ALPOK during program-target", 2, reply("ALPOK"), "File Loaded OK", "", {}, 1,
            Step::ProgramTarget);
        row("APTOK during a load", 1, reply("APTOK"), "Board Programmed OK", "", {}, 0, Step::Load);
        row("ADATA", 1, reply("ADATA"), "Establishing Communication", "");
        const char *loadErrors[] = {"Error #1 / Checksum Does Not Match",
                                    "Error #2 / File Size Incorrect",
                                    "Error #3 / Memory Size & Processor Type Do Not Match",
                                    "Error #4 / Memory Size In File Too Small",
                                    "Error #5 / Memory Size In File Too Large",
                                    "Error #6 / File Size Invalid",
                                    "Error #7 / Unsupported Processor Type",
                                    "Error #8 / PC Download Timed Out"};
        for (int c = 1; c <= 8; ++c)
            row(QStringLiteral("ALPER %1").arg(c), c % 4 + 1, code("ALPER", c), loadErrors[c - 1],
                qPrintable(QStringLiteral("error %1").arg(c)));
        const QString old = QStringLiteral("Error #12 / Old Black Box File Format");
        const QString undefinedLoad = QStringLiteral("Undefined Program Load Error");
        const QString undefinedTarget = QStringLiteral("Undefined Program Target Error");
        row("ALPER 12 on 1", 1, code("ALPER", 12), old, "error 12");
        row("ALPER 12 on 2", 2, code("ALPER", 12), undefinedLoad, "error 12");
        row("ALPER 0", 1, code("ALPER", 0), undefinedLoad, "error 0");
        row("ALPER 9 is a target code", 1, code("ALPER", 9), undefinedLoad, "error 9");
        row("ALPER 0xFF", 1, code("ALPER", 255), undefinedLoad, "error 255");
        row("APTER 9", 2, code("APTER", 9), "Error #9 / Processor ID's Do Not Match", "error 9");
        row("APTER 10", 3, code("APTER", 10), "Error #10 / Cannot Communicate With Target Board",
            "error 10");
        row("APTER 11", 1, code("APTER", 11), "Error #11 / Target Board Verification Error",
            "error 11");
        row("APTER 12 on 1", 1, code("APTER", 12), old, "error 12");
        row("APTER 12 on 4", 4, code("APTER", 12), undefinedTarget, "error 12");
        row("APTER 1 is a load code", 1, code("APTER", 1), undefinedTarget, "error 1");
        row("APTER 13", 1, code("APTER", 13), undefinedTarget, "error 13");
        row("lower case token", 1, reply("asend"), "Establishing Communication", "");
        row("token shifted by one", 1, "x" + reply("ASEND").left(23), "Establishing Communication",
            "");
    }
    void tokens()
    {
        QFETCH(int, n);
        QFETCH(QByteArray, bytes);
        QFETCH(Step, step);
        Replies rig(n);
        rig.begin(step);
        set(rig.programmers, n, [](ProgrammerState &s) { s.status = Status::Establishing; });
        QSignalSpy ended(&rig.programmers, &Programmers::stepEnded);
        bytes[23] = char(0xE9); // an unused byte above 0x7F
        rig.feed(bytes);
        QTEST(rig.pane().status, "status");
        QTEST(outcome(rig.state()), "outcome");
        QCOMPARE(ended.count(), rig.state().step.ending ? 1 : 0);
        QTEST(vell::app::Pane::programmerVersionText(rig.programmers.state(1)),
              "programmerVersion");
        QTEST(rig.hooks.releases, "releases");
        QCOMPARE(vell::app::Pane::softwareVersionText(rig.programmers.state(1)).isEmpty(),
                 !bytes.startsWith("APTOK") || n != 1);
        for (int other = 1; other <= 4; ++other)
            QVERIFY(other == n || outcome(rig.programmers.state(other)).isEmpty());
    }

    // Programmers 1 and 2 ignore a greeting while their last one is recorded; 3 and 4 do not.
    void repeatedGreeting_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("ignores");
        for (int n = 1; n <= 4; ++n)
            QTest::addRow("programmer %d", n) << n << (n <= 2);
    }
    void repeatedGreeting()
    {
        QFETCH(int, n);
        QFETCH(bool, ignores);
        Replies rig(n);
        const auto greetedAndReady = [](ProgrammerState &s) {
            s.greeted = s.ready = true;
            s.status = Status::ProgrammedOk;
        };
        set(rig.programmers, n, greetedAndReady);
        rig.feed(reply("AUSBR", 0, "0200"));
        QCOMPARE(outcome(rig.state()), ignores ? QString() : QStringLiteral("greeted,ready"));
        QCOMPARE(rig.pane().status.startsWith(QStringLiteral("Board")), ignores);
        if (ignores) { // forgotten now: the next one acts
            rig.feed(reply("AUSBR", 0, "0200"));
            QCOMPARE(outcome(rig.state()), QStringLiteral("greeted"));
        }
        QVERIFY(rig.pane().status.endsWith(n == 1 ? QStringLiteral("Waiting")
                                                  : QStringLiteral("Version 0200")));
        // A refused greeting is still a whole reply: one right behind it in the same read counts.
        rig.feed(reply("AUSBR") + reply("ASEND"));
        QCOMPARE(outcome(rig.state()),
                 ignores ? QStringLiteral("ready") : QStringLiteral("greeted,ready"));
    }

    void boardProgrammed_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("barValue");
        QTest::addColumn<QString>("softwareVersion");
        QTest::newRow("programmer 1") << 1 << 60 << "Board Software Version board.hex";
        QTest::newRow("programmer 2") << 2 << 60 << "";
        QTest::newRow("programmer 3") << 3 << 17 << "";
    }
    // The board's software is the image this programmer took, not the last file anyone loaded.
    void boardProgrammed()
    {
        QFETCH(int, n);
        Replies rig(n);
        set(rig.programmers, n, [](ProgrammerState &s) {
            s.barMaximum = 60;
            s.barValue = 17;
            s.image = ImageIdentity{QStringLiteral("board.hex"), {}, 1, {}, {}};
        });
        rig.feed(reply("APTOK"));
        QCOMPARE(rig.pane().status, QStringLiteral("Board Programmed OK"));
        QTEST(rig.pane().barValue, "barValue");
        QTEST(vell::app::Pane::softwareVersionText(rig.programmers.state(1)), "softwareVersion");
    }

    // 24 unrecognised bytes reset that programmer's replies and drop the rest of the read.
    void unrecognisedResetsOnlyItsProgrammer()
    {
        Replies rig(2);
        for (int n = 1; n <= 4; ++n)
            set(rig.programmers, n, [](ProgrammerState &s) { s.greeted = s.ready = true; });
        rig.begin(Step::Load);
        rig.feed(QByteArray(24, 'Z') + reply("ALPOK") + reply("ASEND").left(10));
        QCOMPARE(outcome(rig.state()), QString());
        QCOMPARE(rig.handler().pendingBytes(), 0);
        QCOMPARE(rig.hooks.releases, 0);
        for (int n : {1, 3, 4})
            QCOMPARE(outcome(rig.programmers.state(n)), QStringLiteral("greeted,ready"));
        rig.feed(reply("ALPOK"));
        QCOMPARE(outcome(rig.state()), QStringLiteral("ok"));
    }

    // Count byte 0 or a count beyond the maximum leave the bar in range, the text a number.
    void progressStep_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<Status>("before");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("countByte");
        QTest::addColumn<int>("countAfter");
        QTest::addColumn<int>("barAfter");
        QTest::addColumn<QString>("after");
        const auto row = [](const char *name, const char *token, Status before, int count, int bar,
                            int countByte, int countAfter, int barAfter, const char *after) {
            QTest::newRow(name) << QByteArray(token) << before << count << bar << countByte
                                << countAfter << barAfter << QString::fromLatin1(after);
        };
        const char *verify12 = "Verifying File / 12 % Complete";
        row("verify after greeting restarts", "AVERI", Status::Waiting, 5, 0, 8, 1, 1, verify12);
        row("verify after program-target's opening restarts", "AVERI",
            Status::ProgrammingTargetBoard, 5, 0, 8, 1, 1, verify12);
        row("verify after program progress restarts", "AVERI", Status::Programming, 5, 0, 8, 1, 1,
            verify12);
        row("verify goes on", "AVERI", Status::Verifying, 2, 2, 8, 3, 3,
            "Verifying File / 38 % Complete");
        row("verify after file load goes on", "AVERI", Status::LoadedOk, 5, 0, 8, 6, 6,
            "Verifying File / 75 % Complete");
        row("program has no restart test", "APROG", Status::Waiting, 5, 0, 8, 6, 6,
            "Programming Target Board / 75 % Complete");
        row("full bar resets the count", "APROG", Status::ProgrammedOk, 3, 60, 60, 0, 0,
            "Programming Target Board / 0 % Complete");
        row("bar above the new maximum resets", "APROG", Status::Blank, 3, 100, 60, 0, 0,
            "Programming Target Board / 0 % Complete");
        row("two of three", "APROG", Status::Blank, 1, 1, 3, 2, 2,
            "Programming Target Board / 67 % Complete");
        row("count 255", "AVERI", Status::Verifying, 100, 100, 255, 101, 101,
            "Verifying File / 40 % Complete");
        row("count byte 0", "APROG", Status::Blank, 4, 4, 0, 0, 0,
            "Programming Target Board / 0 % Complete");
        row("count above the maximum", "APROG", Status::Blank, 20, 3, 8, 21, 8,
            "Programming Target Board / 100 % Complete");
    }
    void progressStep()
    {
        QFETCH(QByteArray, token);
        QFETCH(int, countByte);
        Replies rig(4);
        set(rig.programmers, 4, [](ProgrammerState &s) {
            s.status = VELL_FETCH(Status, before);
            s.barMaximum = 100;
            s.barValue = VELL_FETCH(int, bar);
            s.progressCount = VELL_FETCH(int, count);
        });
        rig.feed(reply(token.constData(), countByte));
        QTEST(rig.state().progressCount, "countAfter");
        QCOMPARE(rig.pane().countText, QString::number(countByte));
        QCOMPARE(rig.pane().barMaximum, countByte);
        QTEST(rig.pane().barValue, "barAfter");
        QTEST(rig.pane().status, "after");
        QCOMPARE(QString::fromLatin1(vell::app::Pane::progressPhase(rig.state().status)),
                 token == "AVERI" ? "verify" : "program");
        rig.feed(reply(token.constData(), countByte)); // the next step goes on from there
        QVERIFY(rig.pane().barValue >= 0 && rig.pane().barValue <= rig.pane().barMaximum);
    }
};

class TstLinks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Byte i reaches programmers 1, 2, 3 before byte i + 1 reaches any; 4 is not in use.
    void frameInterleavesByteByByte()
    {
        Rig rig(3);
        rig.links->setSizeFields(CommandFrame::SizeFields::fromLength(74565));
        rig.command(Links::Command::ProgramTarget);
        const QByteArray frame =
            CommandFrame::programTarget(CommandFrame::SizeFields::fromLength(74565));
        QCOMPARE(rig.links->lastFrame(), frame);
        QCOMPARE(rig.bank.writeLog.size(), 3 * CommandFrame::kSize);
        for (int k = 0; k < rig.bank.writeLog.size(); ++k) {
            QCOMPARE(rig.bank.writeLog.at(k).first, k % 3);
            QCOMPARE(rig.bank.writeLog.at(k).second, QByteArray(1, frame.at(k / 3)));
        }
        QCOMPARE(rig.fake(4).openCalls, 0);
    }

    void invalidPort_data()
    {
        QTest::addColumn<int>("bad");
        QTest::addColumn<bool>("noDevice");
        QTest::addColumn<Links::Command>("command");
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("title");
        const QString incorrect = QStringLiteral("Incorrect Port Number");
        const QString connect1 =
            QStringLiteral("Please Make Sure Programmer is Connected and Retry");
        QTest::newRow("1 by program-target") << 1 << false << Links::Command::ProgramTarget
                                             << incorrect << QStringLiteral("Vell Programmer");
        QTest::newRow("1 by load") << 1 << false << Links::Command::Load << connect1 << incorrect;
        QTest::newRow("1 by load, no device")
            << 1 << true << Links::Command::Load << connect1 << incorrect;
        for (int n = 2; n <= 4; ++n) {
            for (auto command : {Links::Command::Load, Links::Command::ProgramTarget})
                QTest::addRow("%d by %s", n, command == Links::Command::Load ? "load" : "target")
                    << n << (n == 3) << command
                    << QStringLiteral("Please Make Sure Programmer %1 is Connected and Retry")
                           .arg(n)
                    << incorrect;
        }
    }
    // The missing programmer is named every time; the others get the frame all the same, after
    // the operator's OK.
    void invalidPort()
    {
        QFETCH(int, bad);
        QFETCH(bool, noDevice);
        QFETCH(Links::Command, command);
        QFETCH(QString, prompt);
        QFETCH(QString, title);
        Rig rig(4);
        if (noDevice)
            set(rig.programmers, bad, [](ProgrammerState &s) { s.comPort = 16; }); // beyond COM15
        else
            rig.fake(bad).openResult = SerialLink::OpenResult::InvalidPort;
        for (int n = 1; n <= 4; ++n) {
            StepRecord step;
            step.step = command == Links::Command::Load ? Step::Load : Step::ProgramTarget;
            rig.programmers.beginStep(n, step);
        }
        const QByteArray frame = CommandFrame::programTarget({});
        // Until the operator's OK nothing more is opened and nothing is sent, but the missing
        // programmer's step has ended already.
        rig.op.holdOk = true;
        rig.command(command);
        QVERIFY(rig.links->awaitingOk());
        for (int n = bad + 1; n <= 4; ++n)
            QCOMPARE(rig.fake(n).openCalls, 0);
        for (int n = 1; n <= 4; ++n)
            QCOMPARE(rig.programmers.state(n).step.ending == Ending::Unopenable, n == bad);
        QCOMPARE(vell::app::Pane::statusText(bad, rig.programmers.state(bad)),
                 QStringLiteral("Communication with Programmer Lost"));
        QVERIFY(rig.bank.writeLog.isEmpty());
        QVERIFY(rig.op.acknowledge());
        QVERIFY(!rig.links->awaitingOk());
        rig.op.holdOk = false;
        rig.command(command);
        QCOMPARE(rig.op.messages, (QList<Message>{{prompt, title}, {prompt, title}}));
        for (int n = 1; n <= 4; ++n) {
            QCOMPARE(rig.fake(n).written(), n == bad ? QByteArray() : frame + frame);
            QCOMPARE(rig.fake(n).openCalls, n != bad ? 1 : noDevice ? 0 : 2);
        }
    }

private:
    vell::test::WorkFolder m_work; // port files land here
};

/// A machine's serial ports as files, and a by-path folder of symlinks to them.
struct Machine
{
    /// ports: "name[ vid:pid[ serial]]"; sockets: "entry>name".
    Machine(const QStringList &ports, const QStringList &sockets)
    {
        QDir().mkpath(dir.filePath("dev"));
        QDir().mkpath(dir.filePath("by-path"));
        for (const QString &p : ports) {
            const QStringList f = p.split(' ');
            const QString device = dir.filePath("dev/" + f.at(0));
            QFile(device).open(QIODevice::WriteOnly);
            list.append({device, f.value(1), f.value(2), {}});
        }
        for (const QString &s : sockets)
            QFile::link(dir.filePath("dev/" + s.section('>', 1)),
                        dir.filePath("by-path/" + s.section('>', 0, 0)));
    }
    PortNames names() const { return PortNames::fromSystemPorts(list, dir.filePath("by-path")); }
    QTemporaryDir dir;
    QList<PortNames::SystemPort> list;
};

class TstPortNames : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void socketOrder_data()
    {
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("sockets");
        QTest::addColumn<QStringList>("expected"); // COM1.. as "location device"
        const QString vid = QStringLiteral(" 0403:6001");
        QTest::newRow("by socket, not by kernel name")
            << QStringList{"ttyUSB0" + vid, "ttyUSB1" + vid}
            << QStringList{"usb-0:1.3-port0>ttyUSB0", "usb-0:1.2-port0>ttyUSB1"}
            << QStringList{"usb-0:1.2-port0 ttyUSB1", "usb-0:1.3-port0 ttyUSB0"};
        QTest::newRow("the two adapters swapped kernel names")
            << QStringList{"ttyUSB1" + vid, "ttyUSB0" + vid}
            << QStringList{"usb-0:1.3-port0>ttyUSB1", "usb-0:1.2-port0>ttyUSB0"}
            << QStringList{"usb-0:1.2-port0 ttyUSB0", "usb-0:1.3-port0 ttyUSB1"};
        QTest::newRow("ports 2, 9 and 10 in natural order")
            << QStringList{"ttyUSB0" + vid, "ttyUSB1" + vid, "ttyUSB2" + vid}
            << QStringList{"usb-0:10-port0>ttyUSB0", "usb-0:9-port0>ttyUSB1",
                           "usb-0:2-port0>ttyUSB2"}
            << QStringList{"usb-0:2-port0 ttyUSB2", "usb-0:9-port0 ttyUSB1",
                           "usb-0:10-port0 ttyUSB0"};
        QTest::newRow("USB without an entry, then the others")
            << QStringList{"ttyS10", "ttyS9", "ttyACM0", "ttyUSB3" + vid, "cu.usbserial-1410" + vid}
            << QStringList{"usb-0:4-port0>ttyUSB3"}
            << QStringList{"usb-0:4-port0 ttyUSB3", "- cu.usbserial-1410", "- ttyACM0", "- ttyS9",
                           "- ttyS10"};
    }
    // A programmer keeps its COM number while it stays in its socket, whatever the kernel
    // calls it; it is opened through its socket's entry.
    void socketOrder()
    {
        QFETCH(QStringList, ports);
        QFETCH(QStringList, sockets);
        QFETCH(QStringList, expected);
        Machine machine(ports, sockets);
        const PortNames names = machine.names();
        QStringList got;
        for (int n = 1; n <= expected.size(); ++n) {
            const PortNames::Identity id = names.identityOf(n);
            got << (id.location.isEmpty() ? "-" : id.location) + ' ' +
                       QFileInfo(id.device).fileName();
            QCOMPARE(names.deviceFor(n).contains("/by-path/"), !id.location.isEmpty());
            QCOMPARE(QFileInfo(names.deviceFor(n)).canonicalFilePath(),
                     QFileInfo(id.device).canonicalFilePath());
        }
        QCOMPARE(got, expected);
        QVERIFY(names.deviceFor(expected.size() + 1).isEmpty());
    }

    // Missing and duplicate serial numbers show in the listing's rows and its JSON.
    void listing()
    {
        Machine machine({"ttyUSB0 0403:6001 A10K", "ttyUSB1 0403:6001 A10K", "ttyS0"},
                        {"usb-0:1-port0>ttyUSB0", "usb-0:2-port0>ttyUSB1"});
        const QStringList lines =
            vell::cli::describe(machine.names()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        const qsizetype serialColumn = lines.at(0).indexOf("SERIAL");
        QCOMPARE(lines.at(1).mid(serialColumn, 4), "A10K");
        QCOMPARE(lines.at(2).mid(serialColumn, 4), "A10K");
        QVERIFY(lines.at(3).startsWith("COM3") && lines.at(3).endsWith("ttyS0"));
        const QJsonArray json = vell::cli::describeJson(machine.names());
        QCOMPARE(json.size(), 3);
        QCOMPARE(json.at(1)["usb_serial"], "A10K");
        QCOMPARE(json.at(1)["location"], "usb-0:2-port0");
        QCOMPARE(json.at(2)["com"], 3);
        QVERIFY(json.at(2)["usb_serial"].isNull() && json.at(2)["usb_vid_pid"].isNull());
        QCOMPARE(json.at(2)["access"], "ok");
    }

    // Why a port that exists cannot be used, and by whom where a lock says.
    void access_data()
    {
        QTest::addColumn<QString>("holder"); // what holds the port
        QTest::addColumn<QString>("cause");
        QTest::addColumn<qint64>("pid");
        QTest::addColumn<QString>("text");
        QTest::newRow("free") << ""
                              << "ok" << qint64(0) << "";
        QTest::newRow("this process's own claim") << "claim"
                                                  << "ok" << qint64(0) << "";
        QTest::newRow("a live LCK file")
            << "lck"
            << "in use" << qint64(1) << "In use by another program (process 1)";
        QTest::newRow("a dead LCK file") << "dead lck"
                                         << "ok" << qint64(0) << "";
        QTest::newRow("gone") << "gone"
                              << "other" << qint64(0)
                              << "Cannot be opened: \"No such file or directory\"";
        QTest::newRow("no permission") << "mode 0"
                                       << "denied" << qint64(0)
                                       << "Permission denied: this user may not open the port. "
                                          "Join the dialout group (sudo usermod -aG dialout "
                                          "\"$USER\"), then log out and in again";
    }
    void access()
    {
        QFETCH(QString, holder);
        QTemporaryDir dir;
        const QString device =
            dir.filePath(QStringLiteral("ttyVELL%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(vell::test::writeFile(device, {}));
        PortClaim claim(device);
        // As QSerialPort names it: the path, each / an underscore.
        QFile lock(QDir::tempPath() + "/LCK.." + QString(device).replace('/', '_'));
        if (holder == "claim")
            QCOMPARE(claim.take(), PortClaim::Outcome::Held);
        if (holder.endsWith("lck")) {
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(holder == "lck" ? "1\n" : "999999999\n");
            lock.close();
        }
        if (holder == "gone")
            QVERIFY(QFile::remove(device));
        if (holder == "mode 0") {
            if (::geteuid() == 0)
                QSKIP("root opens any file; the process test drops to another user for this");
            QVERIFY(QFile::setPermissions(device, {}));
        }
        const PortAccess::Verdict verdict =
            holder.isEmpty() || holder == "dead lck" || holder == "claim"
                ? PortAccess::check(device)
                : PortAccess::diagnose(device, "Qt's words");
        lock.remove();
        QTEST(verdict.causeName(), "cause");
        QTEST(verdict.pid, "pid");
        QTEST(verdict.text(), "text");
    }
};

/// A pseudo-terminal the test holds: a device node, /dev/pts/N, until closed.
struct Pty
{
    ~Pty() { ::close(master); }
    [[nodiscard]] QString path() const { return QString::fromLocal8Bit(::ptsname(master)); }
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
};

class TstClaims : public QObject
{
    Q_OBJECT
    using Outcome = PortClaim::Outcome;
    /// Whether a claim on name is refused (a claim of this process holds it, as another copy).
    static bool refused(const QString &name)
    {
        return PortClaim(name).take() == Outcome::HeldByOther;
    }

private Q_SLOTS:
    void take_data()
    {
        QTest::addColumn<QStringList>("names"); // what another claim holds, what is claimed
        QTest::addColumn<int>("outcome");
        QTest::newRow("held through another node of the device")
            << QStringList{"/dev/ptmx", "/dev/pts/ptmx"} << int(Outcome::HeldByOther);
        QTest::newRow("no lock file can be made")
            << QStringList{"", "squatted"} << int(Outcome::Unclaimed);
        QTest::newRow("leads to no device")
            << QStringList{"", "nothing"} << int(Outcome::Unclaimed);
    }
    void take()
    {
        QFETCH(QStringList, names);
        const QString held = names.at(0), name = names.at(1);
        Pty pty;
        QTemporaryDir dir;
        const QMap<QString, QString> paths{{"squatted", pty.path()},
                                           {"nothing", dir.filePath("none")}};
        const QString path = paths.value(name, name);
        if (name.startsWith('/') && !QFile::exists(path))
            QSKIP("no such device node here");
        PortClaim other(paths.value(held, held));
        if (!held.isEmpty())
            QCOMPARE(other.take(), Outcome::Held);
        const QString squat = PortClaim::lockFileFor(pty.path()); // a folder in the lock's place
        QVERIFY(name != "squatted" || QDir().mkdir(squat));
        PortClaim claim(path);
        const Outcome outcome = claim.take();
        QDir().rmdir(squat); // a lock file is no folder: only the squatter goes
        QCOMPARE(int(outcome), VELL_FETCH(int, outcome));
        QCOMPARE(claim.holderPid(),
                 outcome == Outcome::HeldByOther ? QCoreApplication::applicationPid() : 0);
    }

    // A place stays claimed; the claim on the device behind it ends when the device goes, or
    // when another device takes its place while no link holds it open, and a link that opens
    // claims the device now there first.
    void devicesGo_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("oldFree"); // the device first claimed, through another name
        QTest::newRow("the node's mode changed") << "chmod" << false;
        QTest::newRow("the device went, its number given out again") << "close" << true;
        QTest::newRow("another device in its place") << "replug" << true;
        QTest::newRow("another device in its place, the old one open") << "replug open" << false;
    }
    void devicesGo()
    {
        QFETCH(QString, change);
        QTemporaryDir dir;
        auto first = std::make_unique<Pty>();
        const Pty second;
        const QString old = first->path(), place = dir.filePath("COM1");
        QVERIFY(QFile::link(old, place) && QFile::link(old, dir.filePath("other")));
        ClaimedPorts claims(3600 * 1000);
        FakeSerialLink link;
        QCOMPARE(claims.open(link, place), SerialLink::OpenResult::Opened); // claimed, kept
        if (!change.endsWith("open"))
            link.close();
        QVERIFY(change != "chmod" || ::chmod(QFile::encodeName(old).constData(), 0666) == 0);
        if (change == "close") {
            first.reset();
            first = std::make_unique<Pty>();
            if (first->path() != old)
                QSKIP("the pty's number was not given out again");
        }
        if (change.startsWith("replug"))
            QVERIFY(QFile::remove(place) && QFile::link(second.path(), place));
        claims.checkDevices();
        QCOMPARE(!refused(dir.filePath("other")), VELL_FETCH(bool, oldFree));
        QVERIFY(refused(place));
        link.close();
        QCOMPARE(claims.open(link, place), SerialLink::OpenResult::Opened);
        QVERIFY(refused(QFileInfo(place).canonicalFilePath()));
    }
};

VELL_TEST_MAIN(QCoreApplication, TstFrames, TstReplies, TstLinks, TstPortNames, TstClaims)
#include "tst_link.moc"
