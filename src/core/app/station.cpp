#include "station.h"

#include "loadoperation.h"
#include "logging.h"
#include "programtargetoperation.h"
#include "texts.h"
#include "watchdog.h"

#include "model/programmertraits.h"
#include "model/texts.h"

#include <QFileInfo>

#include <algorithm>

namespace vell::app {

using model::ProgrammerNumber;
using model::ProgrammerSet;

Station::Station(const link::PortNames &names, model::Operator &op,
                 const link::LinkFactory &factory, const model::Timings &timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_names(names), m_factory(factory), m_operator(op),
      m_links(factory), m_watchdog(std::make_unique<Watchdog>(timings.watchdogMs)),
      m_prompt(texts::kPromptDoubleClick)
{
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        auto handler = std::make_unique<model::ReplyHandler>(n, m_programmers);
        handler->attach(m_links.link(n));
        // A verdict ends the step of the operation that holds it, if any.
        connect(handler.get(), &model::ReplyHandler::verdict, this,
                [this](ProgrammerNumber n, model::Step step, std::optional<int> code) {
                    if (Operation *owner = m_owners[n])
                        owner->onVerdict(n, step, code);
                });
        connect(handler.get(), &model::ReplyHandler::fileLoaded, this, [this](ProgrammerNumber n) {
            if (Operation *owner = m_owners[n])
                owner->onFileLoaded(n);
        });
        m_replyHandlers[n] = std::move(handler);
    }
    connect(&m_programmers, &model::Programmers::statusChanged, this, [this](ProgrammerNumber n) {
        Q_EMIT paneChanged(n);
        Q_EMIT statusChanged(n, statusText(n));
    });
    connect(&m_programmers, &model::Programmers::barChanged, this, &Station::paneChanged);
    connect(&m_programmers, &model::Programmers::paneChanged, this, &Station::paneChanged);
    connect(&m_programmers, &model::Programmers::versionsChanged, this, &Station::versionsChanged);
    makeSearch();
    connect(&m_programmers, &model::Programmers::boardChanged, this, &Station::boardChanged);

    connect(m_watchdog.get(), &Watchdog::fired, this, &Station::onWatchdogFired);
    connect(&m_links, &link::Links::deviceLost, this, &Station::onDeviceLost);
    m_verdictTimer.setSingleShot(true);
    connect(&m_verdictTimer, &QTimer::timeout, this, [this] { endSteps(model::Ending::Timeout); });
}

Station::~Station() = default;

void Station::makeSearch()
{
    m_search = std::make_unique<discovery::ProgrammerSearch>(m_programmers, m_names, m_factory,
                                                             m_timings.searchTickMs);
    connect(m_search.get(), &discovery::ProgrammerSearch::changed, this, &Station::searchChanged);
    connect(m_search.get(), &discovery::ProgrammerSearch::finished, this, [this](bool anyFound) {
        m_search->stop(); // the scanning port must be free before the links open
        Q_EMIT searchFinished(anyFound);
    });
    connect(m_search.get(), &discovery::ProgrammerSearch::closeRequested, this,
            &Station::searchCloseRequested);
    connect(m_search.get(), &discovery::ProgrammerSearch::portUnusable, this,
            &Station::portUnusable);
}

void Station::startSearch()
{
    if (m_search->state() == discovery::ProgrammerSearch::State::Idle)
        m_search->start();
}

void Station::stopSearch()
{
    m_search->stop();
}

bool Station::searchAgain()
{
    if (busy() || m_search->isRunning())
        return false;
    // The search probes every port itself, claimed afresh: nothing of the last one is held.
    for (const ProgrammerNumber n : ProgrammerSet::all())
        m_links.link(n)->close();
    m_links.closePortFiles();
    m_names.claims().releaseAll();
    m_programmers.forget();
    m_lastCommand = model::Step::None;
    makeSearch();
    m_search->start();
    return true;
}

QString Station::programmerVersionText() const
{
    return model::Pane::programmerVersionText(state(ProgrammerNumber(1)));
}

QString Station::softwareVersionText() const
{
    return model::Pane::softwareVersionText(state(ProgrammerNumber(1)));
}

void Station::showFoundProgrammers()
{
    for (const ProgrammerNumber n : m_programmers.inUse())
        m_programmers.show(n);
}

bool Station::offersProgramTarget() const
{
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        if (model::traitsOf(n).showsProgramTarget && state(n).present)
            return true;
    }
    return false;
}

