#pragma once

#include "model/operatorinterface.h"
#include "model/programmerstate.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

namespace vell::app {
class Station;
struct Attempt;
} // namespace vell::app

namespace vell::cli {

/// What a headless run shows. Lines (piped): one line per change of a programmer's status
/// text and of the prompt. Bars (a terminal): a live bar per programmer, redrawn in place.
/// Json (--json): one JSON object per line, each with an "event" field. Operator messages go
/// to stderr in every style and the run goes on.
class ConsoleReport : public QObject, public model::Operator
{
    Q_OBJECT
public:
    enum class Style
    {
        Lines,
        Bars,
        Json,
    };

    /// width is the terminal's columns (Bars).
    ConsoleReport(QTextStream &out, QTextStream &err, Style style, int width = 80,
                  QObject *parent = nullptr);

    /// Starts showing station's programmers in use (after the search has found them).
    void attach(app::Station &station);
    /// Stops showing the station (the service, once its search is shown).
    void detach();

    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override;
    /// A line of the run's own on stderr.
    void error(const QString &text);
    /// A port exists but cannot be used: text on stderr, and the port-unusable event (json).
    void portUnusable(const QString &text, const QJsonObject &event);
    /// One programmer's step ended (the result event; the other styles show it as status).
    void result(const app::Attempt &attempt);
    /// The closing line (json: the summary event, always); draws the bars a last time first.
    /// An empty text prints no line.
    void summary(const QString &text, const QJsonObject &event);

    /// True when stdout is a terminal that understands cursor movement.
    [[nodiscard]] static bool stdoutIsTerminal();
    [[nodiscard]] static int terminalWidth();

    /// One programmer's line on a terminal: name, bar, percentage, status.
    [[nodiscard]] static QString barLine(const QString &name, int value, int maximum,
                                         const QString &status, int width);

private:
    void onStatusChanged(model::ProgrammerNumber n, const QString &text);
    void onPromptChanged(const QString &text);
    /// One JSON event on its line.
    void print(const QJsonObject &event);
    void scheduleRedraw();
    void redraw();
    void eraseBars();

    QTextStream &m_out;
    QTextStream &m_err;
    const Style m_style;
    const bool m_terminal;
    const int m_width;
    app::Station *m_station = nullptr;
    QTimer m_redrawTimer;
    bool m_promptChanged = false;
    /// Lines of the live block currently on the screen.
    int m_drawnLines = 0;
};

} // namespace vell::cli
