// Guards the windows' wiring over in-process simulated programmers: the panes and the button
// shown for the programmers found, a double-click and the button reaching the panes, the check
// boxes reaching the load, a failed load leaving its programmer out of program-target, the
// settings file read at start and written at Esc or close; the window's minimum showing every
// text whole; the control socket's step and the operator's as one queue; the Board fields,
// scanned by key events, reaching the records.
#include "common/fakedevices.h"
#include "common/files.h"
#include "common/recordingoperator.h"
#include "common/testmain.h"

#include "app/settings.h"
#include "app/station.h"
#include "control/controlserver.h"
#include "gui/mainwindow.h"
#include "gui/programfilebrowser.h"
#include "gui/widgetoperator.h"
#include "linedb/texts.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

using namespace vell;

namespace {

using Volumes = QList<QPair<QString, QString>>;

struct Windows
{
    explicit Windows(const QList<int> &found, const QStringList &switches = {}, int stepMs = 1)
    {
        for (int i = 0; i < found.size(); ++i)
            devices.add(found.at(i), switches.value(i), stepMs);
        QSignalSpy done(&station, &app::Station::searchFinished);
        station.startSearch();
        done.wait(5000);
    }
    QLineEdit *status(int n)
    {
        return window->findChild<QLineEdit *>(n == 1 ? QStringLiteral("txtResponse")
                                                     : QStringLiteral("txtResponse%1").arg(n));
    }
    void show()
    {
        window = std::make_unique<gui::MainWindow>(station, &settings);
        window->show();
    }
    /// A click, then a double-click at the same point, on a file of the browser's list.
    void doubleClick(const QString &name)
    {
        QListWidget *files = window->browser()->fileList();
        const QPoint at =
            files->visualItemRect(files->findItems(name, Qt::MatchExactly).value(0)).center();
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(files->viewport(), Qt::LeftButton, {}, at);
    }

    test::WorkFolder work; // port files
    QTemporaryDir exe, user, programs;
    app::Settings settings{exe.path(), user.path()};
    test::FakeDevices devices;
    test::RecordingOperator op;
    app::Station station{link::PortNames::fromDirectory("/fake"), op, devices.factory(),
                         model::Timings{1000, 15000, 5000, 5}};
    std::unique_ptr<gui::MainWindow> window;
};

} // namespace

class TstMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The operator's message is a box over the window that returns at once; its OK
    // acknowledges once and closes it.
    void messageWaitsForOk()
    {
        QWidget window;
        window.show();
        gui::WidgetOperator op(&window);
        int acks = 0;
        op.message(QStringLiteral("Please Make Sure Programmer 2 is Connected and Retry"),
                   QStringLiteral("Incorrect Port Number"), [&acks] { ++acks; });
        auto *box = window.findChild<QMessageBox *>();
        QVERIFY(box);
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(box->windowTitle(), QStringLiteral("Incorrect Port Number"));
        QCOMPARE(box->text(),
                 QStringLiteral("Please Make Sure Programmer 2 is Connected and Retry"));
        QCOMPARE(acks, 0);
        box->button(QMessageBox::Ok)->click();
        QCOMPARE(acks, 1);
        QTRY_VERIFY(!window.findChild<QMessageBox *>());
        QCOMPARE(acks, 1);
    }

    void drives_data()
    {
        QTest::addColumn<Volumes>("volumes");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("no volume for the root folder (a chroot)")
            << Volumes{{"/srv/data", "DATA"}} << QStringList{"/home/op", "/", "/srv/data"};
        QTest::newRow("the root folder mounted") << Volumes{{"/srv/data", ""}, {"/", "root"}}
                                                 << QStringList{"/home/op", "/", "/srv/data"};
    }
    // The home folder first, and always the root folder's drive, once.
    void drives()
    {
        QFETCH(Volumes, volumes);
        QFETCH(QStringList, expected);
        QStringList roots;
        for (const auto &drive : gui::ProgramFileBrowser::drivesFor("/home/op", volumes))
            roots << drive.root;
        QCOMPARE(roots, expected);
    }

    // A drive whose last folder was deleted since opens at its root.
    void driveWhoseFolderIsGone()
    {
        QTemporaryDir home, elsewhere;
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", home.path().toLocal8Bit()); // the first drive
        gui::ProgramFileBrowser browser;
        qputenv("HOME", oldHome);
        const QString gone = elsewhere.filePath("gone");
        QVERIFY(QDir().mkpath(gone) && browser.setPath(gone));
        const int drive = browser.driveList()->currentIndex();
        browser.driveList()->setCurrentIndex(0);
        QVERIFY(QDir(gone).removeRecursively());
        browser.driveList()->setCurrentIndex(drive);
        QCOMPARE(browser.path(), browser.driveList()->itemData(drive).toString());
    }

    void panesForTheProgrammersFound_data()
    {
        QTest::addColumn<QList<int>>("found");
        QTest::newRow("one") << QList<int>{3};
        QTest::newRow("two") << QList<int>{3, 7};
        QTest::newRow("four") << QList<int>{3, 7, 9, 12};
    }
    // A pane per programmer found, naming its port; the button from two programmers on.
    void panesForTheProgrammersFound()
    {
        QFETCH(QList<int>, found);
        Windows w(found);
        w.show();
        for (int n = 1; n <= 4; ++n) {
            QCOMPARE(w.status(n)->isVisible(), n <= found.size());
            if (n <= found.size()) // which device stands behind the pane
                QVERIFY(w.status(n)->toolTip().startsWith(
                    QStringLiteral("Device: /fake/COM%1\n").arg(found.at(n - 1))));
            if (n <= found.size())
                QCOMPARE(w.status(n)->text(),
                         n == 1 ? QStringLiteral("Programmer Found on Com Port %1").arg(found.at(0))
                                : QStringLiteral("Programmer #%1 Found on Com Port %2")
                                      .arg(n)
                                      .arg(found.at(n - 1)));
        }
        QCOMPARE(w.window->findChild<QPushButton *>("cmdProgramTarget")->isVisible(),
                 found.size() >= 2);
    }

    // The remembered folder opens in the browser; a double-click loads a file into every
    // programmer with the boxes ticked; the button programs the boards; Esc or the close box
    // writes the settings with the folder loaded from.
    void doubleClickLoadsAndCloseRemembers_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Esc") << true;
        QTest::newRow("close box") << false;
    }
    void doubleClickLoadsAndCloseRemembers()
    {
        QFETCH(bool, escape);
        Windows w({5, 6});
        const QString folder = QDir(w.programs.path()).canonicalPath();
        QVERIFY(test::writeFile(folder + "/board.bin", test::pattern(1024)));
        QVERIFY(test::writeFile(folder + "/Config.txt", test::configText(test::numbers(32))));
        QVERIFY(w.settings.write(9, folder));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        QCOMPARE(w.window->browser()->path(), folder);
        QTest::mouseClick(w.window->findChild<QCheckBox *>("chkBlackBox"), Qt::LeftButton);
        QTest::mouseClick(w.window->findChild<QCheckBox *>("chkRestoreDefaults"), Qt::LeftButton);
        w.doubleClick("board.bin");
        QTRY_COMPARE(w.status(1)->text(), QStringLiteral("File Loaded OK"));
        QTRY_COMPARE(w.status(2)->text(), QStringLiteral("File Loaded OK"));
        QCOMPARE(w.devices.device(6)->image().right(1), QByteArray("\x20"));
        QCOMPARE(w.devices.device(6)->frames().first().at(3), '\x01');
        QTRY_VERIFY(!w.station.busy());
        QTest::mouseClick(w.window->findChild<QPushButton *>("cmdProgramTarget"), Qt::LeftButton);
        QTRY_COMPARE(w.status(2)->text(), QStringLiteral("Board Programmed OK"));
        QCOMPARE(w.window->findChild<QLabel *>("lblSoftwareVersion")->text(),
                 QStringLiteral("Board Software Version board.bin"));
        // Below the panes the image the programmers hold; beside each its boards.
        QVERIFY(w.window->findChild<QLabel *>("lblImage")
                    ->text()
                    .contains(QStringLiteral("board.bin (1024 bytes, CRC-32 ")));
        QTRY_COMPARE(w.window->findChild<QLabel *>("lblTally2")->text(),
                     QStringLiteral("1 OK 0 failed (yield 100%)"));

        if (escape)
            QTest::keyClick(w.window->browser()->fileList(), Qt::Key_Escape);
        else
            QVERIFY(w.window->close());
        QVERIFY(!w.window->isVisible());
        QCOMPARE(test::readFile(w.settings.filePath()), app::Settings::format(5, folder));
        QVERIFY(w.op.messages.isEmpty());
    }

    void textsWholeAtTheMinimum_data()
    {
        QTest::addColumn<QString>("status");
        QTest::newRow("load error 3") << "Error #3 / Memory Size & Processor Type Do Not Match";
        QTest::newRow("target error 10") << "Error #10 / Cannot Communicate With Target Board";
        QTest::newRow("target error 11") << "Error #11 / Target Board Verification Error";
    }
    // At its minimum size, with four panes showing a long error, three-digit tallies, both
    // versions and the log warning, every text shows whole inside the window; on a wide window
    // the tallies take more room.
    void textsWholeAtTheMinimum()
    {
        QFETCH(QString, status);
        Windows w({3, 7, 9, 12});
        w.show();
        gui::MainWindow &window = *w.window;
        const auto label = [&window](const QString &name) {
            return window.findChild<QLabel *>(name);
        };
        label("lblProgrammerVersion")->setText("Programmer Software version 0106");
        label("lblSoftwareVersion")->setText("Board Software Version demo-board.bin");
        label("lblImage")->setText("Program file: demo-board.bin (6144 bytes, CRC-32 50ffeec1)");
        window.showLogProblem("Cannot write the attempt log /var/log/a.jsonl: No space left");
        window.showLineStatus(linedb::texts::notYetShipped(
            1234, "connection to server at \"db.example.com\" (10.0.0.5), port 5432 failed: "
                  "Connection refused"));
        for (int n = 1; n <= 4; ++n) {
            w.status(n)->setText(status);
            w.status(n)->setCursorPosition(0);
            label(QStringLiteral("lblTally%1").arg(n))->setText("100 OK 999 failed (yield 9%)");
        }
        const auto resizeTo = [&window](const QSize &size) {
            window.layout()->activate();
            window.resize(size.expandedTo(window.minimumSize()));
            return size.expandedTo(window.minimumSize());
        };
        const QLabel *tally = label("lblTally4");
        QTRY_COMPARE(window.size(), resizeTo({0, 0}));
        const int narrow = tally->width();
        const QRect inside = window.rect();
        const auto whereIn = [&window](const QWidget *child) {
            return QRect(child->mapTo(&window, QPoint(0, 0)), child->size());
        };
        for (const QLabel *shown : window.findChildren<QLabel *>()) {
            if (!shown->isVisible() || shown->text().isEmpty())
                continue;
            const QRect room = shown->contentsRect();
            const int flags = int(shown->alignment()) | (shown->wordWrap() ? Qt::TextWordWrap : 0);
            QVERIFY2(room.contains(shown->fontMetrics().boundingRect(room, flags, shown->text())),
                     qPrintable(shown->objectName()));
            QVERIFY2(inside.contains(whereIn(shown)), qPrintable(shown->objectName()));
        }
        // A status box that cannot show its whole text scrolls it to show the cursor's end.
        for (int n = 1; n <= 4; ++n) {
            QLineEdit *box = w.status(n);
            const QImage start = box->grab().toImage();
            box->setCursorPosition(int(status.size()));
            QVERIFY2(box->grab().toImage() == start, qPrintable(box->objectName()));
            QVERIFY(inside.contains(whereIn(box)));
        }
        const auto *button = window.findChild<QPushButton *>("cmdProgramTarget");
        QVERIFY(button->isVisible());
        QVERIFY(button->height() >= button->heightForWidth(button->width()));
        QVERIFY(inside.contains(whereIn(button)));

        QTRY_COMPARE(window.size(), resizeTo({1280, 1000}));
        QVERIFY(tally->width() > narrow);
    }

    // The windows with --listen take a program-target from the socket and their panes show it;
    // the operator's double-click meanwhile is refused as busy: no load frame reaches a device.
    void socketAndOperatorOneQueue()
    {
        Windows w({5, 6}, {}, 20);
        QTemporaryDir sockets;
        control::ControlServer server;
        QVERIFY(server.claim(sockets.filePath("control")) && server.listen(w.station));
        QVERIFY(test::writeFile(w.programs.filePath("board.bin"), test::pattern(1024)));
        w.show();
        w.window->browser()->setPath(w.programs.path());
        QLocalSocket client;
        client.connectToServer(sockets.filePath("control"));
        client.write(R"({"id":1,"command":"program-target"})"
                     "\n");
        QByteArray got;
        QTRY_VERIFY((got += client.readAll()).contains(R"("accepted":true)"));
        w.doubleClick("board.bin");
        QTRY_COMPARE(w.status(2)->text(), QStringLiteral("Board Programmed OK"));
        QTRY_VERIFY((got += client.readAll()).contains(R"("event":"summary","exit":0)"));
        for (const int com : {5, 6})
            QCOMPARE(w.devices.device(com)->frames().size(), 1); // the program-target's
    }

    // Records waiting for the line database show in amber below the panes until none waits.
    void lineDatabaseStatus()
    {
        Windows w({3, 7});
        w.show();
        gui::MainWindow &window = *w.window;
        auto *line = window.findChild<QLabel *>("lblLineDatabase");
        QVERIFY(line && !line->isVisible());
        window.showLineStatus(linedb::texts::notYetShipped(3, "the server is away"));
        QVERIFY(line->isVisible());
        QCOMPARE(line->text(), "3 records not yet in the line database: the server is away");
        QVERIFY(line->styleSheet().contains("#a05a00"));
        window.showLineStatus(QString());
        QVERIFY(!line->isVisible());
    }

    // Programmer 2's load fails: the button programs programmer 1 only; pane 2 says why, and
    // the records say load ok/error, program-target ok/skipped, each naming only what its
    // programmer took.
    void failedLoadIsNotProgrammed()
    {
        Windows w({5, 6}, {{}, QStringLiteral("loaderr=3")});
        const QString log = w.programs.filePath("records/attempts.jsonl");
        QVERIFY(w.station.openLog(log));
        const QByteArray image = test::pattern(1024);
        QVERIFY(test::writeFile(w.programs.filePath("board.bin"), image));
        w.show();
        w.window->browser()->setPath(w.programs.path());
        w.doubleClick("board.bin");
        QTRY_COMPARE(w.status(2)->text(),
                     QStringLiteral("Error #3 / Memory Size & Processor Type Do Not Match"));
        QTRY_VERIFY(!w.station.busy());
        QTest::mouseClick(w.window->findChild<QPushButton *>("cmdProgramTarget"), Qt::LeftButton);
        QTRY_COMPARE(w.status(1)->text(), QStringLiteral("Board Programmed OK"));
        QCOMPARE(w.status(2)->text(), QStringLiteral("Not Programmed: Last Load Failed"));
        QCOMPARE(w.devices.device(5)->frames().last().left(3), QByteArray("APT"));
        for (const QByteArray &frame : w.devices.device(6)->frames())
            QCOMPARE(frame.left(3), QByteArray("APL"));
        QCOMPARE(w.window->findChild<QLabel *>("lblTally2")->text(),
                 QStringLiteral("0 OK 1 failed (yield 0%)"));

        QStringList records;
        const QByteArray sha256 =
            QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        for (const QByteArray &line : test::readFile(log).split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            if (r.isEmpty())
                continue;
            records << QStringLiteral("%1 %2 %3")
                           .arg(r["programmer"].toInt())
                           .arg(r["step"].toString(), r["result"].toString());
            const bool tookIt = r["programmer"].toInt() == 1 || r["step"] == "load";
            QCOMPARE(r["file"]["sha256"].toString().toLatin1(), tookIt ? sha256 : QByteArray());
        }
        QCOMPARE(records, QStringList({"1 load ok", "2 load error", "2 program-target skipped",
                                       "1 program-target ok"}));
    }

    // Retry Failed repeats the last step on the programmers whose step failed and only there:
    // a load refused once, then a board that fails every time. The others' panes, tallies and
    // devices see nothing of it; each try is recorded.
    void retryFailedRepeatsTheFailedOnly()
    {
        Windows w({5, 6, 7},
                  {{}, QStringLiteral("firstloaderr=3"), QStringLiteral("targeterr=10")});
        const QString log = w.programs.filePath("attempts.jsonl");
        QVERIFY(w.station.openLog(log));
        QVERIFY(test::writeFile(w.programs.filePath("board.bin"), test::pattern(1024)));
        w.show();
        auto *retry = w.window->findChild<QPushButton *>("cmdRetryFailed");
        QVERIFY(!retry->isEnabled());
        QCOMPARE(retry->toolTip(), QStringLiteral("Nothing to retry: no step has run yet"));
        w.window->browser()->setPath(w.programs.path());
        w.doubleClick("board.bin");
        QTRY_COMPARE(w.status(2)->text(),
                     QStringLiteral("Error #3 / Memory Size & Processor Type Do Not Match"));
        QTRY_VERIFY(!w.station.busy() && w.status(3)->text() == "File Loaded OK");
        const auto frames = [&w](int com) { return w.devices.device(com)->frames().size(); };
        const QList<qsizetype> framesBefore{frames(5), frames(7)};

        QTRY_VERIFY(retry->isEnabled());
        QTest::mouseClick(retry, Qt::LeftButton);
        QTRY_COMPARE(w.status(2)->text(), QStringLiteral("File Loaded OK"));
        QTRY_VERIFY(!w.station.busy());
        QCOMPARE(QList<qsizetype>({frames(5), frames(7)}), framesBefore);
        QCOMPARE(w.status(1)->text(), QStringLiteral("File Loaded OK"));
        QVERIFY(!retry->isEnabled());
        QCOMPARE(retry->toolTip(), QStringLiteral("Nothing to retry: no load failed"));

        QTest::keyClick(w.window.get(), Qt::Key_F5);
        QTRY_COMPARE(w.status(3)->text(),
                     QStringLiteral("Error #10 / Cannot Communicate With Target Board"));
        QTRY_VERIFY(w.status(1)->text() == "Board Programmed OK" &&
                    w.status(2)->text() == "Board Programmed OK");
        const QStringList tallies{w.window->findChild<QLabel *>("lblTally1")->text(),
                                  w.window->findChild<QLabel *>("lblTally2")->text()};
        QCOMPARE(tallies.value(1), QStringLiteral("1 OK 0 failed (yield 100%)"));
        const QList<qsizetype> framesAfter{frames(5), frames(6)};
        QTest::keyClick(w.window.get(), Qt::Key_F8);
        QTRY_COMPARE(w.window->findChild<QLabel *>("lblTally3")->text(),
                     QStringLiteral("0 OK 2 failed (yield 0%)"));
        QCOMPARE(QList<qsizetype>({frames(5), frames(6)}), framesAfter);
        QCOMPARE(QStringList({w.window->findChild<QLabel *>("lblTally1")->text(),
                              w.window->findChild<QLabel *>("lblTally2")->text()}),
                 tallies);
        QCOMPARE(w.status(1)->text(), QStringLiteral("Board Programmed OK"));

        // A pane's menu: a board done offers nothing; a board that failed offers its
        // program-target again, for that programmer alone. Retry Failed, greyed meanwhile, says
        // why.
        QTRY_VERIFY(w.station.canRepeat(model::ProgrammerNumber(3)));
        auto *done = w.window->findChild<QWidget *>("pane2");
        Q_EMIT done->customContextMenuRequested(done->rect().center());
        QVERIFY(!w.window->findChild<QMenu *>("mnuPane2"));
        auto *pane = w.window->findChild<QWidget *>("pane3");
        Q_EMIT pane->customContextMenuRequested(pane->rect().center());
        auto *menu = w.window->findChild<QMenu *>("mnuPane3");
        QVERIFY(menu && menu->actions().size() == 1);
        QCOMPARE(menu->actions().at(0)->text(), QStringLiteral("Program Target Again"));
        const QList<qsizetype> framesNow{frames(5), frames(6)};
        menu->actions().at(0)->trigger();
        QTRY_COMPARE(w.window->findChild<QLabel *>("lblTally3")->text(),
                     QStringLiteral("0 OK 3 failed (yield 0%)"));
        QCOMPARE(QList<qsizetype>({frames(5), frames(6)}), framesNow);
        QCOMPARE(w.window->findChild<QLabel *>("lblTally2")->text(), tallies.value(1));
        QTRY_VERIFY(retry->isEnabled());

        QStringList records;
        for (const QByteArray &line : test::readFile(log).split('\n')) {
            const QJsonObject r = QJsonDocument::fromJson(line).object();
            if (!r.isEmpty())
                records << QStringLiteral("%1 %2 %3 try %4")
                               .arg(r["programmer"].toInt())
                               .arg(r["step"].toString(), r["result"].toString())
                               .arg(r["try"].toInt());
        }
        records.sort();
        QCOMPARE(records,
                 QStringList({"1 load ok try 1", "1 program-target ok try 1", "2 load error try 1",
                              "2 load ok try 2", "2 program-target ok try 1", "3 load ok try 1",
                              "3 program-target error try 1", "3 program-target error try 2",
                              "3 program-target error try 3"}));
    }
};

