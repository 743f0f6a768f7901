// vell-usb-programmer: the windows (search, then main window) by default; a headless run with
// --load or --program-target. See --help.
#include "app/bench.h"
#include "app/cli/headless.h"
#include "app/gui/mainwindow.h"
#include "app/gui/programfilebrowser.h"
#include "app/gui/searchwindow.h"
#include "app/gui/widgetoperator.h"
#include "app/settings.h"
#include "discovery/programmersearch.h"
#include "link/portnames.h"
#include "link/qserialportlink.h"
#include "sim/signalwatcher.h"
#include "sim/simbank.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>

namespace {

constexpr int kExitUsage = vell::cli::kExitUsage;

struct Options
{
    QCommandLineOption ports{QStringLiteral("ports"),
                             QStringLiteral("COM n is the device DIR/COMn."),
                             QStringLiteral("DIR")};
    QCommandLineOption simulate{QStringLiteral("simulate"),
                                QStringLiteral("Run N simulated programmers (1..4) on COM1..COMN."),
                                QStringLiteral("N")};
    QCommandLineOption listPorts{QStringLiteral("list-ports"),
                                 QStringLiteral("Print the COM numbers and their devices, exit.")};
    QCommandLineOption load{QStringLiteral("load"),
                            QStringLiteral("Headless: search, load FILE into every programmer "
                                           "found, wait for each result."),
                            QStringLiteral("FILE")};
    QCommandLineOption programTarget{
        QStringLiteral("program-target"),
        QStringLiteral("Headless: then (or alone) program every target board, wait for each "
                       "result.")};
    QCommandLineOption restoreDefaults{QStringLiteral("restore-defaults"),
                                       QStringLiteral("Restore defaults when programming.")};
    QCommandLineOption blackBox{QStringLiteral("black-box"),
                                QStringLiteral("The file is in the old black-box format.")};
    QCommandLineOption timeout{
        QStringLiteral("timeout"),
        QStringLiteral("Headless: seconds to wait for each result (default 120)."),
        QStringLiteral("SECONDS"), QStringLiteral("120")};
    QCommandLineOption folder{QStringLiteral("folder"),
                              QStringLiteral("Developer: open the file browser at DIR instead of "
                                             "the remembered folder."),
                              QStringLiteral("DIR")};
    QCommandLineOption screenshot{QStringLiteral("screenshot"),
                                  QStringLiteral("Developer: save both windows as PNGs in DIR "
                                                 "and exit."),
                                  QStringLiteral("DIR")};

    Options() { screenshot.setFlags(QCommandLineOption::HiddenFromHelp); }

