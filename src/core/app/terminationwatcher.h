#pragma once

#include <QObject>

class QSocketNotifier;

namespace vell::app {

/// Turns SIGTERM and SIGINT into a Qt signal through a self-pipe, so the event loop can shut
/// down cleanly (a signal handler may do no more than write a byte).
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    /// One watcher per process; installs the handlers, restores the defaults when destroyed.
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

    [[nodiscard]] bool isValid() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace vell::app
