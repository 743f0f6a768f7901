// Guards the line database: the address and its masking (no server), then against a real
// PostgreSQL server the test starts itself (tests/common/pgserver.h): records arrive once, in
// order, with their fields; a lost cursor, a restart and a SIGKILL after a commit double
// nothing; catch-up at start; lines that are not records are skipped and counted; the server
// stopped and started again; a newer schema refused; a wrong password said without the password;
// a role with only INSERT and SELECT; --ship's exit codes; a headless run's summary; and the
// line's report equal to the log's for the same records.
#include "app/runresult.h"
#include "common/files.h"
#include "common/pgserver.h"
#include "common/process.h"
#include "common/testmain.h"
#include "linedb/databaseurl.h"
#include "linedb/linereport.h"
#include "linedb/pgconnection.h"
#include "linedb/schema.h"
#include "linedb/shipcursor.h"
#include "linedb/shipper.h"
#include "linedb/texts.h"
#include "record/attemptrecord.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

using namespace vell;
using linedb::DatabaseUrl;
using linedb::PgConnection;
using linedb::PgOutcome;
using linedb::Shipper;

namespace {

#ifdef VELL_APP_BIN
const QString kApp = QStringLiteral(VELL_APP_BIN);
#else
const QString kApp;
#endif

const QString kPassword = QString::fromLatin1(test::PgServer::kPassword);
const QString kEncodedPassword = QString::fromLatin1(QUrl::toPercentEncoding(kPassword));

/// Record i of a made-up shift: four programmers, both steps, failures, skips, retries, a
/// pinned run, durations past a minute, runs that change, some records without a time.
record::AttemptRecord madeUp(int i, const QString &run = QStringLiteral("run-a"))
{
    record::AttemptRecord r;
    quint32 x = quint32(i) * 2654435761u;
    x ^= x >> 13;
    r.recordId = run + u'-' + QString::number(i);
    if (i % 97 != 50)
        r.timeMs = 1714543200000 + qint64(i) * 700;
    r.durationMs = (i % 31 == 0) ? 61234 + (x % 5000) : 2800 + (x % 900);
    if (r.timeMs)
        r.startedMs = *r.timeMs - *r.durationMs;
    r.host = QStringLiteral("bench-3");
    r.appVersion = QStringLiteral("0.6");
    // Records without a run id before record 2000: their runs interleave with the others.
    r.runId = i % 53 == 7 && i < 2000 ? QString() : run + QString::number(i / 200);
    r.pid = 4000 + i / 300;
    r.com = i % 4 + 1;
    r.programmer = r.com;
    r.device = QStringLiteral("/dev/ttyUSB%1").arg(r.com - 1);
    r.usbSerial = r.com == 3 ? QString() : QStringLiteral("A10K%1").arg(r.com);
    r.vidPid = QStringLiteral("0403:6001");
    r.location = QStringLiteral("pci-0000:00:14.0-usb-0:%1:1.0-port0").arg(r.com);
    const bool load = (i / 4) % 2 == 0;
    r.step = load ? record::kStepLoad : record::kStepProgramTarget;
    r.tryNumber = 1 + int(x % 7 == 0);
    r.file = record::FileRecord{QStringLiteral("board.bin"), QStringLiteral("/srv/images"), 65536,
                                QString(64, u'9'), QStringLiteral("50ffeec1")};
    if (load)
        r.options = record::AttemptRecord::Options{i % 2 == 0, false};
    else
        r.board = QStringLiteral("SN-%1").arg(i % 1500); // some programmed twice
    if (i % 11 == 3)
        r.expectedSha256 = QString(64, u'9');
    const int fate = int(x >> 8) % 40;
    r.result = QStringLiteral("ok");
    r.text = load ? QStringLiteral("File Loaded OK") : QStringLiteral("Board Programmed OK");
    if (fate < 3) {
        r.result = QStringLiteral("error");
        r.code = 3 + fate * 4;
        r.text = QStringLiteral("Error #%1 / text %2").arg(*r.code).arg(i % 3);
    } else if (fate == 3) {
        r.result = QStringLiteral("lost");
        r.text = QStringLiteral("Programmer Lost");
    } else if (fate == 4 && !load) {
        r.result = QStringLiteral("skipped");
    }
    r.programmerVersion = QStringLiteral("0107");
    r.operatorName = i % 3 ? QStringLiteral("Ana") : QString();
    if (i % 5 == 0)
        r.requestId = QJsonValue(QJsonObject{{QStringLiteral("cycle"), i}});
    r.reprogrammed = i % 13 == 0;
    return r;
}

QByteArray linesOf(int from, int to, const QString &run = QStringLiteral("run-a"))
{
    QByteArray bytes;
    for (int i = from; i < to; ++i)
        bytes += madeUp(i, run).toLine();
    return bytes;
}

QStringList idsOf(int from, int to)
{
    QStringList ids;
    for (int i = from; i < to; ++i)
        ids << madeUp(i).recordId;
    return ids;
}

bool append(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
}

Shipper::Timings quick()
{
    Shipper::Timings t;
    t.firstRetryMs = 50;
    t.longestRetryMs = 400;
    t.connectTimeoutMs = 5000;
    t.queryTimeoutMs = 30000;
    return t;
}

DatabaseUrl urlOf(const QString &text)
{
    QString error;
    const std::optional<DatabaseUrl> url = DatabaseUrl::parse(text, &error);
    if (!url)
        qFatal("not a URL: %s", qPrintable(error));
    return *url;
}

/// Whether text shows the password in any form.
bool showsPassword(const QString &text, const QString &password = kPassword)
{
    return text.contains(password) ||
           text.contains(QString::fromLatin1(QUrl::toPercentEncoding(password)));
}

QJsonObject lastJson(const test::Run &run)
{
    return run.out.isEmpty() ? QJsonObject()
                             : QJsonDocument::fromJson(run.out.constLast().toUtf8()).object();
}

/// A report's JSON without what only one of the two sources has: the source's name, the
/// unreadable lines of a log, each programmer's host.
QJsonObject comparable(QJsonObject report)
{
    for (const char *key : {"log", "database", "malformed", "malformed_lines"})
        report.remove(QLatin1String(key));
    QJsonArray programmers;
    for (const QJsonValue &p : report[QStringLiteral("programmers")].toArray()) {
        QJsonObject o = p.toObject();
        o.remove(QStringLiteral("host"));
        programmers.append(o);
    }
    report[QStringLiteral("programmers")] = programmers;
    return report;
}

} // namespace

