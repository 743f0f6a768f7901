#include "pgconnection.h"

#include "logging.h"
#include "texts.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>

#include <libpq-fe.h>

namespace vell::linedb {

namespace {

/// Notices (such as "relation already exists, skipping") are for the log, never for stderr.
void onNotice(void *, const char *message)
{
    qCDebug(lcLine) << "notice:" << message;
}

QString text(const char *message)
{
    return QString::fromUtf8(message).simplified();
}

} // namespace

PgResult::PgResult(pg_result *result) : m_result(result, PQclear) {}

int PgResult::rows() const
{
    return PQntuples(m_result.get());
}

int PgResult::columns() const
{
    return PQnfields(m_result.get());
}

bool PgResult::isNull(int row, int column) const
{
    return PQgetisnull(m_result.get(), row, column) != 0;
}

QByteArray PgResult::value(int row, int column) const
{
    return QByteArray(PQgetvalue(m_result.get(), row, column),
                      PQgetlength(m_result.get(), row, column));
}

std::optional<qint64> PgResult::number(int row, int column) const
{
    if (isNull(row, column))
        return std::nullopt;
    bool ok = false;
    const qint64 n = value(row, column).toLongLong(&ok);
    return ok ? std::optional<qint64>(n) : std::nullopt;
}

qint64 PgResult::affected() const
{
    return QByteArray(PQcmdTuples(m_result.get())).toLongLong();
}

PgConnection::PgConnection(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &PgConnection::onTimeout);
}

PgConnection::~PgConnection()
{
    close();
}

void PgConnection::setState(State state)
{
    qCDebug(lcLine) << "connection" << int(m_state) << "->" << int(state);
    m_state = state;
}

void PgConnection::open(const DatabaseUrl &url, int timeoutMs, Opened done)
{
    close();
    ++m_session;
    m_url = url;
    m_opened = std::move(done);
    const int given = url.option("connect_timeout").toInt();
    m_timer.start(given > 0 ? std::max(given, 2) * 1000 : timeoutMs);
    setState(State::Resolving);
    // libpq would look a host name up itself, blocking: its addresses come from QHostInfo's
    // threads instead, and libpq is given them (hostaddr), keeping the name for TLS.
    m_hosts.clear();
    m_addresses.clear();
    if (url.option("hostaddr").isEmpty()) {
        const QByteArray hosts = url.option("host");
        for (const QByteArray &host : hosts.split(','))
            m_hosts.push_back(host);
    }
    m_addresses.assign(m_hosts.size(), QByteArray());
    m_unresolved = 0;
    for (size_t i = 0; i < m_hosts.size(); ++i) {
        const QByteArray &host = m_hosts[i];
        if (host.isEmpty() || host.startsWith('/') || host.startsWith('@') ||
            !QHostAddress(QString::fromLatin1(host)).isNull())
            continue;
        ++m_unresolved;
        m_lookups.push_back(
            QHostInfo::lookupHost(QString::fromUtf8(host), this, [this, i](const QHostInfo &info) {
                const QList<QHostAddress> found = info.addresses();
                if (info.error() != QHostInfo::NoError || found.isEmpty()) {
                    fail(texts::unknownHost(QString::fromUtf8(m_hosts[i]), info.errorString()));
                    return;
                }
                QByteArrayList all;
                for (const QHostAddress &a : found)
                    all << a.toString().toLatin1();
                m_addresses[i] = all.join(',');
                if (--m_unresolved == 0)
                    connectResolved();
            }));
    }
    if (m_unresolved == 0)
        connectResolved();
}

