#include "shipper.h"

#include "logging.h"
#include "schema.h"
#include "texts.h"

#include "app/station.h"
#include "record/attemptrecord.h"
#include "report/shiftreport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace vell::linedb {

namespace {

using Position = ShipCursor::Position;

bool blank(QByteArrayView line)
{
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

/// Whole lines of the log from a position. A line counts only with its newline (the writer
/// may be half-way through it); one longer than the report's limit is no record, skipped to
/// its newline.
class LogLines
{
public:
    enum class Got
    {
        Line,
        TooLong,
        End,
    };

    LogLines(QFile &file, Position from) : m_file(file), m_at(from)
    {
        m_ok = m_file.seek(from.offset);
    }

    Got next(QByteArray &line)
    {
        constexpr qint64 kMax = report::ShiftReport::kMaxLineBytes;
        if (!m_ok)
            return Got::End;
        line = m_file.readLine(kMax + 1);
        if (line.endsWith('\n')) {
            m_at.offset += line.size();
            ++m_at.line;
            line.chop(1);
            return Got::Line;
        }
        if (line.size() > kMax) {
            for (QByteArray more; !(more = m_file.readLine(1 << 16)).isEmpty();) {
                if (more.endsWith('\n')) {
                    m_at.offset = m_file.pos();
                    ++m_at.line;
                    line.clear();
                    return Got::TooLong;
                }
            }
        }
        m_ok = m_file.seek(m_at.offset);
        return Got::End;
    }
    [[nodiscard]] Position position() const { return m_at; }

private:
    QFile &m_file;
    Position m_at;
    bool m_ok = false;
};

QJsonValue number(const std::optional<qint64> &n)
{
    return n ? QJsonValue(*n) : QJsonValue();
}

QJsonValue time(const std::optional<qint64> &ms)
{
    return ms ? QJsonValue(record::AttemptRecord::timeText(*ms)) : QJsonValue();
}

/// The insert's row of a record: its fields as the columns, the line itself as `record`. A
/// record of a version before record_id is keyed on its line's hash and number, which stay
/// the same however often it is sent.
QByteArray row(const record::AttemptRecord &r, const QByteArray &line, qint64 lineNumber, int n)
{
    using record::orNull;
    const QString id =
        !r.recordId.isEmpty()
            ? r.recordId
            : QStringLiteral("log-%1-%2")
                  .arg(QString::fromLatin1(
                      QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex().left(32)))
                  .arg(lineNumber);
    const QJsonObject o{
        {QStringLiteral("n"), n},
        {QStringLiteral("record_id"), id},
        {QStringLiteral("time"), time(r.timeMs)},
        {QStringLiteral("started"), time(r.startedMs)},
        {QStringLiteral("duration_ms"), number(r.durationMs)},
        {QStringLiteral("host"), orNull(r.host)},
        {QStringLiteral("app_version"), orNull(r.appVersion)},
        {QStringLiteral("run_id"), orNull(r.runId)},
        {QStringLiteral("pid"), number(r.pid)},
        {QStringLiteral("programmer"), r.programmer},
        {QStringLiteral("com"), r.com},
        {QStringLiteral("device"), orNull(r.device)},
        {QStringLiteral("usb_serial"), orNull(r.usbSerial)},
        {QStringLiteral("usb_vid_pid"), orNull(r.vidPid)},
        {QStringLiteral("location"), orNull(r.location)},
        {QStringLiteral("step"), orNull(r.step)},
        {QStringLiteral("try"), r.tryNumber ? QJsonValue(*r.tryNumber) : QJsonValue()},
        {QStringLiteral("file"), r.file ? QJsonValue(r.file->toJson()) : QJsonValue()},
        {QStringLiteral("options"), r.options ? QJsonValue(r.options->toJson()) : QJsonValue()},
        {QStringLiteral("expected_sha256"), orNull(r.expectedSha256)},
        {QStringLiteral("expected_crc32"), orNull(r.expectedCrc32)},
        {QStringLiteral("result"), r.result},
        {QStringLiteral("code"), r.code ? QJsonValue(*r.code) : QJsonValue()},
        {QStringLiteral("text"), orNull(r.text)},
        {QStringLiteral("programmer_version"), orNull(r.programmerVersion)},
        {QStringLiteral("board"), orNull(r.board)},
        {QStringLiteral("reprogrammed"), r.reprogrammed},
        {QStringLiteral("operator"), orNull(r.operatorName)},
        {QStringLiteral("request_id"), r.requestId.value_or(QJsonValue())},
    };
    QByteArray out = QJsonDocument(o).toJson(QJsonDocument::Compact);
    out.chop(1);
    return out + ",\"record\":" + line + '}';
}

} // namespace

Shipper::Shipper(const QString &logPath, const DatabaseUrl &url, const Timings &timings,
                 QObject *parent)
    : QObject(parent), m_logPath(logPath), m_url(url), m_timings(timings),
      m_cursorFile(logPath, url.shown()), m_retryMs(timings.firstRetryMs)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &Shipper::sendNext);
}

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
    m_scanQueued = false;
    if (!openLog())
        return;
    LogLines lines(m_log, m_scanned);
    QByteArray line;
    const qint64 from = m_scanned.offset;
    for (LogLines::Got got; lines.position().offset - from < kScanSliceBytes;) {
        if ((got = lines.next(line)) == LogLines::Got::End)
            break;
        if (got == LogLines::Got::Line && blank(line))
            continue;
        if (got == LogLines::Got::Line && record::AttemptRecord::parse(line))
            ++m_unsent;
        else
            skipLine(texts::notARecord(QDir::toNativeSeparators(m_logPath), lines.position().line));
    }
    m_scanned = lines.position();
    if (m_log.size() > m_scanned.offset && lines.position().offset - from >= kScanSliceBytes)
        queueScan();
    Q_EMIT changed();
    if (m_state == State::CaughtUp)
        sendNext();
}

