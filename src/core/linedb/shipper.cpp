#include "shipper.h"

#include "logging.h"
#include "pgarray.h"
#include "schema.h"
#include "texts.h"

#include "app/station.h"
#include "record/attemptrecord.h"
#include "report/shiftreport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace vell::linedb {

namespace {

using Position = ShipCursor::Position;

bool blank(QByteArrayView line)
{
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

/// What the scan counts as a record without reading it: a JSON object that names a result.
/// The batch reads it; a line that only looked like one is named there.
bool looksLikeRecord(QByteArrayView line)
{
    const qsizetype first =
        std::find_if(line.begin(), line.end(), [](char c) { return c != ' ' && c != '\t'; }) -
        line.begin();
    if (first >= line.size() || line.at(first) != '{')
        return false;
    // "result" as a name: a colon follows it.
    constexpr QByteArrayView kName("\"result\"");
    for (qsizetype at = line.indexOf(kName); at >= 0; at = line.indexOf(kName, at + 1)) {
        qsizetype after = at + kName.size();
        while (after < line.size() && (line.at(after) == ' ' || line.at(after) == '\t'))
            ++after;
        if (after < line.size() && line.at(after) == ':')
            return true;
    }
    return false;
}

/// Whole lines of the log from a position up to a bound, read in blocks. A line counts only
/// with its newline (the writer may be half-way through it); one longer than the report's
/// limit is no record, passed over to its newline without being held.
class LogLines
{
public:
    enum class Got
    {
        Line,
        TooLong,
        End,
    };
    static constexpr qint64 kBlock = 1 << 18;

    /// until: the offset to stop at (-1: the file's end).
    LogLines(QFile &file, Position from, qint64 until = -1)
        : m_file(file), m_at(from), m_until(until), m_read(from.offset)
    {
        m_ok = m_file.seek(from.offset);
    }

    /// The next whole line, without its newline; line stays valid until the next call.
    Got next(QByteArrayView &line)
    {
        constexpr qsizetype kMax = report::ShiftReport::kMaxLineBytes;
        for (;;) {
            const qsizetype newline = m_buffer.indexOf('\n', m_start);
            if (newline >= 0) {
                const qsizetype length = newline - m_start;
                line = QByteArrayView(m_buffer).sliced(m_start, length);
                m_at.offset += length + 1 + m_dropped;
                m_dropped = 0;
                ++m_at.line;
                m_start = newline + 1;
                if (m_tooLong || length > kMax) {
                    m_tooLong = false;
                    return Got::TooLong;
                }
                return Got::Line;
            }
            // A line longer than the limit is not kept: what was read of it is counted only.
            if (m_buffer.size() - m_start > kMax) {
                m_tooLong = true;
                m_dropped += m_buffer.size() - m_start;
                m_buffer.clear();
                m_start = 0;
            }
            if (!fill())
                return Got::End;
        }
    }
    [[nodiscard]] Position position() const { return m_at; }

private:
    bool fill()
    {
        const qint64 left = m_until < 0 ? kBlock : std::min(kBlock, m_until - m_read);
        if (!m_ok || left <= 0)
            return false;
        m_buffer.remove(0, m_start);
        m_start = 0;
        const qsizetype had = m_buffer.size();
        m_buffer.resize(had + left);
        const qint64 n = m_file.read(m_buffer.data() + had, left);
        m_buffer.resize(had + std::max<qint64>(n, 0));
        if (n <= 0)
            return false;
        m_read += n;
        return true;
    }

    QFile &m_file;
    Position m_at;
    qint64 m_until;
    qint64 m_read;
    QByteArray m_buffer;
    qsizetype m_start = 0;
    qint64 m_dropped = 0;
    bool m_tooLong = false;
    bool m_ok = false;
};

/// A record of a version before record_id is keyed on its line's hash and number, which stay
/// the same however often it is sent.
QString keyOfOldRecord(QByteArrayView line, qint64 lineNumber)
{
    return QStringLiteral("log-%1-%2")
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex().left(32)))
        .arg(lineNumber);
}

