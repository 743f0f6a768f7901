#include "programmerpanewidget.h"

#include "boardfield.h"
#include "wrappinglabel.h"

#include "app/station.h"
#include "app/texts.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>

namespace vell::gui {

namespace {

// The status box and the tallies share the room the count box leaves, beyond what their texts
// need: the status box by the form's status-box width in twips, the tallies by twice the
// form's right margin that they took over, so both grow with the window.
constexpr int kStatusStretch = 6855;
constexpr int kTallyStretch = 3000;

QString controlName(const char *base, model::ProgrammerNumber n)
{
    return n.value() == 1 ? QString::fromLatin1(base)
                          : QString::fromLatin1(base) + QString::number(n.value());
}

/// The width at which box shows the widest of texts whole.
int widthShowing(const QLineEdit &box, const QStringList &texts)
{
    int widest = 0;
    for (const QString &text : texts)
        widest = std::max(widest, box.fontMetrics().horizontalAdvance(text));
    // As the box lays out its text: its frame, its text margins, 2 pixels each side and the
    // cursor's pixel.
    QStyleOptionFrame frame;
    frame.initFrom(&box);
    frame.lineWidth = box.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, &box);
    const QMargins margins = box.textMargins();
    const QSize contents(widest + margins.left() + margins.right() + 2 * 2 + 1,
                         box.fontMetrics().height());
    return box.style()->sizeFromContents(QStyle::CT_LineEdit, &frame, contents, &box).width();
}

} // namespace

ProgrammerPaneWidget::ProgrammerPaneWidget(model::ProgrammerNumber n, const app::Station &station,
                                           QWidget *parent)
    : QWidget(parent), m_n(n), m_station(station), m_status(new QLineEdit(this)),
      m_bar(new QProgressBar(this)), m_count(new QLineEdit(this)),
      m_tally(new WrappingLabel(QString(), this))
{
    setObjectName(QStringLiteral("pane%1").arg(n.value()));
    m_status->setObjectName(controlName("txtResponse", n));
    m_bar->setObjectName(controlName("progBar", n));
    m_count->setObjectName(QStringLiteral("Text%1").arg(n.value()));
    m_tally->setObjectName(QStringLiteral("lblTally%1").arg(n.value()));
    // Three-digit tallies on one line; longer ones wrap.
    m_tally->setMinimumWidth(
        m_tally->fontMetrics().horizontalAdvance(app::texts::tally(999, 999, 100)));

    m_status->setReadOnly(true);
    m_status->setFocusPolicy(Qt::ClickFocus);
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(std::max(6, fontMetrics().height() / 2));
    m_count->setReadOnly(true);
    m_count->setFocusPolicy(Qt::ClickFocus);
    m_count->setAlignment(Qt::AlignCenter);
    m_count->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 16);
    m_status->setMinimumWidth(widthShowing(*m_status, model::Pane::statusTexts(n)));

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    grid->addWidget(m_status, 0, 0);
    grid->addWidget(m_bar, 1, 0);
    grid->addWidget(m_count, 0, 1, 2, 1, Qt::AlignVCenter);
    grid->addWidget(m_tally, 0, 2, 2, 1, Qt::AlignVCenter);
    grid->setColumnStretch(0, kStatusStretch);
    grid->setColumnStretch(2, kTallyStretch);
    if (station.boardRules().fieldsShown())
        buildBoardRow(grid);

    connect(&station, &app::Station::paneChanged, this, [this](model::ProgrammerNumber changed) {
        if (changed == m_n)
            refresh();
    });
    // Its board's hint follows its steps.
    connect(&station, &app::Station::attemptEnded, this, [this](const app::Attempt &attempt) {
        if (attempt.programmer == m_n)
            refresh();
    });
    connect(&station, &app::Station::tallyChanged, this, [this](model::ProgrammerNumber changed) {
        if (changed == m_n)
            showTally();
    });
    refresh();
    showTally();
}

void ProgrammerPaneWidget::buildBoardRow(QGridLayout *grid)
{
    m_board = new BoardField(this);
    m_board->setObjectName(QStringLiteral("txtBoard%1").arg(m_n.value()));
    auto *caption = new QLabel(app::texts::kBoardField, this);
    caption->setBuddy(m_board);
    m_boardNote = new WrappingLabel(QString(), this);
    m_boardNote->setObjectName(QStringLiteral("lblBoardNote%1").arg(m_n.value()));
    auto *row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(m_board, 1);
    grid->addLayout(row, 2, 0);
    grid->addWidget(m_boardNote, 2, 1, 1, 2);
    connect(&m_station, &app::Station::boardChanged, this, [this](model::ProgrammerNumber changed) {
        if (changed == m_n) {
            showBoard();
            refresh(); // its board's hint
        }
    });
    showBoard();
}

void ProgrammerPaneWidget::showBoard()
{
    const model::BoardScan &scan = m_station.state(m_n).boardScan;
    const bool refused = scan.problem != model::BoardProblem::None;
    if (scan.text.isEmpty())
        m_board->clearHeld();
    // A refused scan is marked in place; its reason stands beside it.
    m_board->setProperty("refused", refused);
    m_board->setStyleSheet(refused ? QStringLiteral("border: 2px solid #c00000") : QString());
    m_boardNote->setStyleSheet(refused ? QStringLiteral("color: #a00000") : QString());
    m_boardNote->setText(m_station.boardNote(m_n));
}

void ProgrammerPaneWidget::showTally()
{
    const record::Tally &tally = m_station.tally(m_n);
    m_tally->setText(app::texts::tally(tally.boardsOk, tally.boardsFailed, tally.yieldPercent()));
}

void ProgrammerPaneWidget::refresh()
{
    const model::Pane pane = m_station.pane(m_n);
    // The device the link opened last: after a replug the same COM number may be another.
    const auto &port = m_station.state(m_n).port;
    const QString hint = m_station.boardHint(m_n);
    m_status->setToolTip(app::texts::portToolTip(port.device, port.location, port.usbSerial) +
                         (hint.isEmpty() ? QString() : u'\n' + hint));
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
