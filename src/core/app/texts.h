#pragma once

#include "discovery/texts.h"

#include <QString>
#include <QStringList>

#include <optional>

// Operator texts of the application shell and its windows, word for word.
namespace vell::app::texts {

inline const QString kMainWindowTitle = QStringLiteral("Vell USB Programmer ver 06");
inline const QString kPromptDoubleClick =
    QStringLiteral("Double-click file to Load Programmer ==>");
inline const QString kPromptError = QStringLiteral("Error");
inline const QString kProgrammerStatus = QStringLiteral("Programmer Status");
inline const QString kRestoreDefaults = QStringLiteral("Restore Defaults when Programming");
inline const QString kBlackBox = QStringLiteral("File is Old Black Box Format");
inline const QString kTransferToTarget = QStringLiteral("Transfer Programmer File to Target Board");

// Repeating a step on some programmers only: the button, its key and a pane's menu.
/// The caption of a pane's board field.
inline const QString kBoardField = QStringLiteral("Board");
inline const QString kRetryFailed = QStringLiteral("Retry Failed");
inline const QString kRetryFailedTip =
    QStringLiteral("Repeat the last step on the programmers whose step failed, only on those (F8)");
inline const QString kTransferToTargetTip = QStringLiteral("Program every target board (F5)");
// Why Retry Failed is greyed: its tooltip then.
inline const QString kRetryWhileBusy = QStringLiteral("A step is under way");
inline const QString kRetryNothingRan = QStringLiteral("Nothing to retry: no step has run yet");
inline const QString kRetryNoLoadFailed = QStringLiteral("Nothing to retry: no load failed");
inline const QString kRetryNoBoardFailed = QStringLiteral("Nothing to retry: no board failed");
/// Boards left out whose programmers' loads failed: programmers is their numbers.
inline QString retryBoardsWait(const QStringList &programmers)
{
    return QStringLiteral("Nothing to retry yet: the board of programmer %1 waits for its load. "
                          "Right-click its pane, Load Again, then Retry Failed")
        .arg(programmers.join(QStringLiteral(", ")));
}
/// Boards left out for their serials: programmers is their numbers.
inline QString retryBoardsScan(const QStringList &programmers)
{
    return QStringLiteral("Nothing to retry yet: the board of programmer %1 waits for its "
                          "serial. Scan it into its Board field, then Retry Failed")
        .arg(programmers.join(QStringLiteral(", ")));
}
// What a pane whose board was left out says to do (its tooltip).
inline const QString kHintLoadThenTarget =
    QStringLiteral("To program this board: Load Again, then Program Target Again (right-click)");
inline const QString kHintLoadApproved = QStringLiteral(
    "To program this board: load the approved image, then Program Target Again (right-click)");
inline const QString kHintScanThenTarget = QStringLiteral(
    "To program this board: scan its serial into its Board field, then Program Target Again "
    "(right-click)");
inline const QString kLoadAgain = QStringLiteral("Load Again");
inline const QString kProgramTargetAgain = QStringLiteral("Program Target Again");

/// A second start of the windows for the same user (stderr); the first comes forward.
inline const QString kAlreadyRunning =
    QStringLiteral("vell-usb-programmer: a copy is already running for this user; "
                   "it was brought to the front");
inline const QString kAlreadyRunningNoAnswer =
    QStringLiteral("vell-usb-programmer: a copy is already running for this user, "
                   "but it did not answer");

// The production record's texts, shared by both front ends.
/// The program file of the last load: "demo-board.bin (4096 bytes, CRC-32 1a2b3c4d)".
inline QString imageLine(const QString &name, qint64 size, const QString &crc32)
{
    return QStringLiteral("%1 (%2 bytes, CRC-32 %3)").arg(name).arg(size).arg(crc32);
}
inline const QString kProgramFileCaption = QStringLiteral("Program file: ");
/// The last load's file, when no programmer took it.
inline QString imageNotTaken(const QString &name)
{
    return QStringLiteral("%1 not loaded by any programmer").arg(name);
}
/// One programmer's boards since the start: "2 OK 1 failed (yield 67%)".
inline QString tally(qint64 ok, qint64 failed, std::optional<int> yield)
{
    return QStringLiteral("%1 OK %2 failed (yield %3)")
        .arg(ok)
        .arg(failed)
        .arg(yield ? QString::number(*yield) + QLatin1Char('%') : QStringLiteral("-"));
}
/// A pane's tooltip: which device stands behind its programmer.
inline QString portToolTip(const QString &device, const QString &location, const QString &serial)
{
    const auto known = [](const QString &s) { return s.isEmpty() ? QStringLiteral("unknown") : s; };
    return QStringLiteral("Device: %1\nLocation: %2\nSerial number: %3")
        .arg(known(device), known(location), known(serial));
}
inline QString logProblem(const QString &reason)
{
    return QStringLiteral("Cannot write the attempt log %1").arg(reason);
}

// The settings file's fixed lines.
inline const QString kSettingsHeader =
    QStringLiteral("****** Ini file for Vell USB Programmer *******");
inline const QString kSettingsComPortCaption = QStringLiteral("Last Com Port Number used");
inline const QString kSettingsFolderCaption = QStringLiteral("Last File loaded from");

// The summary of a run or of a step: the headless run's closing line, the service's summary.
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

} // namespace vell::app::texts
