#include "wrappinglabel.h"

#include <algorithm>

namespace vell::gui {

WrappingLabel::WrappingLabel(const QString &text, QWidget *parent) : QLabel(text, parent)
{
    setWordWrap(true);
}

QSize WrappingLabel::minimumSizeHint() const
{
    const QSize longestWord = QLabel::minimumSizeHint();
    if (text().isEmpty())
        return longestWord;
    const int margins = contentsMargins().left() + contentsMargins().right() + 2 * margin();
    const int twoLines = fontMetrics().horizontalAdvance(text()) / 2 + margins;
    const int width = std::max({longestWord.width(), twoLines, minimumWidth()});
    return {width, std::max(longestWord.height(), heightForWidth(width))};
}

} // namespace vell::gui
