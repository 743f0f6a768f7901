#include "searchwindow.h"

#include "app/station.h"
#include "discovery/programmersearch.h"
#include "discovery/texts.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vell::gui {

SearchWindow::SearchWindow(app::Station &station, QWidget *parent)
    : QWidget(parent), m_station(station)
{
    setObjectName(QStringLiteral("frmFindProgrammers"));
    setWindowTitle(discovery::texts::kWindowCaption);

    auto *layout = new QVBoxLayout(this);
    for (size_t i = 0; i < m_programmerLabels.size(); ++i) {
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("lblProgrammer%1").arg(i + 1));
        label->setAlignment(Qt::AlignCenter);
        // One line each, empty or not, so the rows stay where they are as programmers appear.
        label->setMinimumHeight(label->fontMetrics().lineSpacing());
        layout->addWidget(label);
        m_programmerLabels[i] = label;
    }

    m_portSearchedLabel = new QLabel(this);
    m_portSearchedLabel->setObjectName(QStringLiteral("lblPortSearched"));
    m_portSearchedLabel->setAlignment(Qt::AlignCenter);
    // Ports that cannot be used are named below the failure text, with long reasons.
    m_portSearchedLabel->setWordWrap(true);
    layout->addSpacing(m_portSearchedLabel->fontMetrics().lineSpacing());
    layout->addWidget(m_portSearchedLabel);

    // Shows the port being probed; the search owns the number, so it is not for editing.
    m_portSearched = new QLineEdit(this);
    m_portSearched->setObjectName(QStringLiteral("txtPortSearched"));
    m_portSearched->setAlignment(Qt::AlignCenter);
    m_portSearched->setReadOnly(true);
    m_portSearched->setMaximumWidth(fontMetrics().horizontalAdvance(QStringLiteral("00000")) * 2);
    layout->addWidget(m_portSearched, 0, Qt::AlignHCenter);

    m_ok = new QPushButton(discovery::texts::kOk, this);
    m_ok->setObjectName(QStringLiteral("Command1"));
    m_ok->setDefault(true);
    layout->addWidget(m_ok, 0, Qt::AlignHCenter);

    connect(m_ok, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_station, &app::Station::searchChanged, this, &SearchWindow::refresh);
    connect(&m_station, &app::Station::searchCloseRequested, this, &QWidget::close);

    const int lineWidth =
        fontMetrics().horizontalAdvance(discovery::texts::kConnectAndRestart) + 40;
    setMinimumWidth(lineWidth);
    refresh();
}

SearchWindow::~SearchWindow() = default;

void SearchWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The window's load starts the scan; showing it again does not restart it.
    if (!m_closed)
        m_station.startSearch();
}

void SearchWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    if (m_closed)
        return;
    m_closed = true;
    m_station.stopSearch();
    Q_EMIT searchClosed(m_station.search().programmersFound() > 0);
}

void SearchWindow::refresh()
{
    for (size_t i = 0; i < m_programmerLabels.size(); ++i)
        m_programmerLabels[i]->setText(
            m_station.search().programmerLabel(model::ProgrammerNumber(int(i) + 1)));
    // The failure text joins its two lines with a lone carriage return, which Qt's text layout
    // does not break on; show it as the line break it stands for.
    QString caption = m_station.search().portSearchedLabel();
    caption.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (caption != m_portSearchedLabel->text()) {
        m_portSearchedLabel->setText(caption);
        // The ports that cannot be used, named below the failure text, need room to show.
        if (isVisible())
            adjustSize();
    }
    m_portSearched->setText(m_station.search().portSearched());
}

} // namespace vell::gui
