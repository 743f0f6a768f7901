#include "boardfield.h"

#include <QKeyEvent>

#include <algorithm>

namespace vell::gui {

namespace {

bool printable(const QString &text)
{
    return !text.isEmpty() &&
           std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isPrint(); });
}

} // namespace

BoardField::BoardField(QWidget *parent) : QLineEdit(parent) {}

void BoardField::hand(const QString &text)
{
    m_handed = this->text();
    m_fresh = true;
    Q_EMIT entered(text);
}

void BoardField::commit()
{
    if (text() != m_handed)
        hand(text());
}

void BoardField::clearHeld()
{
    if (text() != m_handed)
        return;
    clear();
    m_handed.clear();
    m_fresh = true;
}

bool BoardField::event(QEvent *event)
{
    // A scanner set to end its code with Tab: the scan is refused in place, and the focus
    // stays, rather than the next field getting the next code's first characters.
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::NoModifier && text() != m_handed) {
            hand(text() + u'\t');
            return true;
        }
    }
    return QLineEdit::event(event);
}

void BoardField::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        hand(text());
        return;
    }
    if (m_fresh && printable(event->text()))
        clear();
    m_fresh = false;
    QLineEdit::keyPressEvent(event);
    // QLineEdit drops a control character (a scanner's group separator, say); it is kept so
    // that the scan is refused whole rather than taken without it.
    const QString typed = event->text();
    if (!event->isAccepted() && !typed.isEmpty() && !typed.at(0).isPrint() &&
        event->key() != Qt::Key_Escape) {
        insert(typed);
        event->accept();
    }
}

void BoardField::focusOutEvent(QFocusEvent *event)
{
    commit();
    QLineEdit::focusOutEvent(event);
}

} // namespace vell::gui