void Shipper::connectNow()
{
    setState(State::Connecting);
    m_prepared = false;
    m_db.open(m_url, m_timings.connectTimeoutMs, [this](const QString &error) {
        if (!error.isEmpty())
            fail(error);
        else
            prepare();
    });
}

void Shipper::prepare()
{
    setState(State::Connecting);
    m_db.exec(schema::kVersionQuery, {}, m_timings.queryTimeoutMs, [this](const PgOutcome &o) {
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
            m_prepared = true;
            sendNext();
        }
    });
}

void Shipper::migrate()
{
    m_migrated = true;
    m_db.execScript(schema::migration(), m_timings.queryTimeoutMs, [this](const PgOutcome &o) {
        if (o.ok())
            prepare();
        else
            fail(texts::cannotCreateTables(o.error));
    });
}

Shipper::Batch Shipper::nextBatch()
{
    Batch batch;
    LogLines lines(m_log, m_cursor);
    const int most = m_cursor.offset < m_singlesUntil ? 1 : kBatchRecords;
    QByteArray line;
    while (batch.records < most && batch.rows.size() < kBatchBytes &&
           lines.position().offset < m_scanned.offset) {
        const LogLines::Got got = lines.next(line);
        if (got == LogLines::Got::End)
            break;
        // Lines that are not records were counted and named by the scan.
        std::optional<record::AttemptRecord> record;
        if (got != LogLines::Got::Line || blank(line) ||
            !(record = record::AttemptRecord::parse(line)))
            continue;
        if (batch.records == 0)
            batch.firstLine = lines.position().line;
        batch.rows += (batch.records == 0 ? '[' : ',') +
                      row(*record, line, lines.position().line, batch.records);
        ++batch.records;
    }
    batch.rows += batch.records == 0 ? "[]" : "]";
    batch.end = lines.position();
    return batch;
}

void Shipper::sendNext()
{
    if (!openLog()) {
        fail(texts::cannotReadLog(
            QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(m_logPath), m_log.errorString())));
        return;
    }
    if (!m_db.ready()) {
        connectNow();
        return;
    }
    if (!m_prepared) {
        prepare();
        return;
    }
    for (;;) {
        if (m_cursor == m_scanned) {
            m_problem.clear();
            setState(State::CaughtUp);
            Q_EMIT changed();
            return;
        }
        m_batch = nextBatch();
        if (m_batch.records > 0)
            break;
        // Nothing but lines that are not records: passed without the database.
        if (!advance(m_batch.end, 0))
            return;
    }
    setState(State::Sending);
    m_db.exec(schema::kInsert, {m_batch.rows}, m_timings.queryTimeoutMs,
              [this](const PgOutcome &o) { onSent(o); });
}

void Shipper::onSent(const PgOutcome &o)
{
    if (!o.ok()) {
        // A value the server cannot hold (class 22, data exception; 54, a limit) would block
        // the queue: its batch goes again one record at a time, and that record is skipped.
        if (!o.sqlState.startsWith("22") && !o.sqlState.startsWith("54")) {
            fail(o.error);
        } else if (m_batch.records > 1) {
            m_singlesUntil = m_batch.end.offset;
            sendNext();
        } else {
            skipLine(texts::refusedRecord(QDir::toNativeSeparators(m_logPath), m_batch.firstLine,
                                          o.error));
            if (advance(m_batch.end, 1))
                sendNext();
        }
        return;
    }
    const qint64 inserted = o.results.empty() ? 0 : o.results.back().affected();
    m_sent += inserted;
    m_alreadyThere += m_batch.records - inserted;
    if (advance(m_batch.end, m_batch.records))
        sendNext();
}

bool Shipper::advance(const ShipCursor::Position &end, int records)
{
    if (!m_cursorFile.write(end)) {
        fail(texts::cannotKeepCursor(QDir::toNativeSeparators(m_cursorFile.path()),
                                     m_cursorFile.errorString()));
        return false;
    }
    m_cursor = end;
    m_unsent -= records;
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
    m_retry.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, m_timings.longestRetryMs);
    setState(State::Waiting);
    Q_EMIT changed();
}

} // namespace vell::linedb
