#include "filetransfer.h"

#include "logging.h"
#include "texts.h"

#include "link/links.h"
#include "link/operatorinterface.h"
#include "link/programmertraits.h"
#include "link/seriallink.h"
#include "link/texts.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace vell::load {

FileTransfer::FileTransfer(link::Programmers &programmers, link::Links &links, link::Operator &op,
                           Hooks hooks, TransferTimings timings, QObject *parent)
    : QObject(parent), m_programmers(programmers), m_links(links), m_operator(op),
      m_hooks(std::move(hooks)), m_timings(timings), m_block(kBlockSize, '\0')
{
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(m_timings.handshakeMs);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &FileTransfer::onHandshakeTick);

    // The next block is built on a fresh turn of the event loop, so replies and timers run
    // between blocks.
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setInterval(0);
    connect(&m_pumpTimer, &QTimer::timeout, this, &FileTransfer::pump);

    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        QTimer &stall = record(n).stall;
        stall.setSingleShot(true);
        stall.setInterval(m_timings.stallMs);
        connect(&stall, &QTimer::timeout, this, [this, n] { onStall(n); });
        connect(m_links.link(n), &link::SerialLink::bytesWritten, this,
                [this, n](qint64) { onBytesWritten(n); });
    }
    connect(&m_links, &link::Links::deviceLost, this, &FileTransfer::onDeviceLost);
}

FileTransfer::~FileTransfer() = default;

void FileTransfer::setState(State next)
{
    if (next == m_state)
        return;
    const bool wasRunning = isRunning();
    qCDebug(lcLoad) << "load state" << m_state << "->" << next;
    m_state = next;
    Q_EMIT stateChanged(next);
    if (wasRunning != isRunning())
        Q_EMIT runningChanged(isRunning());
}

void FileTransfer::finish(Outcome outcome)
{
    qCDebug(lcLoad) << "load ends:" << outcome;
    m_handshakeTimer.stop();
    m_pumpTimer.stop();
    for (LinkRecord &r : m_records) {
        r.stall.stop();
        r.inStream = false;
    }
    // The file stays open after a good stream until "ALPOK" releases it; a failed one lets go.
    if (outcome != Outcome::Loaded)
        m_file.release();
    // After a good stream the programmers' verdicts end the steps. A programmer outside the
    // load may be programming its board meanwhile: its step is not this load's to end.
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!addressed(n))
            continue;
        switch (outcome) {
        case Outcome::Loaded:
        case Outcome::Refused:
            break;
        case Outcome::TimedOut:
            m_programmers.endStep(n, link::Ending::TimedOut);
            break;
        case Outcome::ProgrammerLost:
            m_programmers.endStep(n, link::traitsOf(n).lossAtDrainEndsLoad
                                         ? link::Ending::Lost
                                         : link::Ending::NotStarted);
            break;
        case Outcome::AllLinksLost:
            m_programmers.endStep(n, link::Ending::Lost);
            break;
        case Outcome::StreamFailed:
            m_programmers.endStep(n, link::Ending::StreamFailed);
            break;
        }
    }
    setState(State::Idle);
    Q_EMIT finished(outcome);
}

void FileTransfer::loadProgramFile(const QString &path)
{
    start(path, m_programmers.targets(), false);
}

void FileTransfer::loadProgramFileInto(const QString &path, const link::ProgrammerSet &programmers)
{
    start(path, m_programmers.targets(programmers), true);
}

void FileTransfer::start(const QString &path, const link::ProgrammerSet &addressed, bool again)
{
    if (isRunning()) {
        qCDebug(lcLoad) << "load ignored: one is running";
        return;
    }
    m_file.release();
    for (LinkRecord &r : m_records) {
        r.droppedOut = false;
        r.inStream = false;
    }
    m_path = path;
    m_folder = QFileInfo(path).path();

    // A file that cannot be sent, or is not the approved image, is refused before any link or
    // pane is touched. The file stays open from here: the stream sends the bytes its identity
    // was taken from.
    QString reason;
    if (m_file.open(m_path, &reason, m_programmers.approvedImage()) != ProgramFile::Refusal::None) {
        m_operator.message(reason, link::texts::kVellProgrammer);
        Q_EMIT finished(Outcome::Refused);
        return;
    }
    m_announcedLength = m_file.length();
    m_addressed = addressed;

    setState(State::Opening);
    // The command of every programmer forgets all four's replies; a repeat only those it names.
    if (again)
        m_programmers.clearReplyFlags(addressed);
    else
        m_programmers.clearReplyFlags();
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (again && !this->addressed(n))
            continue;
        m_programmers.update(n, [](link::ProgrammerState &s) { s.barMaximum = 100; });
        if (!this->addressed(n))
            continue;
        link::StepRecord step;
        step.step = link::Step::Load;
        step.image = m_file.identity();
        step.restoreDefaults = m_hooks.restoreDefaults && m_hooks.restoreDefaults();
        step.blackBox = m_hooks.blackBox && m_hooks.blackBox();
        m_programmers.beginStep(n, std::move(step), again);
    }
    Q_EMIT lastFileLoadedFolderChanged(m_folder);

    m_links.openLinks(m_addressed, link::Links::Command::Load, [this] { onLinksOpened(); });
}

