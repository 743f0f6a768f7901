#include "watchdog.h"

namespace vell::app {

Watchdog::Watchdog(int intervalMs, QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    // A coarse timer may run several hundred ms early or late at 15 s.
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &Watchdog::fired);
}

void Watchdog::arm()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void Watchdog::disarm()
{
    m_timer.stop();
}

} // namespace vell::app
