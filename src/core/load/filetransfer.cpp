#include "filetransfer.h"

#include "logging.h"
#include "texts.h"

#include "link/links.h"
#include "link/seriallink.h"
#include "model/operatorinterface.h"
#include "model/programmertraits.h"
#include "model/texts.h"

#include <QDir>
#include <QFileInfo>
#include <QVarLengthArray>

#include <algorithm>

#include <utility>

namespace vell::load {

using model::ProgrammerNumber;
using model::ProgrammerSet;

FileTransfer::FileTransfer(model::Programmers &programmers, link::Links &links, model::Operator &op,
                           Hooks hooks, const model::Timings &timings, QObject *parent)
    : QObject(parent), m_states(programmers), m_links(links), m_operator(op),
      m_hooks(std::move(hooks)), m_stallMs(timings.stallMs)
{
    m_handshakeTimer.setSingleShot(true);
    m_handshakeTimer.setInterval(timings.handshakeMs);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &FileTransfer::onHandshakeTick);

    // The next block is built on a fresh turn of the event loop, so replies and timers run
    // between blocks.
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setInterval(0);
    connect(&m_pumpTimer, &QTimer::timeout, this, &FileTransfer::pump);

    for (const ProgrammerNumber n : ProgrammerSet::all()) {
        QTimer &stall = m_stall[n];
        stall.setSingleShot(true);
        connect(&stall, &QTimer::timeout, this, [this, n] { onStall(n); });
        connect(m_links.link(n), &link::SerialLink::bytesWritten, this,
                [this, n](qint64) { onBytesWritten(n); });
    }
}

FileTransfer::~FileTransfer() = default;

void FileTransfer::setState(State next)
{
    if (next == m_state)
        return;
    const bool wasRunning = isRunning();
    qCDebug(lcLoad) << "load state" << m_state << "->" << next;
    m_state = next;
    if (wasRunning != isRunning())
        Q_EMIT runningChanged(isRunning());
}

void FileTransfer::finish(Outcome outcome)
{
    qCDebug(lcLoad) << "load ends:" << outcome;
    m_handshakeTimer.stop();
    m_pumpTimer.stop();
    for (QTimer &stall : m_stall)
        stall.stop();
    m_inStream = {};
    // The file stays open after a good stream until "ALPOK" releases it; a failed one lets go.
    if (outcome != Outcome::Loaded)
        m_file.release();
    // After a good stream the programmers' verdicts end the steps.
    for (const ProgrammerNumber n : m_programmers) {
        switch (outcome) {
        case Outcome::Loaded:
            break;
        case Outcome::TimedOut:
            Q_EMIT ended(n, model::Ending::TimedOut);
            break;
        case Outcome::ProgrammerLost:
            Q_EMIT ended(n, model::traitsOf(n).lossAtDrainEndsLoad ? model::Ending::Lost
                                                                   : model::Ending::NotStarted);
            break;
        case Outcome::AllLinksLost:
            Q_EMIT ended(n, model::Ending::Lost);
            break;
        case Outcome::StreamFailed:
            Q_EMIT ended(n, model::Ending::StreamFailed);
            break;
        }
    }
    setState(State::Idle);
    Q_EMIT finished(outcome);
}

bool FileTransfer::begin(const QString &path, ProgrammerSet programmers)
{
    Q_ASSERT(!isRunning());
    m_droppedOut = {};
    m_inStream = {};
    m_path = path;
    m_folder = QFileInfo(path).path();
    if (m_file.open(m_path, m_states.approvedImage()) != ProgramFile::Refusal::None) {
        m_operator.message(m_file.refusalText(), model::texts::kVellProgrammer);
        return false;
    }
    m_announcedLength = m_file.length();
    m_programmers = programmers;
    setState(State::Opening);
    return true;
}

