#include "windowsrun.h"

#include "mainwindow.h"
#include "programfilebrowser.h"
#include "searchwindow.h"
#include "singleinstance.h"
#include "widgetoperator.h"

#include "app/settings.h"
#include "app/station.h"
#include "app/texts.h"
#include "control/controlserver.h"
#include "linedb/shipper.h"
#include "link/qserialportlink.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>
#include <QTimer>

#include <functional>

#include <memory>
#include <utility>

namespace vell::gui {

namespace {

void saveGrab(QWidget &window, const QString &dir, const QString &name)
{
    QDir().mkpath(dir);
    const QString path = QDir(dir).filePath(name);
    if (!window.grab().save(path))
        QTextStream(stderr) << "cannot save " << path << "\n";
}

/// The main window at its minimum size and at 1280x1000, then back; then next.
void grabSizes(QWidget &window, const QString &dir, const QString &name,
               const std::function<void()> &next)
{
    const QSize shown = window.size();
    window.resize(window.minimumSize());
    QTimer::singleShot(200, &window, [&window, dir, name, shown, next] {
        saveGrab(window, dir, name + QStringLiteral("-minimum.png"));
        window.resize(1280, 1000);
        QTimer::singleShot(200, &window, [&window, dir, name, shown, next] {
            saveGrab(window, dir, name + QStringLiteral("-1280x1000.png"));
            window.resize(shown);
            next();
        });
    });
}

/// The developer's screenshot tour of the main window: as shown, after loading the first
/// program file of the folder, after Retry Failed when a load failed, and after programming
/// the targets (boards times), the last two also at the window's minimum size and at
/// 1280x1000. Ends the run.
void screenshotTour(app::Station &station, MainWindow &window, const QString &dir, int boards)
{
    using app::Station;
    auto finish = [] { QCoreApplication::exit(0); };
    saveGrab(window, dir, QStringLiteral("main-window.png"));
    const QStringList files =
        QDir(station.currentFolder()).entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        finish();
        return;
    }
    // Whatever happens, the tour ends.
    QTimer::singleShot(60000 + 1000 * boards, &window, finish);
    auto done = std::make_shared<int>(0);
    auto retried = std::make_shared<bool>(false);
    QObject::connect(
        &station, &Station::attemptEnded, &window,
        [&station, &window, dir, boards, done, finish](const app::Attempt &attempt) {
            if (attempt.step.step != model::Step::ProgramTarget)
                return;
            const int present = station.programmers().presentCount();
            if (++*done % present != 0)
                return;
            if (*done / present < boards) {
                QTimer::singleShot(20, &station, [&station] { station.programTarget(); });
                return;
            }
            QTimer::singleShot(200, &window, [&window, dir, finish] {
                saveGrab(window, dir, QStringLiteral("main-window-programmed.png"));
                grabSizes(window, dir, QStringLiteral("main-window-programmed"), finish);
            });
        });
    QObject::connect(
        &station, &Station::busyChanged, &window,
        [&station, &window, dir, finish, retried](bool busy) {
            if (busy)
                return;
            QTimer::singleShot(300, &window, [&station, &window, dir, finish, retried] {
                const QString name = *retried ? QStringLiteral("main-window-retried")
                                              : QStringLiteral("main-window-loaded");
                saveGrab(window, dir, name + QStringLiteral(".png"));
                if (!std::exchange(*retried, true) && station.retryFailed())
                    return;
                grabSizes(window, dir, name, [&station, finish] {
                    if (station.offersProgramTarget())
                        station.programTarget();
                    else
                        finish();
                });
            });
        });
    station.loadProgramFile(QDir(station.currentFolder()).filePath(files.first()));
}

} // namespace

