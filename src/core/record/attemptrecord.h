#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <variant>
#include <vector>

namespace vell::record {

/// How a programmer's step ended, as the record names it.
enum class Result
{
    Ok,
    Error,    ///< the programmer answered with an error code
    Lost,     ///< its link dropped out or could not be opened
    TimedOut, ///< the watchdog ended the load's handshake
    NoResult, ///< nothing came before the timeout, the next command or the end
    Skipped,  ///< program-target left it out
};
[[nodiscard]] QString resultName(Result result);

/// The steps a record names.
inline const QString kStepLoad = QStringLiteral("load");
inline const QString kStepProgramTarget = QStringLiteral("program-target");

/// A program file as a load read it: the record's `file`.
struct FileRecord
{
    QString name;
    QString folder;
    qint64 size = 0;
    QString sha256; ///< hex, lower case
    QString crc32;  ///< 8 hex digits, lower case

    bool operator==(const FileRecord &o) const
    {
        return name == o.name && folder == o.folder && size == o.size && sha256 == o.sha256 &&
               crc32 == o.crc32;
    }
    /// As the record and the JSON summary carry it.
    [[nodiscard]] QJsonObject toJson() const;
};

/// One line of the attempt log: one programmer's step. This is the one place that knows the
/// record's fields: the writer and the reader below are each other's inverse. Empty texts are
/// written as null; a reader meets records of older and later versions, so every field may be
/// absent, and fields it does not know are ignored.
struct AttemptRecord
{
    std::optional<qint64> timeMs;    ///< `time`, the step's end, ms since the epoch
    std::optional<qint64> startedMs; ///< `started`
    std::optional<qint64> durationMs;
    QString host;
    QString appVersion;
    QString runId;
    std::optional<qint64> pid;
    int programmer = 0;
    int com = 0;
    QString device;
    QString usbSerial;
    QString vidPid;
    QString location;
    QString step; ///< kStepLoad, kStepProgramTarget, or what a later version writes
    std::optional<int> tryNumber;
    std::optional<FileRecord> file;
    QString expectedSha256; ///< only in a pinned run's records
    QString expectedCrc32;
    /// A load's options; a program-target has none.
    struct Options
    {
        bool restoreDefaults = false;
        bool blackBox = false;
        bool operator==(const Options &o) const
        {
            return restoreDefaults == o.restoreDefaults && blackBox == o.blackBox;
        }
        /// As the record carries them.
        [[nodiscard]] QJsonObject toJson() const;
    };
    std::optional<Options> options;
    QString result; ///< resultName(), or what a later version writes
    std::optional<int> code;
    QString text;
    QString programmerVersion;
    /// `record_id`: unique across benches and runs (the run id and the record's number in its
    /// run); empty in records of older versions.
    QString recordId;
    /// `board`: the target board's serial; a program-target record carries it, null when none
    /// was given.
    QString board;
    /// `reprogrammed`: this run had programmed that board OK before (written only when true).
    bool reprogrammed = false;
    /// `operator`: who ran the bench (--operator), null when not said.
    QString operatorName;
    /// `request_id`: a step begun from the control socket carries its request's id (any JSON
    /// value, null when the request had none); other records have no such field.
    std::optional<QJsonValue> requestId;

    bool operator==(const AttemptRecord &o) const;
    bool operator!=(const AttemptRecord &o) const { return !(*this == o); }

    /// Whether the run that wrote it was pinned to an approved image.
    [[nodiscard]] bool pinned() const
    {
        return !expectedSha256.isEmpty() || !expectedCrc32.isEmpty();
    }
    /// The run it came from: `run_id`, else the process id, else empty.
    [[nodiscard]] QString run() const;

    /// The record as the log and the JSON result event carry it.
    [[nodiscard]] QJsonObject toJson() const;
    /// One line of the log, with its newline.
    [[nodiscard]] QByteArray toLine() const;

