// Guards the search window: its controls mirror the search over simulated ports, and closing it
// (by the search, OK or the close box) reports whether a programmer was found.
#include "app/gui/searchwindow.h"
#include "common/files.h"
#include "discovery/programmersearch.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "sim/simbank.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using vell::discovery::ProgrammerSearch;
using vell::gui::SearchWindow;
using Kind = vell::sim::DeviceOptions::Kind;

namespace {

// Long enough for a greeting to cross the pty within one tick on a busy machine.
constexpr int kTickMs = 50;
constexpr int kScanTimeoutMs = 20 * 1000;

const QString kFailureText =
    QStringLiteral("No Programmers Found\rPlease Connect Programmer(s) and Restart Program");

vell::sim::DeviceOptions kindOf(Kind kind)
{
    vell::sim::DeviceOptions options;
    options.kind = kind;
    return options;
}

} // namespace

class tst_SearchWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void controls();
    void noPortsAtAll();
    void closesItselfWhenProgrammersWereFound();
    void closingDuringTheScan_data();
    void closingDuringTheScan();

private:
    /// The window over a fresh search of the bank's ports.
    void makeWindow();
    template <typename T> T *control(const char *name)
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QString labelText(const char *name) { return control<QLabel>(name)->text(); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<vell::test::WorkFolder> m_workFolder; // port files
    std::unique_ptr<vell::sim::SimBank> m_bank;
    std::unique_ptr<vell::link::PortNames> m_names;
    std::unique_ptr<vell::link::ProgrammerSlots> m_programmers;
    std::unique_ptr<ProgrammerSearch> m_search;
    std::unique_ptr<SearchWindow> m_window;
};

void tst_SearchWindow::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_workFolder = std::make_unique<vell::test::WorkFolder>();
    QVERIFY(m_dir->isValid());
    QVERIFY(m_workFolder->isValid());
    m_bank = std::make_unique<vell::sim::SimBank>(m_dir->path());
    m_names = std::make_unique<vell::link::PortNames>(
        vell::link::PortNames::fromDirectory(m_dir->path()));
    m_programmers = std::make_unique<vell::link::ProgrammerSlots>();
}

void tst_SearchWindow::cleanup()
{
    m_window.reset();
    m_search.reset();
    m_bank.reset();
    m_workFolder.reset();
}

void tst_SearchWindow::makeWindow()
{
    m_search = std::make_unique<ProgrammerSearch>(*m_programmers, *m_names,
                                                  vell::link::qserialPortFactory(), kTickMs);
    m_window = std::make_unique<SearchWindow>(*m_search);
}

void tst_SearchWindow::controls()
{
    makeWindow();
    QCOMPARE(m_window->objectName(), QStringLiteral("frmFindProgrammers"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Searching For Programmers"));
    for (const char *name :
         {"lblProgrammer1", "lblProgrammer2", "lblProgrammer3", "lblProgrammer4"}) {
        QVERIFY2(control<QLabel>(name), name);
        QVERIFY(labelText(name).isEmpty());
    }
    QCOMPARE(labelText("lblPortSearched"), QStringLiteral("Searching Port"));
    auto *portSearched = control<QLineEdit>("txtPortSearched");
    QVERIFY(portSearched);
    QCOMPARE(portSearched->text(), QStringLiteral("1"));
    QVERIFY(portSearched->alignment() & Qt::AlignHCenter);
    auto *ok = control<QPushButton>("Command1");
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("OK"));

    // Building the window does not start the scan; showing it does.
    QCOMPARE(m_search->state(), ProgrammerSearch::State::Idle);
    m_window->show();
    QVERIFY(m_search->isRunning());
}

void tst_SearchWindow::noPortsAtAll()
{
    makeWindow();
    QSignalSpy closed(m_window.get(), &SearchWindow::searchClosed);
    m_window->show();
    QTRY_COMPARE_WITH_TIMEOUT(m_search->portSearchedLabel(), kFailureText, kScanTimeoutMs);
    QCOMPARE(control<QLineEdit>("txtPortSearched")->text(), QStringLiteral("16"));

    // The carriage return of the failure text is shown as a line break, and the window waits
    // for the operator.
    auto *label = control<QLabel>("lblPortSearched");
    QCOMPARE(label->text(), QString(kFailureText).replace(QLatin1Char('\r'), QLatin1Char('\n')));
    QVERIFY(label->sizeHint().height() >= 2 * label->fontMetrics().lineSpacing());
    QVERIFY(m_window->isVisible());
    QCOMPARE(closed.count(), 0);

    QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toBool(), false);
}

void tst_SearchWindow::closesItselfWhenProgrammersWereFound()
{
    // Which devices count as programmers is the search's own test; here, what the window shows.
    QVERIFY(m_bank->add(3));
    QVERIFY(m_bank->add(5, kindOf(Kind::OtherText)));
    QVERIFY(m_bank->add(7));
    makeWindow();
    QSignalSpy closed(m_window.get(), &SearchWindow::searchClosed);
    m_window->show();
    QVERIFY(closed.wait(kScanTimeoutMs));

    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toBool(), true);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(labelText("lblProgrammer1"), QStringLiteral("Programmer Found on Com Port 3"));
    QCOMPARE(labelText("lblProgrammer2"), QStringLiteral("Programmer Found on Com Port 7"));
    QVERIFY(labelText("lblProgrammer3").isEmpty());
    QVERIFY(labelText("lblProgrammer4").isEmpty());
    QVERIFY(m_programmers->slot(2).present);
}

void tst_SearchWindow::closingDuringTheScan_data()
{
    QTest::addColumn<bool>("byButton");
    QTest::newRow("OK") << true;
    QTest::newRow("close box") << false;
}

void tst_SearchWindow::closingDuringTheScan()
{
    QFETCH(bool, byButton);
    QVERIFY(m_bank->add(1));
    for (int com = 2; com <= 9; ++com)
        QVERIFY(m_bank->add(com, kindOf(Kind::Silent)));
    QVERIFY(m_bank->add(10));
    makeWindow();
    QSignalSpy closed(m_window.get(), &SearchWindow::searchClosed);
    m_window->show();
    QTRY_VERIFY_WITH_TIMEOUT(!labelText("lblProgrammer1").isEmpty(), kScanTimeoutMs);

    if (byButton)
        QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
    else
        m_window->close();

    QCOMPARE(closed.count(), 1);
    QCOMPARE(closed.at(0).at(0).toBool(), true);
    QVERIFY(!m_search->isRunning());
    QCOMPARE(int(m_programmers->slot(1).comPort), 1);
    // The scan stops where it stood: the programmer further on is never reached.
    QVERIFY(!m_programmers->slot(2).present);
    QCOMPARE(m_bank->programmer(10)->device()->openCount(), 0);
    // The scanning port is let go at once: every port opens for someone else.
    for (int com = 1; com <= 9; ++com) {
        vell::link::QSerialPortLink link;
        QCOMPARE(link.open(m_names->deviceFor(com)), vell::link::SerialLink::OpenResult::Opened);
    }
}

QTEST_MAIN(tst_SearchWindow)
#include "tst_searchwindow.moc"
