#pragma once

#include "link/programmerset.h"

#include <QWidget>

#include <array>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPoint;
class QPushButton;

namespace vell::app {
class Station;
class Settings;
} // namespace vell::app

namespace vell::model {
using link::ProgrammerNumber;
}

namespace vell::gui {

class ProgramFileBrowser;
class ProgrammerPaneWidget;

/// frmUsbProgFile: the browser, the operator's prompt, the programmer panes, the
/// program-target button and the two load options. A view of the Station; its load restores
/// the last program-file folder from the settings file and shows the programmers found, and
/// its close (or Esc) saves the settings file and ends the application.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    /// settings may be null: then nothing is read or written.
    MainWindow(app::Station &station, app::Settings *settings, QWidget *parent = nullptr);
    ~MainWindow() override;

    [[nodiscard]] ProgramFileBrowser *browser() const { return m_browser; }
    /// The attempt log cannot be written: a warning that stays in the window until it can
    /// (an empty text).
    void showLogProblem(const QString &text);
    /// Records that wait for the line database, and why (in amber), until none waits (an
    /// empty text).
    void showLineStatus(const QString &text);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void restoreFolder();
    void showVersions();
    void showImage();
    /// The retry button, its key, program-target's key and the panes' menus.
    void buildRepeatControls();
    void showRetryFailed();
    /// The menu of programmer n's pane: its last step again, for it alone.
    void showPaneMenu(model::ProgrammerNumber n, const QPoint &at);
    /// The Board fields, when the board rules show them: Enter goes on to the next field, and
    /// from the last to the program-target button.
    void buildBoardFields();
    /// The focus goes on from programmer n's Board field.
    void focusAfterBoard(model::ProgrammerNumber n);
    /// The program-target command, with what the Board fields hold.
    void programTarget();

    app::Station &m_station;
    app::Settings *m_settings;
    bool m_saved = false;

    ProgramFileBrowser *m_browser = nullptr;
    QLabel *m_prompt = nullptr;
    QLabel *m_programmerVersion = nullptr;
    QLabel *m_softwareVersion = nullptr;
    QCheckBox *m_restoreDefaults = nullptr;
    QCheckBox *m_blackBox = nullptr;
    QPushButton *m_programTarget = nullptr;
    QPushButton *m_retryFailed = nullptr;
    QLineEdit *m_lastFileLoaded = nullptr;
    QLabel *m_image = nullptr;
    QLabel *m_logProblem = nullptr;
    QLabel *m_lineStatus = nullptr;
    std::array<ProgrammerPaneWidget *, 4> m_panes{};
};

} // namespace vell::gui
