// Guards the link layer over fakes: the command frame's bytes, the reply side (framing, every
// token's flags and texts, the per-programmer differences, the progress step) and the links
// (byte-by-byte interleaving, the invalid-port messages), why a port cannot be used.
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"
#include "link/links.h"
#include "link/pane.h"
#include "link/portaccess.h"
#include "link/portclaim.h"
#include "link/portnames.h"
#include "link/replyhandler.h"

#include <QJsonArray>
#include <QtTest>

#include <unistd.h>

using namespace vell::link;
using vell::test::FakeSerialLink;
using vell::test::reply;
using Message = QPair<QString, QString>;

namespace {

QString flags(const ProgrammerSlot &s)
{
    QStringList f;
    const std::pair<bool, const char *> all[] = {
        {s.replyUsbr, "usbr"}, {s.replySend, "send"}, {s.replyLpOk, "lpok"}, {s.replyLpEr, "lper"},
        {s.replyPtOk, "ptok"}, {s.replyPtEr, "pter"}, {s.replyData, "data"}};
    for (const auto &[on, name] : all) {
        if (on)
            f << QLatin1String(name);
    }
    return f.join(',');
}

void setAllFlags(ProgrammerSlot &s)
{
    s.replyUsbr = s.replySend = s.replyLpOk = s.replyLpEr = s.replyPtOk = s.replyPtEr =
        s.replyData = true;
}

const QString kAllFlags = QStringLiteral("usbr,send,lpok,lper,ptok,pter,data");

struct Hooks : ReplyHooks
{
    int releases = 0;
    QString fileName = QStringLiteral("board.hex");
    void releaseProgramFile() override { ++releases; }
    QString lastLoadedFileName() const override { return fileName; }
};

/// Four reply handlers, each reading its own fake link; n is the one under test.
struct Replies
{
    explicit Replies(int n = 1) : n(n)
    {
        for (int i = 0; i < 4; ++i) {
            handlers[i] = std::make_unique<ReplyHandler>(i + 1, programmers, panes, hooks);
            wires[i].setOpen(true);
            handlers[i]->attach(&wires[i]);
        }
    }
    ReplyHandler &handler() { return *handlers[n - 1]; }
    ProgrammerSlot &slot() { return programmers.slot(n); }
    const Pane &pane() const { return panes.pane(n); }
    void feed(const QByteArray &bytes) { wires[n - 1].inject(bytes); }

