#pragma once

#include "sim/deviceoptions.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

namespace vell::sim {

/// One programmer's behaviour with no I/O: bytes from the app go in through receive(), every
/// write to the app comes out through output(). Progress replies are paced by a timer.
///
/// Command frames are recognised by "AP", the closing carriage return and the checksum; a
/// 24-byte candidate failing either test is ignored (the app repeats its load frame), and bytes
/// that cannot start a frame are skipped. A valid load frame is answered "ASEND" (unless never
/// ready); the device then takes floor(length / 512) blocks of 513 bytes and answers "ALPOK"
/// or "ALPER". A valid frame at a block boundary is a new command, not block data: the app
/// repeats the load frame until every programmer is ready.
class SimDevice : public QObject
{
    Q_OBJECT
public:
    static constexpr int kFrameSize = 24;
    static constexpr int kReplySize = 24;
    static constexpr int kBlockFileBytes = 512;
    static constexpr int kBlockSize = kBlockFileBytes + 1;

    enum class State
    {
        Idle,              ///< waiting for a command frame
        ReceivingBlocks,   ///< a load was accepted; blocks are coming
        ProgrammingTarget, ///< sending the paced progress of target programming
    };

    explicit SimDevice(const DeviceOptions &options = {}, QObject *parent = nullptr);

    [[nodiscard]] const DeviceOptions &options() const { return m_options; }
    [[nodiscard]] State state() const { return m_state; }

    /// The app opened the port: forget any half-received frame or load, and greet.
    void open();
    /// The app closed the port: stop sending and forget any half-received frame or load.
    void close();
    /// Bytes from the app, in order.
    void receive(const QByteArray &bytes);

    /// How many bytes the app sent in all.
    [[nodiscard]] qint64 receivedBytes() const { return m_receivedBytes; }
    /// Every command frame accepted, in order of arrival (repeats included).
    [[nodiscard]] QList<QByteArray> frames() const { return m_frames; }
    /// 24-byte candidates that began with "AP" but failed the checksum or terminator test.
    [[nodiscard]] QList<QByteArray> rejectedFrames() const { return m_rejected; }
    /// The file bytes of the blocks of the last load, fillers removed.
    [[nodiscard]] QByteArray image() const { return m_image; }
    /// The 513th byte of each block of the last load.
    [[nodiscard]] QByteArray fillers() const { return m_fillers; }
    /// The file length announced by the last accepted load frame.
    [[nodiscard]] quint32 announcedLength() const { return m_announcedLength; }
    /// Every reply sent, 24 bytes each, in order.
    [[nodiscard]] QList<QByteArray> sentReplies() const { return m_sent; }
    [[nodiscard]] int openCount() const { return m_openCount; }

    /// A 24-byte reply: token at 0..4, count byte at 12, version at 16..19, error code at 20,
    /// every other byte 0x00.
    [[nodiscard]] static QByteArray reply(const char *token, quint8 count = 0, quint8 code = 0,
                                          const QByteArray &version = {});
    /// What the device says when the port is opened (empty when silent).
    [[nodiscard]] static QByteArray greeting(const DeviceOptions &options);
    /// True for 24 bytes that form a command frame: "AP", letter, checksum and carriage return.
    [[nodiscard]] static bool isValidFrame(const QByteArray &frame);

Q_SIGNALS:
    /// One write to the app.
    void output(const QByteArray &bytes);
    /// A command frame was accepted (see frames()).
    void frameReceived(const QByteArray &frame);
    /// The last block of a load is in and "ALPOK" (ok) or "ALPER" was sent.
    void loadCompleted(bool ok);
    /// "APTOK" (ok) or "APTER" was sent.
    void targetCompleted(bool ok);

private:
    void setState(State state);
    void reset();
    void parseFrames(qsizetype *at);
    void takeBlocks(qsizetype *at);
    void handleFrame(const QByteArray &frame);
    void startLoad(const QByteArray &frame);
    void finishLoad(const QList<QByteArray> &before = {});
    void startTarget();
    void nextTargetStep();
    void send(const QList<QByteArray> &replies);
    [[nodiscard]] bool answers() const;

    DeviceOptions m_options;
    State m_state = State::Idle;
    QByteArray m_pending; // received, not yet consumed
    qint64 m_receivedBytes = 0;
    QList<QByteArray> m_frames;
    QList<QByteArray> m_rejected;
    QByteArray m_image;
    QByteArray m_fillers;
    quint32 m_announcedLength = 0;
    int m_blocksExpected = 0;
    int m_blocksDone = 0;
    int m_loadsCompleted = 0; ///< loads answered since the device was made
    QList<QByteArray> m_sent;
    QList<QByteArray> m_targetSteps; // replies still to send for target programming
    QTimer m_stepTimer;
    int m_openCount = 0;
};

} // namespace vell::sim
