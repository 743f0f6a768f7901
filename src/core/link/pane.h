#pragma once

#include <QObject>
#include <QString>

#include <array>

namespace vell::link {

/// What one programmer's pane shows. Rules read these values (the verify restart test reads
/// the status text, the progress step the bar); widgets only mirror them.
struct Pane
{
    QString status;
    int barValue = 0;
    int barMaximum = 100;
    QString countText = QStringLiteral("1");
    bool visible = false;
};

/// The four panes plus programmer 1's two version labels, with change signals for the views.
class PaneBoard : public QObject
{
    Q_OBJECT
public:
    explicit PaneBoard(QObject *parent = nullptr);

    /// n is 1..4.
    [[nodiscard]] const Pane &pane(int n) const { return m_panes.at(index(n)); }

    void setStatus(int n, const QString &text);
    void setBarValue(int n, int value);
    void setBarMaximum(int n, int maximum);
    void setCountText(int n, const QString &text);
    void setVisible(int n, bool visible);

    [[nodiscard]] QString programmerVersion() const { return m_programmerVersion; }
    [[nodiscard]] QString softwareVersion() const { return m_softwareVersion; }
    void setProgrammerVersion(const QString &text);
    void setSoftwareVersion(const QString &text);

Q_SIGNALS:
    /// Anything of pane n changed.
    void paneChanged(int n);
    /// Pane n's status text changed to a different text.
    void statusChanged(int n, const QString &text);
    void versionsChanged();

private:
    static size_t index(int n) { return static_cast<size_t>(n - 1); }
    Pane &mutablePane(int n) { return m_panes.at(index(n)); }

    std::array<Pane, 4> m_panes{};
    QString m_programmerVersion;
    QString m_softwareVersion;
};

} // namespace vell::link
