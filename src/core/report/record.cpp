#include "record.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace vell::report {

namespace {

QString stringOf(const QJsonObject &o, QLatin1String key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : QString();
}

/// A JSON number that is a whole number within range, else nothing (a later version might
/// write anything there).
std::optional<qint64> wholeNumber(const QJsonValue &v, qint64 low, qint64 high)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < double(low) || d > double(high))
        return std::nullopt;
    return qint64(d);
}

int digits(const QString &s, int at, int count)
{
    int n = 0;
    for (int i = at; i < at + count; ++i) {
        const char16_t c = s.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        n = n * 10 + (c - u'0');
    }
    return n;
}

/// The log's own form, "YYYY-MM-DDTHH:MM:SS.mmmZ", without QDateTime's general parser.
std::optional<qint64> canonicalUtc(const QString &s)
{
    if (s.size() != 24 || s.at(4) != u'-' || s.at(7) != u'-' || s.at(10) != u'T' ||
        s.at(13) != u':' || s.at(16) != u':' || s.at(19) != u'.' || s.at(23) != u'Z')
        return std::nullopt;
    const int y = digits(s, 0, 4), mo = digits(s, 5, 2), d = digits(s, 8, 2);
    const int h = digits(s, 11, 2), mi = digits(s, 14, 2), sec = digits(s, 17, 2);
    const int ms = digits(s, 20, 3);
    if (y < 0 || mo < 0 || d < 0 || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 59 ||
        ms < 0)
        return std::nullopt;
    const QDate date(y, mo, d);
    if (!date.isValid())
        return std::nullopt;
    constexpr qint64 kUnixEpochJulianDay = 2440588;
    return ((date.toJulianDay() - kUnixEpochJulianDay) * 86400 + h * 3600 + mi * 60 + sec) * 1000 +
           ms;
}

} // namespace

std::optional<qint64> Record::parseTime(const QString &text)
{
    if (const std::optional<qint64> fast = canonicalUtc(text))
        return fast;
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch();
}

std::optional<Record> Record::parse(QByteArrayView line)
{
    QJsonParseError error{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    const QJsonValue result = o.value(QLatin1String("result"));
    if (!result.isString())
        return std::nullopt;
    Record r;
    r.result = result.toString();
    const QJsonValue time = o.value(QLatin1String("time"));
    if (time.isString())
        r.timeMs = parseTime(time.toString());
    constexpr qint64 kIntMax = std::numeric_limits<int>::max();
    r.com = int(wholeNumber(o.value(QLatin1String("com")), 0, kIntMax).value_or(0));
    r.location = stringOf(o, QLatin1String("location"));
    r.usbSerial = stringOf(o, QLatin1String("usb_serial"));
    r.step = stringOf(o, QLatin1String("step"));
    if (const auto code = wholeNumber(o.value(QLatin1String("code")), -kIntMax, kIntMax))
        r.code = int(*code);
    r.text = stringOf(o, QLatin1String("text"));
    constexpr qint64 kLongest = qint64(1) << 50;
    r.durationMs = wholeNumber(o.value(QLatin1String("duration_ms")), 0, kLongest);
    if (const auto t = wholeNumber(o.value(QLatin1String("try")), 1, kIntMax))
        r.tryNumber = int(*t);
    r.run = stringOf(o, QLatin1String("run_id"));
    if (r.run.isEmpty()) {
        if (const auto pid = wholeNumber(o.value(QLatin1String("pid")), 1, kLongest))
            r.run = QStringLiteral("pid ") + QString::number(*pid);
    }
    r.pinned = o.value(QLatin1String("expected_sha256")).isString() ||
               o.value(QLatin1String("expected_crc32")).isString();
    return r;
}

} // namespace vell::report
