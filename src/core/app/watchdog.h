#pragma once

#include <QObject>
#include <QTimer>

namespace vell::app {

/// The load's one-shot watchdog: armed before the load waits for its programmers, disarmed
/// when they have answered; fires once per arming if they have not.
class Watchdog : public QObject
{
    Q_OBJECT
public:
    explicit Watchdog(int intervalMs, QObject *parent = nullptr);

    /// Starts the count; a count already running goes on from where it is.
    void arm();
    void disarm();
    [[nodiscard]] bool isArmed() const { return m_timer.isActive(); }
    [[nodiscard]] int intervalMs() const { return m_timer.interval(); }

Q_SIGNALS:
    /// The count ran out; the watchdog is disarmed again when this is emitted.
    void fired();

private:
    QTimer m_timer;
};

} // namespace vell::app
