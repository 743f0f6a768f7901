// Guards the pane state the views mirror: initial values and a change signal for every real
// change (and none for a repeated value).
#include "link/pane.h"

#include <QtTest>

#include <functional>

using vell::link::PaneBoard;
using Setter = std::function<void(PaneBoard &, int)>;

class TstPaneBoard : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initialPanes();
    void settersSignalOnlyRealChanges_data();
    void settersSignalOnlyRealChanges();
    void statusAndVersions();
};

void TstPaneBoard::initialPanes()
{
    const PaneBoard board;
    for (int n = 1; n <= 4; ++n) {
        QCOMPARE(board.pane(n).countText, QStringLiteral("1"));
        // Pane 1 shows from the start; the others once their programmer is found.
        QCOMPARE(board.pane(n).visible, n == 1);
    }
}

void TstPaneBoard::settersSignalOnlyRealChanges_data()
{
    QTest::addColumn<Setter>("set");
    QTest::newRow("status") << Setter([](PaneBoard &b, int n) { b.setStatus(n, "Ready"); });
    QTest::newRow("bar value") << Setter([](PaneBoard &b, int n) { b.setBarValue(n, 42); });
    QTest::newRow("bar maximum") << Setter([](PaneBoard &b, int n) { b.setBarMaximum(n, 7); });
    QTest::newRow("count text") << Setter([](PaneBoard &b, int n) { b.setCountText(n, "12"); });
    QTest::newRow("visible") << Setter([](PaneBoard &b, int n) { b.setVisible(n, true); });
}

void TstPaneBoard::settersSignalOnlyRealChanges()
{
    QFETCH(Setter, set);
    PaneBoard board;
    QSignalSpy changed(&board, &PaneBoard::paneChanged);
    const vell::link::Pane before = board.pane(3);

    set(board, 3);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), 3);
    const vell::link::Pane &after = board.pane(3);
    QVERIFY(after.status != before.status || after.barValue != before.barValue ||
            after.barMaximum != before.barMaximum || after.countText != before.countText ||
            after.visible != before.visible);
    const vell::link::Pane &other = board.pane(2);
    QVERIFY(other.status.isEmpty() && other.barValue == 0 && other.barMaximum == 100 &&
            other.countText == QStringLiteral("1") && !other.visible);

    set(board, 3);
    QCOMPARE(changed.count(), 1);
}

void TstPaneBoard::statusAndVersions()
{
    PaneBoard board;
    QSignalSpy status(&board, &PaneBoard::statusChanged);
    QSignalSpy versions(&board, &PaneBoard::versionsChanged);
    board.setStatus(2, QStringLiteral("Establishing Communication"));
    board.setStatus(2, QStringLiteral("Establishing Communication"));
    board.setBarValue(2, 5);
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.at(0).at(0).toInt(), 2);
    QCOMPARE(status.at(0).at(1).toString(), QStringLiteral("Establishing Communication"));

    board.setProgrammerVersion(QStringLiteral("Programmer Software version 0106"));
    board.setProgrammerVersion(QStringLiteral("Programmer Software version 0106"));
    board.setSoftwareVersion(QStringLiteral("Board Software Version demo.bin"));
    QCOMPARE(versions.count(), 2);
    QCOMPARE(board.programmerVersion(), QStringLiteral("Programmer Software version 0106"));
    QCOMPARE(board.softwareVersion(), QStringLiteral("Board Software Version demo.bin"));
}

QTEST_GUILESS_MAIN(TstPaneBoard)
#include "tst_paneboard.moc"