/// What the insert reads of a record; the objects and values it takes from the line.
constexpr record::AttemptRecord::Fields kSent =
    record::AttemptRecord::AllFields &
    ~(record::AttemptRecord::FieldFile | record::AttemptRecord::FieldOptions |
      record::AttemptRecord::FieldRequestId);

} // namespace

Shipper::Batch Shipper::build(const QString &path, Position from, qint64 until, int most)
{
    Batch batch;
    batch.from = batch.end = from;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        batch.error = texts::cannotReadLog(
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return batch;
    }
    const std::vector<record::Field> fields = schema::insertParameters();
    std::vector<PgArray> columns;
    for (const record::Field &f : fields)
        columns.emplace_back(PgArray::typeOf(f.kind));
    PgArray lines(PgArray::Jsonb);
    LogLines log(file, from, until);
    QByteArrayView line;
    while (batch.records < most && batch.bytes < kBatchBytes) {
        const LogLines::Got got = log.next(line);
        if (got == LogLines::Got::End)
            break;
        batch.end = log.position();
        // Lines the scan did not count were named by it.
        if (got != LogLines::Got::Line || blank(line) || !looksLikeRecord(line))
            continue;
        ++batch.counted;
        std::optional<record::AttemptRecord> record = record::AttemptRecord::parse(line, kSent);
        if (!record) {
            batch.skipped.emplace_back(
                batch.end.offset,
                texts::notARecord(QDir::toNativeSeparators(path), batch.end.line));
            continue;
        }
        if (batch.records == 0)
            batch.firstLine = batch.end.line;
        if (record->recordId.isEmpty())
            record->recordId = keyOfOldRecord(line, batch.end.line);
        batch.bytes = 0;
        for (size_t i = 0; i < fields.size(); ++i) {
            columns[i].append(fields[i].value(*record));
            batch.bytes += columns[i].bytes();
        }
        lines.appendJsonb(line);
        batch.bytes += lines.bytes();
        ++batch.records;
    }
    for (PgArray &column : columns)
        batch.columns.emplace_back(column.take());
    batch.columns.emplace_back(lines.take());
    return batch;
}

Shipper::Shipper(const QString &logPath, const DatabaseUrl &url, const Timings &timings,
                 QObject *parent)
    : QObject(parent), m_begin("BEGIN;\n" + schema::batchTable()), m_stage(schema::stage()),
      m_insertStaged(schema::insertStaged()), m_insertDirect(schema::insertDirect()),
      m_logPath(logPath), m_url(url), m_timings(timings), m_cursorFile(logPath, url.shown()),
      m_retryMs(timings.firstRetryMs)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Shipper::sendNext);
    connect(&m_building, &QFutureWatcher<Batch>::finished, this, &Shipper::onBuilt);
    for (Lane &lane : m_lanes)
        connect(lane.db.get(), &PgConnection::lost, this,
                [this, &lane](const QString &why) { onLost(lane, why); });
}

// A batch still being made finishes in the pool on its own data; nobody takes it.
Shipper::~Shipper() = default;

std::unique_ptr<Shipper> Shipper::follow(app::Station &station, const DatabaseUrl &url)
{
    if (station.logPath().isEmpty())
        return nullptr;
    auto shipper = std::make_unique<Shipper>(station.logPath(), url);
    connect(&station, &app::Station::attemptEnded, shipper.get(), &Shipper::poke);
    shipper->start();
    return shipper;
}

void Shipper::setState(State state)
{
    if (state == m_state)
        return;
    qCDebug(lcLine) << "shipper" << int(m_state) << "->" << int(state);
    m_state = state;
    Q_EMIT changed();
}

QString Shipper::statusText() const
{
    return m_unsent > 0 && !m_problem.isEmpty() ? texts::notYetShipped(m_unsent, m_problem)
                                                : QString();
}

