// Guards the reply side of a link: framing into 24-byte replies, every token's flags and pane
// texts, the per-programmer differences, the progress step and its odd counts.
#include "common/fakeseriallink.h"
#include "link/pane.h"
#include "link/programmerslot.h"
#include "link/reply.h"
#include "link/replyhandler.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using vell::link::PaneBoard;
using vell::link::ProgrammerSlot;
using vell::link::ProgrammerSlots;
using vell::link::Reply;
using vell::link::ReplyHandler;

namespace {

struct Hooks : vell::link::ReplyHooks
{
    int releases = 0;
    QString fileName = QStringLiteral("board.hex");
    void releaseProgramFile() override { ++releases; }
    QString lastLoadedFileName() const override { return fileName; }
};

/// The programmers, panes and hooks one handler (or four) work on.
struct Rig
{
    ProgrammerSlots programmers;
    PaneBoard panes;
    Hooks hooks;
    std::unique_ptr<ReplyHandler> handlers[4];

    explicit Rig(int n = 1)
    {
        for (int i = 1; i <= 4; ++i)
            handlers[i - 1] = std::make_unique<ReplyHandler>(i, programmers, panes, hooks);
        current = n;
    }
    ReplyHandler &handler() { return *handlers[current - 1]; }
    ProgrammerSlot &slot() { return programmers.slot(current); }
    const vell::link::Pane &pane() const { return panes.pane(current); }
    void feed(const QByteArray &bytes) { handler().feed(bytes); }

    int current = 1;
};

QByteArray reply(const char *token, int count = 0, const QByteArray &version = "0106", int code = 0)
{
    return Reply::encode(token, quint8(count), version, quint8(code));
}

/// The seven flags as letters, so a row can name the expected set.
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

} // namespace

class TstReplyHandler : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void tokens_data();
    void tokens();
    void repeatedUsbr_data();
    void repeatedUsbr();
    void boardProgrammed_data();
    void boardProgrammed();
    void dataKeepsOtherFlags();
    void unrecognisedResetsOnlyItsProgrammer();
    void programThenVerifyPhase();
    void progressStep_data();
    void progressStep();
    void attachedLink();
    void floodStaysBounded();
};

// The described system read the whole buffer and used only its first 24 bytes, losing any
// second reply; here every whole reply is handled in order and a partial one waits.
void TstReplyHandler::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<int>>("handledAfter");
    QTest::addColumn<QString>("expectedFlags");

    const QByteArray send = reply("ASEND");
    for (int split : {23, 1, 3, 12}) {
        QTest::addRow("%d then %d", split, 24 - split)
            << QList<QByteArray>{send.left(split), send.mid(split)} << QList<int>{0, 1} << "send";
    }
    const QByteArray third = reply("APTOK");
    QTest::newRow("two and a part in one read")
        << QList<QByteArray>{send + reply("ALPOK") + third.left(6), third.mid(6)}
        << QList<int>{2, 3} << "send,lpok,ptok";
}

void TstReplyHandler::framing()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<int>, handledAfter);
    QFETCH(QString, expectedFlags);
    Rig rig(2);
    QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
    qsizetype fed = 0;
    for (int i = 0; i < reads.size(); ++i) {
        rig.feed(reads.at(i));
        fed += reads.at(i).size();
        QCOMPARE(handled.count(), handledAfter.at(i));
        QCOMPARE(rig.handler().pendingBytes(), int(fed - 24 * handled.count()));
    }
    QStringList tokens;
    for (const auto &args : handled) {
        QCOMPARE(args.at(0).toInt(), 2);
        tokens << QString::fromLatin1(args.at(1).toByteArray()).mid(1).toLower();
    }
    QCOMPARE(tokens.join(','), expectedFlags);
    QCOMPARE(flags(rig.slot()), expectedFlags);
}

