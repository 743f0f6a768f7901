#include "singleinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace vell::gui {

namespace {

Q_LOGGING_CATEGORY(lcInstance, "vell.gui.instance", QtWarningMsg)

const QByteArray kRaise = "raise\n";
const QByteArray kRaised = "raised";

QString runtimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir() && QFileInfo(runtime).isWritable())
        return runtime;
    return QDir::tempPath();
}

/// Per user: the user id where there is one.
QString baseName()
{
#ifdef Q_OS_UNIX
    return QStringLiteral("vell-usb-programmer-%1").arg(::getuid());
#else
    return QStringLiteral("vell-usb-programmer-") + qEnvironmentVariable("USERNAME");
#endif
}

} // namespace

SingleInstance::SingleInstance(const QString &folder, int answerMs, QObject *parent)
    : QObject(parent),
      m_lock(QDir(folder.isEmpty() ? runtimeFolder() : folder).filePath(baseName() + ".lock"))
{
#ifdef Q_OS_UNIX
    m_socketName =
        QDir(folder.isEmpty() ? runtimeFolder() : folder).filePath(baseName() + ".socket");
#else
    m_socketName = baseName(); // a named pipe
#endif
    // Only a dead holder makes the lock stale, however long the first copy has run.
    m_lock.setStaleLockTime(0);
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &SingleInstance::tryConnect);
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(answerMs);
    connect(&m_deadline, &QTimer::timeout, this, [this] { finishAsking(false); });
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

bool SingleInstance::claim()
{
    if (m_state == State::Primary)
        return true;
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() == QLockFile::LockFailedError)
            return false;
        // A folder where no lock can be made must not keep the operator from working.
        qCWarning(lcInstance) << "cannot tell whether the windows already run: no lock file in"
                              << QFileInfo(m_socketName).path();
    }
    // The lock is held: a socket left behind belongs to a copy that died.
    QLocalServer::removeServer(m_socketName);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!m_server->listen(m_socketName))
        qCWarning(lcInstance) << "later starts cannot reach this one:" << m_server->errorString();
    setState(State::Primary);
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == kRaise) {
                qCDebug(lcInstance) << "a later start asked to come forward";
                Q_EMIT raiseRequested();
                socket->write(kRaised + '\n');
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

void SingleInstance::askRunningCopy()
{
    if (m_state != State::Idle)
        return;
    setState(State::Asking);
    m_socket = std::make_unique<QLocalSocket>();
    connect(m_socket.get(), &QLocalSocket::connected, this, [this] { m_socket->write(kRaise); });
    connect(m_socket.get(), &QLocalSocket::readyRead, this, &SingleInstance::onAnswer);
    // The first copy may hold the lock and not listen yet: try again until the deadline.
    connect(m_socket.get(), &QLocalSocket::errorOccurred, this, [this] {
        if (m_state == State::Asking && !m_retry.isActive())
            m_retry.start();
    });
    m_deadline.start();
    tryConnect();
}

void SingleInstance::tryConnect()
{
    if (m_state != State::Asking)
        return;
    m_socket->abort();
    m_socket->connectToServer(m_socketName);
}

void SingleInstance::onAnswer()
{
    if (m_socket->canReadLine() && m_socket->readLine().trimmed() == kRaised)
        finishAsking(true);
}

void SingleInstance::finishAsking(bool answered)
{
    if (m_state != State::Asking)
        return;
    m_retry.stop();
    m_deadline.stop();
    setState(State::Done);
    Q_EMIT asked(answered);
}

void SingleInstance::setState(State state)
{
    qCDebug(lcInstance) << "state" << int(m_state) << "->" << int(state);
    m_state = state;
}

} // namespace vell::gui
