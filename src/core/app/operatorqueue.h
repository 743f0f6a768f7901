#pragma once

#include "model/operatorinterface.h"

#include <deque>
#include <memory>

namespace vell::app {

/// The operator is shown one message at a time: a message asked for while another waits for
/// its OK comes after it, in the order asked, so boxes never stack and each acknowledgement
/// belongs to its own message.
class OperatorQueue : public model::Operator
{
public:
    explicit OperatorQueue(model::Operator &shown) : m_shown(shown) {}

    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override;

private:
    void showNext();

    struct Message
    {
        QString prompt;
        QString title;
        std::function<void()> acknowledged;
    };
    model::Operator &m_shown;
    std::deque<Message> m_waiting;
    bool m_showing = false;
    /// Lets an OK that comes after the queue is gone do nothing.
    std::shared_ptr<OperatorQueue *> m_self = std::make_shared<OperatorQueue *>(this);
};

} // namespace vell::app
