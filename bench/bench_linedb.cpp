// Line database benchmark, against a PostgreSQL server of its own (started as the tests start
// theirs, fsync on, as a line's server runs): the catch-up of an attempt log of 100,000
// records (records per second, from the shipper's start to the last commit), and the line's
// report (--report --database --json, the tool run as a process) over 1,000,000 rows made in
// the server. Not a test: it prints figures and goals.
#include "common/pgserver.h"
#include "linedb/databaseurl.h"
#include "linedb/shipper.h"
#include "record/attemptrecord.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <optional>

using namespace vell;

namespace {

constexpr int kCatchUpRecords = 100000;
const int kReportRows = qEnvironmentVariableIntValue("VELL_BENCH_ROWS") > 0
                            ? qEnvironmentVariableIntValue("VELL_BENCH_ROWS")
                            : 1000000;
constexpr double kCatchUpGoal = 20000;
constexpr double kReportGoalSeconds = 2.0;

/// count records as a bench writes them: four programmers, both steps, a few failures.
bool writeLog(const QString &path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer;
    quint32 x = 2463534242u;
    for (int i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        record::AttemptRecord r;
        r.recordId = QStringLiteral("bench-run-%1").arg(i);
        r.timeMs = 1714543200000 + qint64(i) * 700;
        r.durationMs = 2800 + x % 3000;
        r.startedMs = *r.timeMs - *r.durationMs;
        r.host = QStringLiteral("bench-line-3.example.com");
        r.appVersion = QStringLiteral("0.6");
        r.runId = QStringLiteral("bench-run");
        r.pid = 4711;
        r.com = i % 4 + 1;
        r.programmer = r.com;
        r.device = QStringLiteral("/dev/ttyUSB%1").arg(r.com - 1);
        r.usbSerial = QStringLiteral("A10K%1Q").arg(r.com);
        r.vidPid = QStringLiteral("0403:6001");
        r.location = QStringLiteral("pci-0000:00:14.0-usb-0:%1:1.0-port0").arg(r.com);
        const bool load = (i / 4) % 2 == 0;
        r.step = load ? record::kStepLoad : record::kStepProgramTarget;
        r.tryNumber = 1;
        r.file = record::FileRecord{QStringLiteral("board-rev-c-2024-04.bin"),
                                    QStringLiteral("/home/operator/production/images/board-rev-c"),
                                    65536, QString(64, u'9'), QStringLiteral("50ffeec1")};
        if (load)
            r.options = record::AttemptRecord::Options{};
        else
            r.board = QStringLiteral("SN-%1").arg(i);
        const bool failed = x % 20 == 0;
        r.result = failed ? QStringLiteral("error") : QStringLiteral("ok");
        if (failed)
            r.code = 10;
        r.text = failed ? QStringLiteral("Error #10 / Target Not Responding")
                        : QStringLiteral("Board Programmed OK");
        r.programmerVersion = QStringLiteral("0107");
        r.operatorName = QStringLiteral("Ana");
        buffer += r.toLine();
        if (buffer.size() > (4 << 20)) {
            if (file.write(buffer) != buffer.size())
                return false;
            buffer.clear();
        }
    }
    return file.write(buffer) == buffer.size() && file.flush();
}

/// The rows of the report's benchmark, made in the server: four benches of four programmers,
/// each row with its whole record as a bench would send it.
const char *const kMakeRows = R"(
INSERT INTO vell_attempts (record_id, time, started, duration_ms, host, app_version, run_id, pid,
    programmer, com, device, usb_serial, usb_vid_pid, location, step, try, file, options, result,
    code, text, programmer_version, board, operator, record)
SELECT record_id, time, started, duration_ms, host, app_version, run_id, pid, programmer, com,
    device, usb_serial, usb_vid_pid, location, step, try, file, options, result, code, text,
    programmer_version, board, operator,
    jsonb_build_object('record_id', record_id, 'time', time, 'started', started,
        'duration_ms', duration_ms, 'host', host, 'app_version', app_version, 'run_id', run_id,
        'pid', pid, 'programmer', programmer, 'com', com, 'device', device,
        'usb_serial', usb_serial, 'usb_vid_pid', usb_vid_pid, 'location', location,
        'step', step, 'try', try, 'file', file, 'options', options, 'result', result,
        'code', code, 'text', text, 'programmer_version', programmer_version, 'board', board,
        'operator', operator)
FROM (
    SELECT 'r-' || i AS record_id, t AS time, t - d * interval '1 ms' AS started,
        d AS duration_ms, 'bench-' || (i % 16 / 4) || '.line.example.com' AS host,
        '0.6' AS app_version, 'run-' || (i / 5000) AS run_id, 4711 AS pid,
        i % 4 + 1 AS programmer, i % 4 + 1 AS com, '/dev/ttyUSB' || i % 4 AS device,
        'A10K' || i % 4 AS usb_serial, '0403:6001' AS usb_vid_pid,
        'pci-0000:00:14.0-usb-0:' || i % 4 || ':1.0-port0' AS location,
        CASE WHEN i / 16 % 2 = 0 THEN 'load' ELSE 'program-target' END AS step,
        1 + (i % 37 = 0)::int AS try,
        '{"name":"board-rev-c-2024-04.bin","folder":"/home/operator/production/images/board-rev-c","size":65536,"sha256":"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08","crc32":"50ffeec1"}'::jsonb
            AS file,
        CASE WHEN i / 16 % 2 = 0 THEN '{"restore_defaults":false,"black_box":false}'::jsonb END
            AS options,
        CASE WHEN i % 20 = 0 THEN 'error' WHEN i % 97 = 0 THEN 'lost' ELSE 'ok' END AS result,
        CASE WHEN i % 20 = 0 THEN 10 + i % 3 END AS code,
        CASE WHEN i % 20 = 0 THEN 'Error #' || (10 + i % 3) || ' / Target Not Responding'
             ELSE 'Board Programmed OK' END AS text,
        '0107' AS programmer_version, 'SN-' || i AS board, 'Ana' AS operator
    FROM generate_series(1, %1) AS i,
        LATERAL (SELECT timestamptz '2024-05-01 06:00Z' + i * interval '700 ms' AS t,
                        2800 + i % 3000 AS d) AS v
) AS made;
)";

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void row(QTextStream &out, const QString &name, const QString &value, const QString &goal)
{
    out << QStringLiteral("%1 %2 %3\n").arg(name, -58).arg(value, 12).arg(goal);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    test::PgServer server(test::PgServer::Fsync::On);
    if (!server.start() ||
        !server.sql(QStringLiteral("CREATE DATABASE line"), QStringLiteral("postgres"))) {
        std::fprintf(stderr, "no PostgreSQL server: %s\n", qPrintable(server.why()));
        row(out, QStringLiteral("(d) catch-up of 100,000 records [records/s]"),
            QStringLiteral("failed"), QStringLiteral(">= 20000"));
        return 1;
    }
    QTemporaryDir work(QStringLiteral("/tmp/vell-bench-linedb-XXXXXX"));
    const QString log = work.filePath(QStringLiteral("attempts.jsonl"));
    if (!work.isValid() || !writeLog(log, kCatchUpRecords)) {
        std::fprintf(stderr, "cannot write the log in %s\n", qPrintable(work.path()));
        return 2;
    }
    QString error;
    const std::optional<linedb::DatabaseUrl> url = linedb::DatabaseUrl::parse(server.url(), &error);
    double rate = -1; // records per second; -1: failed
    {
        linedb::Shipper shipper(log, *url);
        QEventLoop loop;
        QObject::connect(&shipper, &linedb::Shipper::changed, &loop, [&] {
            if (shipper.caughtUp() || !shipper.problem().isEmpty())
                loop.quit();
        });
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = cpuSeconds();
        shipper.start();
        loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        std::fprintf(stderr, "catch-up: %.2f s wall, %.2f s of this process's CPU\n", seconds,
                     cpuSeconds() - cpuBefore);
        if (shipper.caughtUp() && shipper.sent() == kCatchUpRecords)
            rate = kCatchUpRecords / seconds;
        else
            std::fprintf(stderr, "the catch-up did not end: %s\n", qPrintable(shipper.problem()));
    }

    // The report: a million rows besides those, made in the server.
    double reportSeconds = -1; // -1: failed
    qint64 reported = 0;
    if (server.sql(QStringLiteral("TRUNCATE vell_attempts; ") +
                       QString::fromLatin1(kMakeRows).arg(kReportRows),
                   QStringLiteral("line"), 900000) &&
        server.sql(QStringLiteral("VACUUM ANALYZE vell_attempts"), QStringLiteral("line"),
                   900000)) {
        // As a line's table is: vacuumed, and read once before (as the log's benchmark warms
        // the page cache first).
        QProcess tool;
        QElapsedTimer clock;
        const QStringList arguments{QStringLiteral("--report"), QStringLiteral("--database"),
                                    server.url(), QStringLiteral("--json")};
        tool.start(QStringLiteral(VELL_APP_BIN), arguments);
        tool.waitForFinished(300000);
        clock.start();
        tool.start(QStringLiteral(VELL_APP_BIN), arguments);
        if (tool.waitForFinished(300000) && tool.exitStatus() == QProcess::NormalExit &&
            tool.exitCode() == 0) {
            reportSeconds = double(clock.nsecsElapsed()) / 1e9;
            const QByteArray json = tool.readAllStandardOutput();
            reported = QJsonDocument::fromJson(json)[QLatin1String("records")].toInteger();
            if (reported != kReportRows) {
                std::fprintf(stderr, "the report counted %lld records: %s\n", reported,
                             json.left(300).constData());
                reportSeconds = -1;
            }
        } else {
            std::fprintf(stderr, "--report --database failed: %s\n",
                         tool.readAllStandardError().constData());
        }
    } else {
        std::fprintf(stderr, "cannot make the rows: %s\n", qPrintable(server.why()));
    }

    const auto figure = [](double v, const char *format) {
        return v >= 0 ? QString::asprintf(format, v) : QStringLiteral("failed");
    };
    row(out, QStringLiteral("(d) catch-up of 100,000 records [records/s]"), figure(rate, "%.0f"),
        QStringLiteral(">= 20000"));
    row(out, QStringLiteral("(d) --report --database over 1,000,000 rows [s]"),
        figure(reportSeconds, "%.2f"), QStringLiteral("< 2"));
    const bool met =
        rate >= kCatchUpGoal && reportSeconds >= 0 && reportSeconds < kReportGoalSeconds;
    return met ? 0 : 1;
}
