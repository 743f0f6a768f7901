#include "widgetoperator.h"

#include <QApplication>
#include <QMessageBox>

namespace vell::gui {

void WidgetOperator::message(const QString &prompt, const QString &title)
{
    QWidget *parent = m_parent ? m_parent.data() : QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace vell::gui