void Shipper::start()
{
    if (m_state != State::Stopped)
        return;
    m_cursor = m_scanned = m_cursorFile.read();
    setState(State::Connecting);
    scan();
    sendNext();
}

void Shipper::poke()
{
    if (m_state != State::Stopped && !m_scanQueued)
        scan();
}

bool Shipper::openLog()
{
    if (m_log.isOpen())
        return true;
    m_log.setFileName(m_logPath);
    return m_log.open(QIODevice::ReadOnly);
}

bool Shipper::logReplaced()
{
    if (!m_log.isOpen())
        return false;
    const QFileInfo now(m_logPath);
    if (!now.exists() || now.size() < m_scanned.offset)
        return true;
#ifdef Q_OS_UNIX
    struct stat open
    {
    };
    struct stat named
    {
    };
    return ::fstat(m_log.handle(), &open) == 0 &&
           ::stat(QFile::encodeName(m_logPath).constData(), &named) == 0 &&
           (open.st_ino != named.st_ino || open.st_dev != named.st_dev);
#else
    return false;
#endif
}

void Shipper::restartLog()
{
    qCWarning(lcLine) << m_logPath << "was replaced or cut: sending it from its start";
    for (Lane &lane : m_lanes)
        closeLane(lane);
    m_log.close();
    m_next.reset();
    m_cursor = m_scanned = {};
    m_unsent = 0;
    m_singlesUntil = m_namedUntil = 0;
    if (!m_cursorFile.write(m_cursor)) {
        fail(texts::cannotKeepCursor(QDir::toNativeSeparators(m_cursorFile.path()),
                                     m_cursorFile.errorString()));
        return;
    }
    scan();
    sendNext();
}

void Shipper::queueScan()
{
    m_scanQueued = true;
    QTimer::singleShot(0, this, &Shipper::scan);
}

void Shipper::skipLine(const QString &text)
{
    if (++m_skipped <= kLinesNamed)
        Q_EMIT lineSkipped(text);
}

void Shipper::scan()
{
    // Counting only: a line that looks like a record counts as one, the rest are named here.
    // A slice at a time, so a long log never holds the event loop.
    m_scanQueued = false;
    if (logReplaced()) {
        restartLog();
        return;
    }
    if (!openLog())
        return;
    LogLines lines(m_log, m_scanned);
    QByteArrayView line;
    const qint64 from = m_scanned.offset;
    while (lines.position().offset - from < kScanSliceBytes) {
        const LogLines::Got got = lines.next(line);
        if (got == LogLines::Got::End)
            break;
        if (got == LogLines::Got::Line && blank(line))
            continue;
        if (got == LogLines::Got::Line && looksLikeRecord(line)) {
            ++m_unsent;
        } else if (lines.position().offset > m_namedUntil) {
            m_namedUntil = lines.position().offset;
            skipLine(texts::notARecord(QDir::toNativeSeparators(m_logPath), lines.position().line));
        }
    }
    m_scanned = lines.position();
    if (m_scanned.offset - from >= kScanSliceBytes)
        queueScan();
    Q_EMIT changed();
    if (m_state == State::CaughtUp)
        sendNext();
}

void Shipper::connectNow()
{
    setState(State::Connecting);
    m_prepared = false;
    m_lanes[0].db->open(m_url, m_timings.connectTimeoutMs, [this](const QString &error) {
        if (!error.isEmpty())
            fail(error);
        else
            prepare();
    });
}

void Shipper::openSecondLane()
{
    Lane &second = m_lanes[1];
    if (m_secondLaneRefused || second.db->state() != PgConnection::State::Closed)
        return;
    second.db->open(m_url, m_timings.connectTimeoutMs, [this](const QString &error) {
        Lane &lane = m_lanes[1];
        if (error.isEmpty()) {
            sendNext();
            return;
        }
        // The server may allow this bench one connection only: it goes on with that.
        qCDebug(lcLine) << "no second connection:" << error;
        m_secondLaneRefused = true;
        closeLane(lane);
    });
}

