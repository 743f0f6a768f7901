#include "windowsrun.h"

#include "mainwindow.h"
#include "programfilebrowser.h"
#include "searchwindow.h"
#include "singleinstance.h"
#include "widgetoperator.h"

#include "app/settings.h"
#include "app/station.h"
#include "app/texts.h"
#include "link/qserialportlink.h"

#include <QApplication>
#include <QDir>
#include <QTextStream>
#include <QTimer>

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

/// The developer's screenshot tour of the main window: as shown, after loading the first
/// program file of the folder, after Retry Failed when a load failed, and after programming
/// the targets. Ends the run.
void screenshotTour(app::Station &station, MainWindow &window, const QString &dir)
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
    QTimer::singleShot(60000, &window, finish);
    auto done = std::make_shared<int>(0);
    auto retried = std::make_shared<bool>(false);
    QObject::connect(&station, &Station::attemptEnded, &window,
                     [&station, &window, dir, done, finish](const app::Attempt &attempt) {
                         if (attempt.step.step != link::Step::ProgramTarget)
                             return;
                         if (++*done < station.programmers().presentCount())
                             return;
                         QTimer::singleShot(200, &window, [&window, dir, finish] {
                             saveGrab(window, dir, QStringLiteral("main-window-programmed.png"));
                             finish();
                         });
                     });
    QObject::connect(&station, &Station::busyChanged, &window,
                     [&station, &window, dir, finish, retried](bool busy) {
                         if (busy)
                             return;
                         QTimer::singleShot(300, &window, [&station, &window, dir, finish, retried] {
                             saveGrab(window, dir,
                                      *retried ? QStringLiteral("main-window-retried.png")
                                               : QStringLiteral("main-window-loaded.png"));
                             if (!std::exchange(*retried, true) && station.retryFailed())
                                 return;
                             if (station.offersProgramTarget())
                                 station.programTarget();
                             else
                                 finish();
                         });
                     });
    station.loadProgramFile(QDir(station.currentFolder()).filePath(files.first()));
}

} // namespace

int runWindows(QApplication &app, const link::PortNames &names, const QString &screenshots,
               const QString &folder, const QString &logFile, const link::ImagePin &approved)
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

    // The search window closing must not end the run when the main window follows it.
    app.setQuitOnLastWindowClosed(false);

    WidgetOperator op;
    app::Station station(names, op, link::qserialPortFactory());
    station.setApprovedImage(approved);
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
        app.setQuitOnLastWindowClosed(true);
        mainWindow->show();
        if (!screenshots.isEmpty()) {
            QTimer::singleShot(300, mainWindow.get(),
                               [&] { screenshotTour(station, *mainWindow, screenshots); });
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
    station.endSteps(link::Ending::Closed);
    return code;
}

} // namespace vell::gui
