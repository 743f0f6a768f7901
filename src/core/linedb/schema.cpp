#include "schema.h"

#include <QString>

namespace vell::linedb::schema {

namespace {

/// Step n brings the tables from version n to n + 1; a step is never changed once released,
/// a change is a new step.
const char *const kSteps[kVersion] = {
    // 1: the records, each field a typed column, the whole line as it was written (so fields
    // of later versions are kept), and when it arrived.
    R"(CREATE TABLE vell_attempts (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    record_id text NOT NULL UNIQUE,
    time timestamptz,
    started timestamptz,
    duration_ms bigint,
    host text,
    app_version text,
    run_id text,
    pid bigint,
    programmer integer,
    com integer,
    device text,
    usb_serial text,
    usb_vid_pid text,
    location text,
    step text,
    try integer,
    file jsonb,
    options jsonb,
    expected_sha256 text,
    expected_crc32 text,
    result text NOT NULL,
    code integer,
    text text,
    programmer_version text,
    board text,
    reprogrammed boolean NOT NULL DEFAULT false,
    operator text,
    request_id jsonb,
    record jsonb NOT NULL,
    received timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX vell_attempts_time ON vell_attempts (time);
CREATE INDEX vell_attempts_host ON vell_attempts (host, time);
CREATE INDEX vell_attempts_board ON vell_attempts (board) WHERE board IS NOT NULL;
CREATE INDEX vell_attempts_sha256 ON vell_attempts ((file ->> 'sha256'));)",
};

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
    for (int step = 0; step < kVersion; ++step)
        sql += QByteArray("DO $step$ BEGIN\nIF (SELECT coalesce(max(version), 0) FROM vell_schema) "
                          "= ") +
               QByteArray::number(step) + " THEN\n" + kSteps[step] +
               "\nINSERT INTO vell_schema (version) VALUES (" + QByteArray::number(step + 1) +
               ");\nEND IF;\nEND $step$;\n";
    return sql + "COMMIT;\n";
}

const QByteArray kInsert = R"(INSERT INTO vell_attempts (record_id, time, started, duration_ms,
    host, app_version, run_id, pid, programmer, com, device, usb_serial, usb_vid_pid, location,
    step, try, file, options, expected_sha256, expected_crc32, result, code, text,
    programmer_version, board, reprogrammed, operator, request_id, record)
SELECT record_id, time, started, duration_ms, host, app_version, run_id, pid, programmer, com,
    device, usb_serial, usb_vid_pid, location, step, try, file, options, expected_sha256,
    expected_crc32, result, code, text, programmer_version, board, coalesce(reprogrammed, false),
    operator, request_id, record
FROM jsonb_to_recordset($1::jsonb) AS r(n integer, record_id text, time timestamptz,
    started timestamptz, duration_ms bigint, host text, app_version text, run_id text,
    pid bigint, programmer integer, com integer, device text, usb_serial text,
    usb_vid_pid text, location text, step text, try integer, file jsonb, options jsonb,
    expected_sha256 text, expected_crc32 text, result text, code integer, text text,
    programmer_version text, board text, reprogrammed boolean, operator text,
    request_id jsonb, record jsonb)
ORDER BY n
ON CONFLICT (record_id) DO NOTHING)";

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
