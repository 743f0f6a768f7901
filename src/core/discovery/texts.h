#pragma once

#include <QString>

// Operator texts of the programmer search, word for word.
namespace vell::discovery::texts {

inline const QString kWindowCaption = QStringLiteral("Searching For Programmers");
inline const QString kSearchingPort = QStringLiteral("Searching Port");
inline const QString kOk = QStringLiteral("OK");

/// Shown in place of "Searching Port" when no port answered. The two lines are joined by a
/// lone carriage return, as the system has always shown them.
inline const QString kNoProgrammersFound = QStringLiteral("No Programmers Found");
inline const QString kConnectAndRestart =
    QStringLiteral("Please Connect Programmer(s) and Restart Program");
inline const QString kNoProgrammersText =
    kNoProgrammersFound + QLatin1Char('\r') + kConnectAndRestart;

/// A port that exists but cannot be used: its COM number, device and why (link's texts).
inline QString unusablePort(int comPort, const QString &device, const QString &why)
{
    return QStringLiteral("COM%1 (%2): %3").arg(comPort).arg(device, why);
}

} // namespace vell::discovery::texts
