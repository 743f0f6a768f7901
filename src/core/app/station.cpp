#include "station.h"

#include "logging.h"
#include "programtarget.h"
#include "texts.h"
#include "watchdog.h"

#include "discovery/programmersearch.h"
#include "link/programmertraits.h"
#include "load/filetransfer.h"

#include <cmath>

namespace vell::app {

std::optional<int> Tally::yieldPercent() const
{
    const int boards = ok + failed;
    if (boards == 0)
        return std::nullopt;
    return int(std::lround(100.0 * ok / boards));
}

Station::Station(const link::PortNames &names, link::Operator &op, link::LinkFactory factory,
                 StationTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_names(names),
      m_links(std::make_unique<link::Links>(m_programmers, m_names, op, factory)),
      m_search(std::make_unique<discovery::ProgrammerSearch>(m_programmers, m_names, factory,
                                                             timings.searchTickMs)),
      m_watchdog(std::make_unique<Watchdog>(timings.watchdogMs)),
      m_prompt(texts::kPromptDoubleClick)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        auto handler = std::make_unique<link::ReplyHandler>(n, m_programmers, *this);
        handler->attach(m_links->link(n));
        m_replyHandlers[static_cast<size_t>(n - 1)] = std::move(handler);
    }
    connect(&m_programmers, &link::Programmers::changed, this, &Station::onChanged);
    connect(&m_programmers, &link::Programmers::stepEnded, this, &Station::onStepEnded);

    connect(m_search.get(), &discovery::ProgrammerSearch::changed, this, &Station::searchChanged);
    connect(m_search.get(), &discovery::ProgrammerSearch::finished, this, [this](bool anyFound) {
        m_search->stop(); // the scanning port must be free before the links open
        Q_EMIT searchFinished(anyFound);
    });
    connect(m_search.get(), &discovery::ProgrammerSearch::closeRequested, this,
            &Station::searchCloseRequested);
    connect(m_search.get(), &discovery::ProgrammerSearch::portUnusable, this,
            &Station::portUnusable);

    connect(m_watchdog.get(), &Watchdog::fired, this, &Station::onWatchdogFired);

    load::FileTransfer::Hooks loadHooks;
    loadHooks.blackBox = [this] { return m_blackBox; };
    loadHooks.restoreDefaults = [this] { return m_restoreDefaults; };
    loadHooks.discardPendingReplies = [this](int n) {
        m_replyHandlers[static_cast<size_t>(n - 1)]->discardPending();
    };
    m_transfer = std::make_unique<load::FileTransfer>(
        m_programmers, *m_links, op, std::move(loadHooks),
        load::TransferTimings{timings.handshakeMs, timings.stallMs});
    connect(m_transfer.get(), &load::FileTransfer::watchdogArmRequested, m_watchdog.get(),
            &Watchdog::arm);
    connect(m_transfer.get(), &load::FileTransfer::watchdogDisarmRequested, m_watchdog.get(),
            &Watchdog::disarm);
    // After the station's own handler: the fault is recorded before the load ends.
    connect(m_watchdog.get(), &Watchdog::fired, m_transfer.get(),
            &load::FileTransfer::onWatchdogFired);
    connect(m_transfer.get(), &load::FileTransfer::lastFileLoadedFolderChanged, this,
            &Station::setLastFileLoadedFolder);
    connect(m_transfer.get(), &load::FileTransfer::runningChanged, this, &Station::busyChanged);
    connect(m_transfer.get(), &load::FileTransfer::stateChanged, this,
            &Station::onLoadStateChanged);
    connect(m_transfer.get(), &load::FileTransfer::finished, this,
            [this](load::FileTransfer::Outcome outcome) {
                if (outcome == load::FileTransfer::Outcome::Refused)
                    Q_EMIT loadRefused();
            });
    // After the transfer's own handler, which tells a running load's story first.
    connect(m_links.get(), &link::Links::deviceLost, this, &Station::onDeviceLost);
    m_target = std::make_unique<ProgramTarget>(m_programmers, *m_links);
}

Station::~Station() = default;

void Station::startSearch()
{
    if (m_search->state() == discovery::ProgrammerSearch::State::Idle)
        m_search->start();
}

void Station::stopSearch()
{
    m_search->stop();
}

void Station::showFoundProgrammers()
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!m_programmers.inUse(n))
            continue;
        m_programmers.update(n, [this](link::ProgrammerState &s) {
            s.visible = true;
            s.status = link::Status::Found;
            if (s.port.device.isEmpty())
                s.port = m_names.identityOf(s.comPort);
        });
    }
}

bool Station::offersProgramTarget() const
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (link::traitsOf(n).showsProgramTarget && state(n).present)
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
    return m_transfer->isRunning() || m_links->awaitingOk();
}

bool Station::prepareLoad()
{
    if (busy())
        return false;
    // A fault of an earlier load does not outlive it.
    m_faultTimedOut = false;
    setPrompt(texts::kPromptDoubleClick);
    return true;
}

void Station::loadProgramFile(const QString &path)
{
    qCDebug(lcApp) << "load asked for" << path;
    if (!prepareLoad())
        return;
    m_repeatingLoad = false;
    m_transfer->loadProgramFile(path);
    if (m_transfer->isRunning())
        onLoadStarted(path);
}

void Station::programTarget()
{
    if (busy())
        return;
    m_lastStep = link::Step::ProgramTarget;
    m_target->run();
}

