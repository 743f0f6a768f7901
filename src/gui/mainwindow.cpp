#include "mainwindow.h"

#include "boardfield.h"
#include "programfilebrowser.h"
#include "programmerpanewidget.h"
#include "wrappingbutton.h"
#include "wrappinglabel.h"

#include "app/settings.h"
#include "app/station.h"
#include "app/texts.h"
#include "load/programfile.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace vell::gui {

namespace {

// Keys an operator (or a USB foot switch set to send one) uses with both hands on the boards.
constexpr auto kProgramTargetKey = Qt::Key_F5;
constexpr auto kRetryFailedKey = Qt::Key_F8;

// Sizes of the original form in twips (1/1440 inch), kept as the proportions of the layout.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 10920;
constexpr int kClientHeight = 8370;

QLabel *centredLabel(const QString &name, const QString &text, QWidget *parent)
{
    auto *label = new WrappingLabel(text, parent);
    label->setObjectName(name);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

/// A check box with its caption beside it as a separate label, as the form has them.
QHBoxLayout *optionRow(QCheckBox *box, QLabel *caption)
{
    // Its first line level with the box, however many lines the width leaves it.
    caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    caption->setBuddy(box);
    auto *row = new QHBoxLayout;
    row->addWidget(box, 0, Qt::AlignTop);
    row->addWidget(caption, 1);
    return row;
}

} // namespace

MainWindow::MainWindow(app::Station &station, app::Settings *settings, QWidget *parent)
    : QWidget(parent), m_station(station), m_settings(settings)
{
    setObjectName(QStringLiteral("frmUsbProgFile"));
    setWindowTitle(app::texts::kMainWindowTitle);
    buildControls();
    buildRepeatControls();
    buildBoardFields();

    connect(&m_station, &app::Station::promptChanged, m_prompt, &QLabel::setText);
    connect(&m_station, &app::Station::versionsChanged, this, &MainWindow::showVersions);
    connect(&m_station, &app::Station::lastFileLoadedFolderChanged, m_lastFileLoaded,
            &QLineEdit::setText);
    connect(m_browser, &ProgramFileBrowser::pathChanged, &m_station,
            &app::Station::setCurrentFolder);
    connect(m_browser, &ProgramFileBrowser::fileDoubleClicked, this,
            [this](const QString &fileName) {
                m_station.loadProgramFile(
                    load::ProgramFile::pathIn(m_station.currentFolder(), fileName));
            });
    connect(m_restoreDefaults, &QCheckBox::toggled, &m_station, &app::Station::setRestoreDefaults);
    connect(m_blackBox, &QCheckBox::toggled, &m_station, &app::Station::setBlackBox);
    connect(m_programTarget, &QPushButton::clicked, this, &MainWindow::programTarget);
    connect(&m_station, &app::Station::imageChanged, this, &MainWindow::showImage);
    connect(&m_station, &app::Station::logProblemChanged, this, &MainWindow::showLogProblem);

    // The window sees Esc before its controls do.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    // The load: the remembered folder, then the programmers found by the search.
    restoreFolder();
    m_station.showFoundProgrammers();
    m_programTarget->setVisible(m_station.offersProgramTarget());
    showVersions();
    showImage();
    if (!m_station.logProblem().isEmpty())
        showLogProblem(m_station.logProblem());
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    using app::texts::kBlackBox;
    using app::texts::kRestoreDefaults;

    m_programmerVersion = centredLabel(QStringLiteral("lblProgrammerVersion"), QString(), this);
    m_softwareVersion = centredLabel(QStringLiteral("lblSoftwareVersion"), QString(), this);
    m_prompt = centredLabel(QStringLiteral("lblPrompt"), m_station.prompt(), this);
    QFont promptFont(QStringLiteral("Times New Roman"));
    promptFont.setStyleHint(QFont::Serif);
    promptFont.setPointSizeF(9.75);
    promptFont.setBold(true);
    m_prompt->setFont(promptFont);
    QPalette promptColour = m_prompt->palette();
    promptColour.setColor(QPalette::WindowText, QColor(128, 0, 0));
    m_prompt->setPalette(promptColour);

    m_browser = new ProgramFileBrowser(this);

    m_restoreDefaults = new QCheckBox(this);
    m_restoreDefaults->setObjectName(QStringLiteral("chkRestoreDefaults"));
    m_restoreDefaults->setChecked(m_station.restoreDefaults());
    auto *label1 = new WrappingLabel(kRestoreDefaults, this);
    label1->setObjectName(QStringLiteral("Label1"));
    m_blackBox = new QCheckBox(this);
    m_blackBox->setObjectName(QStringLiteral("chkBlackBox"));
    m_blackBox->setChecked(m_station.blackBox());
    auto *label2 = new WrappingLabel(kBlackBox, this);
    label2->setObjectName(QStringLiteral("Label2"));

    m_programTarget =
        new WrappingButton(app::texts::kTransferToTarget, 2892 / kTwipsPerPixel, this);
    m_programTarget->setObjectName(QStringLiteral("cmdProgramTarget"));
    // Hidden controls keep their place, so the form looks the same for any number of
    // programmers.
    QSizePolicy keepPlace = m_programTarget->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    m_programTarget->setSizePolicy(keepPlace);
    m_programTarget->hide();

    auto *heading = centredLabel(QStringLiteral("Label6"), app::texts::kProgrammerStatus, this);

    m_lastFileLoaded = new QLineEdit(this);
    m_lastFileLoaded->setObjectName(QStringLiteral("txtLastFileLoaded"));
    m_lastFileLoaded->setVisible(false);

    // Left: the two version labels above the prompt.
    auto *left = new QVBoxLayout;
    left->addSpacing(240 / kTwipsPerPixel);
    left->addWidget(m_programmerVersion, 1095);
    left->addSpacing(345 / kTwipsPerPixel);
    left->addWidget(m_softwareVersion, 1095);
    left->addSpacing(345 / kTwipsPerPixel);
    left->addWidget(m_prompt, 855);

    // Right: the two options, then the program-target button level with the prompt.
    auto *right = new QVBoxLayout;
    right->addStretch(1320);
    right->addLayout(optionRow(m_restoreDefaults, label1));
    right->addSpacing(240 / kTwipsPerPixel);
    right->addLayout(optionRow(m_blackBox, label2));
    right->addStretch(600);
    right->addWidget(m_programTarget, 1215);
    m_retryFailed = new QPushButton(app::texts::kRetryFailed, this);
    right->addWidget(m_retryFailed);
    right->addStretch(240);

    auto *top = new QHBoxLayout;
    top->setSpacing(225 / kTwipsPerPixel);
    top->addLayout(left, 3135);
    top->addWidget(m_browser, 3495);
    top->addLayout(right, 3360);

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(240 / kTwipsPerPixel, 120 / kTwipsPerPixel, 240 / kTwipsPerPixel,
                             240 / kTwipsPerPixel);
    root->addLayout(top, 4560);
    root->addSpacing(120 / kTwipsPerPixel);
    root->addWidget(heading);

    // The panes, indented as on the form, one under the other.
    for (const model::ProgrammerNumber n : model::ProgrammerSet::all()) {
        auto *pane = new ProgrammerPaneWidget(n, m_station, this);
        m_panes[n.index()] = pane;
        QSizePolicy panePolicy = pane->sizePolicy();
        panePolicy.setRetainSizeWhenHidden(true);
        pane->setSizePolicy(panePolicy);
        auto *row = new QHBoxLayout;
        // The pane's tallies take the form's right margin.
        row->addStretch(1680);
        row->addWidget(pane, 7500 + 1500);
        root->addLayout(row);
    }
    root->addWidget(m_lastFileLoaded);
    root->addStretch(1);

    // Below the panes, set off from the last one: the image the programmers hold, and a
    // warning when it is not recorded.
    root->addSpacing(240 / kTwipsPerPixel);
    m_image = new QLabel(this);
    m_image->setObjectName(QStringLiteral("lblImage"));
    m_image->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_logProblem = new WrappingLabel(QString(), this);
    m_logProblem->setObjectName(QStringLiteral("lblLogProblem"));
    m_logProblem->setStyleSheet(QStringLiteral("color: #a00000; font-weight: bold"));
    m_logProblem->hide();
    m_lineStatus = new WrappingLabel(QString(), this);
    m_lineStatus->setObjectName(QStringLiteral("lblLineDatabase"));
    m_lineStatus->setStyleSheet(QStringLiteral("color: #a05a00; font-weight: bold"));
    m_lineStatus->hide();
    root->addWidget(m_image);
    root->addWidget(m_logProblem);
    root->addWidget(m_lineStatus);

    resize(kClientWidth / kTwipsPerPixel, kClientHeight / kTwipsPerPixel);
}

void MainWindow::buildRepeatControls()
{
    m_retryFailed->setObjectName(QStringLiteral("cmdRetryFailed"));
    m_programTarget->setToolTip(app::texts::kTransferToTargetTip);
    connect(m_retryFailed, &QPushButton::clicked, &m_station, [this] { m_station.retryFailed(); });
    // Window-wide, so the keys work wherever the focus is.
    auto *retryKey = new QShortcut(QKeySequence(kRetryFailedKey), this);
    connect(retryKey, &QShortcut::activated, &m_station, [this] { m_station.retryFailed(); });
    auto *targetKey = new QShortcut(QKeySequence(kProgramTargetKey), this);
    connect(targetKey, &QShortcut::activated, this, [this] {
        if (m_programTarget->isVisible())
            programTarget();
    });

    for (ProgrammerPaneWidget *pane : m_panes) {
        // The pane's boxes leave the right-click to the pane.
        for (QWidget *box : std::initializer_list<QWidget *>{pane->statusBox(), pane->countBox(),
                                                             pane->progressBar()})
            box->setContextMenuPolicy(Qt::NoContextMenu);
        pane->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(pane, &QWidget::customContextMenuRequested, this, [this, pane](const QPoint &at) {
            showPaneMenu(pane->programmer(), pane->mapToGlobal(at));
        });
    }
    // A step that ends, or the station taking commands again, changes what can be retried.
    connect(&m_station, &app::Station::busyChanged, this, &MainWindow::showRetryFailed);
    connect(&m_station, &app::Station::attemptEnded, this, &MainWindow::showRetryFailed);
    connect(&m_station, &app::Station::operationFinished, this, &MainWindow::showRetryFailed);
    connect(&m_station, &app::Station::boardChanged, this, &MainWindow::showRetryFailed);
    showRetryFailed();
}

void MainWindow::buildBoardFields()
{
    if (!m_station.boardRules().fieldsShown())
        return;
    for (ProgrammerPaneWidget *pane : m_panes) {
        const model::ProgrammerNumber n = pane->programmer();
        connect(pane->boardField(), &BoardField::entered, this, [this, n](const QString &text) {
            // A refused scan keeps the focus, for the scan that replaces it.
            if (m_station.scanBoard(n, text))
                focusAfterBoard(n);
        });
    }
    // Scan, scan, scan, scan, Enter: the button takes Enter once it has the focus.
    m_programTarget->setAutoDefault(true);
    m_panes[0]->boardField()->setFocus();
}

void MainWindow::focusAfterBoard(model::ProgrammerNumber n)
{
    for (int next = n.value() + 1; next <= model::kProgrammerCount; ++next) {
        if (m_station.programmers().inUse(model::ProgrammerNumber(next))) {
            BoardField *field = m_panes[size_t(next - 1)]->boardField();
            field->setFocus(Qt::TabFocusReason);
            field->selectAll();
            return;
        }
    }
    if (m_programTarget->isVisible())
        m_programTarget->setFocus(Qt::TabFocusReason);
}

void MainWindow::programTarget()
{
    // What a field holds unentered is taken as if Enter had been pressed.
    for (ProgrammerPaneWidget *pane : m_panes) {
        if (pane->boardField())
            pane->boardField()->commit();
    }
    m_station.programTarget();
}

void MainWindow::showRetryFailed()
{
    // Greyed, it says why, and what to do instead where something waits.
    const QString why = m_station.nothingToRetry();
    m_retryFailed->setEnabled(why.isEmpty());
    m_retryFailed->setToolTip(why.isEmpty() ? app::texts::kRetryFailedTip : why);
}

void MainWindow::showPaneMenu(model::ProgrammerNumber n, const QPoint &at)
{
    // Greyed while the station is busy or this programmer's step is under way; before its
    // first step, or with a board done and nothing to load, no menu.
    const std::vector<model::Step> steps = m_station.paneSteps(n);
    if (steps.empty())
        return;
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("mnuPane%1").arg(n.value()));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    for (const model::Step step : steps) {
        QAction *again = menu->addAction(
            step == model::Step::Load ? app::texts::kLoadAgain : app::texts::kProgramTargetAgain);
        again->setEnabled(m_station.canRepeat(n));
        connect(again, &QAction::triggered, &m_station,
                [this, n, step] { m_station.repeatStep(n, step); });
    }
    menu->popup(at);
}

