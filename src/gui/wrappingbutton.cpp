#include "wrappingbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace vell::gui {

namespace {

constexpr int kPadding = 8;
constexpr int kFlags = Qt::AlignCenter | Qt::TextWordWrap;

} // namespace

WrappingButton::WrappingButton(const QString &text, int width, QWidget *parent)
    : QPushButton(text, parent), m_width(width)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

QRect WrappingButton::captionRect(const QRect &bounds) const
{
    return bounds.adjusted(kPadding, kPadding, -kPadding, -kPadding);
}

int WrappingButton::heightForWidth(int width) const
{
    const QRect text =
        fontMetrics().boundingRect(QRect(0, 0, width - 2 * kPadding, 1000), kFlags, this->text());
    return std::max(text.height() + 4 * kPadding, 2 * fontMetrics().height());
}

QSize WrappingButton::sizeHint() const
{
    return {m_width, heightForWidth(m_width)};
}

QSize WrappingButton::minimumSizeHint() const
{
    // The caption wraps onto more lines when the button is narrower than it likes, but a
    // word is never cut.
    int width = m_width * 2 / 3;
    for (const QString &word : text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        width = std::max(width, fontMetrics().horizontalAdvance(word) + 2 * kPadding);
    return {width, heightForWidth(width)};
}

void WrappingButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    painter.drawText(captionRect(rect()), kFlags, text());
}

} // namespace vell::gui
