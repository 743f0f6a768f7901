#pragma once

#include "link/pane.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QProgressBar;

namespace vell::gui {

/// One programmer's pane: status box, thin progress bar under it, count box to its right.
/// A mirror of the core's Pane n; it decides nothing.
class ProgrammerPaneWidget : public QWidget
{
    Q_OBJECT
public:
    /// n is 1..4; the controls are named as the main window names them (txtResponse,
    /// progBar, Text1 for programmer 1; txtResponse2, progBar2, Text2 for 2; ...).
    ProgrammerPaneWidget(int n, const link::PaneBoard &panes, QWidget *parent = nullptr);

    [[nodiscard]] int programmer() const { return m_n; }
    [[nodiscard]] QLineEdit *statusBox() const { return m_status; }
    [[nodiscard]] QProgressBar *progressBar() const { return m_bar; }
    [[nodiscard]] QLineEdit *countBox() const { return m_count; }
    /// The programmer's boards since the start, beside the count box.
    void setTally(const QString &text);

private:
    void refresh();

    const int m_n;
    const link::PaneBoard &m_panes;
    QLineEdit *m_status;
    QProgressBar *m_bar;
    QLineEdit *m_count;
    QLabel *m_tally;
};

} // namespace vell::gui
