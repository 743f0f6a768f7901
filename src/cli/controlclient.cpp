#include "controlclient.h"

#include "serve.h"
#include "texts.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>

#include <utility>

namespace vell::cli {

namespace {

QString idText(const QJsonValue &id)
{
    return id.isString()
               ? id.toString()
               : QString::fromUtf8(QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact))
                     .chopped(1)
                     .mid(1);
}

} // namespace

ControlClient::ControlClient(control::ControlRequest request, const QString &socket, bool json,
                             QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_request(std::move(request)), m_socketPath(socket), m_json(json),
      m_out(out), m_err(err)
{
    if (m_request.id.isNull())
        m_request.id = QStringLiteral("control-%1").arg(QCoreApplication::applicationPid());
    connect(&m_socket, &QLocalSocket::connected, this, [this] {
        // Lines name each programmer by its COM number, which only a status says.
        const bool step = m_request.command != control::Command::Status &&
                          m_request.command != control::Command::Search;
        if (!m_json && step) {
            m_state = State::Asking;
            control::ControlRequest status;
            status.id = QString(m_request.id.toString() + QStringLiteral("-status"));
            send(status);
        } else {
            m_state = State::Waiting;
            send(m_request);
        }
    });
    connect(&m_socket, &QLocalSocket::readyRead, this, &ControlClient::onReadyRead);
    connect(&m_socket, &QLocalSocket::errorOccurred, this, [this] {
        if (m_state != State::Connecting)
            return;
        QString why = m_socket.errorString();
        switch (m_socket.error()) {
        case QLocalSocket::ServerNotFoundError:
            why = texts::kNoSocket;
            break;
        case QLocalSocket::ConnectionRefusedError:
            why = texts::kNothingListens;
            break;
        case QLocalSocket::SocketAccessError:
            why = texts::kSocketDenied;
            break;
        default:
            break;
        }
        finish(kExitNoStation, texts::noStation(m_socketPath, why));
    });
    connect(&m_socket, &QLocalSocket::disconnected, this, [this] {
        onReadyRead();
        if (m_state == State::Done)
            return;
        if (m_request.command == control::Command::Subscribe && m_state == State::Waiting)
            finish(0); // the station ended
        else
            finish(kExitNoStation, texts::stationClosed(m_socketPath));
    });
}

void ControlClient::start()
{
    m_state = State::Connecting;
    m_socket.connectToServer(m_socketPath);
}

void ControlClient::send(const control::ControlRequest &request)
{
    m_socket.write(request.toLine() + '\n');
}

void ControlClient::onReadyRead()
{
    while (m_state != State::Done && m_socket.canReadLine()) {
        const QByteArray line = m_socket.readLine();
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (m_json && m_state == State::Waiting) {
            m_out << QString::fromUtf8(line);
            m_out.flush();
        }
        onLine(object);
    }
}

void ControlClient::onLine(const QJsonObject &line)
{
    const bool ours = line.value(QStringLiteral("id")) == m_request.id;
    if (line.contains(QStringLiteral("error"))) {
        finish(2, line.value(QStringLiteral("text")).toString());
        return;
    }
    if (m_state == State::Asking) {
        if (!line.contains(QStringLiteral("state")))
            return;
        takeStatus(line, false);
        m_state = State::Waiting;
        send(m_request);
        return;
    }
    if (line.contains(QStringLiteral("state")) && ours) {
        takeStatus(line, !m_json);
        finish(0);
        return;
    }
    if (line.contains(QStringLiteral("subscribed")) && ours) {
        if (m_request.command == control::Command::Unsubscribe)
            finish(0);
        return;
    }
    const QString event = line.value(QStringLiteral("event")).toString();
    const bool subscribed = m_request.command == control::Command::Subscribe;
    if (event == QLatin1String("summary") && (ours || subscribed)) {
        const QString text = line.value(QStringLiteral("text")).toString();
        if (!m_json && !text.isEmpty())
            m_out << text << '\n';
        m_out.flush();
        if (!subscribed)
            finish(line.value(QStringLiteral("exit")).toInt(2));
        return;
    }
    if (m_json)
        return;
    if (event == QLatin1String("status")) {
        const int n = line.value(QStringLiteral("programmer")).toInt();
        m_out << texts::programmerLine(n, m_coms[n], line.value(QStringLiteral("text")).toString())
              << '\n';
    } else if (event == QLatin1String("prompt")) {
        m_out << texts::promptLine(line.value(QStringLiteral("text")).toString()) << '\n';
    }
    m_out.flush();
}

void ControlClient::takeStatus(const QJsonObject &reply, bool print)
{
    const QJsonValue running = reply.value(QStringLiteral("running"));
    if (print)
        m_out << texts::stationLine(reply.value(QStringLiteral("state")).toString(),
                                    running.isNull() ? QString() : idText(running))
              << '\n';
    for (const QJsonValue &p : reply.value(QStringLiteral("programmers")).toArray()) {
        const int n = p[QStringLiteral("programmer")].toInt();
        m_coms[n] = p[QStringLiteral("com")].toInt();
        if (print)
            m_out << texts::programmerLine(n, m_coms[n], p[QStringLiteral("status")].toString())
                  << '\n';
    }
    m_out.flush();
}

void ControlClient::finish(int exitCode, const QString &error)
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    if (!error.isEmpty()) {
        m_err << error << '\n';
        m_err.flush();
    }
    m_socket.abort();
    Q_EMIT finished(exitCode);
}

} // namespace vell::cli
