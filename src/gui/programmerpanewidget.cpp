#include "programmerpanewidget.h"

#include "app/station.h"
#include "app/texts.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>

namespace vell::gui {

namespace {

/// The tallies sit in what was the form's right margin, so the status box keeps its width.
constexpr int kTallyWidth = 1500 / 15;

QString controlName(const char *base, int n)
{
    return n == 1 ? QString::fromLatin1(base) : QString::fromLatin1(base) + QString::number(n);
}

} // namespace

ProgrammerPaneWidget::ProgrammerPaneWidget(int n, const app::Station &station, QWidget *parent)
    : QWidget(parent), m_n(n), m_station(station), m_status(new QLineEdit(this)),
      m_bar(new QProgressBar(this)), m_count(new QLineEdit(this)), m_tally(new QLabel(this))
{
    setObjectName(QStringLiteral("pane%1").arg(n));
    m_status->setObjectName(controlName("txtResponse", n));
    m_bar->setObjectName(controlName("progBar", n));
    m_count->setObjectName(QStringLiteral("Text%1").arg(n));
    m_tally->setObjectName(QStringLiteral("lblTally%1").arg(n));
    m_tally->setWordWrap(true);
    m_tally->setFixedWidth(kTallyWidth);

    m_status->setReadOnly(true);
    m_status->setFocusPolicy(Qt::ClickFocus);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(std::max(6, fontMetrics().height() / 2));
    m_count->setReadOnly(true);
    m_count->setFocusPolicy(Qt::ClickFocus);
    m_count->setAlignment(Qt::AlignCenter);
    m_count->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 16);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    grid->addWidget(m_status, 0, 0);
    grid->addWidget(m_bar, 1, 0);
    grid->addWidget(m_count, 0, 1, 2, 1, Qt::AlignVCenter);
    grid->addWidget(m_tally, 0, 2, 2, 1, Qt::AlignVCenter);
    grid->setColumnStretch(0, 1);

    connect(&station, &app::Station::paneChanged, this, [this](int changed) {
        if (changed == m_n)
            refresh();
    });
    connect(&station, &app::Station::tallyChanged, this, [this](int changed) {
        if (changed == m_n)
            showTally();
    });
    refresh();
    showTally();
}

void ProgrammerPaneWidget::showTally()
{
    const app::Tally &tally = m_station.tally(m_n);
    m_tally->setText(app::texts::tally(tally.ok, tally.failed, tally.yieldPercent()));
}

void ProgrammerPaneWidget::refresh()
{
    const app::Pane pane = m_station.pane(m_n);
    // The device the link opened last: after a replug the same COM number may be another.
    const auto &port = m_station.state(m_n).port;
    m_status->setToolTip(app::texts::portToolTip(port.device, port.location, port.usbSerial));
    if (m_status->text() != pane.status) {
        m_status->setText(pane.status);
        m_status->setCursorPosition(0);
    }
    // A maximum of 0 would turn the bar into a busy indicator; the core clamps the value.
    const int maximum = std::max(1, pane.barMaximum);
    m_bar->setRange(0, maximum);
    m_bar->setValue(std::clamp(pane.barValue, 0, maximum));
    m_count->setText(pane.countText);
    setVisible(pane.visible);
}

} // namespace vell::gui