void TstReplyHandler::tokens_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("expectedFlags");
    QTest::addColumn<QString>("programmerVersion");
    QTest::addColumn<int>("releases");

    const auto row = [](const char *name, int n, const QByteArray &bytes, const QString &status,
                        const char *flags, const QString &version = {}, int releases = 0) {
        QTest::newRow(name) << n << bytes << status << QString::fromLatin1(flags) << version
                            << releases;
    };
    const auto code = [](const char *token, int c) { return reply(token, 0, "", c); };
    row("AUSBR 1", 1, reply("AUSBR", 0, "0106"), "Programmer Waiting", "usbr",
        "Programmer Software version 0106");
    for (int n = 2; n <= 4; ++n) {
        row(qPrintable(QStringLiteral("AUSBR %1").arg(n)), n, reply("AUSBR", 0, "0107"),
            "Programmer Waiting / Software Version 0107", "usbr");
    }
    row("ASEND", 3, reply("ASEND"), "Ready For File", "send");
    row("ALPOK", 4, reply("ALPOK"), "File Loaded OK", "lpok", {}, 1);
    row("ADATA", 1, reply("ADATA"), "Establishing Communication", "data");

    const char *loadErrors[] = {
        "Error #1 / Checksum Does Not Match",
        "Error #2 / File Size Incorrect",
        "Error #3 / Memory Size & Processor Type Do Not Match",
        "Error #4 / Memory Size In File Too Small",
        "Error #5 / Memory Size In File Too Large",
        "Error #6 / File Size Invalid",
        "Error #7 / Unsupported Processor Type",
        "Error #8 / PC Download Timed Out",
    };
    for (int c = 1; c <= 8; ++c) {
        row(qPrintable(QStringLiteral("ALPER %1").arg(c)), c % 4 + 1, code("ALPER", c),
            loadErrors[c - 1], "lper");
    }
    const QString oldBlackBox = QStringLiteral("Error #12 / Old Black Box File Format");
    const QString undefinedLoad = QStringLiteral("Undefined Program Load Error");
    const QString undefinedTarget = QStringLiteral("Undefined Program Target Error");
    row("ALPER 12 on 1", 1, code("ALPER", 12), oldBlackBox, "lper");
    row("ALPER 12 on 2", 2, code("ALPER", 12), undefinedLoad, "lper");
    row("ALPER 0", 1, code("ALPER", 0), undefinedLoad, "lper");
    row("ALPER 9 is a target code", 1, code("ALPER", 9), undefinedLoad, "lper");
    row("ALPER 0xFF", 1, code("ALPER", 255), undefinedLoad, "lper");
    row("APTER 9", 2, code("APTER", 9), "Error #9 / Processor ID's Do Not Match", "pter");
    row("APTER 10", 3, code("APTER", 10), "Error #10 / Cannot Communicate With Target Board",
        "pter");
    row("APTER 11", 1, code("APTER", 11), "Error #11 / Target Board Verification Error", "pter");
    row("APTER 12 on 1", 1, code("APTER", 12), oldBlackBox, "pter");
    row("APTER 12 on 2", 2, code("APTER", 12), undefinedTarget, "pter");
    row("APTER 1 is a load code", 1, code("APTER", 1), undefinedTarget, "pter");
    row("APTER 13", 1, code("APTER", 13), undefinedTarget, "pter");
    row("lower case token", 1, reply("asend"), "Establishing Communication", "");
    row("token shifted by one", 1, QByteArray(1, 'x') + reply("ASEND").left(23),
        "Establishing Communication", "");
}

void TstReplyHandler::tokens()
{
    QFETCH(int, n);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, status);
    QFETCH(QString, expectedFlags);
    QFETCH(QString, programmerVersion);
    QFETCH(int, releases);

    Rig rig(n);
    rig.panes.setStatus(n, QStringLiteral("Establishing Communication"));
    // An unused byte above 0x7F shows the text keeps one character per byte.
    bytes[23] = char(0xE9);
    rig.feed(bytes);

    QCOMPARE(rig.pane().status, status);
    QCOMPARE(flags(rig.slot()), expectedFlags);
    QCOMPARE(rig.panes.programmerVersion(), programmerVersion);
    QCOMPARE(rig.hooks.releases, releases);
    QCOMPARE(rig.panes.softwareVersion(), QString());
    if (expectedFlags.isEmpty()) {
        QCOMPARE(rig.slot().replyText, QString());
    } else {
        QCOMPARE(rig.slot().replyText.size(), 24);
        QCOMPARE(rig.slot().replyText.at(23), QChar(0xE9));
        QCOMPARE(rig.slot().replyText.left(5), QString::fromLatin1(bytes.left(5)));
    }
    // Other programmers are untouched.
    for (int other = 1; other <= 4; ++other) {
        if (other != n)
            QCOMPARE(flags(rig.programmers.slot(other)), QString());
    }
}

void TstReplyHandler::repeatedUsbr_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("ignoresRepeat");
    QTest::newRow("programmer 1") << 1 << true;
    QTest::newRow("programmer 2") << 2 << true;
    QTest::newRow("programmer 3") << 3 << false;
    QTest::newRow("programmer 4") << 4 << false;
}

