#pragma once

#include "configfile.h"
#include "programfile.h"

#include "link/programmers.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>

namespace vell::link {
class Links;
class Operator;
} // namespace vell::link

namespace vell::load {

/// Intervals of the load; the defaults are what ships, tests inject short ones.
struct TransferTimings
{
    int handshakeMs = 1000; ///< the load frame is repeated at this period until all are ready
    int stallMs = 5000;     ///< a link that takes no byte for this long drops out of a stream
};

/// Loads one program file into every programmer in use: opens the links, announces the file
/// with the load frame once per handshake period until every programmer answered "ASEND",
/// then streams it in 513-byte blocks (512 file bytes and a 0x00) to all of them at once.
/// Runs as a state machine on timers and port signals, never a nested event loop. At most
/// 8192 bytes wait per link; the next block goes out when every link has room again, so the
/// progress shown follows what left the PC and memory stays flat for any file size. A link
/// that fails during the stream drops out and the others go on. Each programmer in use has a
/// load step from the opening of the links; the load ends the steps it can judge itself
/// (drop-outs, the watchdog, a stream that cannot go on), and the reply handler the others.
class FileTransfer : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBlockFileBytes = 512;
    static constexpr int kBlockSize = kBlockFileBytes + 1; // the filler 0x00
    static constexpr qint64 kMaxPendingPerLink = 8192;

    enum class State
    {
        Idle,
        Opening,    ///< links being opened (the operator may be answering an invalid port)
        AwaitingOk, ///< programmer 1 was lost at the drain; the load ends at the operator's OK
        Handshake,  ///< the load frame repeats until every programmer in use is ready
        Streaming,  ///< blocks go out as the links take them
        Flushing,   ///< the last block is queued; waiting until the links have taken it
    };
    Q_ENUM(State)

    enum class Outcome
    {
        Loaded,         ///< every whole block reached every link still in the load
        Refused,        ///< the program file cannot be loaded; nothing was touched
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
        /// Drops the partial reply programmer n's (1..4) reply handler holds (the drain).
        std::function<void(int n)> discardPendingReplies;
    };

    FileTransfer(link::Programmers &programmers, link::Links &links, link::Operator &op,
                 Hooks hooks, TransferTimings timings = {}, QObject *parent = nullptr);
    ~FileTransfer() override;

    /// Starts the load of the file at path into every programmer in use. Ignored while a load
    /// runs. The path and its folder are kept for the whole load, whatever the browser shows
    /// meanwhile.
    void loadProgramFile(const QString &path);
    /// The same load for the programmers in use among those given, a repeat of their last
    /// step: the frames, the stream and the handshake are theirs alone, and the others' state,
    /// links and steps are left as they are.
    void loadProgramFileInto(const QString &path, const link::ProgrammerSet &programmers);

    [[nodiscard]] State state() const { return m_state; }
    [[nodiscard]] bool isRunning() const { return m_state != State::Idle; }
    /// The path and folder of the last load started.
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString folder() const { return m_folder; }
    [[nodiscard]] const ProgramFile &programFile() const { return m_file; }
    [[nodiscard]] const ConfigFile &configFile() const { return m_config; }
    /// Programmer n (1..4) dropped out of the current or last stream.
    [[nodiscard]] bool droppedOut(int n) const { return m_records.at(size_t(n - 1)).droppedOut; }

    /// Releases the program file ("ALPOK", the watchdog, the next load). A stream still
    /// reading it ends, between blocks.
    void releaseProgramFile();
    /// The watchdog fired: a handshake ends at once.
    void onWatchdogFired();

Q_SIGNALS:
    void runningChanged(bool running);
    void stateChanged(vell::load::FileTransfer::State state);
    /// The folder of a file that is being loaded, for the settings file.
    void lastFileLoadedFolderChanged(const QString &folder);
    void watchdogArmRequested();
    void watchdogDisarmRequested();
    /// Every programmer is ready; the first block goes out next.
    void streamStarted();
    /// Programmer n left the load (device lost in the handshake or the stream, write refused,
    /// or stalled).
    void droppedOutOfStream(int n);
    void finished(vell::load::FileTransfer::Outcome outcome);

private:
    void start(const QString &path, const link::ProgrammerSet &addressed, bool again);
    void setState(State next);
    void finish(Outcome outcome);
    void onLinksOpened();
    bool drainLinks();
    void sendLoadFrame();
    void onHandshakeTick();
    void startStream();
    void pump();
    void schedulePump();
    void showProgress(int percent);
    void writeBlock();
    /// Addressed by this load: in use, and named when the load names some.
    [[nodiscard]] bool addressed(int n) const { return m_addressed.at(size_t(n - 1)); }
    /// Addressed and not dropped out of this load.
    [[nodiscard]] bool takesPart(int n) const;
    [[nodiscard]] bool inStream(int n) const { return m_records.at(size_t(n - 1)).inStream; }
    [[nodiscard]] bool anyInStream() const;
    void dropOut(int n, const char *why);
    void onBytesWritten(int n);
    void onStall(int n);
    void onDeviceLost(int n);
    void dropOutOfHandshake(int n);
    /// Ends the load and tells the operator why the stream could not go on.
    void failStream(const QString &reason);

    link::Programmers &m_programmers;
    link::Links &m_links;
    link::Operator &m_operator;
    Hooks m_hooks;
    TransferTimings m_timings;

    State m_state = State::Idle;
    link::ProgrammerSet m_addressed{};
    QString m_path;
    QString m_folder;
    qint64 m_announcedLength = 0;
    ProgramFile m_file;
    ConfigFile m_config;
    QByteArray m_block;

    /// What the load knows of one programmer's link.
    struct LinkRecord
    {
        bool inStream = false;   ///< taking part in the stream now
        bool droppedOut = false; ///< left the current or last load
        bool lost = false;       ///< the device went away since the link was last found open
        bool wasOpen = false;    ///< the link was found open at an earlier drain
        QTimer stall;            ///< runs while bytes wait on the link during a stream
    };
    [[nodiscard]] LinkRecord &record(int n) { return m_records.at(size_t(n - 1)); }

    QTimer m_handshakeTimer;
    QTimer m_pumpTimer;
    std::array<LinkRecord, link::kProgrammerCount> m_records;
};

} // namespace vell::load