QString Station::imageText() const
{
    if (m_untakenLoad)
        return texts::imageNotTaken(*m_untakenLoad);
    if (m_image)
        return texts::imageLine(m_image->name, m_image->size, m_image->crc32);
    return {};
}

void Station::setPrompt(const QString &text)
{
    if (m_prompt == text)
        return;
    m_prompt = text;
    Q_EMIT promptChanged(text);
}

void Station::setLastFileLoadedFolder(const QString &folder)
{
    if (m_lastFolder == folder)
        return;
    m_lastFolder = folder;
    Q_EMIT lastFileLoadedFolderChanged(folder);
}

bool Station::busy() const
{
    return (m_verdictTimeoutMs > 0 && !m_operations.empty()) || commandRunning();
}

bool Station::commandRunning() const
{
    for (const auto &operation : m_operations) {
        if (operation->isBusy())
            return true;
    }
    return false;
}

void Station::holdUntilFinished(int verdictTimeoutMs)
{
    m_verdictTimeoutMs = verdictTimeoutMs;
    m_verdictTimer.setInterval(verdictTimeoutMs);
}

void Station::updateBusy()
{
    // Held, the verdicts are waited for from the end of the command part on.
    if (m_verdictTimeoutMs > 0 && (m_operations.empty() || commandRunning()))
        m_verdictTimer.stop();
    else if (m_verdictTimeoutMs > 0 && !m_verdictTimer.isActive())
        m_verdictTimer.start();
    const bool now = busy();
    if (now == m_busy)
        return;
    m_busy = now;
    Q_EMIT busyChanged(now);
}

Operation *Station::run(std::unique_ptr<Operation> operation)
{
    Operation *op = operation.get();
    connect(op, &Operation::stepEnded, this,
            [this, op](ProgrammerNumber n) { onStepEnded(*op, n); });
    connect(op, &Operation::busyChanged, this, &Station::updateBusy);
    connect(op, &Operation::finished, this, [this, op] { onOperationFinished(*op); });
    m_operations.push_back(std::move(operation));
    op->start();
    updateBusy();
    return op;
}

void Station::beginStep(Operation &operation, ProgrammerNumber n)
{
    if (Operation *owner = m_owners[n]; owner && owner != &operation)
        owner->endStep(n, model::Ending::Superseded);
    m_owners[n] = &operation;
}

Operation *Station::loadProgramFile(const QString &path, const Request &request)
{
    qCDebug(lcApp) << "load asked for" << path;
    return load(path, ProgrammerSet::all(), false, request);
}

Operation *Station::loadProgramFileInto(const QString &path, ProgrammerSet programmers,
                                        const Request &request)
{
    qCDebug(lcApp) << "load asked for" << path << "into some programmers";
    return load(path, programmers, true, request);
}

Operation *Station::load(const QString &path, ProgrammerSet programmers, bool repeat,
                         const Request &request)
{
    const ProgrammerSet addressed = programmers & m_programmers.inUse();
    if (addressed.isEmpty() || busy())
        return nullptr;
    // A fault of an earlier load does not outlive it.
    m_faultTimedOut = false;
    setPrompt(texts::kPromptDoubleClick);

    load::FileTransfer::Hooks hooks;
    hooks.blackBox = [this] { return m_blackBox; };
    hooks.restoreDefaults = [this] { return m_restoreDefaults; };
    hooks.discardPendingReplies = [this](ProgrammerNumber n) {
        m_replyHandlers[n]->discardPending();
    };
    auto operation = std::make_unique<LoadOperation>(
        path, addressed, tries(model::Step::Load, addressed, repeat, path),
        OperationContext{m_programmers, m_links, m_names, m_operator, *this}, hooks, m_timings,
        *m_watchdog, request);
    connect(operation.get(), &LoadOperation::folderChanged, this,
            &Station::setLastFileLoadedFolder);
    Operation *started = run(std::move(operation));
    // A load refused before it began leaves the last one as the one to repeat.
    if (!started->result().refused) {
        if (!repeat)
            m_lastCommand = model::Step::Load;
        m_lastLoadPath = path;
    }
    return started;
}

