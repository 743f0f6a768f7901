#include "attemptrecord.h"

#include "jsonscanner.h"

#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace vell::record {

namespace {

// The record's field names, each once.
const QLatin1String kTime("time");
const QLatin1String kStarted("started");
const QLatin1String kDuration("duration_ms");
const QLatin1String kHost("host");
const QLatin1String kAppVersion("app_version");
const QLatin1String kRunId("run_id");
const QLatin1String kPid("pid");
const QLatin1String kProgrammer("programmer");
const QLatin1String kCom("com");
const QLatin1String kDevice("device");
const QLatin1String kUsbSerial("usb_serial");
const QLatin1String kVidPid("usb_vid_pid");
const QLatin1String kLocation("location");
const QLatin1String kStep("step");
const QLatin1String kTry("try");
const QLatin1String kFile("file");
const QLatin1String kFileName("name");
const QLatin1String kFileFolder("folder");
const QLatin1String kFileSize("size");
const QLatin1String kFileSha256("sha256");
const QLatin1String kFileCrc32("crc32");
const QLatin1String kExpectedSha256("expected_sha256");
const QLatin1String kExpectedCrc32("expected_crc32");
const QLatin1String kOptions("options");
const QLatin1String kRestoreDefaults("restore_defaults");
const QLatin1String kBlackBox("black_box");
const QLatin1String kResult("result");
const QLatin1String kCode("code");
const QLatin1String kText("text");
const QLatin1String kProgrammerVersion("programmer_version");
const QLatin1String kRecordId("record_id");
const QLatin1String kBoard("board");
const QLatin1String kReprogrammed("reprogrammed");
const QLatin1String kOperator("operator");
const QLatin1String kRequestId("request_id");

constexpr qint64 kIntMax = std::numeric_limits<int>::max();
constexpr qint64 kLongest = qint64(1) << 50;

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

std::optional<int> smallNumber(const QJsonValue &v, qint64 low)
{
    if (const auto n = wholeNumber(v, low, kIntMax))
        return int(*n);
    return std::nullopt;
}

char32_t unitAt(const QString &s, qsizetype i)
{
    return s.at(i).unicode();
}
char32_t unitAt(QByteArrayView s, qsizetype i)
{
    return uchar(s.at(i));
}

template <typename Text> int digits(const Text &s, int at, int count)
{
    int n = 0;
    for (int i = at; i < at + count; ++i) {
        const char32_t c = unitAt(s, i);
        if (c < U'0' || c > U'9')
            return -1;
        n = n * 10 + int(c - U'0');
    }
    return n;
}

/// The log's own form, "YYYY-MM-DDTHH:MM:SS.mmmZ", without QDateTime's general parser; the
/// same for the text and for its bytes.
template <typename Text> std::optional<qint64> canonicalUtc(const Text &s)
{
    const auto at = [&s](qsizetype i) { return unitAt(s, i); };
    if (s.size() != 24 || at(4) != U'-' || at(7) != U'-' || at(10) != U'T' || at(13) != U':' ||
        at(16) != U':' || at(19) != U'.' || at(23) != U'Z')
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

std::optional<qint64> timeOf(const QJsonObject &o, QLatin1String key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? AttemptRecord::parseTime(v.toString()) : std::nullopt;
}

// The fast reader: the same rules as fromJson, over what JsonScanner found.

using Scanned = JsonScanner::Value;
using Type = Scanned::Type;

/// The record's top-level fields, each with the Field that asks for it.
enum Key
{
    KeyTime,
    KeyStarted,
    KeyDuration,
    KeyHost,
    KeyAppVersion,
    KeyRunId,
    KeyPid,
    KeyProgrammer,
    KeyCom,
    KeyDevice,
    KeyUsbSerial,
    KeyVidPid,
    KeyLocation,
    KeyStep,
    KeyTry,
    KeyFile,
    KeyExpectedSha256,
    KeyExpectedCrc32,
    KeyOptions,
    KeyResult,
    KeyCode,
    KeyText,
    KeyProgrammerVersion,
    KeyRecordId,
    KeyBoard,
    KeyReprogrammed,
    KeyOperator,
    KeyRequestId,
    KeyCount
};

struct KeyName
{
    QLatin1String name;
    AttemptRecord::Fields field;
};

const std::array<KeyName, KeyCount> &keyNames()
{
    using R = AttemptRecord;
    static const std::array<KeyName, KeyCount> names = {{
        {kTime, R::FieldTime},
        {kStarted, R::FieldStarted},
        {kDuration, R::FieldTime},
        {kHost, R::FieldHost},
        {kAppVersion, R::FieldHost},
        {kRunId, R::FieldRun},
        {kPid, R::FieldRun},
        {kProgrammer, R::FieldProgrammer},
        {kCom, R::FieldCom},
        {kDevice, R::FieldDevice},
        {kUsbSerial, R::FieldIdentity},
        {kVidPid, R::FieldDevice},
        {kLocation, R::FieldIdentity},
        {kStep, R::FieldStep},
        {kTry, R::FieldStep},
        {kFile, R::FieldFile},
        {kExpectedSha256, R::FieldExpected},
        {kExpectedCrc32, R::FieldExpected},
        {kOptions, R::FieldOptions},
        {kResult, R::AllFields},
        {kCode, R::FieldCode},
        {kText, R::FieldCode},
        {kProgrammerVersion, R::FieldProgrammerVersion},
        {kRecordId, R::FieldRecordId},
        {kBoard, R::FieldBoard},
        {kReprogrammed, R::FieldBoard},
        {kOperator, R::FieldOperator},
        {kRequestId, R::FieldRequestId},
    }};
    return names;
}

/// Where a name may stand in the table of keyOf: from its length and its first, second and
/// last characters, weighed so that each of the record's names has a slot of its own.
size_t keySlot(QByteArrayView name)
{
    if (name.size() < 2)
        return 0;
    return (size_t(name.size()) + uchar(name[0]) * 4u + uchar(name[1]) * 6u +
            uchar(name.back()) * 13u) &
           63;
}

/// A field's key, or -1 for a name the record does not know.
int keyOf(QByteArrayView name)
{
    // Open addressing over 64 slots, one compare for a known name.
    static const std::array<qint8, 64> table = [] {
        std::array<qint8, 64> t;
        t.fill(-1);
        const auto &names = keyNames();
        for (int k = 0; k < KeyCount; ++k) {
            const QLatin1String known = names[size_t(k)].name;
            size_t slot = keySlot(QByteArrayView(known.data(), known.size()));
            while (t[slot] >= 0)
                slot = (slot + 1) & 63;
            t[slot] = qint8(k);
        }
        return t;
    }();
    const auto &names = keyNames();
    for (size_t slot = keySlot(name); table[slot] >= 0; slot = (slot + 1) & 63) {
        const QLatin1String known = names[size_t(table[slot])].name;
        if (known.size() == name.size() && sameBytes(known.data(), name.data(), name.size()))
            return table[slot];
    }
    return -1;
}

QString stringOf(const Scanned &v)
{
    return v.type == Type::String ? v.string() : QString();
}

/// wholeNumber of a scanned value; false when the scanner cannot tell (a fraction, which might
/// be whole).
bool wholeNumber(const Scanned &v, qint64 low, qint64 high, std::optional<qint64> *number)
{
    *number = v.type == Type::Integer && v.integer >= low && v.integer <= high
                  ? std::optional<qint64>(v.integer)
                  : std::nullopt;
    return v.type != Type::Fraction;
}

bool smallNumber(const Scanned &v, qint64 low, std::optional<int> *number)
{
    std::optional<qint64> n;
    if (!wholeNumber(v, low, kIntMax, &n))
        return false;
    *number = n ? std::optional<int>(int(*n)) : std::nullopt;
    return true;
}

std::optional<qint64> timeOf(const Scanned &v)
{
    if (v.type != Type::String)
        return std::nullopt;
    if (!v.escaped) {
        if (const std::optional<qint64> fast = canonicalUtc(v.text))
            return fast;
    }
    return AttemptRecord::parseTime(v.string());
}

/// The members of a nested object named by names (each once), scanned into values; false when
/// the scanner cannot vouch for it.
template <size_t N>
bool members(QByteArrayView object, const std::array<QLatin1String, N> &names,
             std::array<Scanned, N> *values)
{
    JsonScanner scanner(object);
    quint32 seen = 0;
    return scanner.object(2, [&](QByteArrayView name, int depth) {
        for (size_t i = 0; i < N; ++i) {
            if (names[i].size() != name.size() ||
                !sameBytes(names[i].data(), name.data(), name.size()))
                continue;
            if (seen & (1u << i))
                return false;
            seen |= 1u << i;
            return scanner.value(depth, &(*values)[i]);
        }
        return scanner.value(depth, nullptr);
    });
}

} // namespace

namespace {

template <typename T> FieldValue given(const std::optional<T> &v)
{
    return v ? FieldValue(qint64(*v)) : FieldValue();
}
FieldValue textOrNull(const QString &text)
{
    return text.isEmpty() ? FieldValue() : FieldValue(text);
}

} // namespace

const std::vector<Field> &recordFields()
{
    // Each value by toJson's rules: what it writes as null or leaves out is none.
    using K = FieldKind;
    using R = const AttemptRecord &;
    static const std::vector<Field> fields{
        {kRecordId, K::Text, 1, [](R r) { return textOrNull(r.recordId); }},
        {kTime, K::Time, 1, [](R r) { return given(r.timeMs); }},
        {kStarted, K::Time, 1, [](R r) { return given(r.startedMs); }},
        {kDuration, K::BigInteger, 1, [](R r) { return given(r.durationMs); }},
        {kHost, K::Text, 1, [](R r) { return FieldValue(r.host); }},
        {kAppVersion, K::Text, 1, [](R r) { return FieldValue(r.appVersion); }},
        {kRunId, K::Text, 1, [](R r) { return FieldValue(r.runId); }},
        {kPid, K::BigInteger, 1, [](R r) { return given(r.pid); }},
        {kProgrammer, K::Integer, 1, [](R r) { return FieldValue(qint64(r.programmer)); }},
        {kCom, K::Integer, 1, [](R r) { return FieldValue(qint64(r.com)); }},
        {kDevice, K::Text, 1, [](R r) { return textOrNull(r.device); }},
        {kUsbSerial, K::Text, 1, [](R r) { return textOrNull(r.usbSerial); }},
        {kVidPid, K::Text, 1, [](R r) { return textOrNull(r.vidPid); }},
        {kLocation, K::Text, 1, [](R r) { return textOrNull(r.location); }},
        {kStep, K::Text, 1, [](R r) { return FieldValue(r.step); }},
        {kTry, K::Integer, 1, [](R r) { return given(r.tryNumber); }},
        {kFile, K::Object, 1},
        {kOptions, K::Object, 1},
        {kExpectedSha256, K::Text, 1, [](R r) { return textOrNull(r.expectedSha256); }},
        {kExpectedCrc32, K::Text, 1, [](R r) { return textOrNull(r.expectedCrc32); }},
        {kResult, K::Text, 1, [](R r) { return FieldValue(r.result); }},
        {kCode, K::Integer, 1, [](R r) { return given(r.code); }},
        {kText, K::Text, 1, [](R r) { return FieldValue(r.text); }},
        {kProgrammerVersion, K::Text, 1, [](R r) { return textOrNull(r.programmerVersion); }},
        {kBoard, K::Text, 1,
         [](R r) { return r.step == kStepProgramTarget ? textOrNull(r.board) : FieldValue(); }},
        {kReprogrammed, K::Flag, 1, [](R r) { return FieldValue(r.reprogrammed); }},
        {kOperator, K::Text, 1, [](R r) { return textOrNull(r.operatorName); }},
        {kRequestId, K::Value, 1},
    };
    return fields;
}

QLatin1String recordIdField()
{
    return kRecordId;
}

QLatin1String resultField()
{
    return kResult;
}

QString resultName(Result result)
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
    case Result::Skipped:
        return QStringLiteral("skipped");
    case Result::NoResult:
        break;
    }
    return QStringLiteral("no-result");
}

