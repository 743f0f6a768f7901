#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace vell::report {

/// The fields of one attempt-log line that the shift report reads. Every field may be absent
/// (records of older versions); fields it does not know are ignored.
struct Record
{
    std::optional<qint64> timeMs; ///< `time`, the step's end, in ms since the epoch (UTC)
    int com = 0;
    QString location;  ///< empty when null or absent
    QString usbSerial; ///< empty when null or absent
    QString step;      ///< `load`, `program-target`, or what a later version writes
    QString result;    ///< `ok`, `error`, `lost`, `timed-out`, `no-result`, `skipped`, ...
    std::optional<int> code;
    QString text;
    std::optional<qint64> durationMs;
    std::optional<int> tryNumber; ///< `try`, counting from 1
    QString run;                  ///< `run_id`, else the process id as text, else empty
    bool pinned = false;          ///< the record carries an expected hash

    /// A record from one line (without its newline): nothing when the line is not a JSON
    /// object with a string `result`.
    [[nodiscard]] static std::optional<Record> parse(QByteArrayView line);
    /// An ISO 8601 time as in the log ("2024-05-01T10:00:00.123Z", other offsets, no offset:
    /// local time), in ms since the epoch.
    [[nodiscard]] static std::optional<qint64> parseTime(const QString &text);
};

} // namespace vell::report
