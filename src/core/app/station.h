#pragma once

#include "attempt.h"
#include "attemptlog.h"
#include "operation.h"
#include "operatorqueue.h"

#include "discovery/programmersearch.h"
#include "link/links.h"
#include "link/portnames.h"
#include "model/operatorinterface.h"
#include "model/pane.h"
#include "model/programmers.h"
#include "model/replyhandler.h"
#include "model/timings.h"
#include "record/tally.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace vell::app {

class LoadOperation;
class Watchdog;

/// The programming station: the application's state and the one door every front end uses.
/// It holds the programmers' states, the links and their reply handlers, the search, the
/// watchdog, the prompt, the current folder and the two load options, and runs the commands
/// as operations (a load, a program-target) one at a time, whoever asks. Every step that ends
/// becomes one attempt: recorded in the attempt log, counted in the tallies, and announced
/// with attemptEnded; every operation that finishes is announced with its result.
class Station : public QObject, private StepLedger
{
    Q_OBJECT
public:
    Station(const link::PortNames &names, model::Operator &op, const link::LinkFactory &factory,
            const model::Timings &timings = {}, QObject *parent = nullptr);
    ~Station() override;

    // The search.
    /// Starts the search for programmers (once).
    void startSearch();
    /// Stops a search that runs (the search window closed).
    void stopSearch();
    /// Lets go of the programmers (their links close, their claims end, what is known of them
    /// is forgotten) and searches again (the control socket's search); false while busy or
    /// searching.
    bool searchAgain();
    /// What the search shows (its labels and port).
    [[nodiscard]] const discovery::ProgrammerSearch &search() const { return *m_search; }

    // What the front ends show.
    [[nodiscard]] const model::Programmers &programmers() const { return m_programmers; }
    [[nodiscard]] const model::ProgrammerState &state(model::ProgrammerNumber n) const
    {
        return m_programmers.state(n);
    }
    [[nodiscard]] model::Pane pane(model::ProgrammerNumber n) const
    {
        return model::Pane::of(n, state(n));
    }
    [[nodiscard]] QString statusText(model::ProgrammerNumber n) const
    {
        return model::Pane::statusText(n, state(n));
    }
    [[nodiscard]] QString programmerVersionText() const;
    [[nodiscard]] QString softwareVersionText() const;
    [[nodiscard]] const link::PortNames &portNames() const { return m_names; }
    /// The links, for inspection: the frame state and the port files.
    [[nodiscard]] const link::Links &links() const { return m_links; }
    /// Programmer n's boards and loads since the application started.
    [[nodiscard]] const record::Tally &tally(model::ProgrammerNumber n) const
    {
        return m_tallies[n];
    }
    /// The image the programmers took last in this run, if any.
    [[nodiscard]] const std::optional<model::ImageIdentity> &image() const { return m_image; }
    /// The image line: the image taken ("demo.bin (4096 bytes, CRC-32 1a2b3c4d)"), or that the
    /// last load was taken by none; empty before either.
    [[nodiscard]] QString imageText() const;

    /// After the search: pane texts and visibility for every programmer found (main-window load).
    void showFoundProgrammers();
    /// Whether the programmers found offer the program-target command (its button shows).
    [[nodiscard]] bool offersProgramTarget() const;

    [[nodiscard]] QString prompt() const { return m_prompt; }

    /// The folder the browser shows.
    [[nodiscard]] QString currentFolder() const { return m_currentFolder; }
    void setCurrentFolder(const QString &folder) { m_currentFolder = folder; }
    /// The folder of the last load, which the settings file remembers.
    [[nodiscard]] QString lastFileLoadedFolder() const { return m_lastFolder; }
    void setLastFileLoadedFolder(const QString &folder);

    /// The two check boxes. The black-box choice is read afresh for every byte of a stream.
    [[nodiscard]] bool restoreDefaults() const { return m_restoreDefaults; }
    void setRestoreDefaults(bool on) { m_restoreDefaults = on; }
    [[nodiscard]] bool blackBox() const { return m_blackBox; }
    void setBlackBox(bool on) { m_blackBox = on; }

    [[nodiscard]] bool faultTimedOut() const { return m_faultTimedOut; }

    /// True while an operation holds the station (a load runs, or a command waits for the
    /// operator's OK; held until finished, as long as it has not); a second command is ignored
    /// then.
    [[nodiscard]] bool busy() const;
    /// The control socket's rule (the service, the windows with --listen): from now on every
    /// command holds the station until its operation has finished, every programmer's step
    /// ended, so the socket's commands and the operator's are one queue; a step without a
    /// verdict verdictTimeoutMs after its command part (the frames, the load's stream) ends
    /// then, timed out, so no silent programmer holds the station for good.
    void holdUntilFinished(int verdictTimeoutMs);

    /// The approved image (--expect-sha256, --expect-crc32): a load refuses every other file,
    /// and every record names it.
    void setApprovedImage(const model::ImagePin &pin) { m_programmers.setApprovedImage(pin); }

