#include "sim/simdevice.h"

#include "logging.h"

#include <cstring>

namespace vell::sim {

namespace {

constexpr char kCarriageReturn = 0x0D;

// Some other serial device's chatter: long enough for the search to read, no reply token.
const QByteArray kOtherText = QByteArrayLiteral("OK\r\nGeneric USB serial at 115200\r\n");

quint8 byteAt(const QByteArray &a, int i)
{
    return static_cast<quint8>(a.at(i));
}

} // namespace

SimDevice::SimDevice(const DeviceOptions &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, &SimDevice::nextTargetStep);
}

QByteArray SimDevice::reply(const char *token, quint8 count, quint8 code, const QByteArray &version)
{
    QByteArray r(kReplySize, '\0');
    std::memcpy(r.data(), token, qMin<size_t>(5, std::strlen(token)));
    r[12] = static_cast<char>(count);
    for (int i = 0; i < 4 && i < version.size(); ++i)
        r[16 + i] = version.at(i);
    r[20] = static_cast<char>(code);
    return r;
}

QByteArray SimDevice::greeting(const DeviceOptions &options)
{
    const QByteArray full = reply("AUSBR", 0, 0, options.version.toLatin1());
    switch (options.kind) {
    case DeviceOptions::Kind::Programmer:
        return full;
    case DeviceOptions::Kind::ShortGreeting:
        return full.left(kReplySize - 1);
    case DeviceOptions::Kind::OtherText:
        return kOtherText;
    case DeviceOptions::Kind::Silent:
        break;
    }
    return {};
}

bool SimDevice::isValidFrame(const QByteArray &frame)
{
    if (frame.size() != kFrameSize || frame.at(0) != 'A' || frame.at(1) != 'P' ||
        frame.at(23) != kCarriageReturn)
        return false;
    quint32 sum = kCarriageReturn;
    for (int i = 0; i <= 20; ++i)
        sum += byteAt(frame, i);
    sum &= 0xFFFF;
    return byteAt(frame, 21) == (sum >> 8) && byteAt(frame, 22) == (sum & 0xFF);
}

bool SimDevice::answers() const
{
    return m_options.kind == DeviceOptions::Kind::Programmer ||
           m_options.kind == DeviceOptions::Kind::ShortGreeting;
}

void SimDevice::setState(State state)
{
    if (state == m_state)
        return;
    qCDebug(lcSim) << "device state" << int(m_state) << "->" << int(state);
    m_state = state;
}

void SimDevice::reset()
{
    m_stepTimer.stop();
    m_targetSteps.clear();
    m_pending.clear();
    m_blocksExpected = 0;
    m_blocksDone = 0;
    setState(State::Idle);
}

void SimDevice::open()
{
    reset();
    ++m_openCount;
    const QByteArray hello = greeting(m_options);
    if (!hello.isEmpty()) {
        if (hello.size() == kReplySize)
            m_sent.append(hello);
        Q_EMIT output(hello);
    }
}

void SimDevice::close()
{
    reset();
}

void SimDevice::receive(const QByteArray &bytes)
{
    m_receivedBytes += bytes.size();
    m_pending.append(bytes);
    // Consumed bytes are dropped once at the end, not block by block (large writes stay linear).
    qsizetype at = 0;
    for (;;) {
        const qsizetype before = at;
        const State state = m_state;
        if (m_state == State::ReceivingBlocks)
            takeBlocks(&at);
        else
            parseFrames(&at);
        // Each pass consumes bytes or waits for more; a frame may switch between the two modes.
        if (at == before && m_state == state)
            break;
    }
    m_pending.remove(0, at);
}

void SimDevice::parseFrames(qsizetype *at)
{
    while (*at < m_pending.size()) {
        const qsizetype left = m_pending.size() - *at;
        if (m_pending.at(*at) != 'A' || (left > 1 && m_pending.at(*at + 1) != 'P')) {
            ++*at; // cannot start a frame: skip it
            continue;
        }
        if (left < kFrameSize)
            return;
        const QByteArray candidate = m_pending.mid(*at, kFrameSize);
        if (!isValidFrame(candidate)) {
            qCDebug(lcSim) << "frame rejected" << candidate.toHex(' ');
            m_rejected.append(candidate);
            ++*at; // resynchronise on the next "AP"
            continue;
        }
        *at += kFrameSize;
        handleFrame(candidate);
        if (m_state == State::ReceivingBlocks)
            return;
    }
}

