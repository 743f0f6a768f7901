#pragma once

#include <QString>

namespace vell::link {

/// Where the system shows a modal message and waits for OK. The windows show a message box,
/// the headless run prints to stderr, tests record.
class Operator
{
public:
    virtual ~Operator() = default;
    virtual void message(const QString &prompt, const QString &title) = 0;
};

} // namespace vell::link
