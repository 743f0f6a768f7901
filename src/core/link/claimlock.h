#pragma once

#include <QString>

namespace vell::link {

/// An exclusive flock() on one lock file of this tool in the system lock folder, shared by every
/// user. The file names its holder: the process id on its first line, what it claims on the
/// second. The holder removes the file when it lets go; a file that no process holds a lock on
/// was left by a copy that could not (SIGKILL, a crash) and is removed by removeStale(). The
/// lock is the operating system's, so it is atomic between processes and ends with its process.
/// Unix only: elsewhere nothing is held.
class ClaimLock
{
public:
    enum class Outcome
    {
        Held,        ///< this object holds the lock
        HeldByOther, ///< another holder has it: holderPid()
        Unclaimed,   ///< no lock can be made there; the caller goes on without one
    };

    ClaimLock() = default;
    /// The lock of file path (see fileFor); subject is what its holder claims, for the reader.
    ClaimLock(const QString &path, const QString &subject) : m_path(path), m_subject(subject) {}
    ~ClaimLock() { release(); }
    ClaimLock(ClaimLock &&other) noexcept;
    ClaimLock &operator=(ClaimLock &&other) noexcept;
    ClaimLock(const ClaimLock &) = delete;
    ClaimLock &operator=(const ClaimLock &) = delete;

    /// Takes the lock without waiting.
    [[nodiscard]] Outcome take();
    /// Removes the file and lets go.
    void release();
    [[nodiscard]] bool isHeld() const { return m_fd >= 0; }
    /// After HeldByOther: the holder's process id, 0 when unknown.
    [[nodiscard]] qint64 holderPid() const { return m_holderPid; }

    /// The lock file of key: vell-usb-programmer.KEY.lock in /run/lock, /var/lock, else the
    /// temporary folder. Empty where locks hold nothing.
    [[nodiscard]] static QString fileFor(const QString &key);
    /// The process other than this one that holds the lock of file path: its id, 0 when it
    /// holds it but does not say, -1 when none does. Looks without taking the lock.
    [[nodiscard]] static qint64 holderOf(const QString &path);
    /// Removes the tool's lock files that no process holds a lock on.
    static void removeStale();

private:
    QString m_path;
    QString m_subject;
    int m_fd = -1;
    qint64 m_holderPid = 0;
};

} // namespace vell::link