Operation *Station::programTarget(const Request &request)
{
    return target(ProgrammerSet::all(), false, request);
}

Operation *Station::programTargetOn(ProgrammerSet programmers, const Request &request)
{
    return target(programmers, true, request);
}

Operation *Station::target(ProgrammerSet programmers, bool repeat, const Request &request)
{
    const ProgrammerSet addressed = programmers & m_programmers.inUse();
    if (addressed.isEmpty() || busy())
        return nullptr;
    if (!repeat)
        m_lastCommand = model::Step::ProgramTarget;
    Request withBoards = request;
    withBoards.boards = boardsAtBench(addressed, repeat, request.boards);
    return run(std::make_unique<ProgramTargetOperation>(
        addressed, tries(model::Step::ProgramTarget, addressed, repeat, {}),
        OperationContext{m_programmers, m_links, m_names, m_operator, *this}, withBoards));
}

model::PerProgrammer<QString>
Station::boardsAtBench(ProgrammerSet programmers, bool repeat,
                       const model::PerProgrammer<QString> &given) const
{
    model::PerProgrammer<QString> boards = given;
    for (const ProgrammerNumber n : m_programmers.inUse()) {
        if (boards[n].isEmpty())
            boards[n] = state(n).boardScan.serial();
        // A repeat programs the board that failed, unless another one was scanned since.
        if (boards[n].isEmpty() && repeat && programmers.contains(n) && state(n).lastTarget)
            boards[n] = state(n).lastTarget->board;
    }
    return boards;
}

bool Station::scanBoard(ProgrammerNumber n, const QString &text)
{
    const model::BoardProblem problem = m_programmers.boardRules().check(text);
    if (problem == model::BoardProblem::Empty) {
        m_programmers.setBoardScan(n, {});
        return true;
    }
    m_programmers.setBoardScan(n, {text, problem});
    return problem == model::BoardProblem::None;
}

QString Station::boardNote(ProgrammerNumber n) const
{
    return model::Pane::boardNote(state(n), m_programmers.boardRules());
}

model::PerProgrammer<int> Station::tries(model::Step kind, ProgrammerSet programmers, bool repeat,
                                         const QString &path) const
{
    model::PerProgrammer<int> tries;
    const QFileInfo file(path);
    for (const ProgrammerNumber n : programmers) {
        const model::StepRecord *last = lastStepOf(n, kind);
        const bool sameFile = kind != model::Step::Load ||
                              (last && last->image && last->image->name == file.fileName() &&
                               last->image->folder == file.absolutePath());
        tries[n] = repeat && last && sameFile ? last->tryNumber + 1 : 1;
    }
    return tries;
}

const model::StepRecord *Station::lastStepOf(ProgrammerNumber n, model::Step kind) const
{
    if (const Operation *owner = m_owners[n]; owner && owner->kind() == kind)
        return owner->stepUnderWay(n);
    const auto &last = state(n).last(kind);
    return last ? &*last : nullptr;
}

std::optional<model::Status> Station::repeatLeftOut(ProgrammerNumber n) const
{
    return m_programmers.leftOut(n, boardsAtBench(ProgrammerSet::only(n), true, {}));
}

bool Station::boardRepeatable(ProgrammerNumber n) const
{
    return state(n).boardPending() && !repeatLeftOut(n);
}

bool Station::canRepeat(ProgrammerNumber n) const
{
    return !busy() && m_programmers.inUse(n) && !m_owners[n];
}

ProgrammerSet Station::failedProgrammers() const
{
    ProgrammerSet failed;
    for (const ProgrammerNumber n : m_programmers.inUse()) {
        if (m_owners[n])
            continue;
        const bool again = m_lastCommand == model::Step::Load
                               ? state(n).lastLoad && !state(n).lastLoad->succeeded()
                               : boardRepeatable(n);
        if (again)
            failed.insert(n);
    }
    if (m_lastCommand == model::Step::ProgramTarget) {
        // Two boards repeated together may hold one serial: repeated, they would be left out.
        const model::PerProgrammer<QString> boards = boardsAtBench(failed, true, {});
        for (const ProgrammerNumber n : failed) {
            if (m_programmers.leftOut(n, boards))
                failed.remove(n);
        }
    }
    return failed;
}

