#pragma once

#include "control/controlrequest.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QTextStream>

#include <map>

namespace vell::cli {

/// The client of --control: sends one request to the station's control socket and prints what
/// comes back as the headless run prints its own (lines: each status and prompt change, then
/// the summary line; json: every line as it came), until the request's end: the summary of a
/// step, the reply of any other command, or, subscribed, the station's end. Ends with
/// finished(exit code).
class ControlClient : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Connecting,
        Asking,  ///< lines: the station's status first, for the programmers' COM numbers
        Waiting, ///< the request went out
        Done,
    };

    ControlClient(control::ControlRequest request, const QString &socket, bool json,
                  QTextStream &out, QTextStream &err, QObject *parent = nullptr);

    void start();
    [[nodiscard]] State state() const { return m_state; }

Q_SIGNALS:
    void finished(int exitCode);

private:
    void send(const control::ControlRequest &request);
    void onReadyRead();
    void onLine(const QJsonObject &line);
    /// A status reply: the COM numbers it names, and in lines one line per programmer.
    void takeStatus(const QJsonObject &reply, bool print);
    void finish(int exitCode, const QString &error = {});

    control::ControlRequest m_request;
    const QString m_socketPath;
    const bool m_json;
    QTextStream &m_out;
    QTextStream &m_err;
    QLocalSocket m_socket;
    std::map<int, int> m_coms; ///< by programmer number
    State m_state = State::Idle;
};

} // namespace vell::cli
