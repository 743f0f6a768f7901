// Guards the model over fakes: replies applied to a programmer's state (framing, every token's
// state, pane text and verdict, the per-programmer differences, the progress steps), and the
// views told of a change only when there is one; the one rule of a board serial.
#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/testmain.h"
#include "model/pane.h"
#include "model/replyhandler.h"

#include <QtTest>

using namespace vell::model;
using vell::test::FakeSerialLink;
using vell::test::reply;

namespace {

/// Four reply handlers, each reading its own fake link; n is the one under test. The step
/// under way is the kind a verdict must match to end it, as an operation does.
struct Replies
{
    explicit Replies(int n = 1) : n(n)
    {
        for (const ProgrammerNumber k : ProgrammerSet::all()) {
            handlers[k] = std::make_unique<ReplyHandler>(k, programmers);
            wires[k].setOpen(true);
            handlers[k]->attach(&wires[k]);
            QObject::connect(handlers[k].get(), &ReplyHandler::fileLoaded, handlers[k].get(),
                             [this] { ++releases; });
            QObject::connect(handlers[k].get(), &ReplyHandler::verdict, handlers[k].get(),
                             [this](ProgrammerNumber from, Step step, std::optional<int> code) {
                                 if (underWay[from] == step)
                                     verdicts[from] = code ? "error " + QString::number(*code)
                                                           : QStringLiteral("ok");
                             });
        }
    }
    ProgrammerNumber number() const { return ProgrammerNumber(n); }
    ReplyHandler &handler() { return *handlers[number()]; }
    const ProgrammerState &state() const { return programmers.state(number()); }
    Pane pane() const { return Pane::of(number(), state()); }
    void feed(const QByteArray &bytes) { wires[number()].inject(bytes); }
    template <typename Change> void set(int k, Change change)
    {
        programmers.update(ProgrammerNumber(k), change);
    }
    /// What a reply left on programmer k: its readiness flags and the verdict on its step.
    QString outcome(int k) const
    {
        const ProgrammerState &s = programmers.state(ProgrammerNumber(k));
        QStringList f;
        if (s.greeted)
            f << "greeted";
        if (s.ready)
            f << "ready";
        if (!verdicts[ProgrammerNumber(k)].isEmpty())
            f << verdicts[ProgrammerNumber(k)];
        return f.join(',');
    }

