#pragma once

#include "discovery/texts.h"

#include <QString>

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

/// Pane n's first text after the search; n is 1..4.
inline QString programmerFound(int n, int comPort)
{
    if (n == 1)
        return discovery::texts::kProgrammerFoundOnComPort + QString::number(comPort);
    return QStringLiteral("Programmer #%1 Found on Com Port %2").arg(n).arg(comPort);
}

// The settings file's fixed lines.
inline const QString kSettingsHeader =
    QStringLiteral("****** Ini file for Vell USB Programmer *******");
inline const QString kSettingsComPortCaption = QStringLiteral("Last Com Port Number used");
inline const QString kSettingsFolderCaption = QStringLiteral("Last File loaded from");

} // namespace vell::app::texts
