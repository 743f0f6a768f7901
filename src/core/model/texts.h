#pragma once

#include <QString>

// Operator texts of the programmers: what a pane's status box and the version labels show, and
// the messages a command shows the operator, word for word.
namespace vell::model::texts {

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

// What a pane shows outside the replies.
inline const QString kProgrammerFoundOnComPort = QStringLiteral("Programmer Found on Com Port ");
/// Pane n's first text after the search, for a programmer whose found text is numbered.
inline QString numberedProgrammerFound(int n, int comPort)
{
    return QStringLiteral("Programmer #%1 Found on Com Port %2").arg(n).arg(comPort);
}
inline const QString kTransferringFile = QStringLiteral("Transferring File / ");
inline const QString kPercentComplete = QStringLiteral("% Complete");
/// "Transferring File / 66% Complete": no blanks around the number.
inline QString transferring(int percent)
{
    return kTransferringFile + QString::number(percent) + kPercentComplete;
}
inline const QString kCommunicationLost = QStringLiteral("Communication with Programmer Lost");
/// A programmer left out of program-target because its last load of this run failed.
inline const QString kNotProgrammedLastLoadFailed =
    QStringLiteral("Not Programmed: Last Load Failed");
/// Left out because the run is pinned to an approved image and it holds no such image.
inline const QString kNotProgrammedImageNotApproved =
    QStringLiteral("Not Programmed: Image Not Approved");
/// Left out because the run asks for a board serial and it was given none.
inline const QString kNotProgrammedNoBoardSerial =
    QStringLiteral("Not Programmed: No Board Serial");
/// Left out because its board's serial is held by another programmer too.
inline const QString kNotProgrammedSameBoardSerialTwice =
    QStringLiteral("Not Programmed: Same Board Serial Twice");

// Board serials: why a scan or a --board serial is refused, and what a pane says beside its
// board field.
inline const QString kSerialEmpty = QStringLiteral("no serial given");
inline const QString kSerialEndsWithTab =
    QStringLiteral("it ended with Tab, not Enter (set the scanner to end with Enter)");
inline const QString kSerialNotPrintable =
    QStringLiteral("it holds a control character or another that does not print");
inline QString serialTooLong(int length, int most)
{
    return QStringLiteral("%1 characters, a serial has at most %2").arg(length).arg(most);
}
inline QString serialNoMatch(const QString &pattern)
{
    return QStringLiteral("it does not match the board pattern %1").arg(pattern);
}
/// Beside a field whose scan was refused.
inline QString scanRefused(const QString &reason)
{
    return QStringLiteral("Refused: %1").arg(reason);
}
/// Beside the field of a board this run had programmed OK before.
inline QString programmedBefore(const QString &when, int programmer)
{
    return QStringLiteral("Programmed OK before, at %1 by programmer %2").arg(when).arg(programmer);
}

} // namespace vell::model::texts