void Station::loadProgramFileInto(const QString &path, const link::ProgrammerSet &programmers)
{
    qCDebug(lcApp) << "load asked for" << path << "into some programmers";
    if (m_programmers.targets(programmers) == link::ProgrammerSet{} || !prepareLoad())
        return;
    m_repeatingLoad = true;
    m_transfer->loadProgramFileInto(path, programmers);
    if (m_transfer->isRunning())
        onLoadStarted(path);
}

void Station::onLoadStarted(const QString &path)
{
    // A load refused before it began leaves the last one as the one to repeat.
    m_lastStep = link::Step::Load;
    m_lastLoadPath = path;
}

void Station::programTargetOn(const link::ProgrammerSet &programmers)
{
    if (m_programmers.targets(programmers) == link::ProgrammerSet{} || busy())
        return;
    m_lastStep = link::Step::ProgramTarget;
    m_target->runOn(programmers);
}

link::ProgrammerSet Station::failedProgrammers() const
{
    link::ProgrammerSet failed{};
    for (int n = 1; n <= link::kProgrammerCount; ++n)
        failed[size_t(n - 1)] = m_programmers.inUse(n) && state(n).failed(m_lastStep);
    return failed;
}

link::Step Station::repeatableStep(int n) const
{
    const link::StepRecord &step = state(n).step;
    if (busy() || !m_programmers.inUse(n) || step.underWay())
        return link::Step::None;
    if (step.step == link::Step::ProgramTarget && step.ending == link::Ending::Skipped)
        return link::Step::Load;
    return step.step;
}

void Station::repeatStep(int n)
{
    link::ProgrammerSet only{};
    only[size_t(n - 1)] = true;
    repeat(repeatableStep(n), only);
}

bool Station::retryFailed()
{
    const link::ProgrammerSet failed = failedProgrammers();
    if (busy() || failed == link::ProgrammerSet{})
        return false;
    repeat(m_lastStep, failed);
    return true;
}

void Station::repeat(link::Step step, const link::ProgrammerSet &programmers)
{
    if (step == link::Step::Load)
        loadProgramFileInto(m_lastLoadPath, programmers);
    else if (step == link::Step::ProgramTarget)
        programTargetOn(programmers);
}

void Station::endSteps(link::Ending ending)
{
    m_programmers.endSteps(ending);
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

void Station::releaseProgramFile()
{
    m_transfer->releaseProgramFile();
}

void Station::releaseFiles()
{
    releaseProgramFile();
    m_links->closePortFiles();
}

void Station::onChanged(int n)
{
    const QString status = statusText(n);
    const bool statusChangedNow = m_shownStatus.at(size_t(n - 1)) != status;
    m_shownStatus.at(size_t(n - 1)) = status;
    Q_EMIT paneChanged(n);
    if (statusChangedNow)
        Q_EMIT statusChanged(n, status);
    if (n == 1) {
        const QString versions =
            programmerVersionText() + QLatin1Char('\n') + softwareVersionText();
        if (versions != m_shownVersions) {
            m_shownVersions = versions;
            Q_EMIT versionsChanged();
        }
    }
}

void Station::onLoadStateChanged()
{
    if (m_transfer->state() == load::FileTransfer::State::Opening && !m_repeatingLoad)
        m_loadTaken = false;
}

void Station::onStepEnded(int n)
{
    const link::ProgrammerState &s = state(n);
    const Attempt attempt = Attempt::of(n, s, statusText(n));
    record(attempt);
    if (s.step.step == link::Step::ProgramTarget) {
        Tally &tally = m_tallies.at(size_t(n - 1));
        ++(attempt.result() == link::Result::Ok ? tally.ok : tally.failed);
    }
    if (s.step.step == link::Step::Load) {
        if (*s.step.ending == link::Ending::Ok) {
            m_loadTaken = true;
            m_image = s.step.image;
            m_untakenLoad.reset();
            Q_EMIT imageChanged();
        } else if (!m_loadTaken && s.step.image) {
            bool anyUnderWay = false;
            for (int k = 1; k <= link::kProgrammerCount; ++k) {
                const link::StepRecord &step = state(k).step;
                anyUnderWay = anyUnderWay || (step.step == link::Step::Load && step.underWay());
            }
            if (!anyUnderWay) {
                m_untakenLoad = s.step.image->name;
                Q_EMIT imageChanged();
            }
        }
    }
    Q_EMIT attemptEnded(attempt);
    if (s.step.step == link::Step::ProgramTarget)
        Q_EMIT tallyChanged(n);
}

void Station::record(const Attempt &attempt)
{
    if (!m_logging)
        return;
    // Every record is tried: a log that can be written again takes the next one.
    if (m_log.append(attempt.toJson())) {
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

void Station::onDeviceLost(int n)
{
    // During a load the transfer tells its own story; otherwise (programming a target, or
    // waiting for a programmer's verdict) the pane would keep its last progress text forever.
    if (!m_transfer->isRunning() && m_programmers.inUse(n))
        m_programmers.update(n, [](link::ProgrammerState &s) { s.status = link::Status::Lost; });
    m_programmers.endStep(n, link::Ending::Lost);
}

void Station::onWatchdogFired()
{
    qCDebug(lcApp) << "watchdog fired";
    releaseFiles();
    setPrompt(texts::kPromptError);
    m_faultTimedOut = true;
    m_watchdog->disarm();
}

} // namespace vell::app
