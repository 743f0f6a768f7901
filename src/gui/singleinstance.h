#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QLocalServer;
class QLocalSocket;

namespace vell::gui {

/// The windows run once per user. The first start holds a lock file and listens on a local
/// socket, both named with the user's id in the per-user runtime folder ($XDG_RUNTIME_DIR,
/// else the temporary folder); a later start finds the lock held and asks the first, over the
/// socket, to come forward instead of searching again. A lock left by a copy that died is
/// taken over.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Idle,
        Primary, ///< this is the copy that runs; later starts reach it
        Asking,  ///< another copy runs; waiting for its answer
        Done,    ///< asked, answered or not
    };

    static constexpr int kDefaultAnswerMs = 3000;
    static constexpr int kRetryMs = 100;

    /// folder: where the lock and the socket live (empty: the per-user runtime folder).
    explicit SingleInstance(const QString &folder = {}, int answerMs = kDefaultAnswerMs,
                            QObject *parent = nullptr);
    ~SingleInstance() override;

    /// True when no other copy of the windows runs for this user: this one then answers later
    /// starts (raiseRequested). False: another copy holds the lock.
    [[nodiscard]] bool claim();
    /// After a refused claim: asks the running copy to come forward; asked() follows.
    void askRunningCopy();

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] QString socketName() const { return m_socketName; }

Q_SIGNALS:
    /// A later start asked this copy to come forward (Primary).
    void raiseRequested();
    /// The running copy answered (answered true) or did not within the answer time.
    void asked(bool answered);

private:
    void onNewConnection();
    void tryConnect();
    void onAnswer();
    void finishAsking(bool answered);
    void setState(State state);

    QString m_socketName;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
    std::unique_ptr<QLocalSocket> m_socket;
    QTimer m_retry;
    QTimer m_deadline;
    State m_state = State::Idle;
};

} // namespace vell::gui