    // The commands. Each returns the operation it started, or null when it was ignored (the
    // station is busy, or no programmer in use is named). request says what comes with it.
    /// The load (a double-click in the file list, or --load) of the file at path into every
    /// programmer in use.
    Operation *loadProgramFile(const QString &path, const Request &request = {});
    /// The program-target command for every programmer in use.
    Operation *programTarget(const Request &request = {});
    // Repeats for some programmers; the others keep their panes, state, steps and tallies.
    /// The load of the file at path into those of the programmers given that are in use: the
    /// frames, the stream and the handshake are theirs alone.
    Operation *loadProgramFileInto(const QString &path, model::ProgrammerSet programmers,
                                   const Request &request = {});
    /// Program-target for those of the programmers given that are in use.
    Operation *programTargetOn(model::ProgrammerSet programmers, const Request &request = {});
    /// The kind of the last command of every programmer (none before the first): what Retry
    /// Failed repeats.
    [[nodiscard]] model::Step lastStep() const { return m_lastCommand; }
    /// What Retry Failed would repeat it on: after a load, the programmers in use whose load
    /// failed; after a program-target, those whose board failed or was left out and that can
    /// be programmed now (their load has since succeeded). A board done is never taken again.
    [[nodiscard]] model::ProgrammerSet failedProgrammers() const;
    /// Why Retry Failed has nothing to repeat, in the operator's words (empty when it has).
    [[nodiscard]] QString nothingToRetry() const;
    /// What programmer n's pane offers to repeat on it alone: Load Again after a load of it
    /// (or after a program-target it was left out of because its load failed), Program Target
    /// Again for a board that failed or was left out once it can be programmed. Whether the
    /// station takes it now is canRepeat(n).
    [[nodiscard]] std::vector<model::Step> paneSteps(model::ProgrammerNumber n) const;
    /// Not busy, and programmer n has no step under way.
    [[nodiscard]] bool canRepeat(model::ProgrammerNumber n) const;
    /// What the operator can do for programmer n's board, said on its pane (empty when nothing
    /// waits or it is plain).
    [[nodiscard]] QString boardHint(model::ProgrammerNumber n) const;
    /// The kind of programmer n's step under way, else of its last one (none before the first).
    [[nodiscard]] model::Step stepOf(model::ProgrammerNumber n) const;
    /// Repeats step on programmer n alone (its pane's "again"); null when it is not one of its
    /// pane's steps or the station does not take it now.
    Operation *repeatStep(model::ProgrammerNumber n, model::Step step);
    /// Repeats the last command's step on failedProgrammers(), only on those; a load takes the
    /// file of the last load again, as it is now. Null when there is none to repeat (or a
    /// command is busy).
    Operation *retryFailed(const Request &request = {});
    /// Ends every step still under way (the headless run's timeout, the application's end).
    void endSteps(model::Ending ending);

    /// Opens the attempt log (the default one for an empty path); false, with logProblem(),
    /// when it cannot. Without an open log nothing is recorded.
    bool openLog(const QString &path);
    /// The attempt log's file (empty when the station keeps none).
    [[nodiscard]] QString logPath() const { return m_logging ? m_log.path() : QString(); }
    /// Why the last record could not be written (empty while records are kept).
    [[nodiscard]] QString logProblem() const { return m_logProblem; }
    /// Records that could not be written since the start.
    [[nodiscard]] int lostRecords() const { return m_lostRecords; }

    /// Who runs the bench (--operator): every record names them (empty: nobody said).
    void setOperatorName(const QString &name) { m_operatorName = name; }

    /// The board rules (--scan-boards, --require-board, --board-pattern).
    void setBoardRules(const model::BoardRules &rules) { m_programmers.setBoardRules(rules); }
    [[nodiscard]] const model::BoardRules &boardRules() const { return m_programmers.boardRules(); }
    /// Programmer n's board field took text (its Enter): checked by the rules and, when they
    /// take it, held as the serial of its next program-target (an empty text holds none).
    /// False when refused; its pane's board note says why.
    bool scanBoard(model::ProgrammerNumber n, const QString &text);
    /// What pane n says beside its board field (Pane::boardNote).
    [[nodiscard]] QString boardNote(model::ProgrammerNumber n) const;

    /// Lets go of every file a command holds: the program file and the four port files
    /// (the watchdog's fault and the main window's close).
    void releaseFiles();

Q_SIGNALS:
    void searchChanged();
    void searchFinished(bool anyFound);
    /// The search found the fourth programmer: its window closes.
    void searchCloseRequested();
    /// The search met a port that exists but cannot be used.
    void portUnusable(const vell::discovery::ProgrammerSearch::UnusablePort &port);

