#include "bench.h"

#include "logging.h"
#include "texts.h"
#include "watchdog.h"

#include "link/replyhandler.h"
#include "target/programtarget.h"

// The load subsystem wires its FileTransfer in here; until its header exists Bench holds none.
#if __has_include("load/filetransfer.h")
#include "load/filetransfer.h"
#else
namespace vell::load {
class FileTransfer
{
};
} // namespace vell::load
#endif

namespace vell::app {

Bench::Bench(const link::PortNames &names, link::Operator &op, link::LinkFactory factory,
             BenchTimings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_names(names),
      m_links(std::make_unique<link::Links>(m_slots, m_panes, m_names, op, std::move(factory))),
      m_watchdog(std::make_unique<Watchdog>(timings.watchdogMs)),
      m_prompt(texts::kPromptDoubleClick)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        auto handler = std::make_unique<link::ReplyHandler>(n, m_slots, m_panes, *this);
        handler->attach(m_links->link(n));
        m_replyHandlers[static_cast<size_t>(n - 1)] = std::move(handler);
    }
    connect(m_watchdog.get(), &Watchdog::fired, this, &Bench::onWatchdogFired);

    // The commands: FileTransfer (load/) and ProgramTarget (target/) are constructed here.
}

Bench::~Bench() = default;

void Bench::showFoundProgrammers()
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

void Bench::setPrompt(const QString &text)
{
    if (m_prompt == text)
        return;
    m_prompt = text;
    Q_EMIT promptChanged(text);
}

void Bench::setLastFileLoadedFolder(const QString &folder)
{
    if (m_lastFolder == folder)
        return;
    m_lastFolder = folder;
    Q_EMIT lastFileLoadedFolderChanged(folder);
}

void Bench::clearFault()
{
    m_faultTimedOut = false;
    setPrompt(texts::kPromptDoubleClick);
}

bool Bench::busy() const
{
    return false;
}

void Bench::loadProgramFile(const QString &fileName)
{
    Q_EMIT loadRequested(fileName);
    qCDebug(lcApp) << "load asked for" << fileName << "in" << m_currentFolder;
}

void Bench::programTarget()
{
    if (busy())
        return;
}

void Bench::releaseProgramFile()
{
}

void Bench::releaseFiles()
{
    releaseProgramFile();
    m_links->closePortFiles();
}

void Bench::onWatchdogFired()
{
    qCDebug(lcApp) << "watchdog fired";
    releaseFiles();
    setPrompt(texts::kPromptError);
    m_faultTimedOut = true;
    m_watchdog->disarm();
}

} // namespace vell::app
