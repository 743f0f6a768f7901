#include "pane.h"

namespace vell::link {

PaneBoard::PaneBoard(QObject *parent) : QObject(parent)
{
    m_panes[0].visible = true;
}

void PaneBoard::setStatus(int n, const QString &text)
{
    Pane &p = mutablePane(n);
    if (p.status == text)
        return;
    p.status = text;
    Q_EMIT statusChanged(n, text);
    Q_EMIT paneChanged(n);
}

void PaneBoard::setBarValue(int n, int value)
{
    Pane &p = mutablePane(n);
    if (p.barValue == value)
        return;
    p.barValue = value;
    Q_EMIT paneChanged(n);
}

void PaneBoard::setBarMaximum(int n, int maximum)
{
    Pane &p = mutablePane(n);
    if (p.barMaximum == maximum)
        return;
    p.barMaximum = maximum;
    Q_EMIT paneChanged(n);
}

void PaneBoard::setCountText(int n, const QString &text)
{
    Pane &p = mutablePane(n);
    if (p.countText == text)
        return;
    p.countText = text;
    Q_EMIT paneChanged(n);
}

void PaneBoard::setVisible(int n, bool visible)
{
    Pane &p = mutablePane(n);
    if (p.visible == visible)
        return;
    p.visible = visible;
    Q_EMIT paneChanged(n);
}

void PaneBoard::setProgrammerVersion(const QString &text)
{
    if (m_programmerVersion == text)
        return;
    m_programmerVersion = text;
    Q_EMIT versionsChanged();
}

void PaneBoard::setSoftwareVersion(const QString &text)
{
    if (m_softwareVersion == text)
        return;
    m_softwareVersion = text;
    Q_EMIT versionsChanged();
}

} // namespace vell::link