    /// What pane n shows changed: its status, bar, count box, visibility or device.
    void paneChanged(vell::model::ProgrammerNumber n);
    /// Pane n's board field's scan or its board note changed.
    void boardChanged(vell::model::ProgrammerNumber n);
    /// Pane n's status text changed to text.
    void statusChanged(vell::model::ProgrammerNumber n, const QString &text);
    void versionsChanged();
    void promptChanged(const QString &text);
    void busyChanged(bool busy);
    void lastFileLoadedFolderChanged(const QString &folder);
    /// Programmer n's step ended; the attempt was recorded first (when a log is open).
    void attemptEnded(const vell::app::Attempt &attempt);
    /// An operation finished: every step of it ended and the station is free of it.
    void operationFinished(const vell::app::OperationResult &result);
    void tallyChanged(vell::model::ProgrammerNumber n);
    void imageChanged();
    /// The attempt log cannot be written (text), or can be again (empty).
    void logProblemChanged(const QString &text);

private:
    void beginStep(Operation &operation, model::ProgrammerNumber n) override;
    /// Starts operation unless the station is busy; the station owns it until it finishes.
    Operation *run(std::unique_ptr<Operation> operation);
    Operation *load(const QString &path, model::ProgrammerSet programmers, bool repeat,
                    const Request &request);
    Operation *target(model::ProgrammerSet programmers, bool repeat, const Request &request);
    Operation *repeat(model::Step step, model::ProgrammerSet programmers, const Request &request);
    /// Each programmer's try at a step of kind: 1 for the command of every programmer; every
    /// repeat, whatever began it, counts on from its last step of the same kind (for a load,
    /// of the same file).
    [[nodiscard]] model::PerProgrammer<int> tries(model::Step kind,
                                                  model::ProgrammerSet programmers, bool repeat,
                                                  const QString &path) const;
    /// Programmer n's step of kind under way, or the last one of that kind it ended.
    [[nodiscard]] const model::StepRecord *lastStepOf(model::ProgrammerNumber n,
                                                      model::Step kind) const;
    /// The serials at the bench for a program-target on programmers: given, else what each
    /// field holds; a repeat takes the serial of its programmer's last board.
    [[nodiscard]] model::PerProgrammer<QString>
    boardsAtBench(model::ProgrammerSet programmers, bool repeat,
                  const model::PerProgrammer<QString> &given) const;
    /// Why program-target on programmer n alone would leave it out now.
    [[nodiscard]] std::optional<model::Status> repeatLeftOut(model::ProgrammerNumber n) const;
    /// Program-target can run on programmer n now: its board failed or was left out, and
    /// program-target would not leave it out again.
    [[nodiscard]] bool boardRepeatable(model::ProgrammerNumber n) const;
    /// The load operations that run or wait for their verdicts.
    [[nodiscard]] std::vector<LoadOperation *> loads() const;
    [[nodiscard]] bool anyStepUnderWay(model::Step kind) const;
    void setPrompt(const QString &text);
    /// Makes the search (once more for searchAgain).
    void makeSearch();
    /// An operation runs its command part, or waits for the operator's OK.
    [[nodiscard]] bool commandRunning() const;
    void updateBusy();
    void onStepEnded(Operation &operation, model::ProgrammerNumber n);
    void onOperationFinished(Operation &operation);
    void record(const record::AttemptRecord &line);
    void onWatchdogFired();
    void onDeviceLost(model::ProgrammerNumber n);

    model::Timings m_timings;
    // Links and the search keep a reference to the names, so Station holds its own copy.
    link::PortNames m_names;
    link::LinkFactory m_factory;
    /// The front end's operator, one message at a time.
    OperatorQueue m_operator;
    model::Programmers m_programmers;
    link::Links m_links;
    model::PerProgrammer<std::unique_ptr<model::ReplyHandler>> m_replyHandlers;
    std::unique_ptr<discovery::ProgrammerSearch> m_search;
    std::unique_ptr<Watchdog> m_watchdog;

    /// The operations that run or wait for verdicts, oldest first.
    std::vector<std::unique_ptr<Operation>> m_operations;
    /// Which operation holds each programmer's step under way.
    model::PerProgrammer<QPointer<Operation>> m_owners;
    bool m_busy = false;
    /// holdUntilFinished's timeout (0: not held), and its timer.
    int m_verdictTimeoutMs = 0;
    QTimer m_verdictTimer;

    model::PerProgrammer<record::Tally> m_tallies;
    std::optional<model::ImageIdentity> m_image;
    /// The file of the last load when no programmer took it.
    std::optional<QString> m_untakenLoad;
    model::Step m_lastCommand = model::Step::None;
    QString m_lastLoadPath;
    AttemptLog m_log;
    bool m_logging = false;
    QString m_logProblem;
    int m_lostRecords = 0;
    /// Records made in this run: the number in each record's id.
    qint64 m_records = 0;
    QString m_operatorName;

    QString m_prompt;
    QString m_currentFolder;
    QString m_lastFolder;
    bool m_restoreDefaults = false;
    bool m_blackBox = false;
    bool m_faultTimedOut = false;
};

} // namespace vell::app
