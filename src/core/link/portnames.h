#pragma once

#include "claimedports.h"

#include <QList>
#include <QString>

#include <memory>

namespace vell::link {

/// Turns the COM numbers the system speaks of (1..15) into device names: DIR/COMn with
/// --ports DIR, COMn on Windows, elsewhere the machine's serial ports numbered from COM1 in the
/// order of their USB sockets (see fromSystemPorts), so a programmer keeps its number while it
/// stays in the same socket. Copies share this copy's claims on the ports (claims()).
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
        QString description;
    };

    /// One serial port as the machine lists it.
    struct SystemPort
    {
        QString systemLocation; ///< "/dev/ttyUSB0"
        QString vidPid;         ///< empty when the port is not known to be USB
        QString usbSerial;
        QString description;
    };

    /// The machine's own ports, listed once here so the numbering cannot shift under a run.
    PortNames();
    /// COM n is DIR/COMn.
    [[nodiscard]] static PortNames fromDirectory(const QString &dir);
    /// COM numbers over ports: first the USB ports that have an entry in byPathDir (a folder of
    /// symlinks named by physical location, like /dev/serial/by-path), in the natural order of
    /// those names, each opened through its entry so that it survives a new kernel name; then
    /// the other USB ports; then the rest, each group by system location in natural order.
    [[nodiscard]] static PortNames fromSystemPorts(const QList<SystemPort> &ports,
                                                   const QString &byPathDir = {});
    /// The machine's serial ports as Qt lists them.
    [[nodiscard]] static QList<SystemPort> systemPorts();
    /// "port 9" before "port 10": digit runs compare as numbers.
    [[nodiscard]] static bool naturalLess(const QString &a, const QString &b);

    /// The name to open for COM n, or an empty string when nothing stands for it.
    [[nodiscard]] QString deviceFor(int comPort) const;
    /// The device of COM n and what the platform knows of it.
    [[nodiscard]] Identity identityOf(int comPort) const;

    struct Row
    {
        int comPort;
        Identity identity;
    };
    /// Something stands for COM n now: a device of the machine's, or DIR/COMn exists. Looks,
    /// never opens.
    [[nodiscard]] bool present(int comPort) const;
    /// The COM numbers that have a device now, for --list-ports.
    [[nodiscard]] QList<Row> table() const;
    [[nodiscard]] QString directory() const { return m_directory; }
    /// This copy's claims on these ports: what the search found, what the links open. Not part
    /// of the names' value, so reachable through a const PortNames.
    [[nodiscard]] ClaimedPorts &claims() const { return *m_claims; }

private:
    struct Empty
    {
    };
    explicit PortNames(Empty) {}

    struct Entry
    {
        QString open; ///< the name to open: the by-path entry where there is one
        Identity identity;
    };

    QString m_directory;
    QList<Entry> m_entries; // index 0 is COM1
    bool m_windowsNames = false;
    std::shared_ptr<ClaimedPorts> m_claims = std::make_shared<ClaimedPorts>();
};

} // namespace vell::link