    /// Fields a reader asks for. `result` is always read.
    enum Field : quint32
    {
        FieldTime = 1u << 0, ///< time, duration_ms
        FieldHost = 1u << 1, ///< host, app_version
        FieldRun = 1u << 2,  ///< run_id, pid
        FieldProgrammer = 1u << 3,
        FieldCom = 1u << 4,
        FieldDevice = 1u << 5, ///< device, usb_vid_pid
        FieldStep = 1u << 6,   ///< step, try
        FieldFile = 1u << 7,
        FieldExpected = 1u << 8, ///< expected_sha256, expected_crc32
        FieldOptions = 1u << 9,
        FieldCode = 1u << 10, ///< code, text
        FieldProgrammerVersion = 1u << 11,
        FieldRecordId = 1u << 12,
        FieldBoard = 1u << 13, ///< board, reprogrammed
        FieldOperator = 1u << 14,
        FieldRequestId = 1u << 15,
        FieldStarted = 1u << 16,
        FieldIdentity = 1u << 17, ///< usb_serial, location: with com, which programmer it is
        AllFields = 0xffffffffu,
    };
    using Fields = quint32;

    /// A record from one line (without its newline): nothing when the line is not a JSON
    /// object with a string `result`. Fields not in wanted may be left empty. Reads the line
    /// with scan, and with parseJson where scan cannot vouch for it: the records are the
    /// same either way.
    [[nodiscard]] static std::optional<AttemptRecord> parse(QByteArrayView line,
                                                            Fields wanted = AllFields);
    /// The general reader, through QJsonDocument.
    [[nodiscard]] static std::optional<AttemptRecord> parseJson(QByteArrayView line);
    /// The fast reader: one pass over the bytes, converting only the fields wanted. It reads
    /// the lines this tool writes; nothing for a line it cannot vouch for (not strict JSON, a
    /// \u escape, a number with an exponent, a field given twice, ...), which parseJson
    /// then reads.
    [[nodiscard]] static std::optional<AttemptRecord> scan(QByteArrayView line,
                                                           Fields wanted = AllFields);
    /// The record of a JSON object, by the same rules as parse.
    [[nodiscard]] static std::optional<AttemptRecord> fromJson(const QJsonObject &object);
    /// An ISO 8601 time as in the log ("2024-05-01T10:00:00.123Z", other offsets, no offset:
    /// local time), in ms since the epoch.
    [[nodiscard]] static std::optional<qint64> parseTime(const QString &text);
    /// ms since the epoch as the log writes times: UTC, ISO 8601 with milliseconds.
    [[nodiscard]] static QString timeText(qint64 ms);
};

/// What a field of the record holds, as the line database types its column.
enum class FieldKind
{
    Time,       ///< an ISO 8601 time
    Integer,    ///< a whole number that fits an int
    BigInteger, ///< a whole number of up to 64 bits
    Text,
    Flag,   ///< true or false; absent: false
    Object, ///< a JSON object
    Value,  ///< any JSON value
};

/// A field's value in a record, as the writer writes it: none where it leaves the field out or
/// writes null; a Time in ms since the epoch.
using FieldValue = std::variant<std::monostate, qint64, bool, QString>;

/// One top-level field of the record.
struct Field
{
    QLatin1String name;
    FieldKind kind;
    /// The line database's schema version whose tables first hold it as a column: a field
    /// added later names the next version, and that version's migration adds its column.
    int sinceSchema;
    /// Its value in a record; null for an Object or a Value, which is kept as the line has it.
    FieldValue (*value)(const AttemptRecord &r) = nullptr;
};

/// Every top-level field the record has, each once, in the order they were added (a new one
/// goes at the end): the line database's columns are made from this list, by its names.
[[nodiscard]] const std::vector<Field> &recordFields();
/// The record's key, `record_id`, and its result, `result`: the names as recordFields() has
/// them.
[[nodiscard]] QLatin1String recordIdField();
[[nodiscard]] QLatin1String resultField();

/// Empty text as JSON null.
[[nodiscard]] QJsonValue orNull(const QString &text);
/// The device fields of a record (device, usb_serial, usb_vid_pid, location; null where
/// unknown), as the found event and the port listing name them too.
[[nodiscard]] QJsonObject deviceJson(const QString &device, const QString &usbSerial,
                                     const QString &vidPid, const QString &location);

} // namespace vell::record