    int n;
    Programmers programmers;
    PerProgrammer<FakeSerialLink> wires;
    PerProgrammer<std::unique_ptr<ReplyHandler>> handlers;
    PerProgrammer<Step> underWay;
    PerProgrammer<QString> verdicts;
    int releases = 0;
};

} // namespace

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
        QSignalSpy handled(&rig.programmers, &Programmers::statusChanged);
        for (int i = 0; i < reads.size(); ++i) {
            rig.feed(reads.at(i));
            QCOMPARE(handled.count(), handledAfter.at(i));
        }
        QCOMPARE(rig.handler().pendingBytes(), 0);
        for (const auto &args : handled)
            QCOMPARE(args.at(0).value<ProgrammerNumber>(), ProgrammerNumber(2));
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
        rig.underWay[rig.number()] = step;
        rig.programmers.setStatus(rig.number(), Status::Establishing);
        bytes[23] = char(0xE9); // an unused byte above 0x7F
        rig.feed(bytes);
        QTEST(rig.pane().status, "status");
        QTEST(rig.outcome(n), "outcome");
        QTEST(Pane::programmerVersionText(rig.programmers.state(ProgrammerNumber(1))),
              "programmerVersion");
        QTEST(rig.releases, "releases");
        QCOMPARE(Pane::softwareVersionText(rig.programmers.state(ProgrammerNumber(1))).isEmpty(),
                 !bytes.startsWith("APTOK") || n != 1);
        for (int other = 1; other <= 4; ++other)
            QVERIFY(other == n || rig.outcome(other).isEmpty());
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
        rig.set(n, [](ProgrammerState &s) {
            s.greeted = s.ready = true;
            s.status = Status::ProgrammedOk;
        });
        rig.feed(reply("AUSBR", 0, "0200"));
        QCOMPARE(rig.outcome(n), ignores ? QString() : QStringLiteral("greeted,ready"));
        QCOMPARE(rig.pane().status.startsWith(QStringLiteral("Board")), ignores);
        if (ignores) { // forgotten now: the next one acts
            rig.feed(reply("AUSBR", 0, "0200"));
            QCOMPARE(rig.outcome(n), QStringLiteral("greeted"));
        }
        QVERIFY(rig.pane().status.endsWith(n == 1 ? QStringLiteral("Waiting")
                                                  : QStringLiteral("Version 0200")));
        // A refused greeting is still a whole reply: one right behind it in the same read counts.
        rig.feed(reply("AUSBR") + reply("ASEND"));
        QCOMPARE(rig.outcome(n),
                 ignores ? QStringLiteral("ready") : QStringLiteral("greeted,ready"));
    }

    void boardProgrammed_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("barValue");
        QTest::addColumn<QString>("softwareVersion");
        QTest::addColumn<bool>("loadFailed");
        QTest::newRow("programmer 1") << 1 << 60 << "Board Software Version board.hex" << false;
        QTest::newRow("programmer 2") << 2 << 60 << "" << false;
        QTest::newRow("programmer 3") << 3 << 17 << "" << false;
        // A load of another file failed: the programmer holds neither file (a fuzz finding).
        QTest::newRow("programmer 1 after a failed load")
            << 1 << 60 << "Board Software Version " << true;
    }
    // The board's software is the image this programmer took, not the last file anyone loaded.
    void boardProgrammed()
    {
        QFETCH(int, n);
        QFETCH(bool, loadFailed);
        Replies rig(n);
        rig.set(n, [](ProgrammerState &s) {
            s.barMaximum = 60;
            s.barValue = 17;
        });
        StepRecord load;
        load.step = Step::Load;
        load.ending = Ending::Ok;
        load.image = ImageIdentity{QStringLiteral("board.hex"), {}, 1, {}, {}};
        rig.programmers.setLastStep(rig.number(), load);
        if (loadFailed) { // its "ALPER" ends the next load, as the load's operation records it
            load.image = ImageIdentity{QStringLiteral("other.hex"), {}, 1, {}, {}};
            load.ending = Ending::Error;
            rig.feed(reply("ALPER", 0, "", 1));
            rig.programmers.setLastStep(rig.number(), load);
        }
        rig.feed(reply("APTOK"));
        QCOMPARE(rig.pane().status, QStringLiteral("Board Programmed OK"));
        QTEST(rig.pane().barValue, "barValue");
        QTEST(Pane::softwareVersionText(rig.programmers.state(ProgrammerNumber(1))),
              "softwareVersion");
    }

    // 24 unrecognised bytes reset that programmer's replies and drop the rest of the read.
    void unrecognisedResetsOnlyItsProgrammer()
    {
        Replies rig(2);
        for (int k = 1; k <= 4; ++k)
            rig.set(k, [](ProgrammerState &s) { s.greeted = s.ready = true; });
        rig.underWay[rig.number()] = Step::Load;
        rig.feed(QByteArray(24, 'Z') + reply("ALPOK") + reply("ASEND").left(10));
        QCOMPARE(rig.outcome(2), QString());
        QCOMPARE(rig.handler().pendingBytes(), 0);
        QCOMPARE(rig.releases, 0);
        for (int k : {1, 3, 4})
            QCOMPARE(rig.outcome(k), QStringLiteral("greeted,ready"));
        rig.feed(reply("ALPOK"));
        QCOMPARE(rig.outcome(2), QStringLiteral("ok"));
    }

    // Progress replies move the bar and the text step by step: a verify phase after the program
    // phase or a fresh start counts from 0, a full bar starts over, and count byte 0 or a count
    // beyond the maximum leave the bar in range and the text a number. Events are replies
    // ("APROG 3": the token and its count byte) or the transfer moving the bar ("bar 3").
    void progress_data()
    {
        QTest::addColumn<Status>("before");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("texts"); // after each reply
        QTest::addColumn<QList<int>>("bars");
        const auto verify = [](int p) {
            return QStringLiteral("Verifying File / %1 % Complete").arg(p);
        };
        const auto program = [](int p) {
            return QStringLiteral("Programming Target Board / %1 % Complete").arg(p);
        };
        QTest::newRow("program then verify, each from 0")
            << Status::ProgrammingTargetBoard << 0
            << QStringList{"APROG 3", "APROG 3", "APROG 3", "AVERI 8", "AVERI 8", "AVERI 8"}
            << QStringList{program(33), program(67), program(100),
                           verify(12),  verify(25),  verify(38)}
            << QList<int>{1, 2, 3, 1, 2, 3};
        QTest::newRow("verify after a greeting starts at 0")
            << Status::Waiting << 0 << QStringList{"AVERI 8", "AVERI 8"}
            << QStringList{verify(12), verify(25)} << QList<int>{1, 2};
        QTest::newRow("verify after a greeting mid-program starts at 0")
            << Status::Blank << 0 << QStringList{"APROG 3", "APROG 3", "AUSBR", "AVERI 8"}
            << QStringList{program(33), program(67), "Programmer Waiting / Software Version 0106",
                           verify(12)}
            << QList<int>{1, 2, 2, 1};
        QTest::newRow("verify after a load's verdict goes on")
            << Status::Waiting << 0 << QStringList{"AVERI 8", "AVERI 8", "ALPOK", "AVERI 8"}
            << QStringList{verify(12), verify(25), "File Loaded OK", verify(38)}
            << QList<int>{1, 2, 2, 3};
        QTest::newRow("a full bar starts over")
            << Status::ProgrammedOk << 60 << QStringList{"APROG 60", "APROG 60"}
            << QStringList{program(0), program(2)} << QList<int>{0, 1};
        QTest::newRow("a bar above the new maximum starts over")
            << Status::Blank << 100 << QStringList{"APROG 60"} << QStringList{program(0)}
            << QList<int>{0};
        QTest::newRow("count byte 0") << Status::Blank << 0 << QStringList{"APROG 0", "APROG 0"}
                                      << QStringList{program(0), program(0)} << QList<int>{0, 0};
        QTest::newRow("past the count: the bar stays full, the text at 100")
            << Status::Blank << 0
            << QStringList{"APROG 4", "APROG 4", "APROG 4", "bar 1", "APROG 3"}
            << QStringList{program(25), program(50), program(75), program(100)}
            << QList<int>{1, 2, 3, 3};
        QTest::newRow("count 255") << Status::Blank << 0 << QStringList{"AVERI 255"}
                                   << QStringList{verify(0)} << QList<int>{1};
    }
    void progress()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, texts);
        QFETCH(QList<int>, bars);
        Replies rig(4);
        rig.set(4, [](ProgrammerState &s) {
            s.status = VELL_FETCH(Status, before);
            s.barMaximum = 100;
            s.barValue = VELL_FETCH(int, bar);
        });
        int replies = 0;
        for (const QString &event : events) {
            const QString token = event.section(u' ', 0, 0);
            const int count = event.section(u' ', 1, 1).toInt();
            if (token == "bar") {
                rig.set(4, [count](ProgrammerState &s) { s.barValue = count; });
                continue;
            }
            rig.feed(reply(token.toLatin1().constData(), quint8(count)));
            QCOMPARE(rig.pane().status, texts.at(replies));
            QCOMPARE(rig.pane().barValue, bars.at(replies));
            ++replies;
            if (token == "ALPOK" || token == "AUSBR")
                continue;
            QCOMPARE(rig.pane().barMaximum, count);
            QCOMPARE(rig.pane().countText, QString::number(count));
            QCOMPARE(QString::fromLatin1(Pane::progressPhase(rig.state().status)),
                     token == "AVERI" ? "verify" : "program");
        }
        QCOMPARE(replies, texts.size());
    }

    // A reply that changes nothing the pane shows tells no view; one that does tells each aspect
    // once: the status box, the bar, the version labels.
    void changesOnlyWhenChanged()
    {
        Replies rig(1);
        QSignalSpy status(&rig.programmers, &Programmers::statusChanged);
        QSignalSpy bar(&rig.programmers, &Programmers::barChanged);
        QSignalSpy versions(&rig.programmers, &Programmers::versionsChanged);
        rig.feed(reply("AUSBR", 0, "0106"));
        QCOMPARE(status.count(), 1);
        QCOMPARE(versions.count(), 1);
        // Forgotten by an unknown reply, greeted again with another version: programmer 1 shows
        // the version on its label, its status text stays "Programmer Waiting".
        rig.feed(QByteArray(24, 'Z'));
        rig.feed(reply("AUSBR", 0, "0107"));
        QCOMPARE(status.count(), 1);
        QCOMPARE(versions.count(), 2);
        rig.feed(reply("ADATA"));
        rig.feed(reply("APROG", 4) + reply("APROG", 4));
        QCOMPARE(status.count(), 3);
        QCOMPARE(bar.count(), 2);
        rig.programmers.setStatus(rig.number(), Status::Programming, 50);
        QCOMPARE(status.count(), 3);
        QCOMPARE(versions.count(), 2);
    }
};

