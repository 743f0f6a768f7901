#pragma once

#include "link/commandframe.h"
#include "model/programmerstate.h"
#include "model/texts.h"

#include <QLocale>
#include <QString>
#include <QStringList>

// Operator texts of the program file load, word for word.
namespace vell::load::texts {

inline const QString kRestartWithProgrammer =
    QStringLiteral("Restart Program with Programmer Connected");
/// Programmer 1 gone at the start of a load: the two texts joined by a lone carriage return.
inline const QString kCommunicationLostPrompt =
    model::texts::kCommunicationLost + QLatin1Char('\r') + kRestartWithProgrammer;

// Refusals of a program file before any link is touched.
inline const QString kProgramFileNotFound = QStringLiteral("Program File Not Found");
inline const QString kProgramFileUnreadable = QStringLiteral("Cannot Read Program File");
inline const QString kProgramFileNotAFile = QStringLiteral("Program File Is Not a File");
inline const QString kProgramFileTooLarge = QStringLiteral("Program File Too Large");
/// "A program file must be smaller than 16,777,216 bytes": the limit of the frames' size field.
inline QString programFileLimit()
{
    return QStringLiteral("A program file must be smaller than %1 bytes")
        .arg(QLocale(QLocale::English).toString(link::CommandFrame::kLengthLimit));
}
inline const QString kProgramFileNotApproved =
    QStringLiteral("Program File Is Not the Approved Image");
/// The hashes that differ, the approved one beside the file's, one line each.
inline QString notApprovedHashes(const model::ImagePin &approved, const model::ImageIdentity &file)
{
    QStringList lines;
    if (!approved.sha256.isEmpty() && approved.sha256 != file.sha256)
        lines << QStringLiteral("SHA-256 approved: %1, the file's: %2")
                     .arg(approved.sha256, file.sha256);
    if (!approved.crc32.isEmpty() && approved.crc32 != file.crc32)
        lines << QStringLiteral("CRC-32 approved: %1, the file's: %2")
                     .arg(approved.crc32, file.crc32);
    return lines.join(u'\n');
}

// A stream that cannot go on.
inline const QString kProgramFileChanged = QStringLiteral("Program File Changed During Load");
/// A black-box trailer byte whose Config.txt line (3..34) holds no number from 0 to 255.
inline QString configLineNotAByte(int line)
{
    return QStringLiteral("Config.txt Line %1 Is Not a Number from 0 to 255").arg(line);
}

} // namespace vell::load::texts
