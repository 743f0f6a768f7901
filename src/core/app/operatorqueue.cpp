#include "operatorqueue.h"

#include <utility>

namespace vell::app {

void OperatorQueue::message(const QString &prompt, const QString &title,
                            std::function<void()> acknowledged)
{
    m_waiting.push_back({prompt, title, std::move(acknowledged)});
    if (!m_showing)
        showNext();
}

void OperatorQueue::showNext()
{
    if (m_waiting.empty())
        return;
    m_showing = true;
    const Message &front = m_waiting.front();
    // The operator may answer before message() returns.
    m_shown.message(front.prompt, front.title, [self = std::weak_ptr<OperatorQueue *>(m_self)] {
        const auto alive = self.lock();
        if (!alive)
            return;
        OperatorQueue &queue = **alive;
        std::function<void()> acknowledged = std::move(queue.m_waiting.front().acknowledged);
        queue.m_waiting.pop_front();
        queue.m_showing = false;
        if (acknowledged)
            acknowledged();
        if (!queue.m_showing)
            queue.showNext();
    });
}

} // namespace vell::app
