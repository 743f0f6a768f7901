#pragma once

#include "controlrequest.h"

#include "app/operation.h"
#include "app/runresult.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class QLocalServer;
class QLocalSocket;

namespace vell::app {
class Station;
} // namespace vell::app

namespace vell::control {

/// The station's control socket: a local socket of this user's, taking requests in JSON Lines
/// (ControlRequest) and running them on the Station as the operator's commands run there. A
/// step's client gets "accepted", then the step's events (the objects --json prints) with its
/// id, then one summary; a subscriber gets every event of the station. The station serves one
/// step at a time, whoever asked (the operator's actions are steps too): a second request for
/// a step meanwhile gets "busy". Bad input never reaches the station: every line and every
/// backlog is bounded, a peer of another user is refused, and a client that stops reading is
/// dropped, never waited for.
class ControlServer : public QObject
{
    Q_OBJECT
public:
    /// A request line longer than this ends its connection.
    static constexpr qint64 kLineLimit = qint64(1) << 20;
    /// A client that lets this much wait for it is dropped.
    static constexpr qint64 kBacklogLimit = qint64(4) << 20;
    static constexpr int kConnectionLimit = 16;

    /// retries: each step of the socket's is repeated up to this many times on its programmers
    /// whose step failed (--retries); timeoutSeconds: how long a step waits for each verdict
    /// (--timeout).
    explicit ControlServer(int retries = 0, int timeoutSeconds = 120, QObject *parent = nullptr);
    ~ControlServer() override;

    /// $XDG_RUNTIME_DIR/vell-usb-programmer/control; without a runtime folder, a folder of this
    /// user's in the temporary folder.
    [[nodiscard]] static QString defaultPath();

    /// Takes the socket's place (empty path: the default one) before the search: makes its
    /// folder, mode 0700 (the default folder is always made so), and holds the lock beside the
    /// socket. False, with errorString(), when a station listens there already (it names its
    /// process) or the place cannot be used.
    bool claim(const QString &path = {});
    /// From now on serves station on the place claimed (after the search): a socket left there
    /// by a station that died is replaced, the new one is mode 0600. The station holds every
    /// command until it has finished. False, with errorString(), when it cannot listen.
    bool listen(app::Station &station);
    /// Sends what waits for each client and ends every connection (the station ends, and has
    /// ended every programmer's step): a step still running is summed up first.
    void close();

    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString errorString() const { return m_error; }
    /// A step, or the search, runs on the station.
    [[nodiscard]] bool busy() const;

Q_SIGNALS:
    /// A step ended: its summary event (with the id of the request that began it) and line.
    void stepSummed(const QJsonObject &summary, const QString &line);
    /// Something for the station's log (a connection of another user refused).
    void notice(const QString &text);

private:
    struct Connection
    {
        QByteArray pending; ///< the line so far
        bool subscribed = false;
        bool closing = false; ///< nothing more is read or written
    };
    /// The step (or search) the station serves, from its request to its summary.
    struct Running
    {
        QJsonValue id;
        QPointer<QLocalSocket> client; ///< null for the operator's own steps
        bool search = false;
        Command command = Command::Status;
        QString file;
        /// The request, for a load's options.
        ControlRequest asked;
        app::Request request;
        /// The station's operation of the step's last try.
        QPointer<app::Operation> operation;
        int retriesLeft = 0;
        int lostBefore = 0;
        /// The station's load options before a load of the socket's changed them.
        std::optional<std::pair<bool, bool>> options;
        app::RunResult result;
    };

    void onNewConnection();
    /// Tells a client past the connection limit so, and ends its connection once it has read
    /// that.
    void refuseConnection(QLocalSocket *socket);
    void onReadyRead(QLocalSocket *socket);
    void handle(QLocalSocket *socket, QByteArrayView line);
    void write(QLocalSocket *socket, const QByteArray &line);
    void reply(QLocalSocket *socket, const QJsonValue &id, QJsonObject fields);
    void refuse(QLocalSocket *socket, const QJsonValue &id, ErrorCode code, const QString &text,
                QJsonObject fields = {});
    /// Checks a step's request against the station, then starts it.
    void startStep(QLocalSocket *socket, const ControlRequest &request);
    /// Asks the station for the step of request.
    [[nodiscard]] app::Operation *run(const ControlRequest &request);
    /// Repeats the running step on its programmers whose step failed; false when none is left.
    bool repeat();
    /// Keeps operation as the running step's, unless it ended already.
    void follow(app::Operation *operation);
    void onOperationFinished(const app::OperationResult &result);
    /// The running step ended: its summary goes to its client and the subscribers.
    void sum();
    /// event, with the running request's id, to its client and every subscriber.
    void tell(QJsonObject event);
    void tell(QJsonObject event, const QJsonValue &id, QLocalSocket *client);
    [[nodiscard]] QJsonObject status() const;

    const int m_retries;
    const int m_timeoutSeconds;
    QString m_path;
    QString m_error;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
    QPointer<app::Station> m_station;
    std::map<QLocalSocket *, Connection> m_connections;
    /// Refused connections still open for their clients to read why.
    int m_refusing = 0;
    std::optional<Running> m_running;
};

} // namespace vell::control