void Shipper::prepare()
{
    setState(State::Connecting);
    m_lanes[0].db->exec(schema::kVersionQuery, {}, m_timings.queryTimeoutMs,
                        [this](const PgOutcome &o) {
                            if (!o.ok()) {
                                // No version table: the database's first use.
                                if (o.sqlState == "42P01" && !m_migrated)
                                    migrate();
                                else
                                    fail(o.error);
                                return;
                            }
                            const qint64 version = o.results.back().number(0, 0).value_or(0);
                            if (version > schema::kVersion) {
                                fail(texts::newerSchema(version, schema::kVersion));
                            } else if (version < schema::kVersion) {
                                if (m_migrated)
                                    fail(texts::cannotCreateTables(texts::kServerError));
                                else
                                    migrate();
                            } else {
                                checkStaging();
                            }
                        });
}

void Shipper::migrate()
{
    m_migrated = true;
    m_lanes[0].db->execScript(schema::migration(), m_timings.queryTimeoutMs,
                              [this](const PgOutcome &o) {
                                  if (o.ok())
                                      prepare();
                                  else
                                      fail(texts::cannotCreateTables(o.error));
                              });
}

void Shipper::checkStaging()
{
    m_lanes[0].db->exec(schema::kMayStage, {}, m_timings.queryTimeoutMs,
                        [this](const PgOutcome &o) {
                            if (!o.ok()) {
                                fail(o.error);
                                return;
                            }
                            m_direct = o.results.back().value(0, 0) != "t";
                            m_prepared = true;
                            sendNext();
                        });
}

void Shipper::onLost(Lane &lane, const QString &why)
{
    // A batch staged or being stored there went with its transaction: everything from the
    // cursor goes again.
    if (lane.batch || lane.step != Lane::Step::Idle)
        fail(why);
    else
        closeLane(lane);
}

void Shipper::startBuild(const ShipCursor::Position &from)
{
    if (m_buildRunning || from.offset >= m_scanned.offset)
        return;
    m_buildRunning = true;
    const int most = from.offset < m_singlesUntil ? 1 : m_timings.batchRecords;
    auto promise = std::make_shared<QPromise<Batch>>();
    m_building.setFuture(promise->future());
    promise->start();
    QThreadPool::globalInstance()->start(
        [promise, path = m_logPath, from, until = m_scanned.offset, most] {
            promise->addResult(build(path, from, until, most));
            promise->finish();
        });
}

void Shipper::onBuilt()
{
    m_buildRunning = false;
    const QFuture<Batch> future = m_building.future();
    if (future.resultCount() > 0)
        m_next = future.result();
    sendNext();
}

ShipCursor::Position Shipper::queuedEnd() const
{
    Position end = m_cursor;
    for (const Lane &lane : m_lanes)
        if (lane.batch && lane.batch->end.offset > end.offset)
            end = lane.batch->end;
    return end;
}

bool Shipper::anyBatch() const
{
    return std::any_of(m_lanes.begin(), m_lanes.end(),
                       [](const Lane &lane) { return lane.batch.has_value(); });
}

bool Shipper::usable(const Lane &lane) const
{
    return lane.step == Lane::Step::Idle && !lane.batch && lane.db->ready();
}