class TstDatabaseUrl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void masks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("secret");
        QTest::newRow("none") << "postgresql://bench@db.example.com:5432/line?sslmode=verify-full"
                              << "postgresql://bench@db.example.com:5432/line?sslmode=verify-full"
                              << "";
        QTest::newRow("user info") << "postgresql://bench:hunter2@db/line"
                                   << "postgresql://bench:***@db/line"
                                   << "hunter2";
        QTest::newRow("percent-encoded") << "postgres://bench:p%40ss%3Aw@db/line?sslmode=require"
                                         << "postgres://bench:***@db/line?sslmode=require"
                                         << "p@ss:w";
        QTest::newRow("a parameter") << "postgresql:///line?host=/run/postgresql&password=Zq9x"
                                     << "postgresql:///line?host=/run/postgresql&password=***"
                                     << "Zq9x";
        QTest::newRow("key=value") << "host=db dbname=line password='a b\\'c' user=x"
                                   << "host=db dbname=line password=*** user=x"
                                   << "a b'c";
    }
    // The address as shown never holds the password, and every message is masked, whether the
    // password comes as written or decoded.
    void masks()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QFETCH(QString, secret);
        QString error;
        const std::optional<DatabaseUrl> url = DatabaseUrl::parse(text, &error);
        QVERIFY2(url, qPrintable(error));
        QCOMPARE(url->shown(), shown);
        if (secret.isEmpty())
            return;
        QCOMPARE(QString::fromUtf8(url->option("password")), secret);
        const QString masked =
            url->mask(QStringLiteral("cannot reach %1 (password %2)").arg(text, secret));
        QVERIFY2(!masked.contains(secret), qPrintable(masked));
        QVERIFY(masked.contains(shown));
    }
    // What libpq cannot read is refused, and the refusal does not show the password either.
    void refusesWhatLibpqCannotRead()
    {
        QString error;
        QVERIFY(!DatabaseUrl::parse(QStringLiteral("postgresql://u:Tops3cret@db/line?nosuch=1"),
                                    &error));
        QVERIFY2(error.contains(QStringLiteral("nosuch")), qPrintable(error));
        QVERIFY2(!error.contains(QStringLiteral("Tops3cret")), qPrintable(error));
    }
    // The tables come from the record's one list of fields: each a column of its kind, the key
    // unique, the insert naming the same columns.
    void schemaFromTheRecordsFields()
    {
        const QByteArray table = linedb::schema::step(1);
        const QByteArray insert = linedb::schema::insertStaged();
        for (const record::Field &f : record::recordFields()) {
            QVERIFY(f.sinceSchema >= 1 && f.sinceSchema <= linedb::schema::kVersion);
            const QByteArray column = '"' + QByteArray(f.name.data(), f.name.size()) + '"';
            QVERIFY2(table.contains(QByteArray("\n    " + column + ' ')), column.constData());
            QVERIFY2(insert.contains(column), column.constData());
        }
        QVERIFY(table.contains("\"record_id\" text NOT NULL UNIQUE"));
        QVERIFY(insert.contains("ON CONFLICT (\"record_id\") DO NOTHING"));
    }
};