void TstReplyHandler::repeatedUsbr()
{
    QFETCH(int, n);
    QFETCH(bool, ignoresRepeat);
    Rig rig(n);
    QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
    setAllFlags(rig.slot());
    rig.panes.setStatus(n, QStringLiteral("Board Programmed OK"));

    rig.feed(reply("AUSBR", 0, "0200"));
    if (ignoresRepeat) {
        QCOMPARE(flags(rig.slot()), QString());
        QCOMPARE(rig.slot().replyText, QString());
        QCOMPARE(rig.pane().status, QStringLiteral("Board Programmed OK"));
        QCOMPARE(handled.at(0).at(1).toByteArray(), QByteArray());

        // Now replyUsbr is false: the next one acts.
        rig.feed(reply("AUSBR", 0, "0200"));
        QCOMPARE(flags(rig.slot()), QStringLiteral("usbr"));
        QCOMPARE(handled.at(1).at(1).toByteArray(), QByteArray("AUSBR"));
    } else {
        QCOMPARE(flags(rig.slot()), kAllFlags);
        QCOMPARE(handled.at(0).at(1).toByteArray(), QByteArray("AUSBR"));
    }
    QVERIFY(rig.pane().status.startsWith(QStringLiteral("Programmer Waiting")));
    QVERIFY(rig.pane().status.endsWith(n == 1 ? QStringLiteral("Waiting")
                                              : QStringLiteral("Version 0200")));

    // A refused greeting is still a whole reply: one right behind it in the same read counts.
    rig.feed(reply("AUSBR") + reply("ASEND"));
    QCOMPARE(flags(rig.slot()), ignoresRepeat ? QStringLiteral("send") : kAllFlags);
    QCOMPARE(handled.last().at(1).toByteArray(), QByteArray("ASEND"));
}

void TstReplyHandler::boardProgrammed_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("barValue");
    QTest::addColumn<QString>("softwareVersion");
    QTest::newRow("programmer 1") << 1 << 60 << "Board Software Version board.hex";
    QTest::newRow("programmer 2") << 2 << 60 << "";
    QTest::newRow("programmer 3") << 3 << 17 << "";
    QTest::newRow("programmer 4") << 4 << 17 << "";
}

void TstReplyHandler::boardProgrammed()
{
    QFETCH(int, n);
    QFETCH(int, barValue);
    QFETCH(QString, softwareVersion);
    Rig rig(n);
    rig.panes.setBarMaximum(n, 60);
    rig.panes.setBarValue(n, 17);

    rig.feed(reply("APTOK"));
    QCOMPARE(rig.pane().status, QStringLiteral("Board Programmed OK"));
    QCOMPARE(flags(rig.slot()), QStringLiteral("ptok"));
    QCOMPARE(rig.pane().barValue, barValue);
    QCOMPARE(rig.pane().barMaximum, 60);
    QCOMPARE(rig.panes.softwareVersion(), softwareVersion);

    // The label names the file last loaded, read when the reply arrives; none yet: label alone.
    if (n == 1) {
        rig.hooks.fileName.clear();
        rig.feed(reply("APTOK"));
        QCOMPARE(rig.panes.softwareVersion(), QStringLiteral("Board Software Version "));
    }
}

void TstReplyHandler::dataKeepsOtherFlags()
{
    Rig rig(3);
    ProgrammerSlot &s = rig.slot();
    s.replyUsbr = s.replySend = s.replyLpOk = true;
    rig.panes.setStatus(3, QStringLiteral("File Loaded OK"));
    QSignalSpy paneChanged(&rig.panes, &PaneBoard::paneChanged);

    rig.feed(reply("ADATA"));
    QCOMPARE(flags(s), QStringLiteral("usbr,send,lpok,data"));
    QCOMPARE(paneChanged.count(), 0);
    QCOMPARE(rig.slot().replyText.left(5), QStringLiteral("ADATA"));
}

