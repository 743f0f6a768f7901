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
    static constexpr int kDefaultIntervalMs = 15000;

    explicit Watchdog(int intervalMs = kDefaultIntervalMs, QObject *parent = nullptr);

    /// Starts the count; a count already running goes on from where it is.
    void arm();
    void disarm();
    [[nodiscard]] bool isArmed() const { return m_timer.isActive(); }
    [[nodiscard]] int intervalMs() const { return m_timer.interval(); }
    /// Milliseconds left of a running count; -1 when disarmed.
    [[nodiscard]] int remainingMs() const { return m_timer.remainingTime(); }

Q_SIGNALS:
    /// The count ran out; the watchdog is disarmed again when this is emitted.
    void fired();

private:
    QTimer m_timer;
};

} // namespace vell::app
