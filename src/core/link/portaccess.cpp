#include "portaccess.h"

#include "logging.h"
#include "portclaim.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_UNIX
#include <QSerialPort>
#endif

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vell::link {

namespace {

#ifdef Q_OS_UNIX
bool isRunning(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

/// The name QSerialPort gives the lock file of path: without /dev/, each / an underscore.
QString qtLockName(QString path)
{
    if (path.startsWith(QLatin1String("/dev/")))
        path = path.mid(5);
    return path.replace(QLatin1Char('/'), QLatin1Char('_'));
}

/// The process named by a live LCK..name file of device (QSerialPort's and uucp's lock files,
/// in the folders they use), 0 when none. A file of this process is ours, not a holder.
qint64 lockFileHolder(const QString &device)
{
    QStringList names{qtLockName(device)};
    const QString target = QFileInfo(device).canonicalFilePath();
    for (const QString &name : {qtLockName(target), QFileInfo(target).fileName()}) {
        if (!target.isEmpty() && !names.contains(name))
            names << name;
    }
    const QStringList folders{QStringLiteral("/run/lock"),       QStringLiteral("/var/lock"),
                              QStringLiteral("/etc/locks"),      QStringLiteral("/var/spool/locks"),
                              QStringLiteral("/var/spool/uucp"), QDir::tempPath()};
    for (const QString &folder : folders) {
        for (const QString &name : names) {
            QFile lock(folder + QStringLiteral("/LCK..") + name);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const qint64 pid = lock.readLine(32).trimmed().toLongLong();
            if (pid != QCoreApplication::applicationPid() && isRunning(pid))
                return pid;
        }
    }
    return 0;
}

/// A process other than this one with device open, where the system shows it (Linux: its
/// /proc/PID/fd entries; only the processes this user may look at). 0 when none is seen.
qint64 openedBy(const QString &device)
{
#ifdef Q_OS_LINUX
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return 0;
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        if (pid == self || !pid.front().isDigit())
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() == target)
                return pid.toLongLong();
        }
    }
#else
    Q_UNUSED(device);
#endif
    return 0;
}
#endif

} // namespace

QString PortAccess::Verdict::causeName() const
{
    switch (cause) {
    case Cause::Ok:
        return QStringLiteral("ok");
    case Cause::Denied:
        return QStringLiteral("denied");
    case Cause::InUse:
        return QStringLiteral("in use");
    case Cause::Other:
        break;
    }
    return QStringLiteral("other");
}

QString PortAccess::Verdict::text() const
{
    switch (cause) {
    case Cause::Ok:
        return {};
    case Cause::Denied:
        return texts::kPortDenied;
    case Cause::InUse:
        return ourTool ? texts::portInUseByCopy(pid) : texts::portInUseByProgram(pid);
    case Cause::Other:
        break;
    }
    return texts::portCannotOpen(detail);
}

QJsonObject PortAccess::Verdict::toJson() const
{
    return {{QStringLiteral("cause"), causeName()},
            {QStringLiteral("pid"), pid > 0 ? QJsonValue(pid) : QJsonValue()},
            {QStringLiteral("text"), text()}};
}

PortAccess::Verdict PortAccess::claimedByOther(qint64 pid)
{
    return {Cause::InUse, pid, true, {}};
}

PortAccess::Verdict PortAccess::diagnose(const QString &device, const QString &failure)
{
    Verdict verdict = check(device);
    if (verdict.cause == Cause::Ok) {
        // The device opens now: what the serial layer met is the cause, in its own words.
        verdict.cause = Cause::Other;
        verdict.detail = failure;
    }
    if (verdict.cause == Cause::Other && verdict.detail.isEmpty())
        verdict.detail = failure;
    return verdict;
}

PortAccess::Verdict PortAccess::check(const QString &device)
{
    if (const qint64 holder = PortClaim::heldByOther(device); holder >= 0)
        return claimedByOther(holder);
#ifdef Q_OS_UNIX
    if (const qint64 holder = lockFileHolder(device); holder > 0)
        return {Cause::InUse, holder, false, {}};
    // O_NONBLOCK: a modem line without carrier must not hold the open.
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    const int error = errno;
    qCDebug(lcLink) << "probe open of" << device << "failed:" << ::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        return {Cause::Denied, 0, false, {}};
    case EBUSY: // another process holds it in exclusive mode
        return {Cause::InUse, openedBy(device), false, {}};
    default:
        return {Cause::Other, 0, false, QString::fromLocal8Bit(::strerror(error))};
    }
#else
    // Serial ports open exclusively here: a port that another program holds refuses access.
    QSerialPort port(device);
    if (port.open(QIODevice::ReadWrite)) {
        port.close();
        return {};
    }
    if (port.error() == QSerialPort::PermissionError)
        return {Cause::InUse, 0, false, {}};
    return {Cause::Other, 0, false, port.errorString()};
#endif
}

} // namespace vell::link

namespace vell::link {

QString PortAccess::wayOut(const QList<Verdict> &verdicts)
{
    for (const Verdict &v : verdicts) {
        if (v.cause == Cause::Denied)
            return texts::kPortDeniedWayOut;
    }
    return {};
}

} // namespace vell::link
