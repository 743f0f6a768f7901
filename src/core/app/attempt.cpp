#include "attempt.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <zlib.h>

namespace vell::app {

namespace {

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

std::optional<ImageIdentity> ImageIdentity::of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QCryptographicHash sha(QCryptographicHash::Sha256);
    uLong crc = ::crc32(0L, Z_NULL, 0);
    qint64 size = 0;
    QByteArray chunk;
    while (!(chunk = file.read(1 << 16)).isEmpty()) {
        sha.addData(chunk);
        crc = ::crc32(crc, reinterpret_cast<const Bytef *>(chunk.constData()), uInt(chunk.size()));
        size += chunk.size();
    }
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    const QFileInfo info(path);
    return ImageIdentity{info.fileName(), info.absolutePath(), size,
                         QString::fromLatin1(sha.result().toHex()),
                         QStringLiteral("%1").arg(quint32(crc), 8, 16, QLatin1Char('0'))};
}

QJsonObject ImageIdentity::toJson() const
{
    return {{QStringLiteral("name"), name},     {QStringLiteral("folder"), folder},
            {QStringLiteral("size"), size},     {QStringLiteral("sha256"), sha256},
            {QStringLiteral("crc32"), crc32}};
}

QString Attempt::resultName(Result result)
{
    switch (result) {
    case Result::Ok:
        return QStringLiteral("ok");
    case Result::Error:
        return QStringLiteral("error");
    case Result::Lost:
        return QStringLiteral("lost");
    case Result::TimedOut:
        return QStringLiteral("timed-out");
    case Result::NoResult:
        break;
    }
    return QStringLiteral("no-result");
}

QJsonObject Attempt::toJson() const
{
    QJsonObject record = port.toJson();
    record[QStringLiteral("time")] = utc(ended);
    record[QStringLiteral("started")] = utc(started);
    record[QStringLiteral("duration_ms")] = started.msecsTo(ended);
    record[QStringLiteral("host")] = QSysInfo::machineHostName();
    record[QStringLiteral("app_version")] = QCoreApplication::applicationVersion();
    record[QStringLiteral("programmer")] = programmer;
    record[QStringLiteral("com")] = comPort;
    record[QStringLiteral("step")] =
        step == Step::Load ? QStringLiteral("load") : QStringLiteral("program-target");
    record[QStringLiteral("file")] = image ? QJsonValue(image->toJson()) : QJsonValue();
    record[QStringLiteral("options")] =
        step == Step::Load ? QJsonValue(QJsonObject{{QStringLiteral("restore_defaults"), restoreDefaults},
                                                    {QStringLiteral("black_box"), blackBox}})
                           : QJsonValue();
    record[QStringLiteral("result")] = resultName(result);
    record[QStringLiteral("code")] = code ? QJsonValue(*code) : QJsonValue();
    record[QStringLiteral("text")] = text;
    record[QStringLiteral("programmer_version")] = orNull(programmerVersion);
    return record;
}

} // namespace vell::app
