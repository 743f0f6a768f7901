#pragma once

#include "attempt.h"
#include "attemptlog.h"
#include "pane.h"

#include "discovery/programmersearch.h"
#include "link/links.h"
#include "link/operatorinterface.h"
#include "link/portnames.h"
#include "link/programmers.h"
#include "link/replyhandler.h"

#include <QObject>
#include <QString>

#include <array>
#include <memory>
#include <optional>

namespace vell::load {
class FileTransfer;
}

namespace vell::app {

class ProgramTarget;
class Watchdog;

/// Intervals are injectable so tests can run them fast; the defaults are what ships.
struct StationTimings
{
    int handshakeMs = 1000;
    int watchdogMs = 15000;
    int stallMs = 5000; ///< a link that takes no byte for this long drops out of a stream
    int searchTickMs = 100;
};

/// One programmer's boards since the application started (program-target results).
struct Tally
{
    int ok = 0;
    int failed = 0;
    /// Percent of the boards that programmed OK, rounded; nothing before the first board.
    [[nodiscard]] std::optional<int> yieldPercent() const;
};

/// The programming station: the application's state and the one door both front ends use.
/// It holds the programmers' states, the links and their reply handlers, the search, the
/// watchdog, the prompt, the current folder and the two load options, runs the commands
/// (FileTransfer and ProgramTarget hold their own rules) one at a time, and renders what the
/// front ends show. Every step that ends becomes one attempt: recorded in the attempt log,
/// counted in the tallies, and announced with attemptEnded.
class Station : public QObject, public link::ReplyHooks
{
    Q_OBJECT
public:
    Station(const link::PortNames &names, link::Operator &op, link::LinkFactory factory,
            StationTimings timings = {}, QObject *parent = nullptr);
    ~Station() override;

    // The search.
    /// Starts the search for programmers (once).
    void startSearch();
    /// Stops a search that runs (the search window closed).
    void stopSearch();
    /// What the search shows (its labels and port).
    [[nodiscard]] const discovery::ProgrammerSearch &search() const { return *m_search; }

    // What the front ends show.
    [[nodiscard]] const link::Programmers &programmers() const { return m_programmers; }
    [[nodiscard]] const link::ProgrammerState &state(int n) const { return m_programmers.state(n); }
    [[nodiscard]] Pane pane(int n) const { return Pane::of(n, state(n)); }
    [[nodiscard]] QString statusText(int n) const { return Pane::statusText(n, state(n)); }
    [[nodiscard]] QString programmerVersionText() const
    {
        return Pane::programmerVersionText(state(1));
    }
    [[nodiscard]] QString softwareVersionText() const
    {
        return Pane::softwareVersionText(state(1));
    }
    [[nodiscard]] const link::PortNames &portNames() const { return m_names; }
    /// The links, for inspection: the frame state and the port files.
    [[nodiscard]] const link::Links &links() const { return *m_links; }
    [[nodiscard]] const Tally &tally(int n) const { return m_tallies.at(size_t(n - 1)); }
    /// The image the programmers took last in this run, if any.
    [[nodiscard]] const std::optional<link::ImageIdentity> &image() const { return m_image; }
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

    /// True while a load runs or a command waits for the operator's OK; a second command is
    /// ignored then.
    [[nodiscard]] bool busy() const;

    /// The approved image (--expect-sha256, --expect-crc32): a load refuses every other file,
    /// and every record names it.
    void setApprovedImage(const link::ImagePin &pin) { m_programmers.setApprovedImage(pin); }

    /// The load (a double-click in the file list, or --load) of the file at path.
    void loadProgramFile(const QString &path);
    /// The program-target command.
    void programTarget();

