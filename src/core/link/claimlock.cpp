#include "claimlock.h"

#include "logging.h"

#include <QDir>
#include <QFile>

#include <optional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
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
const QString kPrefix = QStringLiteral("vell-usb-programmer.");
const QString kSuffix = QStringLiteral(".lock");

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

/// Opens the lock file path, making it when missing; readable and writable by every user, so
/// whoever claims the same thing next can write its process id. Never O_CREAT on an existing
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
    return n > 0 ? QByteArray(text, int(n)).split('\n').first().trimmed().toLongLong() : 0;
}

/// Whether fd is still the file named path: a holder removes its file while it still holds
/// the lock.
bool isNamed(int fd, const QByteArray &path)
{
    struct stat held = {};
    struct stat named = {};
    return ::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0 &&
           held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

/// The process holding an exclusive flock() on fd's file, from the kernel's table of locks,
/// which names it without touching the lock (so looking never makes a copy that claims at that
/// moment find the lock taken): -1 when none is listed; nullopt where there is no such table.
std::optional<qint64> listedLocker(int fd)
{
#ifdef Q_OS_LINUX
    struct stat st = {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::fstat(fd, &st) != 0 || !locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return std::nullopt;
    const QByteArray id = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                          QByteArray::number(qulonglong(st.st_ino));
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 6 && f.at(1) == "FLOCK" && f.at(3) == "WRITE" && f.at(5) == id)
            return f.at(4).toLongLong();
    }
    return -1;
#else
    Q_UNUSED(fd);
    return std::nullopt;
#endif
}
#endif

} // namespace

ClaimLock::ClaimLock(ClaimLock &&other) noexcept
    : m_path(std::move(other.m_path)), m_subject(std::move(other.m_subject)), m_fd(other.m_fd),
      m_holderPid(other.m_holderPid)
{
    other.m_fd = -1;
}

ClaimLock &ClaimLock::operator=(ClaimLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_path = std::move(other.m_path);
        m_subject = std::move(other.m_subject);
        m_fd = other.m_fd;
        m_holderPid = other.m_holderPid;
        other.m_fd = -1;
    }
    return *this;
}

QString ClaimLock::fileFor(const QString &key)
{
#ifdef Q_OS_UNIX
    return lockFolder() + QLatin1Char('/') + kPrefix + key + kSuffix;
#else
    Q_UNUSED(key);
    return {};
#endif
}

ClaimLock::Outcome ClaimLock::take()
{
    m_holderPid = 0;
    if (isHeld())
        return Outcome::Held;
#ifdef Q_OS_UNIX
    if (m_path.isEmpty())
        return Outcome::Unclaimed;
    const QByteArray name = QFile::encodeName(m_path);
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int fd = openLockFile(name);
        if (fd < 0) {
            qCWarning(lcLink) << "cannot make the claim file" << m_path << ::strerror(errno)
                              << "- going on unclaimed";
            return Outcome::Unclaimed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const qint64 named = readPid(fd);
            const std::optional<qint64> locker = listedLocker(fd);
            ::close(fd);
            // A lock the file does not name its holder for is changing hands: a copy removing
            // the file as stale, or a holder that has not written its id yet. Look again.
            if (locker && *locker != named && attempt + 1 < kAttempts) {
                ::sched_yield();
                continue;
            }
            m_holderPid = locker && *locker > 0 ? *locker : named;
            qCDebug(lcLink) << m_subject << "is claimed by process" << m_holderPid;
            return Outcome::HeldByOther;
        }
        // A lock taken on a file its holder removed meanwhile holds nothing: take it again on
        // the file now under that name.
        if (!isNamed(fd, name)) {
            ::close(fd);
            continue;
        }
        m_fd = fd;
        const QByteArray text =
            QByteArray::number(qint64(::getpid())) + '\n' + QFile::encodeName(m_subject) + '\n';
        if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.constData(), size_t(text.size()), 0) < 0)
            qCDebug(lcLink) << "claim file" << m_path << "keeps no process id";
        qCDebug(lcLink) << "claimed" << m_subject << "in" << m_path;
        return Outcome::Held;
    }
    qCWarning(lcLink) << "the claim file" << m_path << "keeps changing - going on unclaimed";
#endif
    return Outcome::Unclaimed;
}

void ClaimLock::release()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0) {
        // Removed while still locked: a copy that opened it meanwhile sees it gone once it
        // has the lock, and takes the claim on the file made anew.
        if (::unlink(QFile::encodeName(m_path).constData()) != 0 && ::ftruncate(m_fd, 0) != 0)
            qCDebug(lcLink) << "claim file" << m_path << "keeps its process id";
        ::close(m_fd);
    }
#endif
    m_fd = -1;
}

qint64 ClaimLock::holderOf(const QString &path)
{
#ifdef Q_OS_UNIX
    if (path.isEmpty())
        return -1;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    qint64 holder = -1;
    if (const std::optional<qint64> locker = listedLocker(fd))
        holder = *locker;
    else if (::flock(fd, LOCK_SH | LOCK_NB) != 0) // it never writes; a claim refuses it
        holder = readPid(fd);
    ::close(fd);
    // This process's own claims are not another's.
    return holder == qint64(::getpid()) ? -1 : holder;
#else
    Q_UNUSED(path);
    return -1;
#endif
}

void ClaimLock::removeStale()
{
#ifdef Q_OS_UNIX
    const QDir folder(lockFolder());
    const QStringList files = folder.entryList({kPrefix + QLatin1Char('*') + kSuffix}, QDir::Files);
    for (const QString &file : files) {
        const QByteArray name = QFile::encodeName(folder.filePath(file));
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        // Locked and checked as release() does, so a copy that opens it meanwhile makes it anew.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && isNamed(fd, name) &&
            ::unlink(name.constData()) == 0)
            qCDebug(lcLink) << "removed the stale claim file" << file;
        ::close(fd);
    }
#endif
}

} // namespace vell::link
