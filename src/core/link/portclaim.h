#pragma once

#include "claimlock.h"

#include <QString>

namespace vell::link {

/// This copy of the tool's claim on one serial port, in two locks (ClaimLock):
/// - its place, the name opened for a COM number (a /dev/serial/by-path entry: the USB socket;
///   a --ports COMn entry), kept until the copy ends, so a programmer plugged back into the
///   same place is still this copy's;
/// - the device behind it, keyed on what identifies the device: its device number (st_rdev),
///   which a change of the node's mode, owner or ACL never moves, and which every name of the
///   device shares (/dev/ttyUSB0, its by-path link, a --ports link, another node). This claim
///   ends when the device goes (deviceStands()), as its number is then given to the next one.
///
/// Not the device itself and not QSerialPort's LCK..name file: the search's own port holds the
/// device in exclusive mode (TIOCEXCL) while it is judged, so a second open of it then fails
/// for every user but root, and holding it open would keep the tty (and its DTR line) up
/// between the search and the links; the LCK file is QSerialPort's to take and drop on every
/// open and close of the port, and is named after the name opened, not the device. Windows opens
/// serial ports exclusively anyway: there nothing is claimed.
class PortClaim
{
public:
    using Outcome = ClaimLock::Outcome;

    PortClaim() = default;
    explicit PortClaim(const QString &name) : m_name(name) {}
    ~PortClaim() { release(); }
    PortClaim(PortClaim &&other) noexcept;
    PortClaim &operator=(PortClaim &&other) noexcept;
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;

    /// Takes the place, then the device behind it, without waiting: Held, or HeldByOther
    /// (holderPid() names the holder of either), or Unclaimed when the name leads to no device
    /// or no lock can be made there; the bench goes on unclaimed then.
    [[nodiscard]] Outcome take();
    void release();
    /// After a refused take(): the holder's process id, 0 when unknown.
    [[nodiscard]] qint64 holderPid() const { return m_holderPid; }
    /// The name opened: the place.
    [[nodiscard]] QString name() const { return m_name; }

    [[nodiscard]] bool holdsDevice() const { return m_device.isHeld(); }
    /// Whether the device claimed is still there and behind the name: its node was not removed
    /// (unplugged, a pty closed) and the name leads to that node.
    [[nodiscard]] bool deviceStands() const;
    /// Whether the device claimed went: its node was removed.
    [[nodiscard]] bool deviceGone() const;
    /// Lets go of the device, keeping the place.
    void releaseDevice();
    /// Takes the device now behind the name in place of the one held (after a replug).
    [[nodiscard]] Outcome takeDevice();

    /// Whether another process holds the place of name or the device behind it, without
    /// taking either: its process id, 0 when it does not say, -1 when none does.
    [[nodiscard]] static qint64 heldByOther(const QString &name);
    /// The lock file of the device behind name (empty where it leads to none, or claims hold
    /// nothing).
    [[nodiscard]] static QString lockFileFor(const QString &name);
    /// The lock file of the place name (empty where claims hold nothing).
    [[nodiscard]] static QString placeLockFileFor(const QString &name);

private:
    QString m_name;
    ClaimLock m_place;
    ClaimLock m_device;
    /// The node claimed, opened for its identity only (O_PATH): it tells when it was removed
    /// even if another node was made in its place (Unix).
    int m_node = -1;
    QString m_nodePath;
    quint64 m_nodeDev = 0;
    quint64 m_nodeIno = 0;
    qint64 m_holderPid = 0;
};

} // namespace vell::link
