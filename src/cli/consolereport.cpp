#include "consolereport.h"

#include "app/events.h"
#include "app/station.h"
#include "texts.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vell::cli {

namespace {

constexpr int kRedrawMs = 50;
constexpr int kBarWidth = 16; // a whole line fits 80 columns

/// Status texts are one line on screen; a stray control character must not break the output.
QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');
    }
    return text;
}

} // namespace

ConsoleReport::ConsoleReport(QTextStream &out, QTextStream &err, Style style, int width,
                             QObject *parent)
    : QObject(parent), m_out(out), m_err(err), m_style(style), m_terminal(style == Style::Bars),
      m_width(std::max(width, 40))
{
    m_redrawTimer.setSingleShot(true);
    m_redrawTimer.setInterval(kRedrawMs);
    connect(&m_redrawTimer, &QTimer::timeout, this, &ConsoleReport::redraw);
}

void ConsoleReport::attach(app::Station &station)
{
    m_station = &station;
    if (m_style == Style::Json) {
        for (const model::ProgrammerNumber n : station.programmers().inUse())
            print(app::events::found(n, station.state(n)));
    }
    connect(&station, &app::Station::statusChanged, this, &ConsoleReport::onStatusChanged);
    connect(&station, &app::Station::promptChanged, this, &ConsoleReport::onPromptChanged);
    if (m_terminal) {
        connect(&station, &app::Station::paneChanged, this, &ConsoleReport::scheduleRedraw);
        redraw();
    }
}

void ConsoleReport::detach()
{
    if (m_station)
        m_station->disconnect(this);
    m_redrawTimer.stop();
    m_station = nullptr;
}

void ConsoleReport::print(const QJsonObject &event)
{
    m_out << QString::fromUtf8(app::events::line(event));
    m_out.flush();
}

void ConsoleReport::onStatusChanged(model::ProgrammerNumber n, const QString &text)
{
    if (!m_station || !m_station->programmers().inUse(n))
        return;
    const model::ProgrammerState &state = m_station->state(n);
    if (m_style == Style::Json) {
        print(app::events::status(n, text));
        if (const auto progress = app::events::progress(n, state))
            print(*progress);
        return;
    }
    if (m_terminal)
        return;
    m_out << texts::programmerLine(n.value(), state.comPort, oneLine(text)) << '\n';
    m_out.flush();
}

void ConsoleReport::onPromptChanged(const QString &text)
{
    m_promptChanged = true;
    if (m_style == Style::Json) {
        print(app::events::prompt(text));
        return;
    }
    if (m_terminal) {
        scheduleRedraw();
        return;
    }
    m_out << texts::promptLine(oneLine(text)) << '\n';
    m_out.flush();
}

void ConsoleReport::message(const QString &prompt, const QString &title,
                            std::function<void()> acknowledged)
{
    eraseBars();
    m_err << oneLine(title) << ": " << oneLine(prompt) << '\n';
    m_err.flush();
    if (m_terminal && m_station)
        redraw();
    // Nobody is there to press OK: the run goes on at once.
    if (acknowledged)
        acknowledged();
}

void ConsoleReport::error(const QString &text)
{
    eraseBars();
    m_err << text << '\n';
    m_err.flush();
    if (m_terminal && m_station)
        redraw();
}

void ConsoleReport::portUnusable(const QString &text, const QJsonObject &event)
{
    error(text);
    if (m_style == Style::Json)
        print(event);
}

void ConsoleReport::result(const app::Attempt &attempt)
{
    if (m_style == Style::Json)
        print(app::events::result(attempt));
}

void ConsoleReport::summary(const QString &text, const QJsonObject &event)
{
    if (m_style == Style::Json) {
        print(event);
        return;
    }
    if (text.isEmpty())
        return;
    if (m_terminal && m_station) {
        m_redrawTimer.stop();
        redraw();
        m_drawnLines = 0; // the block stays on screen above the summary
    }
    m_out << text << '\n';
    m_out.flush();
}

void ConsoleReport::scheduleRedraw()
{
    if (!m_redrawTimer.isActive())
        m_redrawTimer.start();
}

void ConsoleReport::redraw()
{
    if (!m_terminal || !m_station)
        return;
    QStringList lines;
    for (const model::ProgrammerNumber n : m_station->programmers().inUse()) {
        const model::Pane pane = m_station->pane(n);
        lines << barLine(app::texts::programmerName(n.value(), m_station->state(n).comPort),
                         pane.barValue, pane.barMaximum, oneLine(pane.status), m_width);
    }
    // The prompt speaks to the windows' operator; a terminal shows it once it has news.
    if (m_promptChanged)
        lines << texts::promptLine(oneLine(m_station->prompt())).left(m_width - 1);

    if (m_drawnLines > 0)
        m_out << "\x1b[" << m_drawnLines << 'A';
    for (const QString &line : std::as_const(lines))
        m_out << "\r\x1b[2K" << line << '\n';
    // A block that shrank leaves no stale line below it.
    for (int i = int(lines.size()); i < m_drawnLines; ++i)
        m_out << "\r\x1b[2K\n";
    if (m_drawnLines > lines.size())
        m_out << "\x1b[" << (m_drawnLines - lines.size()) << 'A';
    m_drawnLines = int(lines.size());
    m_out.flush();
}

void ConsoleReport::eraseBars()
{
    if (!m_terminal || m_drawnLines == 0)
        return;
    m_out << "\x1b[" << m_drawnLines << 'A' << "\r\x1b[J";
    m_out.flush();
    m_drawnLines = 0;
}

QString ConsoleReport::barLine(const QString &name, int value, int maximum, const QString &status,
                               int width)
{
    // The bar follows the pane's own bar, which may run past its maximum between phases.
    const double fraction = maximum > 0 ? std::clamp(double(value) / maximum, 0.0, 1.0) : 0.0;
    const int filled = int(fraction * kBarWidth + 0.5);
    const QString bar = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
                        QString(kBarWidth - filled, QLatin1Char('.')) + QLatin1Char(']');
    const QString percent = QStringLiteral("%1%").arg(int(fraction * 100 + 0.5), 3);
    const QString line =
        name + QLatin1Char(' ') + bar + QLatin1Char(' ') + percent + QStringLiteral("  ") + status;
    // Longer than the screen would wrap and break the redraw.
    return line.left(width - 1);
}

bool ConsoleReport::stdoutIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stdout)) != 0;
#else
    if (qEnvironmentVariable("TERM") == QLatin1String("dumb"))
        return false;
    return isatty(fileno(stdout)) != 0;
#endif
}

int ConsoleReport::terminalWidth()
{
#ifndef Q_OS_WIN
    winsize size{};
    if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

} // namespace vell::cli