void SimDevice::takeBlocks(qsizetype *at)
{
    while (m_state == State::ReceivingBlocks) {
        // At a block boundary a whole frame decides between a new command and block data.
        const qsizetype left = m_pending.size() - *at;
        if (left < kFrameSize)
            return;
        const QByteArray head = m_pending.mid(*at, kFrameSize);
        if (isValidFrame(head)) {
            *at += kFrameSize;
            handleFrame(head);
            continue;
        }
        if (left < kBlockSize)
            return;
        m_image.append(m_pending.constData() + *at, kBlockFileBytes);
        m_fillers.append(m_pending.at(*at + kBlockFileBytes));
        *at += kBlockSize;
        if (++m_blocksDone == m_blocksExpected)
            finishLoad();
    }
}

void SimDevice::handleFrame(const QByteArray &frame)
{
    m_frames.append(frame);
    Q_EMIT frameReceived(frame);
    if (!answers())
        return;
    switch (frame.at(2)) {
    case 'L':
        startLoad(frame);
        break;
    case 'T':
        startTarget();
        break;
    default:
        break; // a command this device does not know: recorded, not answered
    }
}

void SimDevice::startLoad(const QByteArray &frame)
{
    m_stepTimer.stop();
    m_targetSteps.clear();
    m_image.clear();
    m_fillers.clear();
    m_announcedLength =
        (quint32(byteAt(frame, 18)) << 16) | (quint32(byteAt(frame, 19)) << 8) | byteAt(frame, 20);
    m_blocksExpected = int(m_announcedLength / kBlockFileBytes);
    m_blocksDone = 0;
    if (m_options.neverReady) {
        setState(State::Idle);
        return;
    }
    if (m_blocksExpected == 0) {
        finishLoad({reply("ASEND")}); // nothing to send: the load is complete at once
        return;
    }
    send({reply("ASEND")});
    setState(State::ReceivingBlocks);
}

void SimDevice::finishLoad(const QList<QByteArray> &before)
{
    setState(State::Idle);
    const int error = m_loadsCompleted++ == 0 && m_options.firstLoadError ? m_options.firstLoadError
                                                                          : m_options.loadError;
    const bool ok = error == 0;
    // Recorded before it is answered: whoever reads the record once the tool has its answer
    // finds the whole load there.
    Q_EMIT loadCompleted(ok);
    send(before + QList<QByteArray>{ok ? reply("ALPOK") : reply("ALPER", 0, quint8(error))});
}

void SimDevice::startTarget()
{
    m_stepTimer.stop();
    m_targetSteps.clear();
    for (int i = 0; i < m_options.programSteps; ++i)
        m_targetSteps.append(reply("APROG", quint8(m_options.programSteps)));
    for (int i = 0; i < m_options.verifySteps; ++i)
        m_targetSteps.append(reply("AVERI", quint8(m_options.verifySteps)));
    m_targetSteps.append(m_options.targetError == 0
                             ? reply("APTOK")
                             : reply("APTER", 0, quint8(m_options.targetError)));
    setState(State::ProgrammingTarget);
    m_stepTimer.start(m_options.stepIntervalMs);
}

void SimDevice::nextTargetStep()
{
    QList<QByteArray> now;
    const int take = m_options.doubleReplies ? 2 : 1;
    while (now.size() < take && !m_targetSteps.isEmpty())
        now.append(m_targetSteps.takeFirst());
    const bool done = m_targetSteps.isEmpty();
    if (done)
        setState(State::Idle);
    send(now);
    if (done)
        Q_EMIT targetCompleted(now.last().startsWith("APTOK"));
    else
        m_stepTimer.start(m_options.stepIntervalMs);
}

void SimDevice::send(const QList<QByteArray> &replies)
{
    m_sent.append(replies);
    if (m_options.doubleReplies) {
        QByteArray glued;
        for (const QByteArray &r : replies)
            glued.append(r);
        Q_EMIT output(glued);
        return;
    }
    for (const QByteArray &r : replies)
        Q_EMIT output(r);
}

} // namespace vell::sim
