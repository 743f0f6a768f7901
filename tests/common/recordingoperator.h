#pragma once

#include "link/operatorinterface.h"

#include <QList>
#include <QPair>
#include <QString>

namespace vell::test {

/// An Operator that answers every message at once and remembers (prompt, title).
class RecordingOperator : public link::Operator
{
public:
    QList<QPair<QString, QString>> messages;

    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override
    {
        messages.append({prompt, title});
        if (acknowledged)
            acknowledged();
    }
};

} // namespace vell::test