QString Station::nothingToRetry() const
{
    if (busy())
        return texts::kRetryWhileBusy;
    if (m_lastCommand == model::Step::None)
        return texts::kRetryNothingRan;
    if (!failedProgrammers().isEmpty())
        return {};
    if (m_lastCommand == model::Step::Load)
        return texts::kRetryNoLoadFailed;
    QStringList waiting, unscanned;
    for (const ProgrammerNumber n : m_programmers.inUse()) {
        if (!state(n).boardPending())
            continue;
        const auto why = repeatLeftOut(n);
        const bool serial =
            why == model::Status::NoBoardSerial || why == model::Status::SameBoardSerialTwice;
        (serial ? unscanned : waiting) << QString::number(n.value());
    }
    if (!waiting.isEmpty())
        return texts::retryBoardsWait(waiting);
    return unscanned.isEmpty() ? texts::kRetryNoBoardFailed : texts::retryBoardsScan(unscanned);
}

std::vector<model::Step> Station::paneSteps(ProgrammerNumber n) const
{
    std::vector<model::Step> steps;
    const model::ProgrammerState &s = state(n);
    if (!m_programmers.inUse(n) || s.lastKind == model::Step::None)
        return steps;
    // After a load, its repeat; after a program-target that left it out for its load, that
    // load. A board done is never offered again.
    if (s.lastKind == model::Step::Load ||
        (s.lastTarget && s.lastTarget->ending == model::Ending::Skipped && s.lastLoad &&
         !s.lastLoad->succeeded()))
        steps.push_back(model::Step::Load);
    if (boardRepeatable(n))
        steps.push_back(model::Step::ProgramTarget);
    return steps;
}

QString Station::boardHint(ProgrammerNumber n) const
{
    const model::ProgrammerState &s = state(n);
    if (!s.boardPending() || boardRepeatable(n))
        return {};
    switch (repeatLeftOut(n).value_or(model::Status::NotProgrammed)) {
    case model::Status::ImageNotApproved:
        return texts::kHintLoadApproved;
    case model::Status::NoBoardSerial:
    case model::Status::SameBoardSerialTwice:
        return texts::kHintScanThenTarget;
    default:
        return texts::kHintLoadThenTarget;
    }
}

model::Step Station::stepOf(ProgrammerNumber n) const
{
    if (const Operation *owner = m_owners[n])
        return owner->kind();
    const model::StepRecord *last = state(n).lastStep();
    return last ? last->step : model::Step::None;
}

Operation *Station::repeatStep(ProgrammerNumber n, model::Step step)
{
    const std::vector<model::Step> offered = paneSteps(n);
    if (!canRepeat(n) || std::find(offered.begin(), offered.end(), step) == offered.end())
        return nullptr;
    return repeat(step, ProgrammerSet::only(n), {});
}

Operation *Station::retryFailed(const Request &request)
{
    const ProgrammerSet failed = failedProgrammers();
    if (busy() || failed.isEmpty())
        return nullptr;
    return repeat(m_lastCommand, failed, request);
}

Operation *Station::repeat(model::Step step, ProgrammerSet programmers, const Request &request)
{
    if (step == model::Step::Load)
        return load(m_lastLoadPath, programmers, true, request);
    if (step == model::Step::ProgramTarget)
        return target(programmers, true, request);
    return nullptr;
}

void Station::endSteps(model::Ending ending)
{
    // Ending a step may finish its operation, which leaves the list.
    std::vector<QPointer<Operation>> operations;
    for (const auto &operation : m_operations)
        operations.emplace_back(operation.get());
    for (const QPointer<Operation> &operation : operations) {
        if (operation)
            operation->endSteps(ending);
    }
}

