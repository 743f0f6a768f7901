#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace vell::app {

/// The small settings file that carries the last program-file folder (and programmer 1's
/// port) from one run to the next: seven lines, written at exit, only the folder read back.
/// It lives beside the executable, or in the per-user configuration folder when the
/// executable's folder cannot be written; both reading and writing use the same rule.
class Settings
{
public:
    static constexpr const char *kFileName = "VellProgrammer.txt";
    static constexpr int kLineCount = 7;

    /// The shipped locations: the executable's folder and the per-user configuration folder.
    Settings();
    Settings(QString executableFolder, QString userFolder);

    /// Where the file is read from and written to, decided afresh on each call.
    [[nodiscard]] QString filePath() const;

    /// The seventh line; nothing when the file is missing, unreadable or shorter than seven
    /// lines.
    [[nodiscard]] std::optional<QString> readLastFolder() const;
    /// Replaces the file as a whole (never leaves half a file). False when it could not be
    /// written.
    bool write(int comPort, const QString &lastFolder) const;

    /// The file's bytes: seven lines, each ended by CR LF.
    [[nodiscard]] static QByteArray format(int comPort, const QString &lastFolder);
    /// Line 7 of content whose lines end in CR LF, CR or LF; nothing when there are fewer
    /// than seven lines.
    [[nodiscard]] static std::optional<QString> parseLastFolder(const QByteArray &content);

    /// Where the browser opens when no usable folder is remembered: c: on Windows, the
    /// user's home folder elsewhere.
    [[nodiscard]] static QString fallbackFolder();
    /// The folder to open at start: the remembered one when it can be listed, else the
    /// fallback (without a message).
    [[nodiscard]] static QString startFolder(const QString &remembered);

private:
    [[nodiscard]] static bool canWriteIn(const QString &folder, const QString &filePath);

    QString m_executableFolder;
    QString m_userFolder;
};

} // namespace vell::app
