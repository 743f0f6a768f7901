#include "headless.h"

#include "consolereport.h"
#include "headlessrun.h"

#include "link/qserialportlink.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace vell::cli {

int runHeadless(const Options &options)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const bool terminal = ConsoleReport::stdoutIsTerminal();
    const ConsoleReport::Style style = options.json ? ConsoleReport::Style::Json
                                       : terminal   ? ConsoleReport::Style::Bars
                                                    : ConsoleReport::Style::Lines;
    ConsoleReport report(out, err, style, terminal ? ConsoleReport::terminalWidth() : 80);
    HeadlessRun run(options, link::qserialPortFactory(), report);
    QObject::connect(&run, &HeadlessRun::finished, QCoreApplication::instance(),
                     [](int code) { QCoreApplication::exit(code); });
    QTimer::singleShot(0, &run, &HeadlessRun::start);
    const int code = QCoreApplication::exec();
    // Ended from outside (SIGTERM): the steps still waiting are recorded, and summed up.
    run.stop(code);
    return code;
}

} // namespace vell::cli
