#pragma once

#include <QString>

// Texts of the control socket: why a request or a connection is refused, and what the
// station says of its socket.
namespace vell::control::texts {

inline const QString kNotUtf8 = QStringLiteral("the line is not UTF-8");
inline QString notJson(const QString &why)
{
    return QStringLiteral("the line is not JSON: %1").arg(why);
}
inline const QString kIdTooLong = QStringLiteral("the id takes over 1024 bytes as JSON");
inline const QString kNotAnObject = QStringLiteral("a request is one JSON object");
inline const QString kNoCommand = QStringLiteral("the request names no \"command\" (a string)");
inline QString unknownCommand(const QString &name)
{
    return QStringLiteral("unknown command '%1' (status, load, program-target, retry-failed, "
                          "search, subscribe, unsubscribe)")
        .arg(name);
}
inline QString unknownField(const QString &field, const QString &command)
{
    return QStringLiteral("%2 takes no field '%1'").arg(field, command);
}
inline QString notABoolean(const QString &field)
{
    return QStringLiteral("'%1' takes true or false").arg(field);
}
inline const QString kFileNeeded =
    QStringLiteral("load takes 'file', the absolute path of the program file");
inline const QString kProgrammersRange =
    QStringLiteral("'programmers' takes a list of programmer numbers from 1 to 4");
inline const QString kBoardsShape =
    QStringLiteral("'boards' takes an object of board serials by COM port (\"COM3\": \"serial\"), "
                   "each 1 to 64 printable characters");
inline QString notInUse(int programmer)
{
    return QStringLiteral("programmer %1 is not in use").arg(programmer);
}
inline QString comNotInUse(int com)
{
    return QStringLiteral("no programmer in use on COM%1").arg(com);
}
/// A board serial the station's rules (--board-pattern) refuse.
inline QString boardRefused(int com, const QString &why)
{
    return QStringLiteral("boards COM%1: %2").arg(com).arg(why);
}
inline const QString kNoProgrammers =
    QStringLiteral("no programmer was found: connect programmers, then search");
inline const QString kLineTooLong = QStringLiteral("the line is over 1 MiB: the connection ends");
inline const QString kStepRuns = QStringLiteral("a step runs");
inline const QString kSearchRuns = QStringLiteral("the search runs");
inline const QString kTooManyConnections = QStringLiteral("too many connections");

inline QString alreadyListens(const QString &path, qint64 pid)
{
    return QStringLiteral("a station already listens on %1 (process %2)").arg(path).arg(pid);
}
inline QString cannotUse(const QString &path, const QString &why)
{
    return QStringLiteral("cannot listen on %1: %2").arg(path, why);
}
inline const QString kFolderNotOurs = QStringLiteral("its folder belongs to another user");
inline const QString kCannotMakeFolder = QStringLiteral("cannot make its folder");
inline QString cannotMakeLock(const QString &lock)
{
    return QStringLiteral("cannot make its lock file %1").arg(lock);
}
inline const QString kNotClaimed = QStringLiteral("its place was not claimed");
/// A load's file refused: the path, then why.
inline QString fileRefused(const QString &path, const QString &why)
{
    return QStringLiteral("%1: %2").arg(path, why);
}
inline QString listening(const QString &path)
{
    return QStringLiteral("Listening on %1").arg(path);
}
inline QString refusedPeer(qint64 uid)
{
    return QStringLiteral("Refused a connection to the control socket from user %1").arg(uid);
}

} // namespace vell::control::texts