void FileTransfer::linksOpened(ProgrammerSet opened)
{
    if (m_state != State::Opening)
        return;
    m_droppedOut = m_droppedOut | (m_programmers - opened);
    m_links.setSizeFields(m_file.sizeFields());
    if (!drainLinks()) {
        setState(State::AwaitingOk);
        m_operator.message(texts::kCommunicationLostPrompt, model::texts::kVellProgrammer, [this] {
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
    for (const ProgrammerNumber n : m_programmers) {
        link::SerialLink *l = m_links.link(n);
        if (l->isOpen()) {
            l->readAll(); // what came before the frame answers no part of this load
        } else if (model::traitsOf(n).lossAtDrainEndsLoad && m_links.everOpened(n)) {
            // The device went away and did not come back with the open attempt. Only a lost
            // device or a failed stream closes a link that was open.
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
    Q_EMIT frameSent(m_links.sendFrame(link::CommandFrame::kLoad, params, takingPart()));
    // Arming an armed watchdog does not restart its count.
    Q_EMIT watchdogArmRequested();
    m_handshakeTimer.start();
}

void FileTransfer::onHandshakeTick()
{
    if (m_state != State::Handshake)
        return;
    for (const ProgrammerNumber n : takingPart()) {
        if (!m_states.state(n).ready) {
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
    m_inStream = takingPart();
    for (const ProgrammerNumber n : m_inStream)
        m_lastTaken[n].start();
    if (m_hooks.blackBox && m_hooks.blackBox())
        m_config.read(m_folder);
    m_file.setTrailerSource(&m_config, m_hooks.blackBox);
    setState(State::Streaming);
    pump();
}

void FileTransfer::schedulePump()
{
    if (!m_pumpTimer.isActive())
        m_pumpTimer.start();
}

bool FileTransfer::linksReady() const
{
    // Streaming: every link in the stream has taken half of what waited. Flushing: all of it.
    const qint64 below = m_state == State::Flushing ? 0 : kRefillBelow;
    for (const ProgrammerNumber n : m_inStream) {
        if (m_links.link(n)->bytesToWrite() > below)
            return false;
    }
    return true;
}

void FileTransfer::pump()
{
    if (m_state != State::Streaming && m_state != State::Flushing)
        return;
    // Otherwise bytesWritten of the link that is behind brings us back.
    if (!linksReady())
        return;
    if (m_state == State::Flushing) {
        finish(Outcome::Loaded);
        return;
    }
    // The blocks every link in the stream has room for are read into one batch, which each link
    // takes in one write: a link is topped up a few kilobytes at a time, not a block per write.
    qint64 mostWaiting = 0;
    for (const ProgrammerNumber n : m_inStream)
        mostWaiting = std::max(mostWaiting, m_links.link(n)->bytesToWrite());
    const qint64 fit = (kMaxPendingPerLink - mostWaiting) / kBlockSize;
    const qint64 whole = (m_file.length() - m_file.position()) / kBlockFileBytes;
    QByteArray batch(int(std::min(fit, whole) * kBlockSize), Qt::Uninitialized);
    Percents percents;
    for (qint64 at = 0; at < batch.size(); at += kBlockSize) {
        char *block = batch.data() + at;
        if (!m_file.readBytes(block, kBlockFileBytes)) {
            // The whole blocks before the failing one still go out, as they were read.
            batch.truncate(int(at));
            sendBatch(batch, percents);
            // The position stays at the byte that failed: a trailer byte names its line.
            const qint64 trailerAt =
                m_file.position() - (m_file.length() - ProgramFile::kTrailerLength);
            const bool trailer = m_hooks.blackBox && m_hooks.blackBox() && trailerAt >= 0;
            if (m_state == State::Streaming)
                failStream(trailer ? QString(texts::configLineNotAByte(int(trailerAt) + 3) + u'\n' +
                                             QDir::toNativeSeparators(
                                                 QDir(m_folder).filePath(ConfigFile::fileName())))
                                   : QString(texts::kProgramFileUnreadable + u'\n' +
                                             QDir::toNativeSeparators(m_path)));
            return;
        }
        block[kBlockFileBytes] = '\0';
        percents.append(int(m_file.position() * 100 / m_file.length()));
    }
    sendBatch(batch, percents);
    // The bytes after the last whole block are not sent; until then bytesWritten brings us back.
    if (m_state == State::Streaming && m_file.length() - m_file.position() < kBlockFileBytes) {
        setState(State::Flushing);
        pump();
    }
}

void FileTransfer::sendBatch(const QByteArray &batch, const Percents &percents)
{
    if (batch.isEmpty())
        return;
    for (const ProgrammerNumber n : m_inStream) {
        link::SerialLink *l = m_links.link(n);
        // Bytes start to wait now on a link that had taken all: the stall counts from here.
        if (l->bytesToWrite() == 0)
            m_lastTaken[n].start();
        if (!l->write(batch)) {
            dropOut(n, "write refused");
            continue;
        }
        QTimer &stall = m_stall[n];
        if (!stall.isActive())
            stall.start(m_stallMs);
    }
    if (m_state != State::Streaming)
        return; // the last link dropped out and ended the load
    // The percentage after each block, as the panes showed it when blocks went out one by one.
    for (const int percent : percents)
        showProgress(percent);
}

void FileTransfer::showProgress(int percent)
{
    for (const ProgrammerNumber n : m_inStream) {
        // Most blocks move no percentage: nothing to change, nothing to tell.
        const model::ProgrammerState &shown = m_states.state(n);
        if (shown.status == model::Status::Transferring && shown.percent == percent &&
            shown.barValue == percent)
            continue;
        m_states.update(n, [percent](model::ProgrammerState &s) {
            s.barValue = percent;
            s.status = model::Status::Transferring;
            s.percent = percent;
            s.code = 0;
        });
    }
}

void FileTransfer::dropOut(ProgrammerNumber n, const char *why)
{
    if (!m_inStream.contains(n))
        return;
    qCDebug(lcLoad) << "programmer" << n.value() << "drops out of the stream:" << why;
    m_inStream.remove(n);
    m_droppedOut.insert(n);
    m_stall[n].stop();
    // What still waits for that link is dropped first, so the close cannot wait on a device
    // that stopped reading; the next command opens the link afresh.
    link::SerialLink *l = m_links.link(n);
    if (l->isOpen()) {
        l->discardOutput();
        l->close();
    }
    m_states.setStatus(n, model::Status::Lost);
    Q_EMIT ended(n, model::Ending::Lost);
    if (m_inStream.isEmpty() && (m_state == State::Streaming || m_state == State::Flushing)) {
        finish(Outcome::AllLinksLost);
        return;
    }
    // The link that was full may have been the one holding the others back.
    schedulePump();
}

void FileTransfer::onBytesWritten(ProgrammerNumber n)
{
    if (!m_inStream.contains(n))
        return;
    // The stall counts from the last bytes taken. Its timer is not restarted for each write
    // the link takes (thousands a second); when it fires, it looks at this time instead.
    m_lastTaken[n].start();
    // Most writes taken leave another link behind: the pump would find nothing to do. The link
    // that was behind tops everyone up from its own turn of the loop, so the blocks reach the
    // drivers on the next one, not one turn later again.
    if (linksReady())
        pump();
}

void FileTransfer::onStall(ProgrammerNumber n)
{
    if (!m_inStream.contains(n) || m_links.link(n)->bytesToWrite() == 0)
        return;
    const qint64 waited = m_lastTaken[n].elapsed();
    if (waited < m_stallMs)
        m_stall[n].start(int(m_stallMs - waited)); // the link took bytes since the timer started
    else
        dropOut(n, "no byte taken");
}

void FileTransfer::onDeviceLost(ProgrammerNumber n)
{
    if (m_inStream.contains(n))
        dropOut(n, "device lost");
    else if (m_state == State::Handshake && takingPart().contains(n))
        dropOutOfHandshake(n);
}

void FileTransfer::dropOutOfHandshake(ProgrammerNumber n)
{
    // A programmer gone before it was ready would hold every other one until the watchdog:
    // it leaves this load, and the others stream when they are ready.
    qCDebug(lcLoad) << "programmer" << n.value() << "drops out of the handshake: device lost";
    m_droppedOut.insert(n);
    m_states.setStatus(n, model::Status::Lost);
    Q_EMIT ended(n, model::Ending::Lost);
    if (!takingPart().isEmpty())
        return;
    Q_EMIT watchdogDisarmRequested();
    finish(Outcome::AllLinksLost);
}

void FileTransfer::failStream(const QString &reason)
{
    // The load ends first, so the operator's message never runs inside a half-done step.
    finish(Outcome::StreamFailed);
    m_operator.message(reason, model::texts::kVellProgrammer);
}

} // namespace vell::load
