#pragma once

#include "link/programmerset.h"

#include <QWidget>

class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;

namespace vell::app {
class Station;
}
namespace vell::model {
using link::ProgrammerNumber;
}

namespace vell::gui {

class BoardField;

/// One programmer's pane: status box (its tooltip names the device), thin progress bar under
/// it, count box and the programmer's tally to its right. A mirror of the station's pane n;
/// it decides nothing.
class ProgrammerPaneWidget : public QWidget
{
    Q_OBJECT
public:
    /// The controls are named as the main window names them (txtResponse, progBar, Text1 for
    /// programmer 1; txtResponse2, progBar2, Text2 for 2; ...).
    ProgrammerPaneWidget(model::ProgrammerNumber n, const app::Station &station,
                         QWidget *parent = nullptr);

    [[nodiscard]] model::ProgrammerNumber programmer() const { return m_n; }
    [[nodiscard]] QLineEdit *statusBox() const { return m_status; }
    [[nodiscard]] QProgressBar *progressBar() const { return m_bar; }
    [[nodiscard]] QLineEdit *countBox() const { return m_count; }
    /// Its Board field (txtBoard1..4): null unless the board rules show the fields.
    [[nodiscard]] BoardField *boardField() const { return m_board; }

private:
    void refresh();
    void showTally();
    /// The Board field's row under the bar: its caption, the field and its note.
    void buildBoardRow(QGridLayout *grid);
    void showBoard();

    const model::ProgrammerNumber m_n;
    const app::Station &m_station;
    QLineEdit *m_status;
    QProgressBar *m_bar;
    QLineEdit *m_count;
    QLabel *m_tally;
    BoardField *m_board = nullptr;
    QLabel *m_boardNote = nullptr;
};

} // namespace vell::gui
