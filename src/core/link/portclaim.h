#pragma once

#include <QString>

namespace vell::link {

/// This copy of the tool's claim on one serial device: an exclusive flock() on a lock file of
/// its own in the system lock folder, named after the device node the name leads to (so a
/// /dev/serial/by-path entry and /dev/ttyUSB0 are one claim) and that node's change time (so
/// a node made again under the same name is another claim), with the holder's process id
/// inside; the holder removes it when it lets go. The lock is the operating system's, so it is
/// atomic between copies started at the same instant and ends with the process however it ends.
///
/// Not the device itself and not QSerialPort's LCK..name file: the search's own port holds the
/// device in exclusive mode (TIOCEXCL) while it is judged, so a second open of it then fails
/// for every user but root, and holding it open would keep the tty (and its DTR line) up
/// between the search and the links; the LCK file is QSerialPort's to take and drop on every
/// open and close of the port, and is named after the name opened, not the device. Windows opens
/// serial ports exclusively anyway: there a claim is always granted and holds nothing.
class PortClaim
{
public:
    PortClaim() = default;
    explicit PortClaim(const QString &device) : m_device(device) {}
    ~PortClaim() { release(); }
    PortClaim(PortClaim &&other) noexcept;
    PortClaim &operator=(PortClaim &&other) noexcept;
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;

    /// Takes the claim without waiting. False when another process holds it (holderPid() then
    /// names it where its file says). A name that leads to no file has nothing to hold, and a
    /// lock file that cannot be made at all does not stop the bench: both are granted.
    [[nodiscard]] bool take();
    void release();
    [[nodiscard]] bool isHeld() const { return m_fd >= 0; }
    /// After a refused take(): the holder's process id, 0 when unknown.
    [[nodiscard]] qint64 holderPid() const { return m_holderPid; }
    [[nodiscard]] QString device() const { return m_device; }

    /// Whether another process holds the claim on device, without keeping it: its process id,
    /// 0 when it holds it but the file does not say, -1 when nobody does.
    [[nodiscard]] static qint64 heldByOther(const QString &device);
    /// The lock file of device's claim (empty where claims hold nothing).
    [[nodiscard]] static QString lockFileFor(const QString &device);

private:
    QString m_device;
    QString m_path; ///< the lock file held
    int m_fd = -1;
    qint64 m_holderPid = 0;
};

} // namespace vell::link