class TstBoardSerial : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void check_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("problem");
        const auto row = [](const char *name, const QString &text, const QString &pattern,
                            BoardProblem p) { QTest::newRow(name) << text << pattern << int(p); };
        row("a serial", "SN-4711", "", BoardProblem::None);
        row("64 characters, spaces and emoji count one each",
            QString(31, u'a') + " " + QStringLiteral("\U0001F600").repeated(32), "",
            BoardProblem::None);
        row("65 characters", QString(65, u'a'), "", BoardProblem::TooLong);
        row("empty", "", "", BoardProblem::Empty);
        row("ended with Tab", "SN-4711\t", "", BoardProblem::TabInsteadOfEnter);
        row("a group separator inside",
            "01\x1d"
            "21",
            "", BoardProblem::NotPrintable);
        row("a zero-width joiner", QString::fromUtf8("SN\u200d1"), "", BoardProblem::NotPrintable);
        row("matches the pattern whole", "SN-4711", "SN-\\d+", BoardProblem::None);
        row("only part matches", "SN-4711x", "SN-\\d+", BoardProblem::NoMatch);
    }
    void check()
    {
        QFETCH(QString, text);
        QFETCH(QString, pattern);
        BoardRules rules;
        QVERIFY(rules.setPattern(pattern, nullptr));
        QTEST(int(rules.check(text)), "problem");
        QCOMPARE(rules.reason(text).isEmpty(), rules.check(text) == BoardProblem::None);
        QVERIFY(!rules.setPattern(QStringLiteral("SN-("), nullptr));
    }
};

VELL_TEST_MAIN(QCoreApplication, TstReplies, TstBoardSerial)
#include "tst_model.moc"
