#pragma once

// The tests' one Operator: every message is remembered as (prompt, title). It answers at once,
// or, with holdOk set, keeps the operator's OK until acknowledge() presses it.

#include "model/operatorinterface.h"

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

namespace vell::test {

class RecordingOperator : public model::Operator
{
public:
    QList<QPair<QString, QString>> messages;
    bool holdOk = false;

    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override
    {
        messages.append({prompt, title});
        if (holdOk)
            m_pending.append(std::move(acknowledged));
        else if (acknowledged)
            acknowledged();
    }
    /// Presses OK on the oldest message still shown; false when none waits.
    bool acknowledge()
    {
        if (m_pending.isEmpty())
            return false;
        const auto ok = m_pending.takeFirst();
        if (ok)
            ok();
        return true;
    }

private:
    QList<std::function<void()>> m_pending;
};

} // namespace vell::test
