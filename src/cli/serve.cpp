#include "serve.h"

#include "consolereport.h"
#include "controlclient.h"
#include "headlessrun.h"

#include "control/controlserver.h"
#include "control/texts.h"
#include "link/qserialportlink.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

namespace vell::cli {

int runServe(const Options &options)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    // A service's output goes to a journal: lines, never bars.
    ConsoleReport report(out, err,
                         options.json ? ConsoleReport::Style::Json : ConsoleReport::Style::Lines);
    control::ControlServer server(options.retries, options.timeoutSeconds);
    // Before any port is touched: one station to a socket.
    if (!server.claim(options.controlSocket)) {
        report.error(server.errorString());
        return kExitUsage;
    }
    HeadlessRun run(options, link::qserialPortFactory(), report);
    QObject::connect(&run, &HeadlessRun::finished, QCoreApplication::instance(),
                     [](int code) { QCoreApplication::exit(code); });
    QObject::connect(&run, &HeadlessRun::serving, &server, [&] {
        // The search was shown; from now on each step is summed up as it ends.
        report.detach();
        if (!server.listen(*run.station())) {
            report.error(server.errorString());
            QCoreApplication::exit(kExitUsage);
            return;
        }
        report.error(control::texts::listening(server.path()));
    });
    QObject::connect(&server, &control::ControlServer::stepSummed, &server,
                     [&report](const QJsonObject &summary, const QString &line) {
                         report.summary(line, summary);
                     });
    QObject::connect(&server, &control::ControlServer::notice, &server,
                     [&report](const QString &text) { report.error(text); });
    QTimer::singleShot(0, &run, &HeadlessRun::start);
    const int code = QCoreApplication::exec();
    // Told to end (or the socket failed): every step still running ends and is recorded, and
    // its client hears so before the connections end.
    run.stop(code);
    server.close();
    return run.exitCode();
}

int runControl(const control::ControlRequest &request, const QString &socket, bool json)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    ControlClient client(request, socket.isEmpty() ? control::ControlServer::defaultPath() : socket,
                         json, out, err);
    QObject::connect(&client, &ControlClient::finished, QCoreApplication::instance(),
                     [](int code) { QCoreApplication::exit(code); });
    QTimer::singleShot(0, &client, &ControlClient::start);
    return QCoreApplication::exec();
}

} // namespace vell::cli
