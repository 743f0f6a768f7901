#pragma once

#include "configfile.h"
#include "programfile.h"

#include "model/programmers.h"
#include "model/timings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVarLengthArray>

#include <functional>

namespace vell::link {
class Links;
}
namespace vell::model {
class Operator;
}

namespace vell::load {

/// One load of a program file into some programmers: announces the file with the load frame
/// once per handshake period until every one of them answered "ASEND", then streams it in
/// 513-byte blocks (512 file bytes and a 0x00) to all of them at once. Runs as a state machine
/// on timers and port signals, never a nested event loop. At most 8192 bytes wait per link;
/// once every link has taken half of what waited, the blocks that fit go out together, one
/// write per link, so the progress shown follows what left the PC and memory stays flat for
/// any file size. A link that fails during the stream
/// drops out and the others go on. The load ends the steps it can judge itself (drop-outs,
/// the watchdog, a stream that cannot go on) through ended(); the programmers' verdicts end
/// the others.
class FileTransfer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBlockFileBytes = 512;
    static constexpr int kBlockSize = kBlockFileBytes + 1; // the filler 0x00
    static constexpr qint64 kMaxPendingPerLink = 8192;
    /// Blocks go out again once every link has taken this much of what waited: a link is
    /// topped up a few kilobytes at a time, not a block per write.
    static constexpr qint64 kRefillBelow = kMaxPendingPerLink / 2;

    enum class State
    {
        Idle,
        Opening,    ///< links being opened (the operator may be answering an invalid port)
        AwaitingOk, ///< programmer 1 was lost at the drain; the load ends at the operator's OK
        Handshake,  ///< the load frame repeats until every programmer in the load is ready
        Streaming,  ///< blocks go out as the links take them
        Flushing,   ///< the last block is queued; waiting until the links have taken it
    };
    Q_ENUM(State)

    enum class Outcome
    {
        Loaded,         ///< every whole block reached every link still in the load
        ProgrammerLost, ///< programmer 1's device was gone at the drain
        TimedOut,       ///< the watchdog ended the handshake
        StreamFailed,   ///< a trailer value not a byte, the file released or unreadable
        AllLinksLost,   ///< every link dropped out of the stream
    };
    Q_ENUM(Outcome)

    /// What the load reads from the application around it.
    struct Hooks
    {
        std::function<bool()> blackBox;        ///< asked afresh for each trailer byte
        std::function<bool()> restoreDefaults; ///< byte 3 of the load frame
        /// Drops the partial reply programmer n's reply handler holds (the drain).
        std::function<void(model::ProgrammerNumber n)> discardPendingReplies;
    };

    FileTransfer(model::Programmers &programmers, link::Links &links, model::Operator &op,
                 Hooks hooks, const model::Timings &timings, QObject *parent = nullptr);
    ~FileTransfer() override;

    /// Opens the file at path for a load into programmers and keeps it open, so the stream
    /// sends the bytes its identity was taken from. A file that cannot be sent, or is not the
    /// approved image, is refused: the operator is told why and false is returned, with nothing
    /// touched. Otherwise the load is under way (Opening) until the links are open.
    bool begin(const QString &path, model::ProgrammerSet programmers);
    /// The links of the load were opened, those of opened only: the others' steps ended at once
    /// and they leave the load, so the rest never wait for them. Drains the links, then the
    /// handshake.
    void linksOpened(model::ProgrammerSet opened);

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] bool isRunning() const { return m_state != State::Idle; }
    /// The file as begin() read it.
    [[nodiscard]] const model::ImageIdentity &image() const { return m_file.identity(); }
    /// The folder of the file, kept for the whole load whatever the browser shows meanwhile.
    [[nodiscard]] QString folder() const { return m_folder; }

    /// Releases the program file ("ALPOK", the watchdog). A stream still reading it ends,
    /// between blocks.
    void releaseProgramFile();
    /// The watchdog fired: a handshake ends at once.
    void onWatchdogFired();
    /// Programmer n's device went away: it drops out of the handshake or the stream.
    void onDeviceLost(model::ProgrammerNumber n);

Q_SIGNALS:
    void runningChanged(bool running);
    void watchdogArmRequested();
    void watchdogDisarmRequested();
    /// A load frame went out to these programmers.
    void frameSent(vell::model::ProgrammerSet to);
    /// Programmer n's step ended in a way the load judged itself.
    void ended(vell::model::ProgrammerNumber n, vell::model::Ending ending);
    void finished(vell::load::FileTransfer::Outcome outcome);

private:
    void setState(State next);
    void finish(Outcome outcome);
    bool drainLinks();
    void sendLoadFrame();
    void onHandshakeTick();
    void startStream();
    void pump();
    /// The links in the stream have taken enough for the pump to go on.
    [[nodiscard]] bool linksReady() const;
    void schedulePump();
    void showProgress(int percent);
    /// Hands batch (whole blocks) to every link in the stream, then shows each block's percent.
    using Percents = QVarLengthArray<int, kMaxPendingPerLink / kBlockSize>;
    void sendBatch(const QByteArray &batch, const Percents &percents);
    /// In the load and not dropped out of it.
    [[nodiscard]] model::ProgrammerSet takingPart() const { return m_programmers - m_droppedOut; }
    void dropOut(model::ProgrammerNumber n, const char *why);
    void onBytesWritten(model::ProgrammerNumber n);
    void onStall(model::ProgrammerNumber n);
    void dropOutOfHandshake(model::ProgrammerNumber n);
    /// Ends the load and tells the operator why the stream could not go on.
    void failStream(const QString &reason);

    model::Programmers &m_states;
    link::Links &m_links;
    model::Operator &m_operator;
    Hooks m_hooks;

    State m_state = State::Idle;
    model::ProgrammerSet m_programmers;
    model::ProgrammerSet m_droppedOut;
    model::ProgrammerSet m_inStream;
    QString m_path;
    QString m_folder;
    qint64 m_announcedLength = 0;
    ProgramFile m_file;
    ConfigFile m_config;

    QTimer m_handshakeTimer;
    QTimer m_pumpTimer;
    /// Runs while bytes wait on a link during a stream; fires once the link took no byte for
    /// m_stallMs since m_lastTaken.
    model::PerProgrammer<QTimer> m_stall;
    model::PerProgrammer<QElapsedTimer> m_lastTaken;
    int m_stallMs;
};

} // namespace vell::load
