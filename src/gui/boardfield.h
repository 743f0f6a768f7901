#pragma once

#include <QLineEdit>

namespace vell::gui {

/// A pane's one-line Board field, made for a bench scanner that types a code and then Enter.
/// A scan replaces what the field held; Enter hands the text on. A Tab ending a scan, or a
/// control character in it, is handed on as well, for the station to refuse: nothing is
/// dropped or cut on the way. The field decides nothing itself.
class BoardField : public QLineEdit
{
    Q_OBJECT
public:
    explicit BoardField(QWidget *parent = nullptr);

    /// Hands on what was typed since it last handed something on, if anything.
    void commit();
    /// The station holds no serial for it any more: it empties, unless someone types in it.
    void clearHeld();

Q_SIGNALS:
    /// Enter (or a Tab, then at the end of text, or the focus leaving): text is the scan.
    void entered(const QString &text);

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void hand(const QString &text);

    QString m_handed;    ///< what it last handed on, as the field shows it
    bool m_fresh = true; ///< the next character typed starts a new scan
};

} // namespace vell::gui
