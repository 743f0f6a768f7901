// Guards the main window: its controls and their names, the panes and the program-target
// button for 1, 2 and 4 programmers, the mirrors of the bench, the settings file restored at
// load and written byte for byte at Esc or close, and the file list's double-click reaching
// the one load entry point.
#include "app/station.h"
#include "app/gui/mainwindow.h"
#include "app/gui/programfilebrowser.h"
#include "app/gui/widgetoperator.h"
#include "app/settings.h"

#include "common/fakeseriallink.h"
#include "common/files.h"
#include "common/recordingoperator.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using vell::app::Station;
using vell::app::Settings;
using vell::gui::MainWindow;

namespace {

using vell::test::readFile;
using vell::test::writeFile;

QByteArray expectedSettings(int comPort, const QString &folder)
{
    return "****** Ini file for Vell USB Programmer *******\r\n\r\nLast Com Port Number used\r\n" +
           QByteArray::number(comPort) + "\r\n\r\nLast File loaded from\r\n" +
           folder.toLocal8Bit() + "\r\n";
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_exe = std::make_unique<QTemporaryDir>();
        m_user = std::make_unique<QTemporaryDir>();
        m_programs = std::make_unique<QTemporaryDir>();
        m_programFolder = QDir(m_programs->path()).canonicalPath();
        m_settings = std::make_unique<Settings>(m_exe->path(), m_user->path());
        m_links = std::make_unique<vell::test::FakeLinkBank>();
        m_operator = std::make_unique<vell::test::RecordingOperator>();
        m_station = std::make_unique<Station>(vell::link::PortNames::fromDirectory(m_exe->path()),
                                          *m_operator, m_links->factory());
    }

    void cleanup()
    {
        m_station.reset();
        m_links.reset();
    }

    void panesForTheProgrammersFound_data()
    {
        QTest::addColumn<QList<int>>("ports");
        QTest::newRow("one") << QList<int>{3};
        QTest::newRow("two") << QList<int>{3, 7};
        QTest::newRow("four") << QList<int>{3, 7, 9, 12};
    }

    void panesForTheProgrammersFound()
    {
        QFETCH(QList<int>, ports);
        for (int i = 0; i < ports.size(); ++i) {
            m_station->programmerSlots().slot(i + 1).comPort = quint8(ports.at(i));
            m_station->programmerSlots().slot(i + 1).present = true;
        }
        MainWindow window(*m_station, m_settings.get());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        QCOMPARE(window.objectName(), QStringLiteral("frmUsbProgFile"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Vell USB Programmer ver 06"));
        const QStringList names[] = {
            {"txtResponse", "progBar", "Text1"},
            {"txtResponse2", "progBar2", "Text2"},
            {"txtResponse3", "progBar3", "Text3"},
            {"txtResponse4", "progBar4", "Text4"},
        };
        for (int n = 1; n <= 4; ++n) {
            const QStringList &pane = names[n - 1];
            auto *status = window.findChild<QLineEdit *>(pane.at(0));
            auto *bar = window.findChild<QProgressBar *>(pane.at(1));
            auto *count = window.findChild<QLineEdit *>(pane.at(2));
            QVERIFY(status && bar && count);
            const bool shown = n <= ports.size();
            QCOMPARE(status->isVisible(), shown);
            QCOMPARE(bar->isVisible(), shown);
            QCOMPARE(count->isVisible(), shown);
            QCOMPARE(count->text(), QStringLiteral("1"));
            if (!shown)
                continue;
            const QString expected =
                n == 1 ? QStringLiteral("Programmer Found on Com Port %1").arg(ports.at(0))
                       : QStringLiteral("Programmer #%1 Found on Com Port %2")
                             .arg(n)
                             .arg(ports.at(n - 1));
            QCOMPARE(status->text(), expected);
        }
        auto *button = window.findChild<QPushButton *>(QStringLiteral("cmdProgramTarget"));
        QVERIFY(button);
        QCOMPARE(button->isVisible(), ports.size() >= 2);
        QCOMPARE(button->text(), QStringLiteral("Transfer Programmer File to Target Board"));

        auto *prompt = window.findChild<QLabel *>(QStringLiteral("lblPrompt"));
        QVERIFY(prompt);
        QCOMPARE(prompt->text(), QStringLiteral("Double-click file to Load Programmer ==>"));
        QVERIFY(prompt->font().bold());
        QCOMPARE(prompt->palette().color(QPalette::WindowText), QColor(128, 0, 0));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("Label6"))->text(),
                 QStringLiteral("Programmer Status"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("Label1"))->text(),
                 QStringLiteral("Restore Defaults when Programming"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("Label2"))->text(),
                 QStringLiteral("File is Old Black Box Format"));
        for (const char *name : {"Drive1", "Dir1", "File1", "lblProgrammerVersion",
                                 "lblSoftwareVersion", "chkRestoreDefaults", "chkBlackBox"}) {
            auto *control = window.findChild<QWidget *>(QString::fromLatin1(name));
            QVERIFY2(control && control->isVisible(), name);
        }
        auto *hidden = window.findChild<QLineEdit *>(QStringLiteral("txtLastFileLoaded"));
        QVERIFY(hidden && !hidden->isVisible());
        QVERIFY(m_operator->messages.isEmpty());
    }

