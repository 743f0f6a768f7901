#pragma once

#include "link/links.h"
#include "link/operatorinterface.h"
#include "link/pane.h"
#include "link/portnames.h"
#include "link/programmerslot.h"
#include "link/replyhandler.h"

#include <QObject>
#include <QString>

#include <array>
#include <memory>

namespace vell::link {
class ReplyHandler;
}
namespace vell::load {
class FileTransfer;
}

namespace vell::app {

class AttemptTracker;
class ProgramTarget;
class Watchdog;

/// Intervals are injectable so tests can run them fast; the defaults are what ships.
struct StationTimings
{
    int handshakeMs = 1000;
    int watchdogMs = 15000;
    int stallMs = 5000; ///< a link that takes no byte for this long drops out of a stream
};

/// The programming station: the application's state and the one place both front ends drive.
/// It holds the slots, panes, links, reply handlers, the watchdog, the prompt, the current
/// folder and the two load options, and runs the commands (FileTransfer and ProgramTarget hold
/// their own rules), one command at a time.
class Station : public QObject, public link::ReplyHooks
{
    Q_OBJECT
public:
    Station(const link::PortNames &names, link::Operator &op, link::LinkFactory factory,
          StationTimings timings = {}, QObject *parent = nullptr);
    ~Station() override;

    [[nodiscard]] link::ProgrammerSlots &programmerSlots() { return m_slots; }
    [[nodiscard]] link::PaneBoard &panes() { return m_panes; }
    [[nodiscard]] link::Links &links() { return *m_links; }
    [[nodiscard]] Watchdog &watchdog() { return *m_watchdog; }
    [[nodiscard]] load::FileTransfer *transfer() { return m_transfer.get(); }
    [[nodiscard]] ProgramTarget *programTargetCommand() { return m_target.get(); }
    [[nodiscard]] const StationTimings &timings() const { return m_timings; }
    /// Every programmer's steps, the image of the last load and the tallies.
    [[nodiscard]] AttemptTracker &attempts() { return *m_attempts; }
    [[nodiscard]] const link::PortNames &portNames() const { return m_names; }

    /// After the search: pane texts and visibility for every programmer found (main-window load).
    void showFoundProgrammers();
    /// Whether the programmers found offer the program-target command (its button shows).
    [[nodiscard]] bool offersProgramTarget() const;

    [[nodiscard]] QString prompt() const { return m_prompt; }
    void setPrompt(const QString &text);

    /// The folder the browser shows; the load builds its path from it.
    [[nodiscard]] QString currentFolder() const { return m_currentFolder; }
    void setCurrentFolder(const QString &folder) { m_currentFolder = folder; }
    /// The folder of the last load, which the settings file remembers.
    [[nodiscard]] QString lastFileLoadedFolder() const { return m_lastFolder; }
    void setLastFileLoadedFolder(const QString &folder);
    /// The name (no folder) of the program file last loaded; the reply handlers report it.
    [[nodiscard]] QString lastLoadedFileName() const override { return m_lastFileName; }
    void setLastLoadedFileName(const QString &name) { m_lastFileName = name; }

    /// The two check boxes. The black-box choice is read afresh for every byte of a stream.
    [[nodiscard]] bool restoreDefaults() const { return m_restoreDefaults; }
    void setRestoreDefaults(bool on) { m_restoreDefaults = on; }
    [[nodiscard]] bool blackBox() const { return m_blackBox; }
    void setBlackBox(bool on) { m_blackBox = on; }

    [[nodiscard]] bool faultTimedOut() const { return m_faultTimedOut; }
    /// A new load starts without the previous load's fault.
    void clearFault();

    /// True while a load runs or a command waits for the operator's OK; a second command is
    /// ignored then.
    [[nodiscard]] bool busy() const;

    /// The load entry point (double-click in the file list, or --load): fileName in currentFolder.
    void loadProgramFile(const QString &fileName);
    /// The program-target command.
    void programTarget();

    /// Lets go of the program file a load holds open (the transfer's, once one runs).
    void releaseProgramFile() override;
    /// Lets go of every file a command holds: the program file and the four port files
    /// (the watchdog's fault and the main window's close).
    void releaseFiles();

Q_SIGNALS:
    void promptChanged(const QString &text);
    void busyChanged(bool busy);
    void lastFileLoadedFolderChanged(const QString &folder);
    /// A load was asked for (double-click or --load), before anything else happens.
    void loadRequested(const QString &fileName);
    /// Programmer n's reply handler acted on a reply (token empty when unrecognised).
    void replyHandled(int n, const QByteArray &token);

private:
    void onWatchdogFired();
    void onDeviceLost(int n);

    StationTimings m_timings;
    // Links keeps a reference to the names, so Station holds its own copy.
    link::PortNames m_names;
    link::ProgrammerSlots m_slots;
    link::PaneBoard m_panes;
    std::unique_ptr<link::Links> m_links;
    std::array<std::unique_ptr<link::ReplyHandler>, link::kProgrammerCount> m_replyHandlers;
    std::unique_ptr<Watchdog> m_watchdog;
    std::unique_ptr<load::FileTransfer> m_transfer;
    std::unique_ptr<ProgramTarget> m_target;
    std::unique_ptr<AttemptTracker> m_attempts;

    QString m_prompt;
    QString m_currentFolder;
    QString m_lastFolder;
    QString m_lastFileName;
    bool m_restoreDefaults = false;
    bool m_blackBox = false;
    bool m_faultTimedOut = false;
};

} // namespace vell::app