void MainWindow::restoreFolder()
{
    const QString remembered =
        m_settings ? m_settings->readLastFolder().value_or(QString()) : QString();
    m_station.setLastFileLoadedFolder(remembered);
    m_lastFileLoaded->setText(remembered);

    const QString start = app::Settings::startFolder(remembered);
    // A remembered folder that is gone is replaced by the fallback, which is then remembered.
    if (!remembered.isEmpty() && start == app::Settings::fallbackFolder())
        m_station.setLastFileLoadedFolder(start);
    if (!m_browser->setPath(start))
        m_browser->setPath(QDir::rootPath());
    m_station.setCurrentFolder(m_browser->path());
}

void MainWindow::showVersions()
{
    m_programmerVersion->setText(m_station.programmerVersionText());
    m_softwareVersion->setText(m_station.softwareVersionText());
}

void MainWindow::showImage()
{
    const QString image = m_station.imageText();
    m_image->setText(image.isEmpty() ? QString() : app::texts::kProgramFileCaption + image);
}

void MainWindow::showLogProblem(const QString &text)
{
    // Shown until the log can be written again.
    m_logProblem->setText(text);
    m_logProblem->setVisible(!text.isEmpty());
}

void MainWindow::showLineStatus(const QString &text)
{
    m_lineStatus->setText(text);
    m_lineStatus->setVisible(!text.isEmpty());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The close ends the run: every file a command holds is let go, then the settings are
    // saved once.
    m_station.releaseFiles();
    if (m_settings && !m_saved) {
        m_saved = true;
        m_settings->write(m_station.state(model::ProgrammerNumber(1)).comPort,
                          m_station.lastFileLoadedFolder());
    }
    event->accept();
}

} // namespace vell::gui
