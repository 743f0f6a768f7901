#include "schema.h"

#include "record/attemptrecord.h"

#include <QByteArrayList>
#include <QString>

namespace vell::linedb::schema {

namespace {

using record::FieldKind;

QByteArray typeOf(FieldKind kind)
{
    switch (kind) {
    case FieldKind::Time:
        return "timestamptz";
    case FieldKind::Integer:
        return "integer";
    case FieldKind::BigInteger:
        return "bigint";
    case FieldKind::Flag:
        return "boolean";
    case FieldKind::Object:
    case FieldKind::Value:
        return "jsonb";
    case FieldKind::Text:
        break;
    }
    return "text";
}

/// A column's name as SQL writes it: quoted, since a field may be named like a key word.
QByteArray quoted(QLatin1String name)
{
    return '"' + QByteArray(name.data(), name.size()) + '"';
}

/// A field's column, as the table defines it: the key and the result are never null, a flag
/// is false when absent.
QByteArray columnOf(const record::Field &f)
{
    QByteArray column = quoted(f.name) + ' ' + typeOf(f.kind);
    if (f.name == record::recordIdField())
        column += " NOT NULL UNIQUE";
    else if (f.name == record::resultField())
        column += " NOT NULL";
    else if (f.kind == FieldKind::Flag)
        column += " NOT NULL DEFAULT false";
    return column;
}

/// What each step does besides the columns of the record's fields that came with its version:
/// the indexes.
const char *const kStepExtras[kVersion] = {
    // 1: on time, host, board and the image's SHA-256.
    R"(CREATE INDEX vell_attempts_time ON vell_attempts (time);
CREATE INDEX vell_attempts_host ON vell_attempts (host, time);
CREATE INDEX vell_attempts_board ON vell_attempts (board) WHERE board IS NOT NULL;
CREATE INDEX vell_attempts_sha256 ON vell_attempts ((file ->> 'sha256'));)",
};

} // namespace

QByteArray step(int version)
{
    // Step n brings the tables from version n - 1 to n. The record's fields name the version
    // whose tables first hold them, so a field added later is a column the next step adds, and
    // a step once released stays as it was.
    QByteArrayList columns;
    for (const record::Field &f : record::recordFields())
        if (f.sinceSchema == version)
            columns << columnOf(f);
    QByteArray sql;
    if (version == 1) {
        // The records: each field a typed column, the whole line as it was written (so fields
        // of later versions are kept), and when it arrived.
        sql =
            "CREATE TABLE vell_attempts (\n    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY "
            "KEY,\n    " +
            columns.join(",\n    ") +
            ",\n    record jsonb NOT NULL,\n    received timestamptz NOT NULL DEFAULT now()\n);\n";
    } else {
        for (const QByteArray &c : std::as_const(columns))
            sql += "ALTER TABLE vell_attempts ADD COLUMN " + c + ";\n";
    }
    return sql + kStepExtras[version - 1];
}

const QByteArray kVersionQuery = "SELECT max(version) FROM vell_schema";

QByteArray migration()
{
    QByteArray sql = R"(BEGIN;
SELECT pg_advisory_xact_lock(7466011430);
CREATE TABLE IF NOT EXISTS vell_schema (
    version integer PRIMARY KEY,
    applied timestamptz NOT NULL DEFAULT now()
);
)";
    for (int version = 1; version <= kVersion; ++version)
        sql += "DO $step$ BEGIN\nIF (SELECT coalesce(max(version), 0) FROM vell_schema) = " +
               QByteArray::number(version - 1) + " THEN\n" + step(version) +
               "\nINSERT INTO vell_schema (version) VALUES (" + QByteArray::number(version) +
               ");\nEND IF;\nEND $step$;\n";
    return sql + "COMMIT;\n";
}

std::vector<record::Field> insertParameters()
{
    std::vector<record::Field> sent;
    for (const record::Field &f : record::recordFields())
        if (f.sinceSchema <= kVersion && f.value)
            sent.push_back(f);
    return sent;
}

