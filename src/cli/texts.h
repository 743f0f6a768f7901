#pragma once

#include <QString>

// Texts of the headless run: its own lines on stdout and its messages on stderr.
namespace vell::cli::texts {

inline QString programmerLine(int n, int comPort, const QString &text)
{
    return QStringLiteral("Programmer %1 (COM %2): %3").arg(n).arg(comPort).arg(text);
}
inline QString promptLine(const QString &text)
{
    return QStringLiteral("Prompt: ") + text;
}
inline QString programmerName(int n, int comPort)
{
    return QStringLiteral("Programmer %1 (COM %2)").arg(n).arg(comPort);
}

inline const QString kStepLoad = QStringLiteral("load");
inline const QString kStepTarget = QStringLiteral("program target");
inline const QString kSummary = QStringLiteral("Summary: ");
inline const QString kSucceeded = QStringLiteral("succeeded");
inline const QString kFailed = QStringLiteral("failed");
inline const QString kNotRun = QStringLiteral("not run, a load failed");
inline QString timedOut(int seconds)
{
    return QStringLiteral("no result within %1 s").arg(seconds);
}
inline const QString kNoAnswerToLoad = QStringLiteral("no answer to the load frame");
inline const QString kLoadNotStarted = QStringLiteral("the load did not start");
inline const QString kLoadEnded = QStringLiteral("the load ended before the file was sent");

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

inline const QString kFile = QStringLiteral("file ");
/// Records the attempt log did not take, and why the last one did not.
inline QString recordsLost(int count, const QString &why)
{
    return QStringLiteral("records lost: %1 (%2)").arg(count).arg(why);
}
inline const QString kBoards = QStringLiteral("boards: ");
/// The programmers whose step was repeated: "File Loaded OK (2 tries)".
inline const QString kRetried = QStringLiteral("retried: ");
inline QString tries(const QString &result, int count)
{
    return QStringLiteral("%1 (%2 tries)").arg(result).arg(count);
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
