#include "settings.h"

#include "logging.h"
#include "texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace vell::app {

namespace {

// Nothing but line 7 matters, so a huge file is not read whole.
constexpr qint64 kMaxReadBytes = 1 << 20;

} // namespace

Settings::Settings()
    : Settings(QCoreApplication::applicationDirPath(),
               QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
{
}

Settings::Settings(QString executableFolder, QString userFolder)
    : m_executableFolder(std::move(executableFolder)), m_userFolder(std::move(userFolder))
{
}

QString Settings::filePath() const
{
    const QString beside = QDir(m_executableFolder).filePath(QString::fromLatin1(kFileName));
    if (canWriteIn(m_executableFolder, beside) || m_userFolder.isEmpty())
        return beside;
    return QDir(m_userFolder).filePath(QString::fromLatin1(kFileName));
}

bool Settings::canWriteIn(const QString &folder, const QString &filePath)
{
    const QFileInfo dir(folder);
    if (!dir.isDir() || !dir.isWritable())
        return false;
    const QFileInfo file(filePath);
    return !file.exists() || file.isWritable();
}

std::optional<QString> Settings::readLastFolder() const
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcApp) << "no settings read from" << file.fileName() << file.errorString();
        return std::nullopt;
    }
    return parseLastFolder(file.read(kMaxReadBytes));
}

bool Settings::write(int comPort, const QString &lastFolder) const
{
    const QString path = filePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcApp) << "cannot write the settings file" << path << file.errorString();
        return false;
    }
    file.write(format(comPort, lastFolder));
    if (!file.commit()) {
        qCWarning(lcApp) << "cannot write the settings file" << path << file.errorString();
        return false;
    }
    return true;
}

QByteArray Settings::format(int comPort, const QString &lastFolder)
{
    const QByteArray crlf("\r\n");
    QByteArray out;
    out += texts::kSettingsHeader.toLocal8Bit() + crlf;
    out += crlf;
    out += texts::kSettingsComPortCaption.toLocal8Bit() + crlf;
    out += QByteArray::number(comPort) + crlf;
    out += crlf;
    out += texts::kSettingsFolderCaption.toLocal8Bit() + crlf;
    out += QDir::toNativeSeparators(lastFolder).toLocal8Bit() + crlf;
    return out;
}

std::optional<QString> Settings::parseLastFolder(const QByteArray &content)
{
    qsizetype pos = 0;
    QByteArray line;
    for (int i = 0; i < kLineCount; ++i) {
        // A line needs at least one byte (text or its end); a file ending earlier is short.
        if (pos >= content.size())
            return std::nullopt;
        qsizetype end = pos;
        while (end < content.size() && content.at(end) != '\r' && content.at(end) != '\n')
            ++end;
        line = content.mid(pos, end - pos);
        pos = end;
        // CR LF, a lone CR or a lone LF ends the line.
        if (pos < content.size() && content.at(pos) == '\r')
            ++pos;
        if (pos < content.size() && content.at(pos) == '\n')
            ++pos;
    }
    return QDir::fromNativeSeparators(QString::fromLocal8Bit(line));
}

QString Settings::fallbackFolder()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:/");
#else
    return QDir::homePath();
#endif
}

QString Settings::startFolder(const QString &remembered)
{
    if (!remembered.isEmpty()) {
        const QFileInfo info(remembered);
        if (info.isDir() && info.isReadable())
            return QDir(info.absoluteFilePath()).absolutePath();
    }
    return fallbackFolder();
}

} // namespace vell::app
