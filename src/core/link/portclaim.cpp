#include "portclaim.h"

#include "logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#include <unistd.h>
#endif

namespace vell::link {

namespace {

#ifdef Q_OS_UNIX
/// Shared by every user, like the LCK..name files: /run/lock (Linux), /var/lock, else the
/// temporary folder.
QString lockFolder()
{
    for (const char *folder : {"/run/lock", "/var/lock"}) {
        if (::access(folder, W_OK | X_OK) == 0)
            return QString::fromLatin1(folder);
    }
    return QDir::tempPath();
}

/// Opens the claim file of path, making it when missing; readable and writable by every user,
/// so whoever claims the device next can write its process id. Never O_CREAT on an existing
/// file: the kernel refuses that in a sticky folder for another user's file.
int openLockFile(const QByteArray &path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666); // past the umask
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

qint64 readPid(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? QByteArray(text, int(n)).trimmed().toLongLong() : 0;
}
#endif

} // namespace

PortClaim::PortClaim(PortClaim &&other) noexcept
    : m_device(std::move(other.m_device)), m_path(std::move(other.m_path)), m_fd(other.m_fd),
      m_holderPid(other.m_holderPid)
{
    other.m_fd = -1;
}

PortClaim &PortClaim::operator=(PortClaim &&other) noexcept
{
    if (this != &other) {
        release();
        m_device = std::move(other.m_device);
        m_path = std::move(other.m_path);
        m_fd = other.m_fd;
        m_holderPid = other.m_holderPid;
        other.m_fd = -1;
    }
    return *this;
}

QString PortClaim::lockFileFor(const QString &device)
{
#ifdef Q_OS_UNIX
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return {};
    // The node's change time names this device node, not the name: a node made again for
    // another device under the same name (a pseudo-terminal's number given out again, a USB
    // adapter plugged back) has another, so a claim on the old one never holds the new.
    struct stat st = {};
    if (::stat(QFile::encodeName(target).constData(), &st) != 0)
        return {};
    QString key = target.mid(1);
    key.replace(QLatin1Char('/'), QLatin1Char('_'));
    return lockFolder() + QStringLiteral("/vell-usb-programmer.") + key +
           QStringLiteral(".%1.%2.lock")
               .arg(qint64(st.st_ctim.tv_sec))
               .arg(qint64(st.st_ctim.tv_nsec));
#else
    Q_UNUSED(device);
    return {};
#endif
}

bool PortClaim::take()
{
    m_holderPid = 0;
    if (isHeld())
        return true;
#ifdef Q_OS_UNIX
    const QString path = lockFileFor(m_device);
    if (path.isEmpty())
        return true;
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    // The holder removes the file when it lets go: a lock taken on a file removed meanwhile
    // holds nothing, and is taken again on the file now under that name.
    for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
        fd = openLockFile(name);
        if (fd < 0) {
            qCWarning(lcLink) << "cannot make the claim file" << path << ::strerror(errno)
                              << "- the port is used unclaimed";
            return true;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            m_holderPid = readPid(fd);
            ::close(fd);
            qCDebug(lcLink) << m_device << "is claimed by process" << m_holderPid;
            return false;
        }
        struct stat held = {};
        struct stat named = {};
        if (::fstat(fd, &held) != 0 || ::stat(name.constData(), &named) != 0 ||
            held.st_ino != named.st_ino || held.st_dev != named.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return true; // removed under us again and again: not a claim to fight for
    m_fd = fd;
    m_path = path;
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) < 0)
        qCDebug(lcLink) << "claim file" << path << "keeps no process id";
    qCDebug(lcLink) << "claimed" << m_device << "in" << path;
#endif
    return true;
}

void PortClaim::release()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0) {
        // Removed while still locked: a copy that opened it meanwhile sees it gone once it
        // has the lock, and takes the claim on the file made anew.
        if (::unlink(QFile::encodeName(m_path).constData()) != 0 && ::ftruncate(m_fd, 0) != 0)
            qCDebug(lcLink) << "claim file of" << m_device << "keeps its process id";
        ::close(m_fd);
    }
#endif
    m_fd = -1;
}

qint64 PortClaim::heldByOther(const QString &device)
{
#ifdef Q_OS_UNIX
    const QString path = lockFileFor(device);
    if (path.isEmpty())
        return -1;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
#ifdef Q_OS_LINUX
    // The kernel's table of locks names the holder without touching the lock, so looking
    // never makes a copy that claims the port at that moment find it taken.
    struct stat st = {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::fstat(fd, &st) == 0 && locks.open(QIODevice::ReadOnly | QIODevice::Text)) {
        ::close(fd);
        const QByteArray id = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') +
                              ':' +
                              QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') +
                              ':' + QByteArray::number(qulonglong(st.st_ino));
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"
        for (const QByteArray &line : locks.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() >= 6 && f.at(1) == "FLOCK" && f.at(3) == "WRITE" && f.at(5) == id)
                return f.at(4).toLongLong();
        }
        return -1;
    }
#endif
    // Elsewhere a shared lock looks: it never writes, and an exclusive claim refuses it.
    qint64 holder = -1;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        holder = readPid(fd);
    ::close(fd);
    return holder;
#else
    Q_UNUSED(device);
    return -1;
#endif
}

} // namespace vell::link
