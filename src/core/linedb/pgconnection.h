#pragma once

#include "databaseurl.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct pg_conn;
struct pg_result;
class QSocketNotifier;

namespace vell::linedb {

/// One result of a statement: its rows as text, or the server's error.
class PgResult
{
public:
    explicit PgResult(pg_result *result);

    [[nodiscard]] int rows() const;
    [[nodiscard]] int columns() const;
    [[nodiscard]] bool isNull(int row, int column) const;
    /// The value as text (empty for null).
    [[nodiscard]] QByteArray value(int row, int column) const;
    [[nodiscard]] std::optional<qint64> number(int row, int column) const;
    /// Rows an INSERT, UPDATE or DELETE touched.
    [[nodiscard]] qint64 affected() const;

private:
    std::shared_ptr<pg_result> m_result;
};

/// What a query came to: its results, or the first error (masked) with its SQLSTATE.
struct PgOutcome
{
    QString error;
    QByteArray sqlState;
    std::vector<PgResult> results;
    [[nodiscard]] bool ok() const { return error.isEmpty(); }
};

/// A PostgreSQL connection driven by the event loop: libpq's asynchronous calls, woken by
/// notifiers on its socket, so neither the windows nor a step ever waits for the server. A
/// host name is looked up with QHostInfo first (libpq would look it up blocking). One query
/// at a time; every callback comes from the event loop, never from inside the call that
/// asked for it. Every error text is masked by the address's own filter.
class PgConnection : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Closed,
        Resolving,
        Connecting,
        Ready,
        Busy,
    };
    using Opened = std::function<void(const QString &error)>;
    using Done = std::function<void(const PgOutcome &outcome)>;

    explicit PgConnection(QObject *parent = nullptr);
    ~PgConnection() override;

    /// Connects to url; done gets an empty text once ready, else why not. timeoutMs bounds the
    /// whole connect (the URL's connect_timeout, when given, instead).
    void open(const DatabaseUrl &url, int timeoutMs, Opened done);
    /// Ends the connection; a callback still due never comes.
    void close();
    /// Which connection this is: a new number for each open(), so that what was done on one
    /// connection is never taken for done on the next.
    [[nodiscard]] quint64 session() const { return m_session; }
    /// How a statement's parameters are written.
    enum class Format
    {
        Text,
        Binary, ///< each in the binary form of the type the statement gives it
    };
    /// One statement with parameters (null for SQL NULL); Ready only. timeoutMs bounds the wait
    /// for its answer (0: none); a query that times out closes the connection.
    void exec(const QByteArray &sql, const std::vector<std::optional<QByteArray>> &params,
              int timeoutMs, Done done, Format format = Format::Text);
    /// Several statements in one string (no parameters), as one round trip.
    void execScript(const QByteArray &sql, int timeoutMs, Done done);

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] bool ready() const { return m_state == State::Ready; }

Q_SIGNALS:
    /// The connection failed while nothing waited on it (the server ended an idle session, or
    /// went away): it is closed, and why says why.
    void lost(const QString &why);

private:
    void setState(State state);
    void connectResolved();
    void poll();
    void watch(bool read, bool write);
    void onReadable();
    void onWritable();
    void onTimeout();
    bool sent(int accepted, Done done, int timeoutMs);
    void flush();
    void collect();
    /// The connection failed: closed, and whoever waits is told why.
    void fail(const QString &why);
    [[nodiscard]] QString lastError() const;

    State m_state = State::Closed;
    quint64 m_session = 0;
    std::optional<DatabaseUrl> m_url;
    pg_conn *m_conn = nullptr;
    int m_socket = -1;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    QTimer m_timer;
    std::vector<int> m_lookups;
    std::vector<QByteArray> m_hosts;     ///< host entries as given
    std::vector<QByteArray> m_addresses; ///< their addresses ("" where libpq needs none)
    int m_unresolved = 0;
    Opened m_opened;
    Done m_done;
    PgOutcome m_outcome;
};

} // namespace vell::linedb
