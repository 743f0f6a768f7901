#include "shiprun.h"

#include "app/attemptlog.h"
#include "linedb/shipper.h"
#include "linedb/texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QTimer>

namespace vell::cli {

int runShip(const QString &log, const linedb::DatabaseUrl &database)
{
    const QString path = log.isEmpty() ? app::AttemptLog::defaultPath() : log;
    QTextStream out(stdout);
    QTextStream err(stderr);
    QFile readable(path);
    if (!readable.open(QIODevice::ReadOnly)) {
        err << "vell-usb-programmer: "
            << linedb::texts::cannotReadLog(QDir::toNativeSeparators(path) + QStringLiteral(": ") +
                                            readable.errorString())
            << "\n";
        return 2;
    }
    readable.close();
    linedb::Shipper shipper(path, database);
    QObject::connect(&shipper, &linedb::Shipper::lineSkipped, &shipper,
                     [&err](const QString &text) { err << text << "\n"
                                                       << Qt::flush; });
    // One try: the first failure ends the run, the records waiting in the log.
    QObject::connect(&shipper, &linedb::Shipper::changed, &shipper, [&shipper] {
        if (shipper.caughtUp())
            QCoreApplication::exit(0);
        else if (shipper.state() == linedb::Shipper::State::Waiting)
            QCoreApplication::exit(1);
    });
    QTimer::singleShot(0, &shipper, &linedb::Shipper::start);
    const int code = QCoreApplication::exec();
    if (code == 0)
        out << linedb::texts::shipped(shipper.sent(), shipper.alreadyThere(), database.shown())
            << "\n";
    else {
        const QString why =
            shipper.problem().isEmpty() ? linedb::texts::kNotConnected : shipper.problem();
        err << "vell-usb-programmer: "
            << (shipper.unsent() > 0 ? linedb::texts::notYetShipped(shipper.unsent(), why)
                                     : linedb::texts::unreachable(database.shown(), why))
            << "\n";
    }
    return code;
}

} // namespace vell::cli
