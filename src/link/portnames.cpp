#include "portnames.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace vell::link {

namespace {

bool isUsb(const PortNames::SystemPort &p)
{
    return p.hasVendorIdentifier || p.portName.contains(QLatin1String("ttyUSB")) ||
           p.portName.contains(QLatin1String("ttyACM"));
}

} // namespace

PortNames::PortNames()
{
#ifdef Q_OS_WIN
    m_windowsNames = true;
#else
    QList<SystemPort> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports.append({info.portName(), info.systemLocation(), info.hasVendorIdentifier()});
    m_systemPorts = order(ports);
#endif
}

PortNames::PortNames(FromList, QStringList ports) : m_systemPorts(std::move(ports)) {}

PortNames PortNames::fromDirectory(const QString &dir)
{
    PortNames names(FromList{}, {});
    names.m_directory = dir;
    return names;
}

PortNames PortNames::fromSystemPorts(const QList<SystemPort> &ports)
{
    return PortNames(FromList{}, order(ports));
}

QStringList PortNames::order(QList<SystemPort> ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const SystemPort &a, const SystemPort &b) {
        const bool ua = isUsb(a);
        const bool ub = isUsb(b);
        if (ua != ub)
            return ua;
        return a.systemLocation < b.systemLocation;
    });
    QStringList out;
    for (const SystemPort &p : ports) {
        if (!out.contains(p.systemLocation))
            out.append(p.systemLocation);
    }
    return out;
}

QString PortNames::deviceFor(int comPort) const
{
    if (comPort < 1 || comPort > kMaxPort)
        return {};
    if (!m_directory.isEmpty())
        return QDir(m_directory).filePath(QStringLiteral("COM%1").arg(comPort));
    if (m_windowsNames)
        return QStringLiteral("COM%1").arg(comPort);
    return comPort <= m_systemPorts.size() ? m_systemPorts.at(comPort - 1) : QString();
}

PortNames::Identity PortNames::identityOf(int comPort) const
{
    Identity identity;
    identity.device = deviceFor(comPort);
    if (identity.device.isEmpty())
        return identity;
    // Names may be symlinks (--ports, by-path entries): compare the devices they lead to.
    const QString device = QFileInfo(identity.device).canonicalFilePath();
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        const QString location = QFileInfo(info.systemLocation()).canonicalFilePath();
        if (device.isEmpty() || location != device)
            continue;
        identity.usbSerial = info.serialNumber();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            identity.vidPid = QStringLiteral("%1:%2")
                                  .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                  .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        break;
    }
#ifdef Q_OS_LINUX
    const QFileInfoList byPath = QDir(QStringLiteral("/dev/serial/by-path"))
                                     .entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : byPath) {
        if (!device.isEmpty() && entry.canonicalFilePath() == device) {
            identity.location = entry.fileName();
            break;
        }
    }
#endif
    return identity;
}

QList<QPair<int, QString>> PortNames::table() const
{
    QList<QPair<int, QString>> rows;
    if (!m_directory.isEmpty()) {
        for (int n = 1; n <= kMaxPort; ++n) {
            const QString device = deviceFor(n);
            if (QFileInfo::exists(device))
                rows.append({n, device});
        }
    } else if (m_windowsNames) {
        const auto infos = QSerialPortInfo::availablePorts();
        for (int n = 1; n <= kMaxPort; ++n) {
            const QString name = deviceFor(n);
            const bool exists =
                std::any_of(infos.begin(), infos.end(), [&](const QSerialPortInfo &i) {
                    return i.portName().compare(name, Qt::CaseInsensitive) == 0;
                });
            if (exists)
                rows.append({n, name});
        }
    } else {
        for (int n = 1; n <= std::min<int>(kMaxPort, int(m_systemPorts.size())); ++n)
            rows.append({n, m_systemPorts.at(n - 1)});
    }
    return rows;
}

QString PortNames::describe() const
{
    const auto rows = table();
    if (rows.isEmpty())
        return QStringLiteral("No serial ports found.\n");
    QString text;
    for (const auto &row : rows)
        text += QStringLiteral("COM%1").arg(row.first).leftJustified(6) + row.second +
                QLatin1Char('\n');
    return text;
}

} // namespace vell::link