    void mirrorsTheBench()
    {
        MainWindow window(*m_station, m_settings.get());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        vell::link::PaneBoard &panes = m_station->panes();
        panes.setVisible(3, true);
        panes.setStatus(3, QStringLiteral("Transferring File / 40% Complete"));
        panes.setBarMaximum(3, 200);
        panes.setBarValue(3, 80);
        panes.setCountText(3, QStringLiteral("17"));
        panes.setProgrammerVersion(QStringLiteral("Programmer Software Version 0106"));
        m_station->setPrompt(QStringLiteral("Error"));

        QVERIFY(window.findChild<QLineEdit *>(QStringLiteral("txtResponse3"))->isVisible());
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("txtResponse3"))->text(),
                 QStringLiteral("Transferring File / 40% Complete"));
        auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progBar3"));
        QCOMPARE(bar->maximum(), 200);
        QCOMPARE(bar->value(), 80);
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("Text3"))->text(),
                 QStringLiteral("17"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblProgrammerVersion"))->text(),
                 QStringLiteral("Programmer Software Version 0106"));
        QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblPrompt"))->text(),
                 QStringLiteral("Error"));

        auto *blackBox = window.findChild<QCheckBox *>(QStringLiteral("chkBlackBox"));
        auto *restore = window.findChild<QCheckBox *>(QStringLiteral("chkRestoreDefaults"));
        QTest::mouseClick(blackBox, Qt::LeftButton);
        QVERIFY(m_station->blackBox());
        QVERIFY(!m_station->restoreDefaults());
        QTest::mouseClick(restore, Qt::LeftButton);
        QVERIFY(m_station->restoreDefaults());
        QTest::mouseClick(blackBox, Qt::LeftButton);
        QVERIFY(!m_station->blackBox());
    }

    void startFolder_data()
    {
        QTest::addColumn<QString>("settings"); // "none", "short" or the folder remembered
        QTest::addColumn<bool>("restored");
        QTest::newRow("remembered folder") << QString() << true;
        QTest::newRow("first run") << QStringLiteral("none") << false;
        QTest::newRow("removed folder") << QStringLiteral("/no/such/drive/boards") << false;
        QTest::newRow("short file") << QStringLiteral("short") << false;
    }

    // The remembered folder is where the browser opens; without one, the fallback, no message.
    void startFolder()
    {
        QFETCH(QString, settings);
        QFETCH(bool, restored);
        if (settings.isEmpty())
            QVERIFY(writeFile(m_settings->filePath(), expectedSettings(5, m_programFolder)));
        else if (settings == QStringLiteral("short"))
            QVERIFY(writeFile(m_settings->filePath(), "1\r\n2\r\n3\r\n4\r\n"));
        else if (settings != QStringLiteral("none"))
            QVERIFY(writeFile(m_settings->filePath(), expectedSettings(5, settings)));

        MainWindow window(*m_station, m_settings.get());
        const QString start =
            restored ? m_programFolder : QDir::cleanPath(Settings::fallbackFolder());
        QCOMPARE(window.browser()->path(), start);
        QCOMPARE(m_station->currentFolder(), start);
        // The last folder is what the file named, even when it is gone.
        const QString last = restored                   ? m_programFolder
                             : settings.startsWith('/') ? Settings::fallbackFolder()
                                                        : QString();
        QCOMPARE(m_station->lastFileLoadedFolder(), last);
        QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("txtLastFileLoaded"))->text(), last);
        QVERIFY(m_operator->messages.isEmpty());
    }

    void escOrCloseWritesTheSettingsAndCloses_data()
    {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Esc") << true;
        QTest::newRow("close box") << false;
    }

    void escOrCloseWritesTheSettingsAndCloses()
    {
        QFETCH(bool, escape);
        QVERIFY(writeFile(m_settings->filePath(), expectedSettings(5, m_programFolder)));
        m_station->programmerSlots().slot(1).comPort = 11;
        m_station->programmerSlots().slot(1).present = true;
        MainWindow window(*m_station, m_settings.get());
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        // A load remembered another folder meanwhile.
        const QString loadedFrom = m_programFolder + QStringLiteral("/Model B");
        m_station->setLastFileLoadedFolder(loadedFrom);

        if (escape)
            QTest::keyClick(window.browser()->fileList(), Qt::Key_Escape);
        else
            QVERIFY(window.close());
        QVERIFY(!window.isVisible());
        QCOMPARE(readFile(m_settings->filePath()), expectedSettings(11, loadedFrom));
    }

    void doubleClickOnAFileLoadsIt()
    {
        QVERIFY(writeFile(m_programFolder + QStringLiteral("/board.bin"), QByteArray(600, 'x')));
        QVERIFY(writeFile(m_programFolder + QStringLiteral("/other.bin"), QByteArray(600, 'y')));
        QVERIFY(writeFile(m_settings->filePath(), expectedSettings(5, m_programFolder)));
        MainWindow window(*m_station, m_settings.get());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy asked(m_station.get(), &Station::loadRequested);

        QListWidget *files = window.browser()->fileList();
        const QList<QListWidgetItem *> found =
            files->findItems(QStringLiteral("other.bin"), Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        const QPoint at = files->visualItemRect(found.first()).center();
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(asked.count(), 0);
        QTest::mouseDClick(files->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(asked.count(), 1);
        QCOMPARE(asked.first().first().toString(), QStringLiteral("other.bin"));
        QCOMPARE(m_station->currentFolder(), m_programFolder);
    }

    void operatorShowsAPlainModalMessage()
    {
        vell::gui::WidgetOperator op;
        QString text;
        QString title;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QList<QAbstractButton *> buttons;
        QTimer answer;
        answer.setInterval(10);
        connect(&answer, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            answer.stop();
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            buttons = box->buttons();
            box->button(QMessageBox::Ok)->click();
        });
        answer.start();
        bool acknowledged = false;
        op.message(QStringLiteral("Please Make Sure Programmer is Connected and Retry"),
                   QStringLiteral("Incorrect Port Number"), [&] { acknowledged = true; });
        // The box is open and the caller goes on; OK comes later.
        QVERIFY(!acknowledged);
        QTRY_VERIFY(acknowledged);
        QCOMPARE(text, QStringLiteral("Please Make Sure Programmer is Connected and Retry"));
        QCOMPARE(title, QStringLiteral("Incorrect Port Number"));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons.size(), 1);
    }

private:
    std::unique_ptr<QTemporaryDir> m_exe;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<QTemporaryDir> m_programs;
    QString m_programFolder;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<vell::test::FakeLinkBank> m_links;
    std::unique_ptr<vell::test::RecordingOperator> m_operator;
    std::unique_ptr<Station> m_station;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
