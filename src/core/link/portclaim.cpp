#include "portclaim.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#include <unistd.h>
#endif

namespace vell::link {

namespace {

#ifdef Q_OS_UNIX
/// What identifies the device st describes: its number for a device node; for any other file
/// (one standing in for a device, as in tests) the file itself.
QString deviceKey(const struct stat &st)
{
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return QStringLiteral("%1-%2-%3")
            .arg(S_ISCHR(st.st_mode) ? QStringLiteral("char") : QStringLiteral("block"))
            .arg(major(st.st_rdev))
            .arg(minor(st.st_rdev));
    return QStringLiteral("file-%1-%2")
        .arg(qulonglong(st.st_dev), 0, 16)
        .arg(qulonglong(st.st_ino));
}

/// The name as a place: its folder's canonical path (so one folder reached two ways is one
/// place) and its own name, not followed (the by-path entry is the socket).
QString placeOf(const QString &name)
{
    const QFileInfo info(name);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return QDir(folder.isEmpty() ? info.absolutePath() : folder).filePath(info.fileName());
}

QString placeKey(const QString &place)
{
    QString key = place;
    key.replace(QLatin1Char('%'), QLatin1String("%25"))
        .replace(QLatin1Char('/'), QLatin1String("%2F"));
    if (QFile::encodeName(key).size() > 200) // a file name has at most 255 bytes
        key = QString::fromLatin1(
            QCryptographicHash::hash(place.toUtf8(), QCryptographicHash::Sha1).toHex());
    return QStringLiteral("place-") + key;
}
#endif

} // namespace

PortClaim::PortClaim(PortClaim &&other) noexcept
    : m_name(std::move(other.m_name)), m_place(std::move(other.m_place)),
      m_device(std::move(other.m_device)), m_node(std::exchange(other.m_node, -1)),
      m_nodePath(std::move(other.m_nodePath)), m_nodeDev(other.m_nodeDev),
      m_nodeIno(other.m_nodeIno), m_holderPid(other.m_holderPid)
{
}

PortClaim &PortClaim::operator=(PortClaim &&other) noexcept
{
    if (this != &other) {
        release();
        m_name = std::move(other.m_name);
        m_place = std::move(other.m_place);
        m_device = std::move(other.m_device);
        m_node = std::exchange(other.m_node, -1);
        m_nodePath = std::move(other.m_nodePath);
        m_nodeDev = other.m_nodeDev;
        m_nodeIno = other.m_nodeIno;
        m_holderPid = other.m_holderPid;
    }
    return *this;
}

QString PortClaim::lockFileFor(const QString &name)
{
#ifdef Q_OS_UNIX
    struct stat st = {};
    if (name.isEmpty() || ::stat(QFile::encodeName(name).constData(), &st) != 0)
        return {};
    return ClaimLock::fileFor(deviceKey(st));
#else
    Q_UNUSED(name);
    return {};
#endif
}

QString PortClaim::placeLockFileFor(const QString &name)
{
#ifdef Q_OS_UNIX
    return name.isEmpty() ? QString() : ClaimLock::fileFor(placeKey(placeOf(name)));
#else
    Q_UNUSED(name);
    return {};
#endif
}

PortClaim::Outcome PortClaim::take()
{
    m_holderPid = 0;
#ifdef Q_OS_UNIX
    // Once per process, before its first claim: the lock files that copies which ended
    // without letting go (SIGKILL, a crash) left behind.
    static bool swept = false;
    if (!std::exchange(swept, true))
        ClaimLock::removeStale();
    if (lockFileFor(m_name).isEmpty())
        return Outcome::Unclaimed; // leads to no device: nothing to hold
    if (!m_place.isHeld()) {
        m_place = ClaimLock(placeLockFileFor(m_name), placeOf(m_name));
        if (m_place.take() == Outcome::HeldByOther) {
            m_holderPid = m_place.holderPid();
            return Outcome::HeldByOther;
        }
    }
    const Outcome device = takeDevice();
    if (device == Outcome::HeldByOther)
        m_place.release();
    return device;
#else
    return Outcome::Unclaimed;
#endif
}

PortClaim::Outcome PortClaim::takeDevice()
{
    releaseDevice();
    m_holderPid = 0;
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(m_name);
    struct stat st = {};
#ifdef O_PATH
    // Opened for its identity only: no driver open, so no DTR and no exclusive mode.
    m_node = ::open(name.constData(), O_PATH | O_CLOEXEC);
    const bool found = m_node >= 0 && ::fstat(m_node, &st) == 0;
#else
    const bool found = ::stat(name.constData(), &st) == 0;
#endif
    if (!found) {
        releaseDevice();
        return Outcome::Unclaimed;
    }
    m_nodePath = QFileInfo(m_name).canonicalFilePath();
    m_nodeDev = quint64(st.st_dev);
    m_nodeIno = quint64(st.st_ino);
    m_device = ClaimLock(ClaimLock::fileFor(deviceKey(st)), m_nodePath);
    const Outcome outcome = m_device.take();
    if (outcome == Outcome::HeldByOther)
        m_holderPid = m_device.holderPid();
    if (outcome != Outcome::Held)
        releaseDevice();
    return outcome;
#else
    return Outcome::Unclaimed;
#endif
}

bool PortClaim::deviceGone() const
{
#ifdef Q_OS_UNIX
    if (!m_device.isHeld())
        return false;
    struct stat st = {};
#ifdef O_PATH
    // A removed node has no link left, even once another node took its name and number: a
    // pty's number given out again comes with the same inode number too (devpts), and a USB
    // adapter's node is removed on unplug (devtmpfs), so the node held tells, at no cost.
    return ::fstat(m_node, &st) != 0 || st.st_nlink == 0;
#else
    return ::stat(QFile::encodeName(m_nodePath).constData(), &st) != 0 ||
           quint64(st.st_dev) != m_nodeDev || quint64(st.st_ino) != m_nodeIno;
#endif
#else
    return false;
#endif
}

bool PortClaim::deviceStands() const
{
#ifdef Q_OS_UNIX
    struct stat st = {};
    return m_device.isHeld() && !deviceGone() &&
           ::stat(QFile::encodeName(m_name).constData(), &st) == 0 &&
           quint64(st.st_dev) == m_nodeDev && quint64(st.st_ino) == m_nodeIno;
#else
    return false;
#endif
}

void PortClaim::releaseDevice()
{
    m_device.release();
#ifdef Q_OS_UNIX
    if (m_node >= 0)
        ::close(m_node);
#endif
    m_node = -1;
}

void PortClaim::release()
{
    releaseDevice();
    m_place.release();
}

qint64 PortClaim::heldByOther(const QString &name)
{
    for (const QString &file : {placeLockFileFor(name), lockFileFor(name)}) {
        if (const qint64 holder = ClaimLock::holderOf(file); holder >= 0)
            return holder;
    }
    return -1;
}

} // namespace vell::link
