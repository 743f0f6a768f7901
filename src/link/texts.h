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

} // namespace vell::link::texts
