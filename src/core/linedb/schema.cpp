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
        sql = "CREATE TABLE vell_attempts (\n    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY "
              "KEY,\n    " +
              columns.join(",\n    ") +
              ",\n    record jsonb NOT NULL,\n    received timestamptz NOT NULL DEFAULT now()\n);\n";
    } else {
        for (const QByteArray &c : std::as_const(columns))
            sql += "ALTER TABLE vell_attempts ADD COLUMN " + c + ";\n";
    }
    return sql + kStepExtras[version - 1];
}

namespace {

/// The bounds of the period, and whether a record lies in it.
const char *const kPeriod =
    R"(b AS (
    SELECT 'epoch'::timestamptz + $1::bigint * interval '1 millisecond' AS since,
           'epoch'::timestamptz + $2::bigint * interval '1 millisecond' AS until
))";
const char *const kInPeriod =
    R"(((b.since IS NULL AND b.until IS NULL)
       OR (a.time >= coalesce(b.since, '-infinity') AND a.time <= coalesce(b.until, 'infinity'))))";

} // namespace

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

QByteArray insert()
{
    // The rows come as one JSON array (each record's fields by their names, its line as
    // `record`, n its place in the batch): one parameter, whatever the batch's size. As json,
    // not jsonb: the server only reads the text once, and makes jsonb of `record` alone.
    QByteArrayList names, picks, types;
    for (const record::Field &f : record::recordFields()) {
        if (f.sinceSchema > kVersion)
            continue;
        const QByteArray name = quoted(f.name);
        names << name;
        picks << (f.kind == FieldKind::Flag ? "coalesce(" + name + ", false)" : name);
        types << name + ' ' + typeOf(f.kind);
    }
    return "INSERT INTO vell_attempts (" + names.join(", ") + ", record)\nSELECT " +
           picks.join(", ") + ", record\nFROM json_to_recordset($1::json) AS r(n integer, " +
           types.join(", ") + ", record jsonb)\nORDER BY n\nON CONFLICT (" +
           quoted(record::recordIdField()) + ") DO NOTHING";
}

// The log report's rules, over the same records: a programmer is its host, COM, location and
// serial (empty for none); a run changes where the run id (else "pid N") differs from the
// one before among the programmer's records that name one, in the order received (which is
// the log's order); a skipped record has no duration.
const QByteArray kReport = QByteArray("WITH ") + kPeriod + R"(, r AS (
    SELECT a.id, coalesce(a.host, '') AS host, a.com, coalesce(a.location, '') AS location,
        coalesce(a.usb_serial, '') AS usb_serial, coalesce(a.step, '') AS step, a.result, a.code,
        coalesce(a.text, '') AS text, a.try, a.expected_sha256, a.expected_crc32, a.time,
        CASE WHEN a.result <> $3 THEN a.duration_ms END AS duration_ms,
        coalesce(nullif(a.run_id, ''), 'pid ' || a.pid) AS run
    FROM vell_attempts a, b
    WHERE )" + kInPeriod + R"(
), w AS (
    SELECT r.*, try > 1 AS retry,
        expected_sha256 IS NOT NULL OR expected_crc32 IS NOT NULL AS pinned,
        CASE WHEN duration_ms < $4 THEN duration_ms ELSE duration_ms - duration_ms % 1000 END
            AS bucket,
        run IS NOT NULL AND run IS DISTINCT FROM lag(run) OVER (
            PARTITION BY host, com, location, usb_serial, run IS NULL ORDER BY id) AS new_run
    FROM r
)
SELECT CASE GROUPING(result, bucket) WHEN 1 THEN 0 WHEN 2 THEN 1 ELSE 2 END,
    host, com, location, usb_serial, step, result, code, text, min(try), min(expected_sha256),
    min(expected_crc32), count(*), min(id), (extract(epoch FROM min(time)) * 1000)::bigint,
    (extract(epoch FROM max(time)) * 1000)::bigint, max(duration_ms),
    count(*) FILTER (WHERE new_run)
FROM w
GROUP BY GROUPING SETS (
    (host, com, location, usb_serial, step, result, code, text, retry, pinned),
    (host, com, location, usb_serial, step, bucket),
    (host, com, location, usb_serial))
)";

const QByteArray kReportLeftOut = QByteArray("WITH ") + kPeriod + R"(
SELECT count(*) FILTER (WHERE a.time IS NOT NULL AND NOT )" + kInPeriod + R"(),
    count(*) FILTER (WHERE a.time IS NULL)
FROM vell_attempts a, b)";

} // namespace vell::linedb::schema