QJsonValue orNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject deviceJson(const QString &device, const QString &usbSerial, const QString &vidPid,
                       const QString &location)
{
    return {{kDevice, orNull(device)},
            {kUsbSerial, orNull(usbSerial)},
            {kVidPid, orNull(vidPid)},
            {kLocation, orNull(location)}};
}

QJsonObject FileRecord::toJson() const
{
    return {{kFileName, name},
            {kFileFolder, folder},
            {kFileSize, size},
            {kFileSha256, sha256},
            {kFileCrc32, crc32}};
}

QJsonObject AttemptRecord::Options::toJson() const
{
    return {{kRestoreDefaults, restoreDefaults}, {kBlackBox, blackBox}};
}

bool AttemptRecord::operator==(const AttemptRecord &o) const
{
    return timeMs == o.timeMs && startedMs == o.startedMs && durationMs == o.durationMs &&
           host == o.host && appVersion == o.appVersion && runId == o.runId && pid == o.pid &&
           programmer == o.programmer && com == o.com && device == o.device &&
           usbSerial == o.usbSerial && vidPid == o.vidPid && location == o.location &&
           step == o.step && tryNumber == o.tryNumber && file == o.file &&
           expectedSha256 == o.expectedSha256 && expectedCrc32 == o.expectedCrc32 &&
           options == o.options && result == o.result && code == o.code && text == o.text &&
           programmerVersion == o.programmerVersion && recordId == o.recordId && board == o.board &&
           reprogrammed == o.reprogrammed && operatorName == o.operatorName &&
           requestId == o.requestId;
}