    void declare(QCommandLineParser &parser) const
    {
        parser.setApplicationDescription(
            QStringLiteral("Finds up to four USB programmers, loads one program file into all "
                           "of them and has each program its target board."));
        parser.addHelpOption();
        parser.addVersionOption();
        parser.addOptions({ports, simulate, listPorts, load, programTarget, restoreDefaults,
                           blackBox, timeout, folder, screenshot});
    }
};

int usageError(const QString &text)
{
    QTextStream(stderr) << "vell-usb-programmer: " << text << "\n"
                        << "Try 'vell-usb-programmer --help'.\n";
    return kExitUsage;
}

/// A positive whole number from an option's value, or nothing.
std::optional<int> positiveNumber(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

void saveGrab(QWidget &window, const QString &dir, const QString &name)
{
    QDir().mkpath(dir);
    const QString path = QDir(dir).filePath(name);
    if (!window.grab().save(path))
        QTextStream(stderr) << "cannot save " << path << "\n";
}

/// The developer's screenshot tour of the main window: as shown, after loading the first
/// program file of the folder, and after programming the targets. Ends the run.
void screenshotTour(vell::app::Bench &bench, vell::gui::MainWindow &window, const QString &dir)
{
    using vell::app::Bench;
    auto finish = [] { QCoreApplication::exit(0); };
    saveGrab(window, dir, QStringLiteral("main-window.png"));
    const QStringList files =
        QDir(bench.currentFolder()).entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        finish();
        return;
    }
    // Whatever happens, the tour ends.
    QTimer::singleShot(60000, &window, finish);
    auto done = std::make_shared<int>(0);
    QObject::connect(&bench, &Bench::replyHandled, &window,
                     [&bench, &window, dir, done, finish](int, const QByteArray &token) {
                         if (token != "APTOK" && token != "APTER")
                             return;
                         if (++*done < bench.programmerSlots().presentCount())
                             return;
                         QTimer::singleShot(200, &window, [&window, dir, finish] {
                             saveGrab(window, dir, QStringLiteral("main-window-programmed.png"));
                             finish();
                         });
                     });
    QObject::connect(&bench, &Bench::busyChanged, &window,
                     [&bench, &window, dir, finish](bool busy) {
                         if (busy)
                             return;
                         QTimer::singleShot(300, &window, [&bench, &window, dir, finish] {
                             saveGrab(window, dir, QStringLiteral("main-window-loaded.png"));
                             if (bench.programmerSlots().slot(2).present)
                                 bench.programTarget();
                             else
                                 finish();
                         });
                     });
    bench.loadProgramFile(files.first());
}

/// --simulate's programmers: the pace of a real 115200-baud wire and a target programming of a
/// few seconds, so the whole workflow can be watched.
vell::sim::DeviceOptions simulatedProgrammer()
{
    vell::sim::DeviceOptions options;
    options.readRate = 11520;
    options.programSteps = 20;
    options.verifySteps = 20;
    options.stepIntervalMs = 60;
    return options;
}

int runWindows(QApplication &app, const vell::link::PortNames &names, const QString &screenshots,
               const QString &folder)
{
    using namespace vell;
    // The search window closing must not end the run when the main window follows it.
    app.setQuitOnLastWindowClosed(false);

    gui::WidgetOperator op;
    app::Bench bench(names, op, link::qserialPortFactory());
    discovery::ProgrammerSearch search(bench.programmerSlots(), names, link::qserialPortFactory());
    gui::SearchWindow searchWindow(search);
    // The screenshot tour leaves the settings file alone.
    app::Settings settings;
    app::Settings *usedSettings = screenshots.isEmpty() ? &settings : nullptr;
    std::unique_ptr<gui::MainWindow> mainWindow;

    QObject::connect(&searchWindow, &gui::SearchWindow::searchClosed, &app, [&](bool found) {
        if (!screenshots.isEmpty())
            saveGrab(searchWindow, screenshots, QStringLiteral("search-window.png"));
        if (!found) {
            QCoreApplication::exit(0);
            return;
        }
        mainWindow = std::make_unique<gui::MainWindow>(bench, usedSettings);
        if (!folder.isEmpty())
            mainWindow->browser()->setPath(folder);
        op.setParentWidget(mainWindow.get());
        app.setQuitOnLastWindowClosed(true);
        mainWindow->show();
        if (!screenshots.isEmpty()) {
            QTimer::singleShot(300, mainWindow.get(),
                               [&] { screenshotTour(bench, *mainWindow, screenshots); });
        }
    });
    if (!screenshots.isEmpty()) {
        // Nobody is there to press OK: close the search window shortly after it ends.
        QObject::connect(&search, &discovery::ProgrammerSearch::finished, &searchWindow,
                         [&] { QTimer::singleShot(300, &searchWindow, &QWidget::close); });
    }
    searchWindow.show();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("Vell"));
    QCoreApplication::setApplicationName(QStringLiteral("vell-usb-programmer"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.6"));

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Options options;
    QCommandLineParser parser;
    options.declare(parser);
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(parser.positionalArguments().constFirst()));

    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")) ||
        parser.isSet(QStringLiteral("version"))) {
        const QCoreApplication info(argc, argv);
        if (parser.isSet(QStringLiteral("version")))
            parser.showVersion();
        parser.showHelp(0);
    }
    const bool headless = parser.isSet(options.load) || parser.isSet(options.programTarget);
    const bool windows = !headless && !parser.isSet(options.listPorts);

