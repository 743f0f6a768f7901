#pragma once

#include "linedb/databaseurl.h"
#include "link/portnames.h"
#include "model/programmerstate.h"

#include <QString>

#include <optional>

class QApplication;

namespace vell::gui {

/// The windows already run for this user.
constexpr int kExitAlreadyRunning = 1;
/// Another station listens on the control socket (--listen).
constexpr int kExitSocketTaken = 2;

/// --listen: the windows take the control socket's commands as well, at socket (empty: the
/// default one); a step waits timeoutSeconds for each verdict then.
struct Listening
{
    bool on = false;
    QString socket;
    int timeoutSeconds = 120;
};

/// Who works at the bench and how it takes board serials.
struct Bench
{
    model::BoardRules boards; ///< the Board fields show with scan or required
    QString operatorName;     ///< every record names them (empty: nobody said)
};

/// The windows' run: the search window, then, when a programmer was found, the main window.
/// With screenshotFolder set it is the developer's screenshot tour instead: both windows are
/// saved as PNGs while the first program file of the folder is loaded and the targets are
/// programmed (screenshotBoards times), the settings file is left alone, and the run ends by
/// itself.
/// folder, when set, is where the browser opens. Every attempt is appended to logFile, or to
/// the default attempt log (not on the tour). A load refuses every file but the approved
/// image when one is set. bench sets the board rules and the operator. Listening, the control
/// socket's commands run as the operator's would, one queue with the operator's own. With
/// database, every record is sent to the line database too, and what waits for it shows below
/// the panes. Returns the event loop's exit code, kExitAlreadyRunning when the windows already
/// run for this user (that copy comes forward), or kExitSocketTaken.
[[nodiscard]] int runWindows(QApplication &app, const link::PortNames &names,
                             const QString &screenshotFolder, const QString &folder,
                             const QString &logFile, const model::ImagePin &approved,
                             const Bench &bench = {}, int screenshotBoards = 1,
                             const Listening &listening = {},
                             const std::optional<linedb::DatabaseUrl> &database = {});

} // namespace vell::gui
