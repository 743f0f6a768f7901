#include "portlisting.h"

#include "app/attempt.h"
#include "link/portaccess.h"

#include <QJsonObject>
#include <QStringList>

#include <algorithm>

namespace vell::cli {

QString describe(const link::PortNames &names)
{
    const auto rows = names.table();
    if (rows.isEmpty())
        return QStringLiteral("No serial ports found.\n");
    QList<QStringList> lines{{QStringLiteral("COM"), QStringLiteral("ACCESS"),
                              QStringLiteral("DEVICE"), QStringLiteral("LOCATION"),
                              QStringLiteral("VID:PID"), QStringLiteral("SERIAL"),
                              QStringLiteral("DESCRIPTION")}};
    QStringList why; // below the table: the cause of each port that cannot be used
    QList<link::PortAccess::Verdict> verdicts;
    for (const link::PortNames::Row &row : rows) {
        const link::PortNames::Identity &i = row.identity;
        const link::PortAccess::Verdict access =
            link::PortAccess::check(names.deviceFor(row.comPort));
        lines.append({QStringLiteral("COM%1").arg(row.comPort), access.causeName(), i.device,
                      i.location, i.vidPid, i.usbSerial, i.description});
        if (access.cause != link::PortAccess::Cause::Ok)
            why << QStringLiteral("COM%1: %2\n").arg(row.comPort).arg(access.text());
        verdicts << access;
    }
    QList<qsizetype> widths(lines.first().size(), 0);
    for (const QStringList &line : lines) {
        for (qsizetype c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], line.at(c).size());
    }
    QString text;
    for (const QStringList &line : lines) {
        QString out;
        for (qsizetype c = 0; c < line.size(); ++c)
            out += c + 1 < line.size() ? line.at(c).leftJustified(widths[c] + 2) : line.at(c);
        text += out.trimmed() + QLatin1Char('\n');
    }
    if (const QString wayOut = link::PortAccess::wayOut(verdicts); !wayOut.isEmpty())
        why << wayOut + QLatin1Char('\n');
    return why.isEmpty() ? text : text + QLatin1Char('\n') + why.join(QString());
}

QJsonArray describeJson(const link::PortNames &names)
{
    QJsonArray array;
    for (const link::PortNames::Row &row : names.table()) {
        QJsonObject json = app::identityJson(row.identity);
        json[QStringLiteral("com")] = row.comPort;
        json[QStringLiteral("description")] = record::orNull(row.identity.description);
        const link::PortAccess::Verdict access =
            link::PortAccess::check(names.deviceFor(row.comPort));
        json[QStringLiteral("access")] = access.causeName();
        json[QStringLiteral("holder_pid")] = access.pid > 0 ? QJsonValue(access.pid) : QJsonValue();
        array.append(json);
    }
    return array;
}

} // namespace vell::cli