QString AttemptRecord::run() const
{
    if (!runId.isEmpty())
        return runId;
    return pid ? QStringLiteral("pid ") + QString::number(*pid) : QString();
}

QString AttemptRecord::timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toUTC().toString(Qt::ISODateWithMs);
}

std::optional<qint64> AttemptRecord::parseTime(const QString &text)
{
    if (const std::optional<qint64> fast = canonicalUtc(text))
        return fast;
    const QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch();
}

QJsonObject AttemptRecord::toJson() const
{
    QJsonObject o = deviceJson(device, usbSerial, vidPid, location);
    if (timeMs)
        o[kTime] = timeText(*timeMs);
    if (startedMs)
        o[kStarted] = timeText(*startedMs);
    if (durationMs)
        o[kDuration] = *durationMs;
    o[kHost] = host;
    o[kAppVersion] = appVersion;
    o[kRunId] = runId;
    if (pid)
        o[kPid] = *pid;
    o[kProgrammer] = programmer;
    o[kCom] = com;
    o[kStep] = step;
    if (tryNumber)
        o[kTry] = *tryNumber;
    o[kFile] = file ? QJsonValue(file->toJson()) : QJsonValue();
    if (!expectedSha256.isEmpty())
        o[kExpectedSha256] = expectedSha256;
    if (!expectedCrc32.isEmpty())
        o[kExpectedCrc32] = expectedCrc32;
    o[kOptions] = options ? QJsonValue(options->toJson()) : QJsonValue();
    o[kResult] = result;
    o[kCode] = code ? QJsonValue(*code) : QJsonValue();
    o[kText] = text;
    o[kProgrammerVersion] = orNull(programmerVersion);
    if (!recordId.isEmpty())
        o[kRecordId] = recordId;
    if (step == kStepProgramTarget)
        o[kBoard] = orNull(board);
    if (reprogrammed)
        o[kReprogrammed] = true;
    o[kOperator] = orNull(operatorName);
    if (requestId)
        o[kRequestId] = *requestId;
    return o;
}

