#pragma once

#include <QWidget>

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vell::app {
class Station;
}

namespace vell::gui {

/// frmFindProgrammers: the start-up window that mirrors the programmer search. Showing it
/// starts the search; closing it (OK, the close box, or the search being done) ends the
/// search and tells whether a programmer was found, so the caller opens the main window or
/// ends the application.
class SearchWindow : public QWidget
{
    Q_OBJECT
public:
    explicit SearchWindow(app::Station &station, QWidget *parent = nullptr);
    ~SearchWindow() override;

Q_SIGNALS:
    /// Emitted once, when the window closes.
    void searchClosed(bool programmersFound);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void refresh();

    app::Station &m_station;
    std::array<QLabel *, 4> m_programmerLabels{};
    QLabel *m_portSearchedLabel = nullptr;
    QLineEdit *m_portSearched = nullptr;
    QPushButton *m_ok = nullptr;
    bool m_closed = false;
};

} // namespace vell::gui