void FileTransfer::onLinksOpened()
{
    // The watchdog may have ended the load while the operator read a message.
    if (m_state != State::Opening)
        return;
    m_links.setSizeFields(m_file.sizeFields());
    if (!drainLinks()) {
        setState(State::AwaitingOk);
        m_operator.message(texts::kCommunicationLostPrompt, link::texts::kVellProgrammer, [this] {
            if (m_state == State::AwaitingOk)
                finish(Outcome::ProgrammerLost);
        });
        return;
    }
    setState(State::Handshake);
    sendLoadFrame();
}

bool FileTransfer::drainLinks()
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!addressed(n))
            continue;
        link::SerialLink *l = m_links.link(n);
        LinkRecord &r = record(n);
        if (l->isOpen()) {
            r.lost = false;
            r.wasOpen = true;
            l->readAll(); // what came before the frame answers no part of this load
        } else if (link::traitsOf(n).lossAtDrainEndsLoad && (r.lost || r.wasOpen)) {
            // The device went away and did not come back with the open attempt. Only a lost
            // device or a failed stream closes a link that was open (the loss report may still
            // be queued).
            return false;
        }
        if (m_hooks.discardPendingReplies)
            m_hooks.discardPendingReplies(n);
    }
    return true;
}

void FileTransfer::sendLoadFrame()
{
    link::CommandFrame::Params params{};
    params[0] = m_hooks.restoreDefaults && m_hooks.restoreDefaults() ? 0x01 : 0x00;
    std::array<bool, link::kProgrammerCount> targets{};
    for (int n = 1; n <= link::kProgrammerCount; ++n)
        targets[size_t(n - 1)] = takesPart(n);
    m_links.sendFrame(link::CommandFrame::kLoad, params, targets);
    // Arming an armed watchdog does not restart its count.
    Q_EMIT watchdogArmRequested();
    m_handshakeTimer.start();
}

void FileTransfer::onHandshakeTick()
{
    if (m_state != State::Handshake)
        return;
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (takesPart(n) && !m_programmers.state(n).ready) {
            sendLoadFrame();
            return;
        }
    }
    Q_EMIT watchdogDisarmRequested();
    startStream();
}

void FileTransfer::onWatchdogFired()
{
    if (m_state == State::Handshake || m_state == State::Opening)
        finish(Outcome::TimedOut);
}

void FileTransfer::releaseProgramFile()
{
    m_file.release();
    // A stream that still needs the file ends here; pump() only ever runs between blocks.
    if (m_state == State::Streaming)
        finish(Outcome::StreamFailed);
}

void FileTransfer::startStream()
{
    // The frame announced the length measured at the start; a file changed since then is not
    // the file the programmers expect. A file shorter than a block sends no byte, and its
    // programmers may have answered and released it already.
    const QFileInfo now(m_path);
    if (m_announcedLength >= kBlockFileBytes &&
        (!m_file.openStream() || m_file.length() != m_announcedLength || !now.exists() ||
         now.size() != m_announcedLength)) {
        qCDebug(lcLoad) << "stream not opened or file changed since the frame";
        const QString &why = !now.exists()                     ? texts::kProgramFileNotFound
                             : now.size() != m_announcedLength ? texts::kProgramFileChanged
                                                               : texts::kProgramFileUnreadable;
        failStream(why + u'\n' + QDir::toNativeSeparators(m_path));
        return;
    }
    for (int n = 1; n <= link::kProgrammerCount; ++n)
        record(n).inStream = takesPart(n);
    if (m_hooks.blackBox && m_hooks.blackBox())
        m_config.read(m_folder);
    m_file.setTrailerSource(&m_config, m_hooks.blackBox);
    setState(State::Streaming);
    Q_EMIT streamStarted();
    pump();
}

bool FileTransfer::takesPart(int n) const
{
    return addressed(n) && !m_records.at(size_t(n - 1)).droppedOut;
}

bool FileTransfer::anyInStream() const
{
    for (const LinkRecord &r : m_records) {
        if (r.inStream)
            return true;
    }
    return false;
}

void FileTransfer::schedulePump()
{
    if (!m_pumpTimer.isActive())
        m_pumpTimer.start();
}

