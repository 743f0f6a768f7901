#include "portnames.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

namespace vell::link {

namespace {

bool isUsb(const PortNames::SystemPort &p)
{
    return !p.vidPid.isEmpty() || p.systemLocation.contains(QLatin1String("ttyUSB")) ||
           p.systemLocation.contains(QLatin1String("ttyACM"));
}

/// The device a name leads to (names may be symlinks), or the name when it leads nowhere.
QString resolved(const QString &name)
{
    const QString canonical = QFileInfo(name).canonicalFilePath();
    return canonical.isEmpty() ? name : canonical;
}

PortNames::Identity fromInfo(const QSerialPortInfo &info)
{
    PortNames::Identity identity;
    identity.device = info.systemLocation();
    identity.usbSerial = info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier())
        identity.vidPid = QStringLiteral("%1:%2")
                              .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                              .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
    identity.description = info.description();
    return identity;
}

} // namespace

PortNames::PortNames()
{
#ifdef Q_OS_WIN
    m_windowsNames = true;
#elif defined(Q_OS_LINUX)
    *this = fromSystemPorts(systemPorts(), QStringLiteral("/dev/serial/by-path"));
#else
    // macOS names its USB serial devices after their location id.
    *this = fromSystemPorts(systemPorts());
#endif
}

PortNames PortNames::fromDirectory(const QString &dir)
{
    PortNames names{Empty{}};
    // A serial port's name without a leading slash is taken under /dev: a folder given relative
    // to the working folder is made absolute here, once.
    names.m_directory = dir.isEmpty() ? dir : QDir(dir).absolutePath();
    return names;
}

QList<PortNames::SystemPort> PortNames::systemPorts()
{
    QList<SystemPort> ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        const Identity identity = fromInfo(info);
        ports.append({identity.device, identity.vidPid, identity.usbSerial, identity.description});
    }
    return ports;
}

bool PortNames::naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const qsizetype si = i;
            const qsizetype sj = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            QStringView da = QStringView(a).mid(si, i - si);
            QStringView db = QStringView(b).mid(sj, j - sj);
            while (da.size() > 1 && da.front() == u'0')
                da = da.mid(1);
            while (db.size() > 1 && db.front() == u'0')
                db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            if (const int c = da.compare(db); c != 0)
                return c < 0;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

PortNames PortNames::fromSystemPorts(const QList<SystemPort> &ports, const QString &byPathDir)
{
    // The socket of each device: the by-path entry that leads to it.
    QList<QFileInfo> byPath;
    if (!byPathDir.isEmpty())
        byPath = QDir(byPathDir).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);

    QList<Entry> inSockets, otherUsb, others;
    QStringList seen;
    for (const SystemPort &port : ports) {
        if (seen.contains(port.systemLocation))
            continue;
        seen << port.systemLocation;
        Entry entry{port.systemLocation,
                    {port.systemLocation, port.usbSerial, port.vidPid, {}, port.description}};
        if (!isUsb(port)) {
            others << entry;
            continue;
        }
        const QString device = resolved(port.systemLocation);
        const auto socket = std::find_if(byPath.begin(), byPath.end(), [&](const QFileInfo &e) {
            return e.canonicalFilePath() == device;
        });
        if (socket == byPath.end()) {
            otherUsb << entry;
            continue;
        }
        entry.open = socket->filePath();
        entry.identity.location = socket->fileName();
        inSockets << entry;
    }
    const auto byName = [](const Entry &a, const Entry &b) {
        return naturalLess(a.identity.location.isEmpty() ? a.open : a.identity.location,
                           b.identity.location.isEmpty() ? b.open : b.identity.location);
    };
    std::stable_sort(inSockets.begin(), inSockets.end(), byName);
    std::stable_sort(otherUsb.begin(), otherUsb.end(), byName);
    std::stable_sort(others.begin(), others.end(), byName);

    PortNames names{Empty{}};
    names.m_entries = inSockets + otherUsb + others;
    return names;
}

QString PortNames::deviceFor(int comPort) const
{
    if (comPort < 1 || comPort > kMaxPort)
        return {};
    if (!m_directory.isEmpty())
        return QDir(m_directory).filePath(QStringLiteral("COM%1").arg(comPort));
    if (m_windowsNames)
        return QStringLiteral("COM%1").arg(comPort);
    return comPort <= m_entries.size() ? m_entries.at(comPort - 1).open : QString();
}

PortNames::Identity PortNames::identityOf(int comPort) const
{
    const QString name = deviceFor(comPort);
    if (name.isEmpty())
        return {};
    if (m_windowsNames) {
        const auto infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : infos) {
            if (info.portName().compare(name, Qt::CaseInsensitive) == 0)
                return fromInfo(info);
        }
        return {name, {}, {}, {}, {}};
    }
    Identity identity;
    if (m_directory.isEmpty())
        identity = m_entries.at(comPort - 1).identity;
    // After a replug the socket's entry leads to the device's new name.
    identity.device = resolved(name);
    return identity;
}

bool PortNames::present(int comPort) const
{
    const QString name = deviceFor(comPort);
    if (name.isEmpty())
        return false;
    if (m_windowsNames) {
        const auto infos = QSerialPortInfo::availablePorts();
        return std::any_of(infos.cbegin(), infos.cend(), [&name](const QSerialPortInfo &info) {
            return info.portName().compare(name, Qt::CaseInsensitive) == 0;
        });
    }
    // A folder's COMn is there or not; the machine's ports were there when listed.
    return m_directory.isEmpty() || QFileInfo::exists(name);
}

QList<PortNames::Row> PortNames::table() const
{
    QList<Row> rows;
    if (m_windowsNames) {
        const auto infos = QSerialPortInfo::availablePorts();
        for (int n = 1; n <= kMaxPort; ++n) {
            for (const QSerialPortInfo &info : infos) {
                if (info.portName().compare(deviceFor(n), Qt::CaseInsensitive) == 0)
                    rows.append({n, fromInfo(info)});
            }
        }
        return rows;
    }
    for (int n = 1; n <= kMaxPort; ++n) {
        if (present(n))
            rows.append({n, identityOf(n)});
    }
    return rows;
}

} // namespace vell::link
