// vell-usb-programmer: the windows (search, then main window) by default; a headless run with
// --load or --program-target; the station service with --serve and a command to it with
// --control; the port listing with --list-ports; the shift report with --report; the log sent
// to the line database with --ship. See --help.
#include "app/eventloop.h"
#include "cli/commandline.h"
#include "cli/headless.h"
#include "cli/portlisting.h"
#include "cli/report/reportrun.h"
#include "cli/serve.h"
#include "cli/shiprun.h"
#include "gui/windowsrun.h"
#include "link/portnames.h"
#ifdef VELL_TERMINATION_WATCHER
#include "app/terminationwatcher.h"
#endif
#ifdef VELL_SIMULATOR
#include "sim/simulatedprogrammers.h"
#endif

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QTextStream>

#include <memory>

int main(int argc, char *argv[])
{
    using namespace vell;
    QCoreApplication::setOrganizationName(QStringLiteral("Vell"));
    QCoreApplication::setApplicationName(QStringLiteral("vell-usb-programmer"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELL_VERSION));

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    cli::CommandLine commandLine;
    if (!commandLine.parse(arguments)) {
        QTextStream(stderr) << "vell-usb-programmer: " << commandLine.errorText() << "\n"
                            << "Try 'vell-usb-programmer --help'.\n";
        return cli::kExitUsage;
    }
    if (commandLine.asksForHelpOrVersion()) {
        const QCoreApplication info(argc, argv);
        commandLine.showHelpOrVersion();
    }
    const cli::CommandLine::Run run = commandLine.run();
    // Before anything else: the port files are made in the working folder.
    if (commandLine.inStateFolder()) {
        const QString folder = cli::CommandLine::stateFolder();
        if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
            QTextStream(stderr) << "vell-usb-programmer: cannot work in " << folder << "\n";
            return cli::kExitUsage;
        }
    }

    if (run == cli::CommandLine::Run::Report)
        return cli::report::runReport(argc, argv,
                                      {commandLine.reportLog(), commandLine.since(),
                                       commandLine.until(), commandLine.json(),
                                       commandLine.reportChart(), commandLine.reportChartSize(),
                                       commandLine.historyBoard(), commandLine.database()});

    // The headless run and the listing work without a display.
    app::useQtEventDispatcher();
    std::unique_ptr<QCoreApplication> application =
        run == cli::CommandLine::Run::Windows ? std::make_unique<QApplication>(argc, argv)
                                              : std::make_unique<QCoreApplication>(argc, argv);

    // SIGINT and SIGTERM end the event loop: the steps still waiting are recorded, and
    // simulated programmers are removed.
#ifdef VELL_TERMINATION_WATCHER
    app::TerminationWatcher watcher;
    QObject::connect(&watcher, &app::TerminationWatcher::terminationRequested, application.get(),
                     [] { QCoreApplication::exit(130); });
#endif
    // A command to a station touches no port: it starts as fast as it can, once per cycle.
    if (run == cli::CommandLine::Run::Control)
        return cli::runControl(commandLine.controlRequest(), commandLine.controlSocket(),
                               commandLine.json());
    link::PortNames names;
#ifdef VELL_SIMULATOR
    std::unique_ptr<sim::SimulatedProgrammers> simulated;
#endif
    if (commandLine.simulated() > 0) {
#ifdef VELL_SIMULATOR
        simulated = std::make_unique<sim::SimulatedProgrammers>();
        if (!simulated->start(commandLine.simulated())) {
            QTextStream(stderr) << simulated->errorString() << "\n";
            return 1;
        }
        names = link::PortNames::fromDirectory(simulated->folder());
#else
        QTextStream(stderr) << "vell-usb-programmer: --simulate is not available in this build "
                               "(built without the simulator)\n";
        return cli::kExitUsage;
#endif
    } else if (!commandLine.portsFolder().isEmpty()) {
        names = link::PortNames::fromDirectory(commandLine.portsFolder());
    }

    switch (run) {
    case cli::CommandLine::Run::ListPorts:
        if (commandLine.json())
            QTextStream(stdout)
                << QJsonDocument(cli::describeJson(names)).toJson(QJsonDocument::Compact) << "\n";
        else
            QTextStream(stdout) << cli::describe(names);
        return 0;
    case cli::CommandLine::Run::Serve:
    case cli::CommandLine::Run::Headless: {
        cli::Options options;
        options.ports = names;
        options.loadFile = commandLine.loadFile();
        options.programTarget = commandLine.programTarget();
        options.restoreDefaults = commandLine.restoreDefaults();
        options.blackBox = commandLine.blackBox();
        options.timeoutSeconds = commandLine.timeoutSeconds();
        options.retries = commandLine.retries();
        options.json = commandLine.json();
        options.logFile = commandLine.logFile();
        options.approved = commandLine.approvedImage();
        options.boards = commandLine.boards();
        options.boardRules = commandLine.boardRules();
        options.operatorName = commandLine.operatorName();
        options.serve = run == cli::CommandLine::Run::Serve;
        options.controlSocket = commandLine.controlSocket();
        options.database = commandLine.database();
        return options.serve ? cli::runServe(options) : cli::runHeadless(options);
    }
    case cli::CommandLine::Run::Ship:
        return cli::runShip(commandLine.shipLog(), *commandLine.database());
    case cli::CommandLine::Run::Control: // ran before the ports were named
    case cli::CommandLine::Run::Report:  // ran before the application was made
    case cli::CommandLine::Run::Windows:
        break;
    }
    return gui::runWindows(
        *static_cast<QApplication *>(application.get()), names, commandLine.screenshotFolder(),
        commandLine.folder(), commandLine.logFile(), commandLine.approvedImage(),
        {commandLine.boardRules(), commandLine.operatorName()}, commandLine.screenshotBoards(),
        {commandLine.listen(), commandLine.controlSocket(), commandLine.timeoutSeconds()},
        commandLine.database());
}