std::vector<LoadOperation *> Station::loads() const
{
    std::vector<LoadOperation *> loads;
    for (const auto &operation : m_operations) {
        if (auto *load = qobject_cast<LoadOperation *>(operation.get()))
            loads.push_back(load);
    }
    return loads;
}

bool Station::anyStepUnderWay(model::Step kind) const
{
    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        if (m_owners[n] && m_owners[n]->kind() == kind)
            return true;
    }
    return false;
}

bool Station::openLog(const QString &path)
{
    m_logging = true;
    if (m_log.open(path))
        return true;
    m_logProblem = texts::logProblem(m_log.errorString());
    Q_EMIT logProblemChanged(m_logProblem);
    return false;
}

void Station::releaseFiles()
{
    for (LoadOperation *load : loads())
        load->releaseProgramFile();
    m_links.closePortFiles();
}

void Station::onStepEnded(Operation &operation, ProgrammerNumber n)
{
    if (m_owners[n] == &operation)
        m_owners[n] = nullptr;
    const model::StepRecord &step = *operation.result().steps[n];
    m_programmers.setLastStep(n, step);
    const model::ProgrammerState &s = state(n);
    const Attempt attempt{n,
                          s.comPort,
                          s.port,
                          step,
                          s.version,
                          runId() + u'-' + QString::number(++m_records),
                          m_operatorName};
    const record::AttemptRecord line = attempt.record();
    record(line);
    m_tallies[n].add(line.step, line.result);
    if (step.step == model::Step::Load && step.succeeded()) {
        m_image = step.image;
        m_untakenLoad.reset();
        Q_EMIT imageChanged();
    }
    Q_EMIT attemptEnded(attempt);
    if (step.step == model::Step::ProgramTarget)
        Q_EMIT tallyChanged(n);
}

void Station::onOperationFinished(Operation &operation)
{
    const OperationResult &result = operation.result();
    if (result.step == model::Step::Load && !result.refused) {
        // The load of every programmer leaves each holding its image or none, and a repeat of
        // it only adds: none holding one means none took the last load.
        bool taken = false;
        for (const ProgrammerNumber n : m_programmers.inUse())
            taken = taken || state(n).image();
        if (!taken && !anyStepUnderWay(model::Step::Load)) {
            m_untakenLoad = QFileInfo(static_cast<LoadOperation &>(operation).path()).fileName();
            Q_EMIT imageChanged();
        }
    }
    Q_EMIT operationFinished(result);
    for (auto it = m_operations.begin(); it != m_operations.end(); ++it) {
        if (it->get() == &operation) {
            // Finished from inside its own call: deleted once that call has returned.
            it->release()->deleteLater();
            m_operations.erase(it);
            break;
        }
    }
    updateBusy();
}

void Station::record(const record::AttemptRecord &line)
{
    if (!m_logging)
        return;
    // Every record is tried: a log that can be written again takes the next one.
    if (m_log.append(line)) {
        if (!m_logProblem.isEmpty()) {
            m_logProblem.clear();
            Q_EMIT logProblemChanged(m_logProblem);
        }
        return;
    }
    ++m_lostRecords;
    const QString problem = texts::logProblem(m_log.errorString());
    if (problem != m_logProblem) {
        m_logProblem = problem;
        Q_EMIT logProblemChanged(m_logProblem);
    }
}

void Station::onDeviceLost(ProgrammerNumber n)
{
    // A load tells its own story first.
    bool loading = false;
    for (LoadOperation *load : loads()) {
        load->onDeviceLost(n);
        loading = loading || load->isBusy();
    }
    // Otherwise (programming a target, or waiting for a programmer's verdict) the pane would
    // keep its last progress text forever.
    if (!loading && m_programmers.inUse(n))
        m_programmers.setStatus(n, model::Status::Lost);
    if (Operation *owner = m_owners[n])
        owner->endStep(n, model::Ending::Lost);
}

void Station::onWatchdogFired()
{
    qCDebug(lcApp) << "watchdog fired";
    releaseFiles();
    setPrompt(texts::kPromptError);
    m_faultTimedOut = true;
    m_watchdog->disarm();
    for (LoadOperation *load : loads())
        load->onWatchdogFired();
}

} // namespace vell::app