int runWindows(QApplication &app, const link::PortNames &names, const QString &screenshots,
               const QString &folder, const QString &logFile, const model::ImagePin &approved,
               const Bench &bench, int screenshotBoards, const Listening &listening,
               const std::optional<linedb::DatabaseUrl> &database)
{
    // Once per user: a second start brings the first forward instead of searching again. The
    // developer's screenshot tour runs beside anything.
    SingleInstance instance;
    if (screenshots.isEmpty() && !instance.claim()) {
        QObject::connect(&instance, &SingleInstance::asked, &app, [](bool answered) {
            QTextStream(stderr) << (answered ? app::texts::kAlreadyRunning
                                             : app::texts::kAlreadyRunningNoAnswer)
                                << "\n";
            QCoreApplication::exit(kExitAlreadyRunning);
        });
        instance.askRunningCopy();
        return app.exec();
    }

    // The socket's place is taken before the search, so a second station ends at once.
    control::ControlServer server(0, listening.timeoutSeconds);
    QObject::connect(&server, &control::ControlServer::notice, &app,
                     [](const QString &text) { QTextStream(stderr) << text << "\n"; });
    if (listening.on && !server.claim(listening.socket)) {
        QTextStream(stderr) << server.errorString() << "\n";
        return kExitSocketTaken;
    }

    // The search window closing must not end the run when the main window follows it.
    app.setQuitOnLastWindowClosed(false);

    WidgetOperator op;
    app::Station station(names, op, link::qserialPortFactory());
    station.setApprovedImage(approved);
    station.setBoardRules(bench.boards);
    station.setOperatorName(bench.operatorName);
    SearchWindow searchWindow(station);
    // The screenshot tour leaves the settings file alone.
    app::Settings settings;
    app::Settings *usedSettings = screenshots.isEmpty() ? &settings : nullptr;
    std::unique_ptr<MainWindow> mainWindow;
    QObject::connect(&instance, &SingleInstance::raiseRequested, &app, [&] {
        QWidget *window = mainWindow ? static_cast<QWidget *>(mainWindow.get()) : &searchWindow;
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->show();
        window->raise();
        window->activateWindow();
    });

    // The attempt log: a failure shows in the main window, which works on without it. The
    // screenshot tour keeps no record unless a log is named.
    if (!logFile.isEmpty() || screenshots.isEmpty())
        station.openLog(logFile);
    const std::unique_ptr<linedb::Shipper> shipper =
        database ? linedb::Shipper::follow(station, *database) : nullptr;
    if (shipper)
        QObject::connect(shipper.get(), &linedb::Shipper::lineSkipped, &app,
                         [](const QString &text) { QTextStream(stderr) << text << "\n"; });

    QObject::connect(&searchWindow, &SearchWindow::searchClosed, &app, [&](bool found) {
        if (!screenshots.isEmpty())
            saveGrab(searchWindow, screenshots, QStringLiteral("search-window.png"));
        if (!found) {
            QCoreApplication::exit(0);
            return;
        }
        mainWindow = std::make_unique<MainWindow>(station, usedSettings);
        if (!folder.isEmpty())
            mainWindow->browser()->setPath(folder);
        op.setParentWidget(mainWindow.get());
        if (shipper) {
            MainWindow *window = mainWindow.get();
            window->showLineStatus(shipper->statusText());
            QObject::connect(shipper.get(), &linedb::Shipper::changed, window,
                             [window, &shipper] { window->showLineStatus(shipper->statusText()); });
        }
        app.setQuitOnLastWindowClosed(true);
        // The windows keep working without the socket; the operator's terminal says why.
        if (listening.on && !server.listen(station))
            QTextStream(stderr) << server.errorString() << "\n";
        mainWindow->show();
        if (!screenshots.isEmpty()) {
            QTimer::singleShot(300, mainWindow.get(), [&] {
                screenshotTour(station, *mainWindow, screenshots, screenshotBoards);
            });
        }
    });
    if (!screenshots.isEmpty()) {
        // Nobody is there to press OK: close the search window shortly after it ends.
        QObject::connect(&station, &app::Station::searchFinished, &searchWindow,
                         [&] { QTimer::singleShot(300, &searchWindow, &QWidget::close); });
    }
    searchWindow.show();
    const int code = app.exec();
    // A programmer still at work when the application ends has no result for its step.
    station.endSteps(model::Ending::Closed);
    server.close();
    return code;
}

} // namespace vell::gui
