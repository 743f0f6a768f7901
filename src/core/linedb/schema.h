#pragma once

#include <QByteArray>

// The line database's SQL, all of it: the tables and their migration steps, the insert of a
// batch, and the line's report. Nothing else in the tool writes SQL.
namespace vell::linedb::schema {

/// The newest version of the tables this tool knows.
constexpr int kVersion = 1;

/// max(version) of the version table: one row, null when it is empty.
extern const QByteArray kVersionQuery;
/// Brings the tables from any older version (or none) to kVersion, in one transaction that
/// holds an advisory lock, so two benches starting together do not both create them.
[[nodiscard]] QByteArray migration();

/// The SQL of step version (1..kVersion), which brings the tables from version - 1 to
/// version: the columns of the record's fields that came with that version (their names and
/// kinds from record::recordFields(), the one list of them), and the step's indexes.
[[nodiscard]] QByteArray step(int version);

/// $1: a JSON array of rows, each an object of a record's fields by their names (and `n`, its
/// place in the batch, and `record`, its whole line): inserted in that order, a record_id
/// already there left as it is.
[[nodiscard]] QByteArray insert();

/// The line's report over the records whose time lies in [$1, $2] (ms since the epoch; both
/// null: every record). $3: the skipped result's name; $4: below this many ms a duration is
/// counted to the millisecond, above it to the second, as the log report's DurationStats.
/// One row per grouping, its kind in the first column:
///   0 alike: host, com, location, usb_serial, step, result, code, text; min(try),
///     min(expected_sha256), min(expected_crc32), count, first id, first and last time (ms)
///   1 durations: host, com, location, usb_serial, step; count, longest (ms) of one bucket
///   2 runs: host, com, location, usb_serial; runs (changes of run id, in the order received)
/// Columns: kind, host, com, location, usb_serial, step, result, code, text, try,
/// expected_sha256, expected_crc32, count, first_id, first_ms, last_ms, longest_ms, runs.
extern const QByteArray kReport;
/// Records outside [$1, $2] and records without a time: count, count.
extern const QByteArray kReportLeftOut;

} // namespace vell::linedb::schema
