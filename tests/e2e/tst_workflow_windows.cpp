// Guards the whole bench workflow in the windows over four simulated programmers: search,
// double-click to load, the program-target button, and the texts every pane ends with.
#include "common/files.h"
#include "common/recordingoperator.h"

#include "app/station.h"
#include "app/gui/mainwindow.h"
#include "app/gui/programfilebrowser.h"
#include "discovery/programmersearch.h"
#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vell;

namespace {

const QByteArray kImage = test::pattern(4 * 512 + 300);

QString paneName(int n)
{
    return n == 1 ? QStringLiteral("txtResponse") : QStringLiteral("txtResponse%1").arg(n);
}

} // namespace

class tst_WorkflowWindows : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void loadThenProgram_data();
    void loadThenProgram();

private:
    test::WorkFolder m_work; // port files land in the working folder
};

void tst_WorkflowWindows::initTestCase()
{
    QVERIFY(m_work.isValid());
    QVERIFY(test::writeFile(QDir(m_work.path()).filePath(QStringLiteral("board.bin")), kImage));
}

void tst_WorkflowWindows::loadThenProgram_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QStringList>("afterLoad");
    QTest::addColumn<QStringList>("afterTarget");

    const QString loaded = QStringLiteral("File Loaded OK");
    const QString programmed = QStringLiteral("Board Programmed OK");
    QTest::newRow("all succeed") << QStringList{{}, {}, {}, {}}
                                 << QStringList{loaded, loaded, loaded, loaded}
                                 << QStringList{programmed, programmed, programmed, programmed};
    QTest::newRow("one load and one target fail")
        << QStringList{{}, QStringLiteral("loaderr=3"), QStringLiteral("targeterr=10"), {}}
        << QStringList{loaded,
                       QStringLiteral("Error #3 / Memory Size & Processor Type Do Not Match"),
                       loaded, loaded}
        << QStringList{programmed, programmed,
                       QStringLiteral("Error #10 / Cannot Communicate With Target Board"),
                       programmed};
}

void tst_WorkflowWindows::loadThenProgram()
{
    QFETCH(QStringList, switches);
    QFETCH(QStringList, afterLoad);
    QFETCH(QStringList, afterTarget);

    QTemporaryDir ports;
    sim::SimBank bank(ports.path());
    for (int com = 1; com <= 4; ++com)
        QVERIFY(bank.add(com, *sim::DeviceOptions::parse(switches.at(com - 1))));

    const link::PortNames names = link::PortNames::fromDirectory(ports.path());
    test::RecordingOperator op;
    app::Station bench(names, op, link::qserialPortFactory());
    discovery::ProgrammerSearch search(bench.programmerSlots(), names, link::qserialPortFactory());
    QSignalSpy searched(&search, &discovery::ProgrammerSearch::finished);
    search.start();
    QVERIFY(searched.wait(5000));
    QCOMPARE(searched.first().first().toBool(), true);
    search.stop();

    gui::MainWindow window(bench, nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.browser()->setPath(m_work.path()));

    QListWidget *files = window.browser()->fileList();
    const auto items = files->findItems(QStringLiteral("board.bin"), Qt::MatchExactly);
    QCOMPARE(items.size(), 1);
    const QPoint at = files->visualItemRect(items.first()).center();
    QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(files->viewport(), Qt::LeftButton, {}, at);

    QList<QLineEdit *> status;
    for (int n = 1; n <= 4; ++n) {
        status << window.findChild<QLineEdit *>(paneName(n));
        QVERIFY(status.last());
    }
    for (int n = 1; n <= 4; ++n)
        QTRY_COMPARE_WITH_TIMEOUT(status.at(n - 1)->text(), afterLoad.at(n - 1), 15000);
    for (int com = 1; com <= 4; ++com)
        QCOMPARE(bank.programmer(com)->device()->image(), kImage.left(4 * 512));

    auto *button = window.findChild<QPushButton *>(QStringLiteral("cmdProgramTarget"));
    QVERIFY(button && button->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!bench.busy(), 5000);
    QTest::mouseClick(button, Qt::LeftButton);
    for (int n = 1; n <= 4; ++n)
        QTRY_COMPARE_WITH_TIMEOUT(status.at(n - 1)->text(), afterTarget.at(n - 1), 15000);
    // The target frame carries the length of the file just loaded.
    for (int com = 1; com <= 4; ++com) {
        const QByteArray frame = bank.programmer(com)->device()->frames().last();
        QCOMPARE(frame.mid(0, 3), QByteArray("APT"));
        QCOMPARE(frame.mid(18, 3), QByteArray::fromHex("00092C"));
    }
    QVERIFY(op.messages.isEmpty());
}

QTEST_MAIN(tst_WorkflowWindows)
#include "tst_workflow_windows.moc"