    int n;
    ProgrammerSlots programmers;
    PaneBoard panes;
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
            programmers.slot(n).comPort = quint8(2 * n + 1);
            programmers.slot(n).present = true;
        }
        links = std::make_unique<Links>(programmers, panes, names, op, bank.factory());
    }
    FakeSerialLink &fake(int n) { return *bank.links.at(size_t(n - 1)); }
    /// One command as the senders issue it: open each addressed link, then one frame.
    void command(Links::Command command, const QString &status = QStringLiteral("Status"))
    {
        const auto targets = programmers.targets();
        links->openLinks(targets, status, command, [this, targets] {
            links->sendFrame(CommandFrame::kProgramTarget, CommandFrame::Params{}, targets);
        });
    }

    ProgrammerSlots programmers;
    PaneBoard panes;
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
        QTest::addColumn<QString>("expectedFlags");
        const QByteArray send = reply("ASEND");
        for (int split : {23, 1, 12})
            QTest::addRow("%d then %d", split, 24 - split)
                << QList<QByteArray>{send.left(split), send.mid(split)} << QList<int>{0, 1}
                << "send";
        const QByteArray third = reply("APTOK");
        QTest::newRow("two and a part in one read")
            << QList<QByteArray>{send + reply("ALPOK") + third.left(6), third.mid(6)}
            << QList<int>{2, 3} << "send,lpok,ptok";
    }
    void framing()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<int>, handledAfter);
        QFETCH(QString, expectedFlags);
        Replies rig(2);
        QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
        for (int i = 0; i < reads.size(); ++i) {
            rig.feed(reads.at(i));
            QCOMPARE(handled.count(), handledAfter.at(i));
        }
        QCOMPARE(rig.handler().pendingBytes(), 0);
        QStringList tokens;
        for (const auto &args : handled) {
            QCOMPARE(args.at(0).toInt(), 2);
            tokens << QString::fromLatin1(args.at(1).toByteArray()).mid(1).toLower();
        }
        QCOMPARE(tokens.join(','), expectedFlags);
        QCOMPARE(flags(rig.slot()), expectedFlags);
    }

    void tokens_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("expectedFlags");
        QTest::addColumn<QString>("programmerVersion");
        QTest::addColumn<int>("releases");
        const auto row = [](const QString &name, int n, const QByteArray &bytes,
                            const QString &status, const char *flags, const QString &version = {},
                            int releases = 0) {
            QTest::newRow(qPrintable(name))
                << n << bytes << status << QString::fromLatin1(flags) << version << releases;
        };
        const auto code = [](const char *token, int c) { return reply(token, 0, "", c); };
        row("AUSBR 1", 1, reply("AUSBR"), "Programmer Waiting", "usbr",
            "Programmer Software version 0106");
        for (int n = 2; n <= 4; ++n)
            row(QStringLiteral("AUSBR %1").arg(n), n, reply("AUSBR", 0, "0107"),
                "Programmer Waiting / Software Version 0107", "usbr");
        row("ASEND", 3, reply("ASEND"), "Ready For File", "send");
        row("ALPOK", 4, reply("ALPOK"), "File Loaded OK", "lpok", {}, 1);
        row("ADATA", 1, reply("ADATA"), "Establishing Communication", "data");
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
                "lper");
        const QString old = QStringLiteral("Error #12 / Old Black Box File Format");
        const QString undefinedLoad = QStringLiteral("Undefined Program Load Error");
        const QString undefinedTarget = QStringLiteral("Undefined Program Target Error");
        row("ALPER 12 on 1", 1, code("ALPER", 12), old, "lper");
        row("ALPER 12 on 2", 2, code("ALPER", 12), undefinedLoad, "lper");
        row("ALPER 0", 1, code("ALPER", 0), undefinedLoad, "lper");
        row("ALPER 9 is a target code", 1, code("ALPER", 9), undefinedLoad, "lper");
        row("ALPER 0xFF", 1, code("ALPER", 255), undefinedLoad, "lper");
        row("APTER 9", 2, code("APTER", 9), "Error #9 / Processor ID's Do Not Match", "pter");
        row("APTER 10", 3, code("APTER", 10), "Error #10 / Cannot Communicate With Target Board",
            "pter");
        row("APTER 11", 1, code("APTER", 11), "Error #11 / Target Board Verification Error",
            "pter");
        row("APTER 12 on 1", 1, code("APTER", 12), old, "pter");
        row("APTER 12 on 4", 4, code("APTER", 12), undefinedTarget, "pter");
        row("APTER 1 is a load code", 1, code("APTER", 1), undefinedTarget, "pter");
        row("APTER 13", 1, code("APTER", 13), undefinedTarget, "pter");
        row("lower case token", 1, reply("asend"), "Establishing Communication", "");
        row("token shifted by one", 1, "x" + reply("ASEND").left(23), "Establishing Communication",
            "");
    }
    void tokens()
    {
        QFETCH(int, n);
        QFETCH(QByteArray, bytes);
        Replies rig(n);
        rig.panes.setStatus(n, QStringLiteral("Establishing Communication"));
        bytes[23] = char(0xE9); // an unused byte above 0x7F: one character per byte
        rig.feed(bytes);
        QTEST(rig.pane().status, "status");
        QTEST(flags(rig.slot()), "expectedFlags");
        QTEST(rig.panes.programmerVersion(), "programmerVersion");
        QTEST(rig.hooks.releases, "releases");
        QCOMPARE(rig.panes.softwareVersion(), QString());
        if (flags(rig.slot()).isEmpty()) {
            QCOMPARE(rig.slot().replyText, QString());
        } else {
            QCOMPARE(rig.slot().replyText.size(), 24);
            QCOMPARE(rig.slot().replyText.at(23), QChar(0xE9));
            QCOMPARE(rig.slot().replyText.left(5), QString::fromLatin1(bytes.left(5)));
        }
        for (int other = 1; other <= 4; ++other)
            QVERIFY(other == n || flags(rig.programmers.slot(other)).isEmpty());
    }

    // Programmers 1 and 2 ignore a greeting while their replyUsbr is set; 3 and 4 do not.
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
        QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
        setAllFlags(rig.slot());
        rig.panes.setStatus(n, QStringLiteral("Board Programmed OK"));
        rig.feed(reply("AUSBR", 0, "0200"));
        QCOMPARE(flags(rig.slot()), ignores ? QString() : kAllFlags);
        QCOMPARE(rig.pane().status.startsWith(QStringLiteral("Board")), ignores);
        QCOMPARE(handled.at(0).at(1).toByteArray(), ignores ? QByteArray() : QByteArray("AUSBR"));
        if (ignores) { // replyUsbr is false now: the next one acts
            rig.feed(reply("AUSBR", 0, "0200"));
            QCOMPARE(flags(rig.slot()), QStringLiteral("usbr"));
        }
        QVERIFY(rig.pane().status.endsWith(n == 1 ? QStringLiteral("Waiting")
                                                  : QStringLiteral("Version 0200")));
        // A refused greeting is still a whole reply: one right behind it in the same read counts.
        rig.feed(reply("AUSBR") + reply("ASEND"));
        QCOMPARE(flags(rig.slot()), ignores ? QStringLiteral("send") : kAllFlags);
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
    void boardProgrammed()
    {
        QFETCH(int, n);
        Replies rig(n);
        rig.panes.setBarMaximum(n, 60);
        rig.panes.setBarValue(n, 17);
        rig.feed(reply("APTOK"));
        QCOMPARE(rig.pane().status, QStringLiteral("Board Programmed OK"));
        QCOMPARE(flags(rig.slot()), QStringLiteral("ptok"));
        QTEST(rig.pane().barValue, "barValue");
        QTEST(rig.panes.softwareVersion(), "softwareVersion");
    }

    // 24 unrecognised bytes reset that programmer's replies and drop the rest of the read.
    void unrecognisedResetsOnlyItsProgrammer()
    {
        Replies rig(2);
        for (int n = 1; n <= 4; ++n) {
            setAllFlags(rig.programmers.slot(n));
            rig.programmers.slot(n).replyText = QStringLiteral("earlier");
        }
        QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
        rig.feed(QByteArray(24, 'Z') + reply("ALPOK") + reply("ASEND").left(10));
        QCOMPARE(handled.count(), 1);
        QCOMPARE(handled.at(0).at(1).toByteArray(), QByteArray());
        QCOMPARE(flags(rig.slot()), QString());
        QCOMPARE(rig.slot().replyText, QString());
        QCOMPARE(rig.handler().pendingBytes(), 0);
        QCOMPARE(rig.hooks.releases, 0);
        for (int n : {1, 3, 4})
            QCOMPARE(flags(rig.programmers.slot(n)), kAllFlags);
        rig.feed(reply("ALPOK"));
        QCOMPARE(flags(rig.slot()), QStringLiteral("lpok"));
    }

    // Count byte 0 or a count beyond the maximum leave the bar in range, the text a number.
    void progressStep_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("countByte");
        QTest::addColumn<int>("countAfter");
        QTest::addColumn<int>("barAfter");
        QTest::addColumn<QString>("after");
        const auto row = [](const char *name, const char *token, const char *before, int count,
                            int bar, int countByte, int countAfter, int barAfter,
                            const char *after) {
            QTest::newRow(name) << QByteArray(token) << QString::fromLatin1(before) << count << bar
                                << countByte << countAfter << barAfter
                                << QString::fromLatin1(after);
        };
        const char *verify12 = "Verifying File / 12 % Complete";
        row("verify after greeting restarts", "AVERI", "Programmer Waiting / Software Version 0106",
            5, 0, 8, 1, 1, verify12);
        row("verify after program text restarts", "AVERI", "Programming Target Board", 5, 0, 8, 1,
            1, verify12);
        row("verify goes on", "AVERI", "Verifying File / 25 % Complete", 2, 2, 8, 3, 3,
            "Verifying File / 38 % Complete");
        row("verify after file load goes on", "AVERI", "File Loaded OK", 5, 0, 8, 6, 6,
            "Verifying File / 75 % Complete");
        row("program has no restart test", "APROG", "Programmer Waiting", 5, 0, 8, 6, 6,
            "Programming Target Board / 75 % Complete");
        row("restart test is case-sensitive", "AVERI", "programmer waiting", 5, 0, 8, 6, 6,
            "Verifying File / 75 % Complete");
        row("full bar resets the count", "APROG", "Board Programmed OK", 3, 60, 60, 0, 0,
            "Programming Target Board / 0 % Complete");
        row("bar above the new maximum resets", "APROG", "x", 3, 100, 60, 0, 0,
            "Programming Target Board / 0 % Complete");
        row("two of three", "APROG", "", 1, 1, 3, 2, 2, "Programming Target Board / 67 % Complete");
        row("count 255", "AVERI", "Verifying File", 100, 100, 255, 101, 101,
            "Verifying File / 40 % Complete");
        row("count byte 0", "APROG", "", 4, 4, 0, 0, 0, "Programming Target Board / 0 % Complete");
        row("count above the maximum", "APROG", "", 20, 3, 8, 21, 8,
            "Programming Target Board / 100 % Complete");
    }
    void progressStep()
    {
        QFETCH(QByteArray, token);
        QFETCH(int, countByte);
        Replies rig(4);
        rig.panes.setStatus(4, VELL_FETCH(QString, before));
        rig.panes.setBarMaximum(4, 100);
        rig.panes.setBarValue(4, VELL_FETCH(int, bar));
        rig.slot().progressCount = VELL_FETCH(int, count);
        bool inRange = true; // not even between two changes may the bar leave its range
        connect(&rig.panes, &PaneBoard::paneChanged, &rig.panes, [&] {
            inRange =
                inRange && rig.pane().barValue >= 0 && rig.pane().barValue <= rig.pane().barMaximum;
        });
        rig.feed(reply(token.constData(), countByte));
        QTEST(rig.slot().progressCount, "countAfter");
        QCOMPARE(rig.pane().countText, QString::number(countByte));
        QCOMPARE(rig.pane().barMaximum, countByte);
        QTEST(rig.pane().barValue, "barAfter");
        QTEST(rig.pane().status, "after");
        rig.feed(reply(token.constData(), countByte)); // the next step goes on from there
        QVERIFY(inRange);
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
            rig.programmers.slot(bad).comPort = 16; // beyond COM15: nothing stands for it
        else
            rig.fake(bad).openResult = SerialLink::OpenResult::InvalidPort;
        const QByteArray frame = CommandFrame::programTarget({});
        // Until the operator's OK nothing more is opened and nothing is sent.
        rig.op.holdOk = true;
        rig.command(command);
        QVERIFY(rig.links->awaitingOk());
        for (int n = bad + 1; n <= 4; ++n)
            QCOMPARE(rig.fake(n).openCalls, 0);
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
            got << (id.location.isEmpty() ? "-" : id.location) + ' ' + QFileInfo(id.device).fileName();
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
        const QStringList lines = machine.names().describe().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4);
        const qsizetype serialColumn = lines.at(0).indexOf("SERIAL");
        QCOMPARE(lines.at(1).mid(serialColumn, 4), "A10K");
        QCOMPARE(lines.at(2).mid(serialColumn, 4), "A10K");
        QVERIFY(lines.at(3).startsWith("COM3") && lines.at(3).endsWith("ttyS0"));
        const QJsonArray json = machine.names().describeJson();
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
        const qint64 self = QCoreApplication::applicationPid();
        QTest::newRow("free") << "" << "ok" << qint64(0) << "";
        QTest::newRow("another copy's claim")
            << "claim" << "in use" << self
            << QString("In use by another copy of Vell USB Programmer (process %1)").arg(self);
        QTest::newRow("a live LCK file")
            << "lck" << "in use" << qint64(1) << "In use by another program (process 1)";
        QTest::newRow("a dead LCK file") << "dead lck" << "ok" << qint64(0) << "";
        QTest::newRow("gone") << "gone" << "other" << qint64(0)
                              << "Cannot be opened: \"No such file or directory\"";
        QTest::newRow("no permission") << "mode 0" << "denied" << qint64(0)
                                       << "Permission denied: this user may not open the port. "
                                          "Join the dialout group (sudo usermod -aG dialout "
                                          "\"$USER\"), then log out and in again";
    }
    void access()
    {
        QFETCH(QString, holder);
        QTemporaryDir dir;
        const QString device = dir.filePath(QStringLiteral("ttyVELL%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(vell::test::writeFile(device, {}));
        PortClaim claim(device);
        // As QSerialPort names it: the path, each / an underscore.
        QFile lock(QDir::tempPath() + "/LCK.." + QString(device).replace('/', '_'));
        if (holder == "claim")
            QVERIFY(claim.take());
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
        const PortAccess::Verdict verdict = holder.isEmpty() || holder == "dead lck"
                                                ? PortAccess::check(device)
                                                : PortAccess::diagnose(device, "Qt's words");
        lock.remove();
        QTEST(verdict.causeName(), "cause");
        QTEST(verdict.pid, "pid");
        QTEST(verdict.text(), "text");
    }
};

VELL_TEST_MAIN(QCoreApplication, TstFrames, TstReplies, TstLinks, TstPortNames)
#include "tst_link.moc"
