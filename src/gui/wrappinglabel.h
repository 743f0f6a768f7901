#pragma once

#include <QLabel>

namespace vell::gui {

/// A word-wrapped label whose minimum holds its whole text: at least its longest word and
/// about half its text wide (two lines), and as tall as its text is at that width. It claims
/// no height-for-width, so a window's minimum size, which layouts take from their items'
/// minimums, shows it whole; a new text makes the window's minimum follow.
class WrappingLabel : public QLabel
{
    Q_OBJECT
public:
    explicit WrappingLabel(const QString &text = {}, QWidget *parent = nullptr);

    [[nodiscard]] QSize minimumSizeHint() const override;
    [[nodiscard]] bool hasHeightForWidth() const override { return false; }
};

} // namespace vell::gui