namespace {

/// The parameters' columns as the batch table names them (n: the place in the batch).
QByteArrayList batchColumns()
{
    QByteArrayList columns;
    for (const record::Field &f : insertParameters())
        columns << quoted(f.name);
    return columns << "record";
}

} // namespace

QByteArray batchTable()
{
    QByteArrayList columns{"n bigint"};
    for (const record::Field &f : insertParameters())
        columns << quoted(f.name) + ' ' + typeOf(f.kind);
    columns << "record jsonb";
    return "CREATE TEMP TABLE IF NOT EXISTS vell_batch (" + columns.join(", ") +
           ") ON COMMIT DELETE ROWS";
}

namespace {

/// The stage's parameters as the arrays they are, a row per record with its place n.
QByteArray unnested()
{
    QByteArrayList parameters;
    for (const record::Field &f : insertParameters())
        parameters << '$' + QByteArray::number(parameters.size() + 1) + "::" + typeOf(f.kind) +
                          "[]";
    parameters << '$' + QByteArray::number(parameters.size() + 1) + "::jsonb[]";
    return "unnest(" + parameters.join(", ") + ")\n    WITH ORDINALITY AS r(" +
           batchColumns().join(", ") + ", n)";
}

/// The rows of source (the batch's columns and n) into the records, in their order, a
/// record_id already there left as it is.
QByteArray insertFrom(const QByteArray &source)
{
    // Objects and values are taken from the line as it has them.
    QByteArrayList names, picks;
    for (const record::Field &f : record::recordFields()) {
        if (f.sinceSchema > kVersion)
            continue;
        const QByteArray name = quoted(f.name);
        const QByteArray member = "record -> '" + QByteArray(f.name.data(), f.name.size()) + '\'';
        names << name;
        if (f.value)
            picks << name;
        else if (f.kind == FieldKind::Object)
            picks << "CASE WHEN jsonb_typeof(" + member + ") = 'object' THEN " + member + " END";
        else
            picks << "nullif(" + member + ", 'null')";
    }
    return "INSERT INTO vell_attempts (" + names.join(", ") + ", record)\nSELECT " +
           picks.join(", ") + ", record\nFROM " + source + "\nORDER BY n\nON CONFLICT (" +
           quoted(record::recordIdField()) + ") DO NOTHING";
}

} // namespace

QByteArray stage()
{
    // Each column one array sent in binary (the server reads no text for them), the lines one
    // jsonb array, whose parse is the server's one real work here.
    const QByteArray columns = batchColumns().join(", ");
    return "INSERT INTO pg_temp.vell_batch (n, " + columns + ")\nSELECT n, " + columns + "\nFROM " +
           unnested();
}

QByteArray insertStaged()
{
    return insertFrom("pg_temp.vell_batch");
}

QByteArray insertDirect()
{
    return insertFrom(unnested());
}

const QByteArray kMayStage = "SELECT has_database_privilege(current_database(), 'TEMPORARY')";

namespace {

/// The records of the period: `time` within [$first, $first + 1] (ms since the epoch; null:
/// no bound).
QByteArray period(int first)
{
    const QByteArray since = '$' + QByteArray::number(first);
    const QByteArray until = '$' + QByteArray::number(first + 1);
    return "time BETWEEN coalesce('epoch'::timestamptz + " + since +
           "::bigint * interval '1 millisecond', '-infinity')\n    AND "
           "coalesce('epoch'::timestamptz + " +
           until + "::bigint * interval '1 millisecond', 'infinity')";
}

/// A programmer, as the log report tells them apart (empty for none), and its host.
const char *const kProgrammer =
    "coalesce(host, ''), com, coalesce(location, ''), coalesce(usb_serial, '')";

} // namespace

