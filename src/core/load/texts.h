#pragma once

#include "link/texts.h"

#include <QString>

// Operator texts of the program file load, word for word.
namespace vell::load::texts {

inline const QString kTransferringFile = QStringLiteral("Transferring File / ");
inline const QString kPercentComplete = QStringLiteral("% Complete");
/// "Transferring File / 66% Complete": no blanks around the number.
inline QString transferring(int percent)
{
    return kTransferringFile + QString::number(percent) + kPercentComplete;
}

inline const QString kCommunicationLost = QStringLiteral("Communication with Programmer Lost");
inline const QString kRestartWithProgrammer =
    QStringLiteral("Restart Program with Programmer Connected");
/// Programmer 1 gone at the start of a load: the two texts joined by a lone carriage return.
inline const QString kCommunicationLostPrompt =
    kCommunicationLost + QLatin1Char('\r') + kRestartWithProgrammer;

// Refusals of a program file before any link is touched.
inline const QString kProgramFileNotFound = QStringLiteral("Program File Not Found");
inline const QString kProgramFileUnreadable = QStringLiteral("Cannot Read Program File");
inline const QString kProgramFileNotAFile = QStringLiteral("Program File Is Not a File");
inline const QString kProgramFileTooLarge = QStringLiteral("Program File Too Large");
inline const QString kProgramFileLimit =
    QStringLiteral("A program file must be smaller than 16,777,216 bytes");

// A stream that cannot go on.
inline const QString kProgramFileChanged = QStringLiteral("Program File Changed During Load");
/// A black-box trailer byte whose Config.txt line (3..34) holds no number from 0 to 255.
inline QString configLineNotAByte(int line)
{
    return QStringLiteral("Config.txt Line %1 Is Not a Number from 0 to 255").arg(line);
}

} // namespace vell::load::texts
