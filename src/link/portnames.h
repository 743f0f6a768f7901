#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace vell::link {

/// Turns the COM numbers the system speaks of (1..15) into device names: DIR/COMn with
/// --ports DIR, COMn on Windows, elsewhere the machine's serial ports, USB ones first, in a
/// stable order, numbered from COM1.
class PortNames
{
public:
    static constexpr int kMaxPort = 15;

    /// Who stands behind a COM number, as far as the platform knows (empty where unknown).
    struct Identity
    {
        QString device;    ///< the system path
        QString usbSerial; ///< the USB serial number
        QString vidPid;    ///< "0403:6001"
        QString location;  ///< the physical USB port (Linux: its /dev/serial/by-path entry)
    };

    /// One serial port as the machine lists it.
    struct SystemPort
    {
        QString portName;
        QString systemLocation;
        bool hasVendorIdentifier = false;
    };

    /// The machine's own ports, listed once here so the numbering cannot shift under a run.
    PortNames();
    /// COM n is DIR/COMn.
    static PortNames fromDirectory(const QString &dir);
    /// COM n is the n-th of the given ports after ordering them (see order()).
    static PortNames fromSystemPorts(const QList<SystemPort> &ports);

    /// USB ports first (a vendor id, or a ttyUSB/ttyACM name), each group by system location.
    [[nodiscard]] static QStringList order(QList<SystemPort> ports);

    /// The device that stands for COM n, or an empty string when none does.
    [[nodiscard]] QString deviceFor(int comPort) const;
    /// The device of COM n and what the platform knows of it.
    [[nodiscard]] Identity identityOf(int comPort) const;
    /// COM numbers and their devices, for --list-ports.
    [[nodiscard]] QList<QPair<int, QString>> table() const;
    /// The text --list-ports prints: one "COMn  device" line per entry of table(), or a line
    /// saying that there is none.
    [[nodiscard]] QString describe() const;
    [[nodiscard]] QString directory() const { return m_directory; }

private:
    struct FromList
    {
    };
    PortNames(FromList, QStringList ports);

    QString m_directory;
    QList<QString> m_systemPorts; // index 0 is COM1
    bool m_windowsNames = false;
};

} // namespace vell::link
