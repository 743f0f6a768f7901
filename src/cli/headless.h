#pragma once

#include "cli/commandline.h"
#include "linedb/databaseurl.h"
#include "link/portnames.h"
#include "model/programmerstate.h"
#include "model/timings.h"

#include <QMap>
#include <QString>

#include <optional>

// The headless run: the same search, load and program-target as the windows, driven by the
// same Station, reporting on stdout. Library `vell_cli` (links vell_app, never Qt Widgets).

namespace vell::cli {

/// What the command line asks of a headless run. main.cpp fills it.
struct Options
{
    /// Where COM n lives: --ports DIR, the folder of --simulate's programmers, or the machine's.
    link::PortNames ports;
    /// --load FILE (relative to the working folder); empty: no load.
    QString loadFile;
    /// --program-target.
    bool programTarget = false;
    /// --restore-defaults, --black-box: the two options of a load.
    bool restoreDefaults = false;
    bool blackBox = false;
    /// --timeout SECONDS: how long to wait for each programmer's result of each step.
    int timeoutSeconds = CommandLine::kDefaultTimeoutSeconds;
    /// --expect-sha256, --expect-crc32: the approved image; any other file is refused.
    model::ImagePin approved;
    /// --retries N: each step is repeated up to N times on the programmers whose step failed.
    int retries = 0;
    /// --board COMn=SERIAL: each COM number's board serial, for program-target.
    QMap<int, QString> boards;
    /// --require-board, --board-pattern.
    model::BoardRules boardRules;
    /// --operator NAME: every record names them.
    QString operatorName;
    /// --json: stdout carries JSON events instead of lines.
    bool json = false;
    /// --log FILE; empty: the default attempt log, where a failure to open it only warns.
    QString logFile;
    /// --serve: after the search the run holds its programmers for the control socket's
    /// commands (at controlSocket; empty: the default one) instead of running steps of its own.
    bool serve = false;
    QString controlSocket;
    /// --database URL (or $VELL_DATABASE): the run's records are sent there too.
    std::optional<linedb::DatabaseUrl> database;
    /// The search's tick; only tests shorten it.
    int searchTickMs = model::Timings{}.searchTickMs;
};

/// Exit codes of a headless run.
enum ExitCode
{
    kExitSuccess = 0,    ///< every programmer in use succeeded at every step asked
    kExitFailed = 1,     ///< any programmer failed or timed out
    kExitUsage = 2,      ///< a usage error, or no programmer found
    kExitRecordLost = 3, ///< the work ran, but a record of it could not be written
};

/// Runs the headless search, load and program-target in the event loop of the existing
/// QCoreApplication (QCoreApplication::exec) and returns the exit code. Never touches the
/// settings file. Messages for the operator go to stderr and the run goes on.
[[nodiscard]] int runHeadless(const Options &options);

} // namespace vell::cli
