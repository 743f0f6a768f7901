#include "widgetoperator.h"

#include <QApplication>
#include <QMessageBox>

namespace vell::gui {

void WidgetOperator::message(const QString &prompt, const QString &title,
                             std::function<void()> acknowledged)
{
    QWidget *parent = m_parent ? m_parent.data() : QApplication::activeWindow();
    auto *box = new QMessageBox(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Without a window to sit on, the box holds the whole application instead.
    if (!parent)
        box->setWindowModality(Qt::ApplicationModal);
    if (acknowledged)
        QObject::connect(box, &QMessageBox::finished, box,
                         [acknowledged = std::move(acknowledged)](int) { acknowledged(); });
    box->open();
}

} // namespace vell::gui
