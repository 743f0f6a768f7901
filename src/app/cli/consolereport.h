#pragma once

#include "link/operatorinterface.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

namespace vell::app {
class Station;
}

namespace vell::cli {

/// What a headless run shows. Piped: one line per change of a programmer's status text and
/// of the prompt. On a terminal: a live bar per programmer, redrawn in place. Operator
/// messages go to stderr in both cases and the run goes on.
class ConsoleReport : public QObject, public link::Operator
{
    Q_OBJECT
public:
    /// terminal selects the live bars; width is the terminal's columns.
    ConsoleReport(QTextStream &out, QTextStream &err, bool terminal, int width = 80,
                  QObject *parent = nullptr);

    /// Starts showing station's programmers in use (after the search has found them).
    void attach(app::Station &station);

    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override;
    /// A line of the run's own on stderr.
    void error(const QString &text);
    /// The closing line; draws the bars a last time first.
    void summary(const QString &text);

    /// True when stdout is a terminal that understands cursor movement.
    [[nodiscard]] static bool stdoutIsTerminal();
    [[nodiscard]] static int terminalWidth();

    /// One programmer's line on a terminal: name, bar, percentage, status.
    [[nodiscard]] static QString barLine(const QString &name, int value, int maximum,
                                         const QString &status, int width);

private:
    void onStatusChanged(int n, const QString &text);
    void onPromptChanged(const QString &text);
    void scheduleRedraw();
    void redraw();
    void eraseBars();

    QTextStream &m_out;
    QTextStream &m_err;
    const bool m_terminal;
    const int m_width;
    app::Station *m_station = nullptr;
    QTimer m_redrawTimer;
    bool m_promptChanged = false;
    /// Lines of the live block currently on the screen.
    int m_drawnLines = 0;
};

} // namespace vell::cli
