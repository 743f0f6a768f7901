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
    ConsoleReport report(out, err, terminal, terminal ? ConsoleReport::terminalWidth() : 80);
    HeadlessRun run(options, link::qserialPortFactory(), report);
    QObject::connect(&run, &HeadlessRun::finished, QCoreApplication::instance(),
                     [](int code) { QCoreApplication::exit(code); });
    QTimer::singleShot(0, &run, &HeadlessRun::start);
    return QCoreApplication::exec();
}

} // namespace vell::cli