void TstReplyHandler::unrecognisedResetsOnlyItsProgrammer()
{
    Rig rig(2);
    for (int n = 1; n <= 4; ++n) {
        setAllFlags(rig.programmers.slot(n));
        rig.programmers.slot(n).replyText = QStringLiteral("earlier");
        rig.panes.setStatus(n, QStringLiteral("Ready For File"));
    }
    QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);

    // 24 bytes of nonsense, then a good reply and part of another in the same read.
    QByteArray junk(24, 'Z');
    rig.feed(junk + reply("ALPOK") + reply("ASEND").left(10));
    QCOMPARE(handled.count(), 1);
    QCOMPARE(handled.at(0).at(0).toInt(), 2);
    QCOMPARE(handled.at(0).at(1).toByteArray(), QByteArray());
    QCOMPARE(flags(rig.programmers.slot(2)), QString());
    QCOMPARE(rig.programmers.slot(2).replyText, QString());
    QCOMPARE(rig.pane().status, QStringLiteral("Ready For File"));
    QCOMPARE(rig.handler().pendingBytes(), 0);
    QCOMPARE(rig.hooks.releases, 0);
    for (int n : {1, 3, 4}) {
        QCOMPARE(flags(rig.programmers.slot(n)), kAllFlags);
        QCOMPARE(rig.programmers.slot(n).replyText, QStringLiteral("earlier"));
    }

    // Back in step with the next whole reply.
    rig.feed(reply("ALPOK"));
    QCOMPARE(flags(rig.programmers.slot(2)), QStringLiteral("lpok"));
}

void TstReplyHandler::programThenVerifyPhase()
{
    Rig rig(1);
    rig.panes.setStatus(1, QStringLiteral("Programming Target Board"));
    rig.panes.setBarValue(1, 0);
    const auto eightSteps = [&rig](const char *token, const QString &prefix) {
        QStringList shown, expected;
        for (const char *p : {"12", "25", "38", "50", "62", "75", "88", "100"}) {
            rig.feed(reply(token, 8));
            shown << rig.pane().status;
            expected << prefix + QLatin1String(p) + QStringLiteral(" % Complete");
        }
        QCOMPARE(shown, expected);
        QCOMPARE(rig.pane().barValue, 8);
    };

    eightSteps("APROG", QStringLiteral("Programming Target Board / "));
    QCOMPARE(rig.pane().countText, QStringLiteral("8"));
    QCOMPARE(rig.pane().barMaximum, 8);
    QCOMPARE(rig.slot().progressTotal, 8);

    // The first verify step finds the program text, restarts, finds the bar full, keeps 0.
    rig.feed(reply("AVERI", 8));
    QCOMPARE(rig.pane().status, QStringLiteral("Verifying File / 0 % Complete"));
    QCOMPARE(rig.pane().barValue, 0);
    QCOMPARE(rig.slot().progressCount, 0);

    eightSteps("AVERI", QStringLiteral("Verifying File / "));
    QVERIFY(rig.slot().replyText.startsWith(QStringLiteral("AVERI")));
    QCOMPARE(flags(rig.slot()), QString());
}

// Count byte 0, or a count beyond the maximum, must leave the bar in range and the text a
// number (the described system stopped on both).
void TstReplyHandler::progressStep_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QString>("statusBefore");
    QTest::addColumn<int>("countBefore");
    QTest::addColumn<int>("barBefore");
    QTest::addColumn<int>("countByte");
    QTest::addColumn<int>("countAfter");
    QTest::addColumn<int>("barAfter");
    QTest::addColumn<QString>("statusAfter");

    const auto row = [](const char *name, const char *token, const char *before, int count, int bar,
                        int countByte, int countAfter, int barAfter, const char *after) {
        QTest::newRow(name) << QByteArray(token) << QString::fromLatin1(before) << count << bar
                            << countByte << countAfter << barAfter << QString::fromLatin1(after);
    };
    const char *verify12 = "Verifying File / 12 % Complete";
    row("verify after greeting restarts", "AVERI", "Programmer Waiting / Software Version 0106", 5,
        0, 8, 1, 1, verify12);
    row("verify after program text restarts", "AVERI", "Programming Target Board", 5, 0, 8, 1, 1,
        verify12);
    row("verify goes on", "AVERI", "Verifying File / 25 % Complete", 2, 2, 8, 3, 3,
        "Verifying File / 38 % Complete");
    row("verify after file load does not restart", "AVERI", "File Loaded OK", 5, 0, 8, 6, 6,
        "Verifying File / 75 % Complete");
    row("program has no restart test", "APROG", "Programmer Waiting", 5, 0, 8, 6, 6,
        "Programming Target Board / 75 % Complete");
    row("restart test is case-sensitive", "AVERI", "programmer waiting", 5, 0, 8, 6, 6,
        "Verifying File / 75 % Complete");
    row("full bar resets the count", "APROG", "Board Programmed OK", 3, 60, 60, 0, 0,
        "Programming Target Board / 0 % Complete");
    row("bar left above the new maximum resets", "APROG", "Transferring File / 100% Complete", 3,
        100, 60, 0, 0, "Programming Target Board / 0 % Complete");
    row("two of three", "APROG", "", 1, 1, 3, 2, 2, "Programming Target Board / 67 % Complete");
    row("count 255", "AVERI", "Verifying File", 100, 100, 255, 101, 101,
        "Verifying File / 40 % Complete");
    row("count byte 0", "APROG", "", 4, 4, 0, 0, 0, "Programming Target Board / 0 % Complete");
    row("count byte 0 on an empty bar", "APROG", "", 0, 0, 0, 0, 0,
        "Programming Target Board / 0 % Complete");
    row("count above the maximum", "APROG", "", 20, 3, 8, 21, 8,
        "Programming Target Board / 100 % Complete");
}