void PgConnection::connectResolved()
{
    m_lookups.clear();
    std::vector<QByteArray> keys{"fallback_application_name"};
    std::vector<QByteArray> values{"vell-usb-programmer"};
    // A name with several addresses becomes that many entries of the host list, so libpq still
    // tries each; a port list follows its hosts.
    QByteArrayList hosts, addresses, ports;
    const QByteArrayList givenPorts = m_url->option("port").split(',');
    bool resolved = false;
    for (size_t i = 0; i < m_hosts.size(); ++i) {
        const QByteArrayList each =
            m_addresses[i].isEmpty() ? QByteArrayList{QByteArray()} : m_addresses[i].split(',');
        for (const QByteArray &address : each) {
            hosts << m_hosts[i];
            addresses << address;
            ports << (givenPorts.size() == qsizetype(m_hosts.size()) ? givenPorts[qsizetype(i)]
                                                                     : givenPorts.value(0));
            resolved = resolved || !address.isEmpty();
        }
    }
    for (const auto &[key, value] : m_url->options()) {
        if (resolved && (key == "host" || key == "port"))
            continue;
        keys.push_back(key);
        values.push_back(value);
    }
    // Texts go and come as UTF-8, whatever the database's own encoding (the server converts).
    keys.push_back("client_encoding");
    values.push_back("UTF8");
    if (resolved) {
        keys.insert(keys.end(), {"host", "hostaddr", "port"});
        values.insert(values.end(), {hosts.join(','), addresses.join(','), ports.join(',')});
    }
    std::vector<const char *> k, v;
    for (size_t i = 0; i < keys.size(); ++i) {
        k.push_back(keys[i].constData());
        v.push_back(values[i].constData());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    m_conn = PQconnectStartParams(k.data(), v.data(), 0);
    if (!m_conn || PQstatus(m_conn) == CONNECTION_BAD) {
        fail(lastError());
        return;
    }
    PQsetNoticeProcessor(m_conn, onNotice, nullptr);
    setState(State::Connecting);
    // Right after the start libpq waits to write.
    watch(false, true);
}

void PgConnection::watch(bool read, bool write)
{
    const int socket = m_conn ? PQsocket(m_conn) : -1;
    if (socket != m_socket) {
        m_read.reset();
        m_write.reset();
        m_socket = socket;
        if (socket >= 0) {
            m_read = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
            m_write = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
            connect(m_read.get(), &QSocketNotifier::activated, this, &PgConnection::onReadable);
            connect(m_write.get(), &QSocketNotifier::activated, this, &PgConnection::onWritable);
        }
    }
    if (m_read)
        m_read->setEnabled(read);
    if (m_write)
        m_write->setEnabled(write);
}

void PgConnection::poll()
{
    switch (PQconnectPoll(m_conn)) {
    case PGRES_POLLING_READING:
        watch(true, false);
        return;
    case PGRES_POLLING_WRITING:
        watch(false, true);
        return;
    case PGRES_POLLING_OK: {
        m_timer.stop();
        PQsetnonblocking(m_conn, 1);
        setState(State::Ready);
        // Idle, it still listens: a server that goes away is seen at once.
        watch(true, false);
        if (Opened done = std::exchange(m_opened, nullptr))
            done(QString());
        return;
    }
    case PGRES_POLLING_FAILED:
    case PGRES_POLLING_ACTIVE:
        break;
    }
    fail(lastError());
}

void PgConnection::onReadable()
{
    if (m_state == State::Connecting) {
        poll();
        return;
    }
    if (!PQconsumeInput(m_conn) || PQstatus(m_conn) == CONNECTION_BAD) {
        fail(texts::connectionLost(lastError()));
        return;
    }
    if (m_state == State::Busy)
        collect();
}

void PgConnection::onWritable()
{
    if (m_state == State::Connecting)
        poll();
    else if (m_state == State::Busy)
        flush();
}

void PgConnection::onTimeout()
{
    const int ms = m_timer.interval();
    fail(m_state == State::Busy ? texts::noAnswer(ms / 1000) : texts::noConnection(ms / 1000));
}

void PgConnection::exec(const QByteArray &sql, const std::vector<std::optional<QByteArray>> &params,
                        int timeoutMs, Done done, Format format)
{
    std::vector<const char *> values;
    std::vector<int> lengths, formats;
    for (const auto &p : params) {
        values.push_back(p ? p->constData() : nullptr);
        lengths.push_back(p ? int(p->size()) : 0);
        formats.push_back(format == Format::Binary ? 1 : 0);
    }
    const int accepted =
        m_state == State::Ready
            ? PQsendQueryParams(m_conn, sql.constData(), int(values.size()), nullptr, values.data(),
                                lengths.data(), formats.data(), 0)
            : 0;
    sent(accepted, std::move(done), timeoutMs);
}

void PgConnection::execScript(const QByteArray &sql, int timeoutMs, Done done)
{
    sent(m_state == State::Ready ? PQsendQuery(m_conn, sql.constData()) : 0, std::move(done),
         timeoutMs);
}

bool PgConnection::sent(int accepted, Done done, int timeoutMs)
{
    m_done = std::move(done);
    m_outcome = {};
    if (!accepted) {
        // Told from the event loop, as every other answer.
        // Only to this request on this connection: one opened meanwhile is not failed by it.
        const QString why = m_conn ? lastError() : texts::kNotConnected;
        QTimer::singleShot(0, this, [this, why, session = m_session] {
            if (session == m_session && m_done)
                fail(why);
        });
        return false;
    }
    setState(State::Busy);
    if (timeoutMs > 0)
        m_timer.start(timeoutMs);
    flush();
    return true;
}

void PgConnection::flush()
{
    const int left = PQflush(m_conn);
    if (left < 0) {
        fail(texts::connectionLost(lastError()));
        return;
    }
    watch(true, left > 0);
}

void PgConnection::collect()
{
    while (!PQisBusy(m_conn)) {
        pg_result *result = PQgetResult(m_conn);
        if (!result) {
            m_timer.stop();
            setState(State::Ready);
            watch(true, false);
            if (Done done = std::exchange(m_done, nullptr))
                done(std::exchange(m_outcome, {}));
            return;
        }
        PgResult kept(result);
        const ExecStatusType status = PQresultStatus(result);
        if ((status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE) && m_outcome.ok()) {
            m_outcome.error = m_url->mask(text(PQresultErrorMessage(result)));
            m_outcome.sqlState = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            if (m_outcome.error.isEmpty())
                m_outcome.error = texts::kServerError;
        }
        m_outcome.results.push_back(std::move(kept));
    }
}

QString PgConnection::lastError() const
{
    const QString why = m_conn ? text(PQerrorMessage(m_conn)) : QString();
    return m_url ? m_url->mask(why.isEmpty() ? texts::kServerError : why) : why;
}

void PgConnection::fail(const QString &why)
{
    qCDebug(lcLine) << "failed:" << why;
    Opened opened = std::exchange(m_opened, nullptr);
    Done done = std::exchange(m_done, nullptr);
    close();
    PgOutcome outcome;
    outcome.error = why;
    // Whoever waits, once; nothing of this object is touched after the call.
    if (opened)
        opened(why);
    else if (done)
        done(outcome);
    else
        Q_EMIT lost(why);
}

void PgConnection::close()
{
    m_opened = nullptr;
    m_done = nullptr;
    for (int id : m_lookups)
        QHostInfo::abortHostLookup(id);
    m_lookups.clear();
    m_timer.stop();
    m_read.reset();
    m_write.reset();
    m_socket = -1;
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
    if (m_state != State::Closed)
        setState(State::Closed);
}

} // namespace vell::linedb
