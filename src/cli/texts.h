#pragma once

#include "app/texts.h"

#include <QString>

// Texts of the headless run: its own lines on stdout and its messages on stderr.
namespace vell::cli::texts {

inline QString programmerLine(int n, int comPort, const QString &text)
{
    return app::texts::programmerName(n, comPort) + QStringLiteral(": ") + text;
}
inline QString promptLine(const QString &text)
{
    return QStringLiteral("Prompt: ") + text;
}
/// --board named a COM number that no port stands for.
inline QString boardWithoutPort(int com)
{
    return QStringLiteral("--board COM%1: there is no port COM %1").arg(com);
}
/// --board named a COM number where the search found no programmer.
inline QString boardWithoutProgrammer(int com)
{
    return QStringLiteral("--board COM%1: no programmer was found on COM %1").arg(com);
}

/// dir: the --ports folder, empty for the machine's own ports.
inline QString noProgrammers(const QString &dir)
{
    const QString where = dir.isEmpty() ? QStringLiteral("COM1..COM15")
                                        : QStringLiteral("COM1..COM15 of %1").arg(dir);
    return QStringLiteral("No Programmers Found on %1. Please Connect Programmer(s) and Retry.")
        .arg(where);
}
/// Some ports exist but none could be used; each was named on stderr as it was met.
inline QString noUsableProgrammers(const QString &dir, int unusable)
{
    const QString where = dir.isEmpty() ? QStringLiteral("COM1..COM15")
                                        : QStringLiteral("COM1..COM15 of %1").arg(dir);
    return QStringLiteral(
               "No Programmers Found on %1: %2 port(s) could not be used, as said above.")
        .arg(where)
        .arg(unusable);
}
// The client of the control socket (--control).
inline QString noStation(const QString &socket, const QString &why)
{
    return QStringLiteral("No station listens on %1: %2").arg(socket, why);
}
inline const QString kNoSocket = QStringLiteral("there is no socket (start one with --serve)");
inline const QString kNothingListens =
    QStringLiteral("nothing listens on it (a station that ended left it behind)");
inline const QString kSocketDenied = QStringLiteral("permission denied");
inline QString stationClosed(const QString &socket)
{
    return QStringLiteral("The station on %1 ended the connection before the end of the "
                          "request (a station refuses another user)")
        .arg(socket);
}
/// The station's state, and the id of the request it runs (empty: none, or the operator's).
inline QString stationLine(const QString &state, const QString &running)
{
    return running.isEmpty() ? QStringLiteral("Station: %1").arg(state)
                             : QStringLiteral("Station: %1 (request %2)").arg(state, running);
}
inline QString badTimeout(int seconds)
{
    return QStringLiteral("--timeout must be a whole number of seconds above 0 (got %1)")
        .arg(seconds);
}
inline QString programFileProblem(const QString &path, const QString &reason)
{
    return QStringLiteral("%1: %2").arg(path, reason);
}

} // namespace vell::cli::texts
