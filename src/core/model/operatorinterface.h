#pragma once

#include <QString>

#include <functional>

namespace vell::model {

/// Where the system shows a modal message and waits for OK. The windows open a message box,
/// the headless run prints to stderr and acknowledges at once, tests record. A command that
/// must wait for OK passes what comes next as acknowledged; it never spins an event loop.
class Operator
{
public:
    virtual ~Operator() = default;
    /// Shows the message; calls acknowledged (when set) once the operator pressed OK, which
    /// may be before message returns.
    virtual void message(const QString &prompt, const QString &title,
                         std::function<void()> acknowledged = {}) = 0;
};

} // namespace vell::model
