#include "shipcursor.h"

#include "logging.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <system_error>

namespace vell::linedb {

namespace {

const QLatin1String kDatabase("database");
const QLatin1String kOffset("offset");
const QLatin1String kLine("line");

} // namespace

ShipCursor::ShipCursor(const QString &logPath, const QString &database)
    : m_logPath(logPath), m_path(pathFor(logPath)), m_database(database)
{
}

QString ShipCursor::pathFor(const QString &logPath)
{
    return logPath + QStringLiteral(".shipped");
}

ShipCursor::Position ShipCursor::read() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject o = QJsonDocument::fromJson(file.read(4096)).object();
    const Position kept{qint64(o.value(kOffset).toDouble(-1)), qint64(o.value(kLine).toDouble(-1))};
    if (o.value(kDatabase).toString() != m_database || kept.offset <= 0 || kept.line <= 0)
        return {};
    // The log was replaced or cut when the kept place is no longer a line's end in it.
    QFile log(m_logPath);
    char before = 0;
    if (!log.open(QIODevice::ReadOnly) || !log.seek(kept.offset - 1) || !log.getChar(&before) ||
        before != '\n') {
        qCWarning(lcLine) << m_path << "does not fit its log: sending from the log's start";
        return {};
    }
    return kept;
}

bool ShipCursor::write(const Position &position)
{
    // A new file beside it, then renamed over it: a reader sees the old place or the new one.
    // Not synced to the disk: a place lost in a crash only sends records again, which the
    // database stores once.
    const QByteArray text = QJsonDocument(QJsonObject{{kDatabase, m_database},
                                                      {kOffset, position.offset},
                                                      {kLine, position.line}})
                                .toJson(QJsonDocument::Compact) +
                            '\n';
    const QString temporary = m_path + QStringLiteral(".new");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() ||
        !file.flush()) {
        m_error = file.errorString();
        return false;
    }
    file.close();
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(temporary).toStdString(),
                            QFile::encodeName(m_path).toStdString(), error);
    if (error) {
        m_error = QString::fromLocal8Bit(error.message().c_str());
        QFile::remove(temporary);
        return false;
    }
    return true;
}

} // namespace vell::linedb
