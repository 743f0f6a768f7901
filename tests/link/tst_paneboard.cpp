// Guards the pane state the views mirror: initial values and a change signal for every real
// change (and none for a repeated value).
#include "link/pane.h"

#include <QtTest>

#include <functional>

using vell::link::PaneBoard;

class TstPaneBoard : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initialPanes();
    void settersSignalOnlyRealChanges_data();
    void settersSignalOnlyRealChanges();
    void statusChangedCarriesTheText();
    void versions();
};

void TstPaneBoard::initialPanes()
{
    const PaneBoard board;
    for (int n = 1; n <= 4; ++n) {
        QVERIFY(board.pane(n).status.isEmpty());
        QCOMPARE(board.pane(n).barValue, 0);
        QCOMPARE(board.pane(n).countText, QStringLiteral("1"));
        // Pane 1 shows from the start; the others once their programmer is found.
        QCOMPARE(board.pane(n).visible, n == 1);
    }
    QVERIFY(board.programmerVersion().isEmpty());
    QVERIFY(board.softwareVersion().isEmpty());
}

using Setter = std::function<void(PaneBoard &, int)>;

void TstPaneBoard::settersSignalOnlyRealChanges_data()
{
    QTest::addColumn<Setter>("set");
    QTest::addColumn<Setter>("check");

    QTest::newRow("status") << Setter([](PaneBoard &b, int n) { b.setStatus(n, "Ready For File"); })
                            << Setter([](PaneBoard &b, int n) {
                                   QCOMPARE(b.pane(n).status, QStringLiteral("Ready For File"));
                               });
    QTest::newRow("bar value") << Setter([](PaneBoard &b, int n) {
        b.setBarValue(n, 42);
    }) << Setter([](PaneBoard &b, int n) { QCOMPARE(b.pane(n).barValue, 42); });
    QTest::newRow("bar maximum") << Setter([](PaneBoard &b, int n) {
        b.setBarMaximum(n, 7);
    }) << Setter([](PaneBoard &b, int n) { QCOMPARE(b.pane(n).barMaximum, 7); });
    QTest::newRow("count text") << Setter([](PaneBoard &b, int n) {
        b.setCountText(n, "12");
    }) << Setter([](PaneBoard &b, int n) { QCOMPARE(b.pane(n).countText, QStringLiteral("12")); });
    QTest::newRow("visible") << Setter([](PaneBoard &b, int n) { b.setVisible(n, true); })
                             << Setter([](PaneBoard &b, int n) { QVERIFY(b.pane(n).visible); });
}

void TstPaneBoard::settersSignalOnlyRealChanges()
{
    QFETCH(Setter, set);
    QFETCH(Setter, check);
    PaneBoard board;
    QSignalSpy changed(&board, &PaneBoard::paneChanged);

    set(board, 3);
    check(board, 3);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), 3);
    // The other panes are untouched.
    QCOMPARE(board.pane(2).status, QString());
    QCOMPARE(board.pane(2).barValue, 0);
    QCOMPARE(board.pane(2).countText, QStringLiteral("1"));

    set(board, 3);
    QCOMPARE(changed.count(), 1);
}

void TstPaneBoard::statusChangedCarriesTheText()
{
    PaneBoard board;
    QSignalSpy status(&board, &PaneBoard::statusChanged);
    board.setStatus(2, QStringLiteral("Establishing Communication"));
    board.setStatus(2, QStringLiteral("Establishing Communication"));
    board.setBarValue(2, 5);
    QCOMPARE(status.count(), 1);
    QCOMPARE(status.at(0).at(0).toInt(), 2);
    QCOMPARE(status.at(0).at(1).toString(), QStringLiteral("Establishing Communication"));
}

void TstPaneBoard::versions()
{
    PaneBoard board;
    QSignalSpy changed(&board, &PaneBoard::versionsChanged);
    board.setProgrammerVersion(QStringLiteral("Programmer Software version 0106"));
    board.setProgrammerVersion(QStringLiteral("Programmer Software version 0106"));
    board.setSoftwareVersion(QStringLiteral("Board Software Version demo.bin"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(board.programmerVersion(), QStringLiteral("Programmer Software version 0106"));
    QCOMPARE(board.softwareVersion(), QStringLiteral("Board Software Version demo.bin"));
}

QTEST_GUILESS_MAIN(TstPaneBoard)
#include "tst_paneboard.moc"
