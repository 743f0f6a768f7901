#pragma once

#include "record/attemptrecord.h"

#include <QByteArray>

#include <vector>

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

// A batch is one transaction on one connection: its rows staged in that connection's own
// temporary table (where the server parses them), then inserted from there in the log's order
// and committed. So the server can parse one batch on one connection while it stores the one
// before on another.

/// The record's fields the stage takes as parameters, in this order, each an array in binary
/// of PgArray::typeOf(its kind) with an element per record; the records' lines follow as the
/// last, a jsonb array. Objects and values are read from the line by the server.
[[nodiscard]] std::vector<record::Field> insertParameters();
/// Makes the connection's batch table, emptied at each commit.
[[nodiscard]] QByteArray batchTable();
/// The rows of those arrays into the batch table.
[[nodiscard]] QByteArray stage();
/// The batch table's rows into the records, in their order, a record_id already there left as
/// it is (one statement, no parameters).
[[nodiscard]] QByteArray insertStaged();
/// For a role that may not make a table of its own: the arrays straight into the records, as
/// insertStaged() takes them, in one statement with the stage's parameters.
[[nodiscard]] QByteArray insertDirect();
/// Whether this connection's role may make the batch table: "t" or "f".
extern const QByteArray kMayStage;

/// The line's report: one row per group of records, its kind in the first column. $1: the
/// skipped result's name; $2: below this many ms a duration is counted to the millisecond,
/// above it to the second, as the log report's DurationStats; bounded: the records whose time
/// lies in [$3, $4] only (ms since the epoch; null: no bound).
///   0 alike: step, result, code, text; min(try), min(expected_sha256), min(expected_crc32),
///     count, first id, first and last time (ms)
///   1 durations of one bucket of a step: count, longest (ms)
///   2 runs: run, count, first and last id
/// Columns: kind, host, com, location, usb_serial (a programmer, empty texts for none), step,
/// result, code, text, run, try, expected_sha256, expected_crc32, count, first_id, last_id,
/// first_ms, last_ms, longest_ms.
[[nodiscard]] QByteArray report(bool bounded);
/// What the report's session sets first: no JIT compiling for one query, room to count.
extern const QByteArray kReportSession;
/// The changes of run among one programmer's records in the order received, for a programmer
/// whose runs interleave: $1..$4 the programmer (host, com, location, usb_serial); bounded:
/// the records whose time lies in [$5, $6] only.
[[nodiscard]] QByteArray reportRuns(bool bounded);
/// Records outside [$1, $2] and records without a time: count, count.
/// The boards: each programmer's distinct serials, and the serials programmed OK twice.
[[nodiscard]] QByteArray reportBoards(bool bounded);
[[nodiscard]] QByteArray reportLeftOut();

} // namespace vell::linedb::schema
