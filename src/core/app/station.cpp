#include "station.h"

#include "attempttracker.h"
#include "logging.h"
#include "texts.h"
#include "watchdog.h"

#include "link/programmertraits.h"
#include "link/replyhandler.h"
#include "app/programtarget.h"

#include "load/filetransfer.h"
#include "load/texts.h"

#include <QFileInfo>

namespace vell::app {

Station::Station(const link::PortNames &names, link::Operator &op, link::LinkFactory factory,
             StationTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_names(names),
      m_links(std::make_unique<link::Links>(m_slots, m_panes, m_names, op, std::move(factory))),
      m_watchdog(std::make_unique<Watchdog>(timings.watchdogMs)),
      m_prompt(texts::kPromptDoubleClick)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        auto handler = std::make_unique<link::ReplyHandler>(n, m_slots, m_panes, *this);
        handler->attach(m_links->link(n));
        connect(handler.get(), &link::ReplyHandler::replyHandled, this, &Station::replyHandled);
        m_replyHandlers[static_cast<size_t>(n - 1)] = std::move(handler);
    }
    connect(m_watchdog.get(), &Watchdog::fired, this, &Station::onWatchdogFired);
    connect(m_links.get(), &link::Links::deviceLost, this, &Station::onDeviceLost);

    load::FileTransfer::Hooks loadHooks;
    loadHooks.blackBox = [this] { return m_blackBox; };
    loadHooks.restoreDefaults = [this] { return m_restoreDefaults; };
    loadHooks.discardPendingReplies = [this](int n) {
        m_replyHandlers[static_cast<size_t>(n - 1)]->discardPending();
    };
    m_transfer = std::make_unique<load::FileTransfer>(
        m_slots, m_panes, *m_links, op, std::move(loadHooks),
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
    connect(m_transfer.get(), &load::FileTransfer::streamStarted, this,
            [this] { setLastLoadedFileName(QFileInfo(m_transfer->path()).fileName()); });
    connect(m_transfer.get(), &load::FileTransfer::runningChanged, this, &Station::busyChanged);
    m_target = std::make_unique<ProgramTarget>(m_slots, *m_links);

    // Last, so that the pane shows what each step ended with before its attempt is recorded.
    m_attempts = std::make_unique<AttemptTracker>(m_slots, m_panes, m_names);
    AttemptTracker *attempts = m_attempts.get();
    connect(m_transfer.get(), &load::FileTransfer::stateChanged, attempts,
            [this](load::FileTransfer::State state) {
                if (state == load::FileTransfer::State::Opening)
                    m_attempts->beginLoad(m_transfer->path(), m_restoreDefaults, m_blackBox);
            });
    connect(m_transfer.get(), &load::FileTransfer::droppedOutOfStream, attempts,
            &AttemptTracker::onLost);
    connect(m_transfer.get(), &load::FileTransfer::finished, attempts,
            &AttemptTracker::onLoadFinished);
    connect(m_links.get(), &link::Links::deviceLost, attempts, &AttemptTracker::onLost);
    connect(this, &Station::replyHandled, attempts, &AttemptTracker::onReply);
    connect(m_target.get(), &ProgramTarget::frameSent, attempts,
            &AttemptTracker::beginProgramTarget);
}

Station::~Station() = default;

void Station::showFoundProgrammers()
{
    m_panes.setStatus(1, texts::programmerFound(1, m_slots.slot(1).comPort));
    m_panes.setVisible(1, true);
    for (int n = 2; n <= link::kProgrammerCount; ++n) {
        const link::ProgrammerSlot &slot = m_slots.slot(n);
        if (!slot.present)
            continue;
        m_panes.setVisible(n, true);
        m_panes.setStatus(n, texts::programmerFound(n, slot.comPort));
    }
}

bool Station::offersProgramTarget() const
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (link::traitsOf(n).showsProgramTarget && m_slots.slot(n).present)
            return true;
    }
    return false;
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

void Station::clearFault()
{
    m_faultTimedOut = false;
    setPrompt(texts::kPromptDoubleClick);
}

bool Station::busy() const
{
    return m_transfer->isRunning() || m_links->awaitingOk();
}

void Station::loadProgramFile(const QString &fileName)
{
    Q_EMIT loadRequested(fileName);
    qCDebug(lcApp) << "load asked for" << fileName << "in" << m_currentFolder;
    if (busy())
        return;
    // A fault of an earlier load does not outlive it.
    clearFault();
    m_transfer->loadProgramFile(m_currentFolder, fileName);
}

void Station::programTarget()
{
    if (busy())
        return;
    m_target->run();
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

void Station::onDeviceLost(int n)
{
    // During a load the transfer tells its own story; otherwise (programming a target, or
    // waiting for a programmer's verdict) the pane would keep its last progress text forever.
    if (m_transfer->isRunning() || !m_slots.inUse(n))
        return;
    m_panes.setStatus(n, load::texts::kCommunicationLost);
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