// The log report's rules, over the same records, in three groupings counted in the server:
// the records alike in all the report reads of them but their times, durations and runs; the
// durations of each step, by the report's buckets (a skipped record has none); the runs (run_id,
// else "pid N") with the first and last place of each, from which the client counts the changes
// of run. The first two in one pass over the table, the runs in another, side by side where the
// server may.
QByteArray report(bool bounded)
{
    const QByteArray also = bounded ? "AND " + period(3) + '\n' : QByteArray();
    const QByteArray programmer = kProgrammer;
    return "SELECT CASE GROUPING(result, bucket) WHEN 1 THEN 0 ELSE 1 END, " + programmer +
           R"(, step, result, code, text, NULL, min(try), min(expected_sha256),
    min(expected_crc32), count(*), min(id), NULL::bigint,
    (extract(epoch FROM min(time)) * 1000)::bigint, (extract(epoch FROM max(time)) * 1000)::bigint,
    max(duration_ms)
FROM (SELECT host, com, location, usb_serial, coalesce(step, '') AS step, result, code,
          coalesce(text, '') AS text, try, expected_sha256, expected_crc32, id, time,
          CASE WHEN result <> $1 THEN duration_ms END AS duration_ms,
          CASE WHEN result <> $1 THEN CASE WHEN duration_ms < $2 THEN duration_ms
                                          ELSE duration_ms - duration_ms % 1000 END END AS bucket
      FROM vell_attempts
      WHERE true
      )" + also +
           R"() AS a
GROUP BY GROUPING SETS ((
    )" + programmer +
           R"(, step, result, code, text, try > 1,
    expected_sha256 IS NOT NULL OR expected_crc32 IS NOT NULL), ()" +
           programmer + R"(, step, bucket))
UNION ALL
SELECT 2, )" +
           programmer +
           R"(, NULL, NULL, NULL, NULL, coalesce(nullif(run_id, ''), 'pid ' || pid), NULL,
    NULL, NULL, count(*), min(id), max(id), NULL, NULL, NULL
FROM vell_attempts
WHERE coalesce(nullif(run_id, ''), 'pid ' || pid) IS NOT NULL
)" + also + "GROUP BY " +
           programmer + ", coalesce(nullif(run_id, ''), 'pid ' || pid)";
}

const QByteArray kReportSession = "SET jit = off; SET work_mem = '64MB'";

QByteArray reportRuns(bool bounded)
{
    return QByteArray(R"(SELECT count(*) FILTER (WHERE run IS DISTINCT FROM before)
FROM (SELECT run, lag(run) OVER (ORDER BY id) AS before
      FROM (SELECT id, coalesce(nullif(run_id, ''), 'pid ' || pid) AS run FROM vell_attempts
            WHERE ()") +
           kProgrammer + ") = ($1, $2::integer, $3, $4)" +
           (bounded ? "\n            AND " + period(5) : QByteArray()) + R"() AS a
      WHERE run IS NOT NULL) AS b)";
}

// Each programmer's distinct board serials of its program-target records ($1), and the
// serials programmed OK ($2) more than once.
QByteArray reportBoards(bool bounded)
{
    const QByteArray also = bounded ? "AND " + period(3) + '\n' : QByteArray();
    const QByteArray programmer = kProgrammer;
    return "SELECT 0, " + programmer +
           ", count(DISTINCT board), NULL\nFROM vell_attempts\nWHERE step = $1 AND board <> ''\n" +
           also + "GROUP BY " + programmer +
           "\nUNION ALL\nSELECT 1, NULL, NULL, NULL, NULL, NULL, board\nFROM vell_attempts\n"
           "WHERE step = $1 AND result = $2 AND board <> ''\n" +
           also + "GROUP BY board HAVING count(*) > 1";
}

QByteArray reportLeftOut()
{
    return "SELECT count(*) FILTER (WHERE time IS NOT NULL AND NOT (" + period(1) +
           ")),\n    count(*) FILTER (WHERE time IS NULL)\nFROM vell_attempts";
}

} // namespace vell::linedb::schema