    int simulated = 0;
    if (parser.isSet(options.simulate)) {
        const std::optional<int> n = positiveNumber(parser.value(options.simulate));
        if (!n || *n > vell::link::kProgrammerCount)
            return usageError(QStringLiteral("--simulate takes a number from 1 to 4"));
        if (parser.isSet(options.ports))
            return usageError(QStringLiteral("--simulate and --ports cannot be used together"));
        simulated = *n;
    }
    int timeoutSeconds = 120;
    if (parser.isSet(options.timeout)) {
        const std::optional<int> seconds = positiveNumber(parser.value(options.timeout));
        if (!seconds)
            return usageError(QStringLiteral("--timeout takes a whole number of seconds"));
        timeoutSeconds = *seconds;
    }
    if (parser.isSet(options.ports) && !QFileInfo(parser.value(options.ports)).isDir())
        return usageError(
            QStringLiteral("--ports: no folder '%1'").arg(parser.value(options.ports)));
    if (parser.isSet(options.folder) && !windows)
        return usageError(QStringLiteral("--folder is for the windows"));
    if (parser.isSet(options.folder) && !QFileInfo(parser.value(options.folder)).isDir())
        return usageError(
            QStringLiteral("--folder: no folder '%1'").arg(parser.value(options.folder)));
    if (parser.isSet(options.screenshot) && !windows)
        return usageError(QStringLiteral("--screenshot is for the windows"));

    // The headless run and the listing work without a display.
    std::unique_ptr<QCoreApplication> app = windows
                                                ? std::make_unique<QApplication>(argc, argv)
                                                : std::make_unique<QCoreApplication>(argc, argv);

    // Simulated programmers live in a folder of their own, removed at exit (also on SIGINT or
    // SIGTERM, which end the event loop).
    std::unique_ptr<QTemporaryDir> simFolder;
    std::unique_ptr<vell::sim::SimBank> simBank;
    std::unique_ptr<vell::sim::SignalWatcher> signalWatcher;
    vell::link::PortNames names;
    if (simulated > 0) {
        simFolder = std::make_unique<QTemporaryDir>();
        if (!simFolder->isValid()) {
            QTextStream(stderr) << "cannot make a folder for the simulated programmers\n";
            return 1;
        }
        simBank = std::make_unique<vell::sim::SimBank>(simFolder->path());
        for (int com = 1; com <= simulated; ++com) {
            if (!simBank->add(com, simulatedProgrammer())) {
                QTextStream(stderr) << "cannot start simulated programmer COM" << com << ": "
                                    << simBank->errorString() << "\n";
                return 1;
            }
        }
        signalWatcher = std::make_unique<vell::sim::SignalWatcher>();
        QObject::connect(signalWatcher.get(), &vell::sim::SignalWatcher::terminationRequested,
                         app.get(), [] { QCoreApplication::exit(130); });
        names = vell::link::PortNames::fromDirectory(simFolder->path());
    } else if (parser.isSet(options.ports)) {
        names = vell::link::PortNames::fromDirectory(parser.value(options.ports));
    }

    if (parser.isSet(options.listPorts)) {
        QTextStream(stdout) << names.describe();
        return 0;
    }

    if (headless) {
        vell::cli::Options run;
        run.ports = names;
        run.loadFile = parser.value(options.load);
        run.programTarget = parser.isSet(options.programTarget);
        run.restoreDefaults = parser.isSet(options.restoreDefaults);
        run.blackBox = parser.isSet(options.blackBox);
        run.timeoutSeconds = timeoutSeconds;
        return vell::cli::runHeadless(run);
    }

    return runWindows(*static_cast<QApplication *>(app.get()), names,
                      parser.value(options.screenshot), parser.value(options.folder));
}