class TstLineDatabase : public QObject
{
    Q_OBJECT
private:
    test::PgServer m_server;
    int m_databases = 0;

    /// A new database of its own for a test: its URL.
    QString newDatabase()
    {
        const QString name = QStringLiteral("line%1").arg(++m_databases);
        if (!m_server.sql(QStringLiteral("CREATE DATABASE %1").arg(name),
                          QStringLiteral("postgres")))
            qWarning() << m_server.why();
        return name;
    }
    QString count(const QString &database, const QString &where = QString())
    {
        return m_server
            .sql(QStringLiteral("SELECT count(*), count(DISTINCT record_id) FROM vell_attempts ") +
                     where,
                 database)
            .value_or(m_server.why());
    }

    /// The table's record ids in the order stored.
    QString idsInOrder(const QString &database)
    {
        return m_server
            .sql(QStringLiteral("SELECT string_agg(record_id, ',' ORDER BY id) FROM vell_attempts"),
                 database)
            .value_or(m_server.why());
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!m_server.unavailable().isEmpty())
            QSKIP(qPrintable(m_server.unavailable()));
        QVERIFY2(m_server.start(), qPrintable(m_server.why()));
    }

    // Every record arrives once, in the log's order, each field in its column and the whole
    // line kept; the cursor beside the log says how far, naming the database without its
    // password.
    void shipsEveryRecordOnceInOrder()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 2500)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QCOMPARE(shipper.unsent(), 2500);
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 30000);
        QCOMPARE(shipper.sent(), 2500);
        QCOMPARE(shipper.unsent(), 0);
        QCOMPARE(shipper.statusText(), QString());
        QCOMPARE(count(db), QStringLiteral("2500|2500"));
        const QStringList ids = idsOf(0, 2500);
        QCOMPARE(idsInOrder(db), ids.join(u','));
        // Record 10: every kind of column.
        const record::AttemptRecord r = madeUp(10);
        QVERIFY(r.requestId && !r.operatorName.isEmpty() && r.options);
        const QString row =
            m_server
                .sql(QStringLiteral(
                         "SELECT to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS'), "
                         "duration_ms, host, run_id, pid, com, usb_serial, step, try, "
                         "file->>'sha256', options->>'restore_defaults', result, "
                         "coalesce(code::text, '-'), text, board IS NULL, reprogrammed, operator, "
                         "request_id->>'cycle', record->>'record_id' FROM vell_attempts "
                         "WHERE record_id = '%1'")
                         .arg(r.recordId),
                     db)
                .value_or(m_server.why());
        const QStringList expected{record::AttemptRecord::timeText(*r.timeMs).chopped(1),
                                   QString::number(*r.durationMs),
                                   r.host,
                                   r.runId,
                                   QString::number(*r.pid),
                                   QString::number(r.com),
                                   r.usbSerial,
                                   r.step,
                                   QString::number(*r.tryNumber),
                                   r.file->sha256,
                                   r.options->restoreDefaults ? "true" : "false",
                                   r.result,
                                   r.code ? QString::number(*r.code) : "-",
                                   r.text,
                                   "t",
                                   r.reprogrammed ? "t" : "f",
                                   r.operatorName,
                                   "10",
                                   r.recordId};
        QCOMPARE(row.split(u'|'), expected);
        const QByteArray cursor = test::readFile(linedb::ShipCursor::pathFor(log));
        QVERIFY(!cursor.isEmpty());
        QCOMPARE(QJsonDocument::fromJson(cursor)["offset"].toInteger(), QFileInfo(log).size());
        QVERIFY2(!showsPassword(QString::fromUtf8(cursor)), cursor.constData());
    }

    // A commit whose cursor was never written (the tool killed between the two, or the cursor
    // file lost): the records go again and none is doubled.
    void reshippingDoublesNothing()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        const QString cursorPath = linedb::ShipCursor::pathFor(log);
        QVERIFY(test::writeFile(log, linesOf(0, 10)));
        {
            Shipper shipper(log, urlOf(m_server.url(db)), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        }
        const QByteArray early = test::readFile(cursorPath);
        QVERIFY(append(log, linesOf(10, 30)));
        {
            Shipper shipper(log, urlOf(m_server.url(db)), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
            QCOMPARE(shipper.sent(), 20);
        }
        QCOMPARE(count(db), QStringLiteral("30|30"));
        // The cursor as it was before the last commit.
        QVERIFY(test::writeFile(cursorPath, early));
        {
            Shipper shipper(log, urlOf(m_server.url(db)), quick());
            shipper.start();
            QCOMPARE(shipper.unsent(), 20);
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
            QCOMPARE(shipper.sent(), 0);
            QCOMPARE(shipper.alreadyThere(), 20);
        }
        // No cursor at all: the whole log again.
        QVERIFY(QFile::remove(cursorPath));
        {
            Shipper shipper(log, urlOf(m_server.url(db)), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
            QCOMPARE(shipper.alreadyThere(), 30);
        }
        QCOMPARE(count(db), QStringLiteral("30|30"));
    }

    // Records written while nothing shipped go first at the next start, and only they; a log
    // replaced by another is sent from its start.
    void catchesUpAtStart()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 10)));
        {
            Shipper shipper(log, urlOf(m_server.url(db)), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        }
        QVERIFY(append(log, linesOf(10, 25)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QCOMPARE(shipper.unsent(), 15);
        QVERIFY(shipper.pending());
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QCOMPARE(shipper.sent(), 15);
        QCOMPARE(shipper.alreadyThere(), 0);
        // What the log gains while it runs follows.
        QVERIFY(append(log, linesOf(25, 27)));
        shipper.poke();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp() && shipper.sent() == 17, 20000);
        QCOMPARE(count(db), QStringLiteral("27|27"));
        // Another, shorter log in its place: the cursor does not fit it.
        QVERIFY(test::writeFile(log, linesOf(0, 3, QStringLiteral("run-b"))));
        Shipper again(log, urlOf(m_server.url(db)), quick());
        again.start();
        QCOMPARE(again.unsent(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(again.caughtUp(), 20000);
        QCOMPARE(count(db), QStringLiteral("30|30"));
    }

    // A line that is not a record, or a record the server cannot store, is skipped, counted
    // and named, and the records after it arrive; a line still being written waits for its
    // newline.
    void skipsLinesThatAreNoRecords()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        record::AttemptRecord nul = madeUp(3);
        nul.text = QStringLiteral("a NUL: ") + QChar(0) + QStringLiteral(" in the text");
        QVERIFY(test::writeFile(log, linesOf(0, 2) + "garbage {\n" + linesOf(2, 3) +
                                         "{\"no\":\"result\"}\n\n" + nul.toLine() + linesOf(4, 6) +
                                         "{\"result\":\"ok\",\"com\":1,"));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        QSignalSpy skipped(&shipper, &Shipper::lineSkipped);
        shipper.start();
        QCOMPARE(shipper.unsent(), 6);
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QCOMPARE(shipper.skipped(), 3);
        QCOMPARE(skipped.size(), 3);
        QVERIFY(skipped.at(0).at(0).toString().endsWith(
            QStringLiteral("attempts.jsonl line 3 is not a record: skipped, not sent to the line "
                           "database")));
        QVERIFY(skipped.at(1).at(0).toString().contains(QStringLiteral(" line 5 is not a record")));
        QVERIFY2(skipped.at(2).at(0).toString().contains(
                     QStringLiteral(" line 7: the line database refuses this record")),
                 qPrintable(skipped.at(2).at(0).toString()));
        QCOMPARE(count(db), QStringLiteral("5|5"));
        QCOMPARE(shipper.sent(), 5);
        // The last line gets its end.
        QVERIFY(append(log, "\"record_id\":\"late-1\"}\n"));
        shipper.poke();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp() && shipper.sent() == 6, 20000);
        QCOMPARE(count(db), QStringLiteral("6|6"));
    }

    // Records the server refuses deep in a backlog, while the next batch is already with the
    // server (and when it is not): each is skipped alone, every other record arrives once, in
    // the log's order.
    void refusedRecordsInABacklog()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        const QList<int> refused{75, 110};
        QByteArray lines;
        QStringList ids;
        for (int i = 0; i < 175; ++i) {
            record::AttemptRecord r = madeUp(i);
            if (refused.contains(i))
                r.text = QStringLiteral("a NUL: ") + QChar(0);
            else
                ids << r.recordId;
            lines += r.toLine();
        }
        QVERIFY(test::writeFile(log, lines));
        Shipper::Timings batches = quick();
        batches.batchRecords = 50;
        Shipper shipper(log, urlOf(m_server.url(db)), batches);
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 60000);
        QCOMPARE(shipper.skipped(), 2);
        QCOMPARE(shipper.sent(), 173);
        QCOMPARE(idsInOrder(db), ids.join(u','));
    }

    // Records that come one at a time, as a bench's steps end, go over the one connection:
    // a second is opened only for a backlog.
    void aRecordAtATimeOnOneConnection()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 1)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        // Sessions the server counted (each ended one, and those that went idle once).
        const auto sessions = [&] {
            return m_server
                .sql(QStringLiteral("SELECT sessions FROM pg_stat_database WHERE datname = '%1'")
                         .arg(db),
                     db)
                .value_or(QString())
                .toInt();
        };
        const int before = sessions();
        for (int i = 1; i < 4; ++i) {
            QVERIFY(append(log, linesOf(i, i + 1)));
            shipper.poke();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp() && shipper.sent() == i + 1, 20000);
        }
        QCOMPARE(sessions() - before, 1); // the count's own session before
    }

    // The log replaced by a new file at its path, then cut shorter, while the shipper runs:
    // each time the log at the path is sent from its start.
    void aLogReplacedOrCut()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 5)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QSaveFile replaced(log);
        QVERIFY(replaced.open(QIODevice::WriteOnly));
        replaced.write(linesOf(100, 108)); // longer than the old one: only its identity differs
        QVERIFY(replaced.commit());
        shipper.poke();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp() && count(db) == "13|13", 20000);
        QVERIFY(test::writeFile(log, linesOf(200, 201)));
        shipper.poke();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp() && count(db) == "14|14", 20000);
        QCOMPARE(shipper.unsent(), 0);
        QCOMPARE(QJsonDocument::fromJson(test::readFile(linedb::ShipCursor::pathFor(log)))["offset"]
                     .toInteger(),
                 QFileInfo(log).size());
    }

    // The server ends the connection that holds a staged batch (its idle-in-transaction
    // timeout, while a lock holds up the batch before it): that batch is never taken for
    // stored, and every record arrives once, in order.
    void aStagedBatchWhoseConnectionEnds()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 1)));
        Shipper::Timings batches = quick();
        batches.batchRecords = 50;
        Shipper shipper(log, urlOf(m_server.url(db)), batches);
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QVERIFY(m_server.sql(
            QStringLiteral("ALTER DATABASE %1 SET idle_in_transaction_session_timeout = '300ms'")
                .arg(db),
            db));
        PgConnection locker;
        bool locked = false;
        locker.open(urlOf(m_server.url(db)), 5000, [&](const QString &error) {
            if (error.isEmpty())
                locker.execScript("SET idle_in_transaction_session_timeout = 0; BEGIN; LOCK "
                                  "TABLE vell_attempts IN SHARE ROW EXCLUSIVE MODE",
                                  0, [&](const PgOutcome &o) { locked = o.ok(); });
        });
        QTRY_VERIFY_WITH_TIMEOUT(locked, 10000);
        QVERIFY(append(log, linesOf(1, 400)));
        shipper.poke();
        QTest::qWait(1500); // the staged batches' connections end meanwhile
        locker.close();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 60000);
        const QStringList ids = idsOf(0, 400);
        QCOMPARE(idsInOrder(db), ids.join(u','));
    }

    // The server goes away mid-run: the records wait in the log, the status says how many and
    // why; once it is back every record arrives once.
    void serverDownThenUp()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 5)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QVERIFY(m_server.stop());
        QVERIFY(append(log, linesOf(5, 12)));
        shipper.poke();
        QTRY_VERIFY_WITH_TIMEOUT(
            shipper.state() == Shipper::State::Waiting && !shipper.problem().isEmpty(), 20000);
        QCOMPARE(shipper.unsent(), 7);
        QVERIFY2(shipper.statusText().startsWith(
                     QStringLiteral("7 records not yet in the line database: ")),
                 qPrintable(shipper.statusText()));
        QVERIFY(!showsPassword(shipper.statusText()));
        QVERIFY(append(log, linesOf(12, 14)));
        shipper.poke();
        QCOMPARE(shipper.unsent(), 9);
        QVERIFY2(m_server.start(), qPrintable(m_server.why()));
        QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        QCOMPARE(shipper.statusText(), QString());
        QCOMPARE(count(db), QStringLiteral("14|14"));
    }

    // Tables of a newer version than the tool knows are refused with a clear message and left
    // as they are, by the shipper and by the report.
    void newerSchemaIsRefused()
    {
        const QString db = newDatabase();
        QVERIFY(m_server.sql(QStringLiteral("CREATE TABLE vell_schema (version integer PRIMARY "
                                            "KEY, applied timestamptz NOT NULL DEFAULT now()); "
                                            "INSERT INTO vell_schema (version) VALUES (1), (99)"),
                             db));
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 3)));
        Shipper shipper(log, urlOf(m_server.url(db)), quick());
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(!shipper.problem().isEmpty(), 20000);
        QCOMPARE(shipper.problem(), linedb::texts::newerSchema(99, linedb::schema::kVersion));
        QCOMPARE(shipper.unsent(), 3);
        QCOMPARE(m_server.sql(QStringLiteral("SELECT string_agg(version::text, ',' ORDER BY "
                                             "version) || ' ' || (to_regclass('vell_attempts') "
                                             "IS NULL) FROM vell_schema"),
                              db),
                 QStringLiteral("1,99 true"));
        linedb::LineReport report(urlOf(m_server.url(db)), std::nullopt, std::nullopt);
        QSignalSpy finished(&report, &linedb::LineReport::finished);
        report.start();
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QCOMPARE(report.errorString(), linedb::texts::newerSchema(99, linedb::schema::kVersion));
    }

    // A wrong password: a clear message, the password nowhere, the records still queued.
    void wrongPasswordKeepsTheRecordsQueued()
    {
        const QString db = newDatabase();
        const QString wrong = QStringLiteral("Wr0ng:pa55@x");
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 3)));
        Shipper shipper(log, urlOf(m_server.url(db, wrong)), quick());
        shipper.start();
        QTRY_VERIFY_WITH_TIMEOUT(!shipper.problem().isEmpty(), 20000);
        QVERIFY2(shipper.problem().contains(QStringLiteral("password authentication failed")),
                 qPrintable(shipper.problem()));
        QVERIFY(!showsPassword(shipper.problem(), wrong));
        QCOMPARE(shipper.unsent(), 3);
        QVERIFY(!QFile::exists(linedb::ShipCursor::pathFor(log)));
        if (kApp.isEmpty())
            return;
        // --ship, the report and a headless run say it the same way, without the password;
        // the log is untouched.
        QTemporaryDir home;
        const QString url = m_server.url(db, wrong);
        for (const QStringList &arguments :
             {QStringList{"--ship", log, "--database", url},
              QStringList{"--report", "--database", url, "--json"},
              QStringList{"--database", url + "&port=x1", "--ship", log},
              QStringList{"--database", url + "&nosuch=1", "--ship", log}}) {
            const test::Run run = test::run(kApp, arguments, home.path());
            QVERIFY2(run.exitCode == 1 || run.exitCode == 2, qPrintable(run.err));
            const QString all = run.out.join(u'\n') + run.err;
            QVERIFY2(!showsPassword(all, wrong), qPrintable(all));
            QVERIFY2(run.err.contains(QStringLiteral("password authentication failed")) ||
                         run.err.contains(QStringLiteral("port")) ||
                         run.err.contains(QStringLiteral("nosuch")),
                     qPrintable(run.err));
        }
        QCOMPARE(test::readFile(log), linesOf(0, 3));
    }

    // A role with only INSERT and SELECT on the records (and SELECT on the version) ships into
    // tables its owner made; without them, it is told to have the owner make them. A role
    // allowed one connection ships a backlog over that one.
    void aRoleThatMayOnlyInsertAndSelect()
    {
        const QString db = newDatabase();
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 3)));
        QVERIFY(m_server.sql(
            QStringLiteral("CREATE ROLE bench LOGIN PASSWORD 'bench-pw' CONNECTION LIMIT 1"),
            QStringLiteral("postgres")));
        const QString bench = m_server.url(db, QStringLiteral("bench-pw"), QStringLiteral("bench"));
        {
            Shipper shipper(log, urlOf(bench), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(!shipper.problem().isEmpty(), 20000);
            QVERIFY2(shipper.problem().startsWith(
                         QStringLiteral("cannot create or update the line database's tables")),
                     qPrintable(shipper.problem()));
        }
        // The owner's first use makes the tables.
        {
            QTemporaryDir other;
            const QString first = other.filePath(QStringLiteral("attempts.jsonl"));
            QVERIFY(test::writeFile(first, linesOf(100, 101)));
            Shipper shipper(first, urlOf(m_server.url(db)), quick());
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
        }
        QVERIFY(m_server.sql(QStringLiteral("GRANT INSERT, SELECT ON vell_attempts TO bench; "
                                            "GRANT SELECT ON vell_schema TO bench"),
                             db));
        Shipper::Timings oneByOne = quick();
        oneByOne.batchRecords = 1;
        // With a table of its own and one connection; then without that right, where each
        // batch goes as one statement.
        const QStringList changes{
            QString(), QStringLiteral("ALTER ROLE bench CONNECTION LIMIT -1; REVOKE TEMPORARY ON "
                                      "DATABASE %1 FROM PUBLIC")
                           .arg(db)};
        for (int i = 0; i < changes.size(); ++i) {
            QVERIFY(changes[i].isEmpty() || m_server.sql(changes[i], db));
            QVERIFY(append(log, linesOf(3 + 3 * i, 6 + 3 * i)));
            Shipper shipper(log, urlOf(bench), oneByOne);
            bool waited = false;
            connect(&shipper, &Shipper::changed, &shipper,
                    [&] { waited = waited || shipper.state() == Shipper::State::Waiting; });
            shipper.start();
            QTRY_VERIFY_WITH_TIMEOUT(shipper.caughtUp(), 20000);
            QVERIFY2(!waited, qPrintable(shipper.problem()));
        }
        QCOMPARE(count(db), QStringLiteral("10|10"));
        QVERIFY(m_server.sql(QStringLiteral("DROP OWNED BY bench"), db));
        QVERIFY(m_server.sql(QStringLiteral("DROP ROLE bench"), QStringLiteral("postgres")));
    }

    // The line's report, counted in the server, equals the log's report over the same records,
    // over the whole log and over a period, as JSON; the table names each programmer's host.
    void reportEqualsTheLogsReport()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool");
        const QString db = newDatabase();
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 3000) + linesOf(0, 400, QStringLiteral("run-z"))));
        const QString url = m_server.url(db);
        const test::Run ship = test::run(kApp, {"--ship", log, "--database", url}, home.path());
        QVERIFY2(ship.exitCode == 0, qPrintable(ship.err));
        for (const QStringList &period :
             {QStringList{},
              QStringList{"--since", "2024-05-01T06:05:00Z", "--until", "2024-05-01T06:20:00.7Z"},
              QStringList{"--since", "2024-05-01T06:30:00Z"}}) {
            const test::Run fromLog =
                test::run(kApp, QStringList{"--report", log, "--json"} + period, home.path());
            const test::Run fromDb = test::run(
                kApp, QStringList{"--report", "--database", url, "--json"} + period, home.path());
            QVERIFY2(fromLog.exitCode == 0, qPrintable(fromLog.err));
            QVERIFY2(fromDb.exitCode == 0, qPrintable(fromDb.err));
            const QJsonObject a = lastJson(fromLog);
            const QJsonObject b = lastJson(fromDb);
            QVERIFY(a["records"].toInteger() > 0);
            QVERIFY(!b["database"].toString().isEmpty());
            QVERIFY(!showsPassword(fromDb.out.join(u'\n')));
            for (const QJsonValue &p : b["programmers"].toArray())
                QCOMPARE(p["host"], "bench-3");
            if (comparable(a) != comparable(b)) {
                qWarning().noquote() << QJsonDocument(comparable(a)).toJson();
                qWarning().noquote() << QJsonDocument(comparable(b)).toJson();
            }
            QCOMPARE(comparable(b), comparable(a));
        }
        // A second bench: its programmers are rows of their own, by host.
        QByteArray other;
        for (int i = 0; i < 8; ++i) {
            record::AttemptRecord r = madeUp(i, QStringLiteral("run-other"));
            r.host = QStringLiteral("bench-4");
            other += r.toLine();
        }
        const QString otherLog = home.filePath(QStringLiteral("other.jsonl"));
        QVERIFY(test::writeFile(otherLog, other));
        QCOMPARE(test::run(kApp, {"--ship", otherLog, "--database", url}, home.path()).exitCode, 0);
        const test::Run table = test::run(kApp, {"--report", "--database", url}, home.path());
        QCOMPARE(table.exitCode, 0);
        const QString text = table.out.join(u'\n');
        QVERIFY2(text.contains(QStringLiteral("Host")) && text.contains(QStringLiteral("bench-4")),
                 qPrintable(text));
        const QJsonObject line =
            lastJson(test::run(kApp, {"--report", "--database", url, "--json"}, home.path()));
        QCOMPARE(line["records"].toInteger(), 3408);
        QCOMPARE(line["programmers"].toArray().size(), 8);
    }

    // --ship: 0 when the database holds every record, 1 when it cannot be reached (the
    // records waiting); $VELL_DATABASE names the database too.
    void shipExitCodes()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool");
        const QString db = newDatabase();
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(test::writeFile(log, linesOf(0, 40) + "garbage\n"));
        QProcess process;
        test::prepare(process, home.path());
        QProcessEnvironment env = process.processEnvironment();
        env.insert(QStringLiteral("VELL_DATABASE"), m_server.url(db));
        process.setProcessEnvironment(env);
        process.start(kApp, {"--ship", log});
        QVERIFY(process.waitForFinished(30000));
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitCode() == 0, qPrintable(err));
        QVERIFY2(out.contains(QStringLiteral("40 records stored, 0 were there already; none "
                                             "waits")),
                 qPrintable(out));
        QVERIFY2(err.contains(QStringLiteral("line 41 is not a record")), qPrintable(err));
        QVERIFY(!showsPassword(out + err));
        QCOMPARE(count(db), QStringLiteral("40|40"));

        QVERIFY(append(log, linesOf(40, 45)));
        QTemporaryDir nowhere;
        const test::Run down = test::run(
            kApp, {"--ship", log, "--database", "postgresql:///line?host=" + nowhere.path()},
            home.path());
        QCOMPARE(down.exitCode, 1);
        QVERIFY2(down.err.contains(QStringLiteral("5 records not yet in the line database: ")),
                 qPrintable(down.err));
        const test::Run none =
            test::run(kApp, {"--ship", log}, home.path(), 30000, {"VELL_DATABASE"});
        QCOMPARE(none.exitCode, 2);
        QVERIFY2(none.err.contains(QStringLiteral("--ship needs the line database")),
                 qPrintable(none.err));
    }

    // A headless run sends its records and says so in its summary; with the database away it
    // waits up to 10 s, then says how many wait and why, its exit code unchanged.
    void headlessRunSummary()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool");
        const QString db = newDatabase();
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(
            test::writeFile(home.filePath(QStringLiteral("board.bin")), test::pattern(4 * 512)));
        const QStringList run{"--simulate", "2",     "--load", "board.bin", "--program-target",
                              "--json",     "--log", log,      "--database"};
        const test::Run up =
            test::run(kApp, run + QStringList{m_server.url(db)}, home.path(), 60000);
        QVERIFY2(up.exitCode == 0, qPrintable(up.err));
        QJsonObject summary = lastJson(up);
        QCOMPARE(summary["event"], "summary");
        QCOMPARE(summary["records_unsent"], 0);
        QCOMPARE(summary["records_unsent_why"], QJsonValue());
        QCOMPARE(count(db), QStringLiteral("4|4"));
        QVERIFY(!showsPassword(up.out.join(u'\n') + up.err));

        QTemporaryDir nowhere;
        QStringList other = run;
        other[other.indexOf(log)] = home.filePath(QStringLiteral("other.jsonl"));
        const test::Run down =
            test::run(kApp, other + QStringList{"postgresql:///line?host=" + nowhere.path()},
                      home.path(), 60000);
        QVERIFY2(down.exitCode == 0, qPrintable(down.err));
        summary = lastJson(down);
        QCOMPARE(summary["records_unsent"], 4);
        QVERIFY2(summary["records_unsent_why"].toString().contains(nowhere.path()),
                 qPrintable(summary["records_unsent_why"].toString()));
        QVERIFY2(down.ms >= 9000 && down.ms < 30000, qPrintable(QString::number(down.ms)));
        // The text summary says it too.
        app::RunResult result;
        result.unsent = 3;
        result.unsentWhy = QStringLiteral("the server is away");
        QVERIFY2(result.summaryLine().endsWith(
                     QStringLiteral("; 3 records not yet in the line database: the server is "
                                    "away")),
                 qPrintable(result.summaryLine()));
        result.unsent = 0;
        QVERIFY(!result.summaryLine().contains(QStringLiteral("line database")));
        QCOMPARE(result.summaryJson(0)["records_unsent"], 0);
        // --ship sends what waits.
        const test::Run ship =
            test::run(kApp, {"--ship", log, "--database", m_server.url(db)}, home.path());
        QVERIFY2(ship.exitCode == 0, qPrintable(ship.err));
        QCOMPARE(count(db), QStringLiteral("4|4"));
        const test::Run waited = test::run(kApp,
                                           {"--ship", home.filePath(QStringLiteral("other.jsonl")),
                                            "--database", m_server.url(db)},
                                           home.path());
        QVERIFY2(waited.exitCode == 0, qPrintable(waited.err));
        QCOMPARE(count(db), QStringLiteral("8|8"));
    }

    // The tool killed (SIGKILL) after a commit, its cursor never written: after a restart no
    // row is doubled.
    void killedAfterACommitBeforeTheCursor()
    {
        if (kApp.isEmpty())
            QSKIP("needs the tool");
        const QString db = newDatabase();
        QTemporaryDir home;
        const QString log = home.filePath(QStringLiteral("attempts.jsonl"));
        QVERIFY(
            test::writeFile(home.filePath(QStringLiteral("board.bin")), test::pattern(4 * 512)));
        // The cursor cannot be written where a folder stands in its place: every commit is
        // left without its cursor.
        QVERIFY(QDir().mkpath(linedb::ShipCursor::pathFor(log)));
        QProcess app;
        test::prepare(app, home.path());
        app.start(kApp, {"--simulate", "2", "--load", "board.bin", "--program-target", "--log", log,
                         "--database", m_server.url(db)});
        QTRY_COMPARE_WITH_TIMEOUT(count(db), QStringLiteral("4|4"), 40000);
        QCOMPARE(app.state(), QProcess::Running);
        QVERIFY(test::signal(app, SIGKILL));
        QVERIFY(app.waitForFinished(10000));
        QCOMPARE(app.exitStatus(), QProcess::CrashExit);
        QVERIFY(QDir(linedb::ShipCursor::pathFor(log)).removeRecursively());
        const test::Run ship =
            test::run(kApp, {"--ship", log, "--database", m_server.url(db)}, home.path());
        QVERIFY2(ship.exitCode == 0, qPrintable(ship.err));
        QVERIFY2(ship.out.join(u'\n').contains(QStringLiteral("0 records stored, 4 were there "
                                                              "already")),
                 qPrintable(ship.out.join(u'\n')));
        QCOMPARE(count(db), QStringLiteral("4|4"));
    }

    void cleanupTestCase()
    {
        if (m_server.unavailable().isEmpty())
            m_server.stop();
    }
};

VELL_TEST_MAIN(QCoreApplication, TstDatabaseUrl, TstLineDatabase)
#include "tst_linedb.moc"