void FileTransfer::pump()
{
    if (m_state == State::Flushing) {
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            if (inStream(n) && m_links.link(n)->bytesToWrite() > 0)
                return;
        }
        finish(Outcome::Loaded);
        return;
    }
    if (m_state != State::Streaming)
        return;
    // Blocks go out while every link in the stream has room for one more; otherwise
    // bytesWritten of the link that is full brings us back.
    for (;;) {
        if (m_file.length() - m_file.position() < kBlockFileBytes) {
            // The bytes after the last whole block are not sent.
            setState(State::Flushing);
            pump();
            return;
        }
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            if (inStream(n) && m_links.link(n)->bytesToWrite() + kBlockSize > kMaxPendingPerLink)
                return;
        }
        if (!m_file.readBytes(m_block.data(), kBlockFileBytes)) {
            // The position stays at the byte that failed: a trailer byte names its line.
            const qint64 trailerAt =
                m_file.position() - (m_file.length() - ProgramFile::kTrailerLength);
            const bool trailer = m_hooks.blackBox && m_hooks.blackBox() && trailerAt >= 0;
            failStream(trailer ? QString(texts::configLineNotAByte(int(trailerAt) + 3) + u'\n' +
                                         QDir::toNativeSeparators(
                                             QDir(m_folder).filePath(ConfigFile::fileName())))
                               : QString(texts::kProgramFileUnreadable + u'\n' +
                                         QDir::toNativeSeparators(m_path)));
            return;
        }
        writeBlock();
        if (m_state != State::Streaming)
            return;
    }
}

void FileTransfer::writeBlock()
{
    m_block[kBlockFileBytes] = '\0';
    const int percent = int(m_file.position() * 100 / m_file.length());
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!inStream(n))
            continue;
        link::SerialLink *l = m_links.link(n);
        if (!l->write(m_block)) {
            dropOut(n, "write refused");
            continue;
        }
        QTimer &stall = record(n).stall;
        if (!stall.isActive())
            stall.start();
    }
    if (m_state != State::Streaming)
        return; // the last link dropped out and ended the load
    showProgress(percent);
}

void FileTransfer::showProgress(int percent)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!inStream(n))
            continue;
        m_programmers.update(n, [percent](link::ProgrammerState &s) {
            s.barValue = percent;
            s.status = link::Status::Transferring;
            s.percent = percent;
        });
    }
}

void FileTransfer::dropOut(int n, const char *why)
{
    if (!inStream(n))
        return;
    qCDebug(lcLoad) << "programmer" << n << "drops out of the stream:" << why;
    LinkRecord &r = record(n);
    r.inStream = false;
    r.droppedOut = true;
    r.stall.stop();
    // What still waits for that link is dropped first, so the close cannot wait on a device
    // that stopped reading; the next command opens the link afresh.
    link::SerialLink *l = m_links.link(n);
    if (l->isOpen()) {
        l->discardOutput();
        l->close();
    }
    m_programmers.update(n, [](link::ProgrammerState &s) { s.status = link::Status::Lost; });
    m_programmers.endStep(n, link::Ending::Lost);
    if (!anyInStream() && (m_state == State::Streaming || m_state == State::Flushing)) {
        finish(Outcome::AllLinksLost);
        return;
    }
    // The link that was full may have been the one holding the others back.
    schedulePump();
}

void FileTransfer::onBytesWritten(int n)
{
    if (!inStream(n))
        return;
    QTimer &stall = record(n).stall;
    if (m_links.link(n)->bytesToWrite() > 0)
        stall.start(); // restarts the count: the link is taking bytes
    else
        stall.stop();
    schedulePump();
}

void FileTransfer::onStall(int n)
{
    if (inStream(n) && m_links.link(n)->bytesToWrite() > 0)
        dropOut(n, "no byte taken");
}

void FileTransfer::onDeviceLost(int n)
{
    record(n).lost = true;
    if (inStream(n))
        dropOut(n, "device lost");
    else if (m_state == State::Handshake && takesPart(n))
        dropOutOfHandshake(n);
}

void FileTransfer::dropOutOfHandshake(int n)
{
    // A programmer gone before it was ready would hold every other one until the watchdog:
    // it leaves this load, and the others stream when they are ready.
    qCDebug(lcLoad) << "programmer" << n << "drops out of the handshake: device lost";
    record(n).droppedOut = true;
    m_programmers.update(n, [](link::ProgrammerState &s) { s.status = link::Status::Lost; });
    m_programmers.endStep(n, link::Ending::Lost);
    for (int k = 1; k <= link::kProgrammerCount; ++k) {
        if (takesPart(k))
            return;
    }
    Q_EMIT watchdogDisarmRequested();
    finish(Outcome::AllLinksLost);
}

void FileTransfer::failStream(const QString &reason)
{
    // The load ends first, so the operator's message never runs inside a half-done step.
    finish(Outcome::StreamFailed);
    m_operator.message(reason, link::texts::kVellProgrammer);
}

} // namespace vell::load
