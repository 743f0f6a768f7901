#pragma once

#include <QPushButton>

namespace vell::gui {

/// A push button whose caption wraps onto several lines, as the form's tall, narrow
/// program-target button shows its long caption.
class WrappingButton : public QPushButton
{
    Q_OBJECT
public:
    /// width is the button's preferred width in pixels; the height follows the caption.
    WrappingButton(const QString &text, int width, QWidget *parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    /// Two thirds of the preferred width, as tall as the caption is at that width.
    [[nodiscard]] QSize minimumSizeHint() const override;
    /// The height that shows the whole caption at width.
    [[nodiscard]] int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    [[nodiscard]] QRect captionRect(const QRect &bounds) const;

    int m_width;
};

} // namespace vell::gui
