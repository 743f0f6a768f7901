#pragma once

#include <QString>

// Operator texts of the programmer link, word for word.
namespace vell::link::texts {

inline const QString kVellProgrammer = QStringLiteral("Vell Programmer");
inline const QString kIncorrectPortNumber = QStringLiteral("Incorrect Port Number");
inline const QString kConnectProgrammer1 =
    QStringLiteral("Please Make Sure Programmer is Connected and Retry");
/// n is 2..4.
inline QString connectProgrammerN(int n)
{
    return QStringLiteral("Please Make Sure Programmer %1 is Connected and Retry").arg(n);
}

inline const QString kEstablishingCommunication = QStringLiteral("Establishing Communication");
inline const QString kProgrammingTargetBoard = QStringLiteral("Programming Target Board");

// Replies: status box, version labels and progress.
inline const QString kProgrammerWaiting = QStringLiteral("Programmer Waiting");
inline const QString kProgrammerWaitingVersion =
    QStringLiteral("Programmer Waiting / Software Version ");
inline const QString kProgrammerSoftwareVersion = QStringLiteral("Programmer Software version ");
inline const QString kReadyForFile = QStringLiteral("Ready For File");
inline const QString kFileLoadedOk = QStringLiteral("File Loaded OK");
inline const QString kBoardProgrammedOk = QStringLiteral("Board Programmed OK");
inline const QString kBoardSoftwareVersion = QStringLiteral("Board Software Version ");
inline const QString kVerifyingFilePrefix = QStringLiteral("Verifying File / ");
inline const QString kProgrammingTargetBoardPrefix = QStringLiteral("Programming Target Board / ");
/// After a progress step's number, with a blank before the sign (the transfer has none).
inline const QString kSpacedPercentComplete = QStringLiteral(" % Complete");

// Error codes of "ALPER" (1..8, 12) and "APTER" (9..12) replies.
inline const QString kLoadError1 = QStringLiteral("Error #1 / Checksum Does Not Match");
inline const QString kLoadError2 = QStringLiteral("Error #2 / File Size Incorrect");
inline const QString kLoadError3 =
    QStringLiteral("Error #3 / Memory Size & Processor Type Do Not Match");
inline const QString kLoadError4 = QStringLiteral("Error #4 / Memory Size In File Too Small");
inline const QString kLoadError5 = QStringLiteral("Error #5 / Memory Size In File Too Large");
inline const QString kLoadError6 = QStringLiteral("Error #6 / File Size Invalid");
inline const QString kLoadError7 = QStringLiteral("Error #7 / Unsupported Processor Type");
inline const QString kLoadError8 = QStringLiteral("Error #8 / PC Download Timed Out");
inline const QString kTargetError9 = QStringLiteral("Error #9 / Processor ID's Do Not Match");
inline const QString kTargetError10 =
    QStringLiteral("Error #10 / Cannot Communicate With Target Board");
inline const QString kTargetError11 = QStringLiteral("Error #11 / Target Board Verification Error");
inline const QString kOldBlackBoxError12 = QStringLiteral("Error #12 / Old Black Box File Format");
inline const QString kUndefinedLoadError = QStringLiteral("Undefined Program Load Error");
inline const QString kUndefinedTargetError = QStringLiteral("Undefined Program Target Error");

// Why a port that exists cannot be used (the search, the headless run, --list-ports).
#ifdef Q_OS_LINUX
inline const QString kPortDenied =
    QStringLiteral("Permission denied: this user may not open the port. Join the dialout group "
                   "(sudo usermod -aG dialout \"$USER\"), then log out and in again");
#else
inline const QString kPortDenied =
    QStringLiteral("Permission denied: this user may not open the port");
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
