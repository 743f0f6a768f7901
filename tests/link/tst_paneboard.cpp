// Guards the pane state the views mirror: initial values and a change signal for every real
// change (and none for a repeated value).
#include "link/pane.h"

#include <QtTest>

using vell::link::PaneBoard;

class TstPaneBoard : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initialPanes()
    {
        const PaneBoard board;
        for (int n = 1; n <= 4; ++n) {
            QCOMPARE(board.pane(n).countText, QStringLiteral("1"));
            // Pane 1 shows from the start; the others once their programmer is found.
            QCOMPARE(board.pane(n).visible, n == 1);
        }
    }

    void signalsOnlyRealChanges()
    {
        PaneBoard board;
        QSignalSpy changed(&board, &PaneBoard::paneChanged);
        QSignalSpy status(&board, &PaneBoard::statusChanged);
        QSignalSpy versions(&board, &PaneBoard::versionsChanged);
        for (int round = 0; round < 2; ++round) {
            board.setStatus(3, QStringLiteral("Establishing Communication"));
            board.setBarValue(3, 42);
            board.setBarMaximum(3, 70);
            board.setCountText(3, QStringLiteral("12"));
            board.setVisible(3, true);
            board.setProgrammerVersion(QStringLiteral("Programmer Software version 0106"));
            board.setSoftwareVersion(QStringLiteral("Board Software Version demo.bin"));
            // The second round repeats every value: no signal at all.
            QCOMPARE(changed.count(), 5);
            QCOMPARE(status.count(), 1);
            QCOMPARE(versions.count(), 2);
        }
        for (const auto &args : changed)
            QCOMPARE(args.at(0).toInt(), 3);
        QCOMPARE(status.at(0).at(0).toInt(), 3);
        QCOMPARE(status.at(0).at(1).toString(), QStringLiteral("Establishing Communication"));

        const vell::link::Pane &three = board.pane(3);
        QCOMPARE(three.status, QStringLiteral("Establishing Communication"));
        QCOMPARE(three.barValue, 42);
        QCOMPARE(three.barMaximum, 70);
        QCOMPARE(three.countText, QStringLiteral("12"));
        QVERIFY(three.visible);
        QCOMPARE(board.programmerVersion(), QStringLiteral("Programmer Software version 0106"));
        QCOMPARE(board.softwareVersion(), QStringLiteral("Board Software Version demo.bin"));
        // The other panes are untouched.
        const vell::link::Pane &two = board.pane(2);
        QVERIFY(two.status.isEmpty() && two.barValue == 0 && two.barMaximum == 100 &&
                two.countText == QStringLiteral("1") && !two.visible);
    }
};

QTEST_GUILESS_MAIN(TstPaneBoard)
#include "tst_paneboard.moc"
