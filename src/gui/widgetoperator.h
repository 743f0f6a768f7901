#pragma once

#include "model/operatorinterface.h"

#include <QPointer>
#include <QWidget>

namespace vell::gui {

/// The windows' operator: a window-modal message box with the prompt, an OK button and no
/// icon, opened without a nested event loop.
class WidgetOperator : public model::Operator
{
public:
    /// The box is centred on parent, or on the active window when parent is null.
    explicit WidgetOperator(QWidget *parent = nullptr) : m_parent(parent) {}

    void setParentWidget(QWidget *parent) { m_parent = parent; }
    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace vell::gui
