// Guards what the headless run prints: piped lines per status change, live bars on a terminal.
#include "app/cli/consolereport.h"

#include "common/fakeseriallink.h"
#include "common/recordingoperator.h"

#include "app/station.h"

#include <QTemporaryDir>
#include <QTest>

using namespace vell;

class tst_ConsoleReport : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pipedLinesFollowStatusAndPrompt();
    void terminalRedrawsBarsInPlace();
    void barLine_data();
    void barLine();
    void messagesGoToStderr();

private:
    struct Rig
    {
        Rig()
        {
            auto &s = bench.programmerSlots();
            s.slot(1).comPort = 3;
            s.slot(2).comPort = 7;
            s.slot(2).present = true;
        }
        QTemporaryDir dir;
        link::PortNames names = link::PortNames::fromDirectory(dir.path());
        test::RecordingOperator op;
        test::FakeLinkBank fakes;
        app::Station bench{names, op, fakes.factory()};
    };
};

void tst_ConsoleReport::pipedLinesFollowStatusAndPrompt()
{
    Rig rig;
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    cli::ConsoleReport report(out, err, false);
    report.attach(rig.bench);

    rig.bench.panes().setStatus(1, QStringLiteral("Ready For File"));
    rig.bench.panes().setStatus(2, QStringLiteral("Error #10 / Cannot\rCommunicate"));
    rig.bench.panes().setStatus(3, QStringLiteral("not in use")); // absent: not reported
    rig.bench.setPrompt(QStringLiteral("Error"));
    rig.bench.panes().setBarValue(1, 50); // not a status change: no line
    report.summary(QStringLiteral("Summary: done"));

    QCOMPARE(outText, QStringLiteral("Programmer 1 (COM 3): Ready For File\n"
                                     "Programmer 2 (COM 7): Error #10 / Cannot Communicate\n"
                                     "Prompt: Error\n"
                                     "Summary: done\n"));
    QVERIFY(errText.isEmpty());
}

void tst_ConsoleReport::terminalRedrawsBarsInPlace()
{
    Rig rig;
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    cli::ConsoleReport report(out, err, true, 100);
    report.attach(rig.bench);
    outText.clear();

    rig.bench.panes().setBarMaximum(2, 100);
    rig.bench.panes().setBarValue(2, 50);
    rig.bench.panes().setStatus(2, QStringLiteral("Transferring File / 50% Complete"));
    QTRY_VERIFY_WITH_TIMEOUT(outText.contains(QStringLiteral("50%  Transferring")), 2000);

    // The block goes back up over the two bars drawn before, and no plain line is printed.
    QVERIFY(outText.startsWith(QStringLiteral("\x1b[2A")));
    QVERIFY(!outText.contains(QStringLiteral("Programmer 2 (COM 7): ")));
    QVERIFY(outText.contains(QStringLiteral("Programmer 2 (COM 7) [########........]  50%")));

    // The prompt joins the block once it changes.
    QVERIFY(!outText.contains(QStringLiteral("Prompt: ")));
    rig.bench.setPrompt(QStringLiteral("Error"));
    QTRY_VERIFY_WITH_TIMEOUT(outText.contains(QStringLiteral("Prompt: Error")), 2000);
}

void tst_ConsoleReport::barLine_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<QString>("bar");

    QTest::newRow("empty") << 0 << 100 << QStringLiteral("[................]   0%");
    QTest::newRow("quarter") << 2 << 8 << QStringLiteral("[####............]  25%");
    QTest::newRow("full") << 8 << 8 << QStringLiteral("[################] 100%");
    QTest::newRow("past maximum") << 9 << 8 << QStringLiteral("[################] 100%");
    QTest::newRow("maximum 0") << 3 << 0 << QStringLiteral("[................]   0%");
}

void tst_ConsoleReport::barLine()
{
    QFETCH(int, value);
    QFETCH(int, maximum);
    QFETCH(QString, bar);

    const QString line = cli::ConsoleReport::barLine(QStringLiteral("P"), value, maximum,
                                                     QStringLiteral("status"), 200);
    QCOMPARE(line, QStringLiteral("P ") + bar + QStringLiteral("  status"));
    // Never wider than the screen, or the redraw would break.
    QCOMPARE(cli::ConsoleReport::barLine(QStringLiteral("P"), value, maximum,
                                         QString(300, QLatin1Char('x')), 60)
                 .size(),
             59);
}

void tst_ConsoleReport::messagesGoToStderr()
{
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    cli::ConsoleReport report(out, err, false);
    bool acknowledged = false;
    report.message(QStringLiteral("Communication with Programmer Lost\rRestart Program"),
                   QStringLiteral("Vell Programmer"), [&] { acknowledged = true; });
    QVERIFY(acknowledged);
    QCOMPARE(errText, QStringLiteral(
                          "Vell Programmer: Communication with Programmer Lost Restart Program\n"));
    QVERIFY(outText.isEmpty());
}

QTEST_GUILESS_MAIN(tst_ConsoleReport)
#include "tst_consolereport.moc"
