#pragma once

#include <QString>

// Operator texts of the ports: why a port that exists cannot be used, word for word.
namespace vell::link::texts {

inline const QString kPortDenied =
    QStringLiteral("Permission denied: this user may not open the port");
/// What to do about ports this user may not open: said once, however many there are.
#ifdef Q_OS_LINUX
inline const QString kPortDeniedWayOut =
    QStringLiteral("Join the dialout group (sudo usermod -aG dialout \"$USER\"), then log out "
                   "and in again");
#else
inline const QString kPortDeniedWayOut =
    QStringLiteral("Ask for the right to open serial ports, then log in again");
#endif
/// pid 0: the lock does not say which process.
inline QString portInUseByCopy(qint64 pid)
{
    return pid > 0 ? QStringLiteral("In use by another copy of Vell USB Programmer (process %1)")
                         .arg(pid)
                   : QStringLiteral("In use by another copy of Vell USB Programmer");
}
inline QString portInUseByProgram(qint64 pid)
{
    return pid > 0 ? QStringLiteral("In use by another program (process %1)").arg(pid)
                   : QStringLiteral("In use by another program");
}
inline QString portCannotOpen(const QString &reason)
{
    return QStringLiteral("Cannot be opened: \"%1\"").arg(reason);
}

} // namespace vell::link::texts