void Shipper::sendNext()
{
    if (m_state == State::Stopped || m_retry.isActive())
        return;
    if (m_lanes[0].db->state() == PgConnection::State::Closed) {
        connectNow();
        return;
    }
    if (!m_prepared)
        return; // the connection's own steps call again
    if (!anyBatch() && m_cursor.offset >= m_scanned.offset) {
        m_next.reset();
        m_problem.clear();
        // The second connection is kept only while records wait.
        closeLane(m_lanes[1]);
        m_secondLaneRefused = false;
        setState(State::CaughtUp);
        Q_EMIT changed();
        return;
    }
    // The head (the batch at the cursor) is stored once staged, one insert at a time, and
    // only on the connection that staged it.
    for (Lane &lane : m_lanes) {
        if (lane.batch && lane.batch->from == m_cursor && lane.step == Lane::Step::Staged &&
            std::none_of(m_lanes.begin(), m_lanes.end(),
                         [](const Lane &l) { return l.step == Lane::Step::Inserting; })) {
            if (lane.batch->records > 0 &&
                (!lane.db->ready() || lane.db->session() != lane.session)) {
                fail(texts::connectionLost(texts::kNotConnected));
                return;
            }
            insertStaged(lane);
            break;
        }
    }
    if (m_retry.isActive())
        return;
    // Free lanes take the next batches.
    for (Lane &lane : m_lanes) {
        const Position queued = queuedEnd();
        const bool singles = queued.offset < m_singlesUntil;
        if (!usable(lane) || (singles && anyBatch()) || queued.offset >= m_scanned.offset)
            continue;
        if (!m_next || m_next->from != queued) {
            // Made for another place (before a failure, or one record at a time): made again.
            m_next.reset();
            startBuild(queued);
            break;
        }
        Batch batch = std::move(*m_next);
        m_next.reset();
        if (!batch.error.isEmpty()) {
            fail(batch.error);
            return;
        }
        if (batch.end == batch.from) {
            // Nothing where lines were counted: the log is shorter than it was.
            restartLog();
            return;
        }
        for (const auto &[end, text] : batch.skipped) {
            if (end > m_namedUntil) {
                m_namedUntil = end;
                skipLine(text);
            }
        }
        stage(lane, std::move(batch));
        startBuild(queuedEnd());
    }
    if (anyBatch())
        setState(State::Sending);
    // A second connection only for a backlog: more than a batch waits.
    if (!m_direct && queuedEnd().offset < m_scanned.offset &&
        queuedEnd().offset >= m_singlesUntil &&
        (m_unsent > m_timings.batchRecords || m_scanned.offset - m_cursor.offset > kBatchBytes))
        openSecondLane();
}

void Shipper::stage(Lane &lane, Batch batch)
{
    lane.batch = std::move(batch);
    // Nothing but lines that are not records: passed without the database, in its turn.
    if (lane.batch->records == 0) {
        lane.step = Lane::Step::Staged;
        QTimer::singleShot(0, this, &Shipper::sendNext);
        return;
    }
    lane.session = lane.db->session();
    if (m_direct) {
        // Sent whole when it is the head.
        lane.step = Lane::Step::Staged;
        QTimer::singleShot(0, this, &Shipper::sendNext);
        return;
    }
    lane.step = Lane::Step::Staging;
    lane.db->execScript(m_begin, m_timings.queryTimeoutMs, [this, &lane](const PgOutcome &o) {
        if (!o.ok()) {
            fail(o.error);
            return;
        }
        lane.db->exec(
            m_stage, lane.batch->columns, m_timings.queryTimeoutMs,
            [this, &lane](const PgOutcome &staged) {
                if (!staged.ok()) {
                    onBatchFailed(lane, staged);
                    return;
                }
                lane.step = Lane::Step::Staged;
                lane.batch->columns.clear(); // the server holds them now
                sendNext();
            },
            PgConnection::Format::Binary);
    });
}

void Shipper::insertStaged(Lane &lane)
{
    if (lane.batch->records == 0) {
        const Batch batch = std::move(*lane.batch);
        lane.batch.reset();
        lane.step = Lane::Step::Idle;
        if (advance(batch.end, batch.counted))
            QTimer::singleShot(0, this, &Shipper::sendNext);
        return;
    }
    lane.step = Lane::Step::Inserting;
    if (m_direct)
        lane.db->exec(
            m_insertDirect, lane.batch->columns, m_timings.queryTimeoutMs,
            [this, &lane](const PgOutcome &o) { onInserted(lane, o); },
            PgConnection::Format::Binary);
    else
        lane.db->execScript(m_insertStaged + ";\nCOMMIT", m_timings.queryTimeoutMs,
                            [this, &lane](const PgOutcome &o) { onInserted(lane, o); });
}