void TstReplyHandler::progressStep()
{
    QFETCH(QByteArray, token);
    QFETCH(QString, statusBefore);
    QFETCH(int, countBefore);
    QFETCH(int, barBefore);
    QFETCH(int, countByte);
    QFETCH(int, countAfter);
    QFETCH(int, barAfter);
    QFETCH(QString, statusAfter);

    Rig rig(4);
    rig.panes.setStatus(4, statusBefore);
    rig.panes.setBarMaximum(4, 100);
    rig.panes.setBarValue(4, barBefore);
    rig.slot().progressCount = countBefore;
    bool inRange = true; // not even between two changes may the bar leave its range
    connect(&rig.panes, &PaneBoard::paneChanged, &rig.panes, [&] {
        inRange =
            inRange && rig.pane().barValue >= 0 && rig.pane().barValue <= rig.pane().barMaximum;
    });

    rig.feed(reply(token.constData(), countByte));
    QCOMPARE(rig.slot().progressCount, countAfter);
    QCOMPARE(rig.slot().progressTotal, countByte);
    QCOMPARE(rig.pane().countText, QString::number(countByte));
    QCOMPARE(rig.pane().barMaximum, countByte);
    QCOMPARE(rig.pane().barValue, barAfter);
    QCOMPARE(rig.pane().status, statusAfter);
    QCOMPARE(flags(rig.slot()), QString());

    // The next step goes on from there without stopping.
    rig.feed(reply(token.constData(), countByte));
    QVERIFY(inRange);
    QVERIFY(rig.pane().status.endsWith(QStringLiteral(" % Complete")));
}

void TstReplyHandler::attachedLink()
{
    Rig rig(3);
    QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
    vell::test::FakeSerialLink link;
    link.setOpen(true);
    link.inject(reply("ASEND").left(4)); // before attach: read at attach
    rig.handler().attach(&link);
    link.inject(reply("ASEND").mid(4, 15));
    QCOMPARE(handled.count(), 0);
    link.inject(reply("ASEND").mid(19) + reply("ALPOK"));
    QCOMPARE(handled.count(), 2);
    QCOMPARE(flags(rig.slot()), QStringLiteral("send,lpok"));

    // A partial reply of a device that went away does not join the next device's bytes.
    link.inject(reply("APTOK").left(7));
    link.loseDevice();
    link.inject(reply("ASEND"));
    QCOMPARE(handled.count(), 3);
    QCOMPARE(handled.at(2).at(1).toByteArray(), QByteArray("ASEND"));

    // A sender that drains the link drops a partial reply.
    link.inject(reply("ASEND").left(10));
    rig.handler().discardPending();
    QCOMPARE(rig.handler().pendingBytes(), 0);
    link.inject(reply("ALPOK"));
    QCOMPARE(handled.count(), 4);
    QCOMPARE(handled.at(3).at(1).toByteArray(), QByteArray("ALPOK"));

    // Detached: bytes stay on the link.
    rig.handler().attach(nullptr);
    link.inject(reply("ADATA"));
    QCOMPARE(handled.count(), 4);
    QCOMPARE(link.bytesAvailable(), 24);
}

void TstReplyHandler::floodStaysBounded()
{
    Rig rig;
    QSignalSpy handled(&rig.handler(), &ReplyHandler::replyHandled);
    const int count = 20000;
    QByteArray many;
    for (int i = 0; i < count; ++i)
        many += reply("ADATA");
    rig.feed(many + reply("ASEND").left(23));
    QCOMPARE(handled.count(), count);
    QCOMPARE(rig.handler().pendingBytes(), 23);

    rig.feed(QByteArray(1, 'A') + QByteArray(24 * count, 'Q'));
    QCOMPARE(handled.count(), count + 2);
    QCOMPARE(rig.handler().pendingBytes(), 0);
}

QTEST_GUILESS_MAIN(TstReplyHandler)
#include "tst_replyhandler.moc"