QByteArray AttemptRecord::toLine() const
{
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<AttemptRecord> AttemptRecord::parse(QByteArrayView line, Fields wanted)
{
    if (std::optional<AttemptRecord> fast = scan(line, wanted))
        return fast;
    return parseJson(line);
}

std::optional<AttemptRecord> AttemptRecord::parseJson(QByteArrayView line)
{
    QJsonParseError error{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromRawData(line.data(), line.size()), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return fromJson(doc.object());
}

std::optional<AttemptRecord> AttemptRecord::scan(QByteArrayView line, Fields wanted)
{
    // Only the fields met are made: zeroing all of them for every line cost more than reading.
    std::array<std::optional<Scanned>, KeyCount> met;
    quint32 seen = 0;
    JsonScanner scanner(line);
    const auto &names = keyNames();
    const bool read = scanner.object(1, [&](QByteArrayView name, int depth) {
        const int key = keyOf(name);
        if (key < 0)
            return scanner.value(depth, nullptr);
        // A field given twice: readers differ on which one counts.
        if (seen & (1u << key))
            return false;
        seen |= 1u << key;
        return scanner.value(
            depth, (wanted & names[size_t(key)].field) ? &met[size_t(key)].emplace() : nullptr);
    });
    static const Scanned absent;
    const auto v = [&met](Key key) -> const Scanned & {
        return met[size_t(key)] ? *met[size_t(key)] : absent;
    };
    if (!read || !scanner.atEnd() || v(KeyResult).type != Type::String ||
        v(KeyRequestId).type != Type::Absent)
        return std::nullopt;
    AttemptRecord r;
    r.result = v(KeyResult).string();
    r.timeMs = timeOf(v(KeyTime));
    r.startedMs = timeOf(v(KeyStarted));
    std::optional<int> programmer, com, code;
    if (!wholeNumber(v(KeyDuration), 0, kLongest, &r.durationMs) ||
        !wholeNumber(v(KeyPid), 1, kLongest, &r.pid) ||
        !smallNumber(v(KeyProgrammer), 0, &programmer) || !smallNumber(v(KeyCom), 0, &com) ||
        !smallNumber(v(KeyTry), 1, &r.tryNumber) || !smallNumber(v(KeyCode), -kIntMax, &code))
        return std::nullopt;
    r.programmer = programmer.value_or(0);
    r.com = com.value_or(0);
    r.code = code;
    r.host = stringOf(v(KeyHost));
    r.appVersion = stringOf(v(KeyAppVersion));
    r.runId = stringOf(v(KeyRunId));
    r.device = stringOf(v(KeyDevice));
    r.usbSerial = stringOf(v(KeyUsbSerial));
    r.vidPid = stringOf(v(KeyVidPid));
    r.location = stringOf(v(KeyLocation));
    r.step = stringOf(v(KeyStep));
    if (v(KeyFile).type == Type::Object) {
        std::array<Scanned, 5> f;
        std::optional<qint64> size;
        if (!members(v(KeyFile).text,
                     std::array{kFileName, kFileFolder, kFileSize, kFileSha256, kFileCrc32}, &f) ||
            !wholeNumber(f[2], 0, kLongest, &size))
            return std::nullopt;
        r.file = FileRecord{stringOf(f[0]), stringOf(f[1]), size.value_or(0), stringOf(f[3]),
                            stringOf(f[4])};
    }
    r.expectedSha256 = stringOf(v(KeyExpectedSha256));
    r.expectedCrc32 = stringOf(v(KeyExpectedCrc32));
    if (v(KeyOptions).type == Type::Object) {
        std::array<Scanned, 2> o;
        if (!members(v(KeyOptions).text, std::array{kRestoreDefaults, kBlackBox}, &o))
            return std::nullopt;
        r.options = Options{o[0].type == Type::True, o[1].type == Type::True};
    }
    r.text = stringOf(v(KeyText));
    r.programmerVersion = stringOf(v(KeyProgrammerVersion));
    r.recordId = stringOf(v(KeyRecordId));
    r.board = stringOf(v(KeyBoard));
    r.reprogrammed = v(KeyReprogrammed).type == Type::True;
    r.operatorName = stringOf(v(KeyOperator));
    return r;
}

std::optional<AttemptRecord> AttemptRecord::fromJson(const QJsonObject &o)
{
    const QJsonValue result = o.value(kResult);
    if (!result.isString())
        return std::nullopt;
    AttemptRecord r;
    r.result = result.toString();
    r.timeMs = timeOf(o, kTime);
    r.startedMs = timeOf(o, kStarted);
    r.durationMs = wholeNumber(o.value(kDuration), 0, kLongest);
    r.host = stringOf(o, kHost);
    r.appVersion = stringOf(o, kAppVersion);
    r.runId = stringOf(o, kRunId);
    r.pid = wholeNumber(o.value(kPid), 1, kLongest);
    r.programmer = smallNumber(o.value(kProgrammer), 0).value_or(0);
    r.com = smallNumber(o.value(kCom), 0).value_or(0);
    r.device = stringOf(o, kDevice);
    r.usbSerial = stringOf(o, kUsbSerial);
    r.vidPid = stringOf(o, kVidPid);
    r.location = stringOf(o, kLocation);
    r.step = stringOf(o, kStep);
    r.tryNumber = smallNumber(o.value(kTry), 1);
    const QJsonValue file = o.value(kFile);
    if (file.isObject()) {
        const QJsonObject f = file.toObject();
        r.file = FileRecord{stringOf(f, kFileName), stringOf(f, kFileFolder),
                            wholeNumber(f.value(kFileSize), 0, kLongest).value_or(0),
                            stringOf(f, kFileSha256), stringOf(f, kFileCrc32)};
    }
    r.expectedSha256 = stringOf(o, kExpectedSha256);
    r.expectedCrc32 = stringOf(o, kExpectedCrc32);
    const QJsonValue options = o.value(kOptions);
    if (options.isObject()) {
        const QJsonObject opt = options.toObject();
        r.options = Options{opt.value(kRestoreDefaults).toBool(), opt.value(kBlackBox).toBool()};
    }
    r.code = smallNumber(o.value(kCode), -kIntMax);
    r.text = stringOf(o, kText);
    r.programmerVersion = stringOf(o, kProgrammerVersion);
    r.recordId = stringOf(o, kRecordId);
    r.board = stringOf(o, kBoard);
    r.reprogrammed = o.value(kReprogrammed).toBool();
    r.operatorName = stringOf(o, kOperator);
    if (o.contains(kRequestId))
        r.requestId = o.value(kRequestId);
    return r;
}

} // namespace vell::record
