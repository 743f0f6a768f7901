#include "attemptlog.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace vell::app {

QString AttemptLog::defaultPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("attempts.jsonl"));
}

bool AttemptLog::fail(const QString &reason)
{
    m_error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_file.fileName()), reason);
    return false;
}

bool AttemptLog::open(const QString &path)
{
    m_file.close();
    m_file.setFileName(path.isEmpty() ? defaultPath() : path);
    if (!QDir().mkpath(QFileInfo(m_file.fileName()).absolutePath()))
        return fail(QStringLiteral("cannot create its folder"));
    // Unbuffered: each record reaches the file in the one write that append makes. A device
    // or a pipe has no end to append at (and Qt would warn that it cannot seek one).
    const QFileInfo info(m_file.fileName());
    const QIODevice::OpenMode append =
        info.exists() && !info.isFile() ? QIODevice::NotOpen : QIODevice::Append;
    if (!m_file.open(QIODevice::WriteOnly | append | QIODevice::Unbuffered))
        return fail(m_file.errorString());
    return true;
}

bool AttemptLog::append(const record::AttemptRecord &record)
{
    if (!m_file.isOpen())
        return fail(QStringLiteral("not open"));
    const QByteArray line = record.toLine();
    if (m_file.write(line) != line.size())
        return fail(m_file.errorString());
    return true;
}

} // namespace vell::app