void Shipper::onInserted(Lane &lane, const PgOutcome &o)
{
    // Both the insert and its commit answered (one statement on its own commits as it
    // answers): only then is the batch in the database.
    if (!o.ok() || o.results.size() < (m_direct ? 1U : 2U)) {
        onBatchFailed(lane, o);
        return;
    }
    const Batch batch = std::move(*lane.batch);
    lane.batch.reset();
    lane.step = Lane::Step::Idle;
    const qint64 inserted = o.results.front().affected();
    m_sent += inserted;
    m_alreadyThere += batch.records - inserted;
    if (advance(batch.end, batch.counted))
        sendNext();
}

void Shipper::onBatchFailed(Lane &lane, const PgOutcome &o)
{
    // A value the server cannot hold (class 22, data exception; 54, a limit) would block the
    // queue: its batch goes again one record at a time, and that record is skipped.
    if (!o.sqlState.startsWith("22") && !o.sqlState.startsWith("54")) {
        fail(o.error.isEmpty() ? texts::kServerError : o.error);
        return;
    }
    const Batch batch = std::move(*lane.batch);
    lane.batch.reset();
    m_next.reset();
    if (batch.records > 1 || batch.from != m_cursor) {
        // This batch and any after it go again, one record at a time.
        // A batch after it, still at work on the other connection, is left with that
        // connection (closing it rolls its transaction back).
        m_singlesUntil = std::max(m_singlesUntil, batch.end.offset);
        for (Lane &other : m_lanes) {
            if (other.batch && other.batch->from.offset > batch.from.offset)
                closeLane(other);
        }
        undo(lane);
        return;
    }
    skipLine(texts::refusedRecord(QDir::toNativeSeparators(m_logPath), batch.firstLine, o.error));
    undo(lane);
    advance(batch.end, batch.counted);
}

void Shipper::closeLane(Lane &lane)
{
    // Closing rolls back what its transaction held; a callback still due never comes.
    lane.db->close();
    lane.batch.reset();
    lane.step = Lane::Step::Idle;
}

void Shipper::undo(Lane &lane)
{
    lane.batch.reset();
    lane.step = Lane::Step::Undoing;
    lane.db->execScript("ROLLBACK", m_timings.queryTimeoutMs, [this, &lane](const PgOutcome &o) {
        if (!o.ok()) {
            fail(o.error);
            return;
        }
        lane.step = Lane::Step::Idle;
        sendNext();
    });
}

bool Shipper::advance(const ShipCursor::Position &end, int counted)
{
    if (!m_cursorFile.write(end)) {
        fail(texts::cannotKeepCursor(QDir::toNativeSeparators(m_cursorFile.path()),
                                     m_cursorFile.errorString()));
        return false;
    }
    m_cursor = end;
    m_unsent -= counted;
    m_retryMs = m_timings.firstRetryMs;
    m_problem.clear();
    Q_EMIT changed();
    return true;
}

void Shipper::fail(const QString &why)
{
    qCDebug(lcLine) << "try failed:" << why << "next in" << m_retryMs << "ms";
    m_problem = why;
    m_migrated = false;
    // A connection that failed a step may sit in an aborted transaction: the next try starts
    // on new ones, from the cursor.
    for (Lane &lane : m_lanes)
        closeLane(lane);
    m_next.reset();
    m_prepared = false;
    m_secondLaneRefused = false;
    m_retry.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, m_timings.longestRetryMs);
    setState(State::Waiting);
    Q_EMIT changed();
}

} // namespace vell::linedb