class TstBoardFields : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void scanThenProgram_data()
    {
        QTest::addColumn<int>("count");           // programmers
        QTest::addColumn<QString>("rules");       // "required", or a --board-pattern
        QTest::addColumn<QString>("typed");       // keys into the focus; \r is Enter
        QTest::addColumn<QStringList>("records"); // program-target: "n result board"
        QTest::addColumn<QString>("status2");     // pane 2's status then
        QTest::addColumn<QStringList>("fields");  // each field's text then
        QTest::addColumn<QStringList>("notes");   // beside each field
        const QString ok = QStringLiteral("Board Programmed OK");
        QTest::newRow("four scans, Enter through the fields to the button")
            << 4 << ""
            << "SN-1\rSN-2\rSN-3\rSN-4\r\r"
            << QStringList{"1 ok SN-1", "2 ok SN-2", "3 ok SN-3", "4 ok SN-4"} << ok
            << QStringList(4) << QStringList(4);
        QTest::newRow("not of --board-pattern: refused in place, not used")
            << 2 << "SN-\\d+"
            << "SN-1\rXX-2\r" << QStringList{"1 ok SN-1", "2 ok -"} << ok << QStringList{"", "XX-2"}
            << QStringList{"", "Refused: it does not match the board pattern SN-\\d+"};
        QTest::newRow("one serial twice: neither programmed")
            << 2 << ""
            << "SN-1\rSN-1\r\r" << QStringList{"1 skipped SN-1", "2 skipped SN-1"}
            << "Not Programmed: Same Board Serial Twice" << QStringList{"SN-1", "SN-1"}
            << QStringList(2);
        QTest::newRow("--require-board, a field left empty")
            << 2 << "required"
            << "SN-1\r\r\r" << QStringList{"1 ok SN-1", "2 skipped -"}
            << "Not Programmed: No Board Serial" << QStringList(2) << QStringList(2);
        QTest::newRow("a scanner ending with Tab, a control character")
            << 2 << ""
            << "SN-1\tSN\x1d"
               "2\r"
            << QStringList{"1 ok -", "2 ok -"} << ok
            << QStringList{"SN\x1d"
                           "2",
                           ""}
            << QStringList{"Refused: it holds a control character or another that does not print",
                           ""};
    }
    // The focus starts in programmer 1's field; each Enter goes on to the next field, the last
    // to the program-target button, whose Enter programs the boards; the fields used are then
    // empty for the next boards, and the records name the boards.
    void scanThenProgram()
    {
        QFETCH(int, count);
        QFETCH(QString, rules);
        QFETCH(QString, typed);
        Windows w(QList<int>{5, 6, 7, 8}.mid(0, count));
        const QString log = w.programs.filePath("attempts.jsonl");
        QVERIFY(w.station.openLog(log));
        model::BoardRules boards;
        boards.scan = true;
        boards.required = rules == "required";
        QVERIFY(boards.setPattern(boards.required ? QString() : rules, nullptr));
        w.station.setBoardRules(boards);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(w.window.get()));
        auto *button = w.window->findChild<QPushButton *>("cmdProgramTarget");
        for (const QChar key : typed) {
            // A scanner's control character has no key of its own: only its text.
            if (key.isPrint() || key == u'\t' || key == u'\r')
                QTest::keyClicks(QApplication::focusWidget(), key);
            else
                QTest::sendKeyEvent(QTest::Press, QApplication::focusWidget(), Qt::Key_unknown,
                                    QString(key), Qt::NoModifier);
        }
        if (QApplication::focusWidget() != button)
            QTest::mouseClick(button, Qt::LeftButton);
        const auto records = [&log] {
            QStringList out;
            for (const QByteArray &line : test::readFile(log).split('\n')) {
                const QJsonObject r = QJsonDocument::fromJson(line).object();
                if (r["step"] == "program-target")
                    out << QStringLiteral("%1 %2 %3")
                               .arg(r["programmer"].toInt())
                               .arg(r["result"].toString(),
                                    r["board"].isNull() ? "-" : r["board"].toString());
            }
            out.sort();
            return out;
        };
        QTRY_COMPARE(records(), VELL_FETCH(QStringList, records));
        QTRY_COMPARE(w.status(2)->text(), VELL_FETCH(QString, status2));
        QStringList fields, notes;
        for (int n = 1; n <= count; ++n) {
            fields << w.window->findChild<QLineEdit *>(QStringLiteral("txtBoard%1").arg(n))->text();
            notes << w.window->findChild<QLabel *>(QStringLiteral("lblBoardNote%1").arg(n))->text();
        }
        QCOMPARE(fields, VELL_FETCH(QStringList, fields));
        QCOMPARE(notes, VELL_FETCH(QStringList, notes));
    }
};

VELL_TEST_MAIN(QApplication, TstMainWindow, TstBoardFields)
#include "tst_gui.moc"