    // Repeats for some programmers; the others keep their panes, state, steps and tallies.
    /// The load of the file at path into those of the programmers given that are in use: the
    /// frames, the stream and the handshake are theirs alone.
    void loadProgramFileInto(const QString &path, const link::ProgrammerSet &programmers);
    /// Program-target for those of the programmers given that are in use.
    void programTargetOn(const link::ProgrammerSet &programmers);
    /// The kind of step the last command began (none before the first).
    [[nodiscard]] link::Step lastStep() const { return m_lastStep; }
    /// The programmers in use whose step of the last command's kind failed.
    [[nodiscard]] link::ProgrammerSet failedProgrammers() const;
    /// What repeating programmer n's last step would run: its load (of the same file) or its
    /// program-target; a program-target it was left out of repeats the load that failed.
    /// None while a command is busy, while its step is under way, or before it had one.
    [[nodiscard]] link::Step repeatableStep(int n) const;
    /// Repeats programmer n's last step on it alone (its pane's "again").
    void repeatStep(int n);
    /// Repeats the last command's step on every programmer whose step failed, only on those;
    /// a load takes the file of the last load again, as it is now. False when there is none
    /// to repeat (or a command is busy).
    bool retryFailed();
    /// Ends every step still under way (the headless run's timeout, the application's end).
    void endSteps(link::Ending ending);

    /// Opens the attempt log (the default one for an empty path); false, with logProblem(),
    /// when it cannot. Without an open log nothing is recorded.
    bool openLog(const QString &path);
    /// Why the last record could not be written (empty while records are kept).
    [[nodiscard]] QString logProblem() const { return m_logProblem; }
    /// Records that could not be written since the start.
    [[nodiscard]] int lostRecords() const { return m_lostRecords; }

    /// Lets go of the program file a load holds open (the transfer's, once one runs).
    void releaseProgramFile() override;
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

    /// Anything of pane n changed.
    void paneChanged(int n);
    /// Pane n's status text changed to a different text.
    void statusChanged(int n, const QString &text);
    void versionsChanged();
    void promptChanged(const QString &text);
    void busyChanged(bool busy);
    void lastFileLoadedFolderChanged(const QString &folder);
    /// A load was refused before any link was touched (the file cannot be loaded).
    void loadRefused();
    /// Programmer n's step ended; the attempt was recorded first (when a log is open).
    void attemptEnded(const vell::app::Attempt &attempt);
    void tallyChanged(int n);
    void imageChanged();
    /// The attempt log cannot be written (text), or can be again (empty).
    void logProblemChanged(const QString &text);

private:
    void setPrompt(const QString &text);
    void repeat(link::Step step, const link::ProgrammerSet &programmers);
    /// The common start of a load: the fault and prompt of an earlier one are forgotten.
    bool prepareLoad();
    void onLoadStarted(const QString &path);
    void onChanged(int n);
    void onStepEnded(int n);
    void record(const Attempt &attempt);
    void onLoadStateChanged();
    void onWatchdogFired();
    void onDeviceLost(int n);

    StationTimings m_timings;
    // Links and the search keep a reference to the names, so Station holds its own copy.
    link::PortNames m_names;
    link::Programmers m_programmers;
    std::unique_ptr<link::Links> m_links;
    std::array<std::unique_ptr<link::ReplyHandler>, link::kProgrammerCount> m_replyHandlers;
    std::unique_ptr<discovery::ProgrammerSearch> m_search;
    std::unique_ptr<Watchdog> m_watchdog;
    std::unique_ptr<load::FileTransfer> m_transfer;
    std::unique_ptr<ProgramTarget> m_target;

    std::array<QString, link::kProgrammerCount> m_shownStatus;
    QString m_shownVersions;
    std::array<Tally, link::kProgrammerCount> m_tallies{};
    std::optional<link::ImageIdentity> m_image;
    /// The file of the last load when no programmer took it.
    std::optional<QString> m_untakenLoad;
    bool m_loadTaken = false;
    /// The load under way repeats it for some programmers: the others hold what they took.
    bool m_repeatingLoad = false;
    link::Step m_lastStep = link::Step::None;
    QString m_lastLoadPath;
    AttemptLog m_log;
    bool m_logging = false;
    QString m_logProblem;
    int m_lostRecords = 0;

    QString m_prompt;
    QString m_currentFolder;
    QString m_lastFolder;
    bool m_restoreDefaults = false;
    bool m_blackBox = false;
    bool m_faultTimedOut = false;
};

} // namespace vell::app
