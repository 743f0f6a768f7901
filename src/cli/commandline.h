#pragma once

#include "control/controlrequest.h"
#include "linedb/databaseurl.h"
#include "model/programmerstate.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QMap>
#include <QString>

#include <optional>

namespace vell::cli {

/// The tool's command line: which run it asks for (the windows, a headless run, the port
/// listing) and the values of its options, parsed and checked once, one default per option.
class CommandLine
{
public:
    enum class Run
    {
        Windows,
        Headless,
        ListPorts,
        Report,
        Serve,   ///< --serve: the station service
        Control, ///< --control COMMAND: a command to the service
        Ship,    ///< --ship: send the log's unsent records to the line database, exit
    };

    static constexpr int kDefaultTimeoutSeconds = 120;

    CommandLine();

    /// Parses the arguments (argv[0] first). False, with errorText(), on a usage error.
    [[nodiscard]] bool parse(const QStringList &arguments);
    [[nodiscard]] QString errorText() const { return m_error; }

    /// --help, --help-all or --version: printed by showHelpOrVersion, which ends the process.
    [[nodiscard]] bool asksForHelpOrVersion() const;
    [[noreturn]] void showHelpOrVersion();

    [[nodiscard]] Run run() const { return m_run; }
    /// --simulate N (0 without it).
    [[nodiscard]] int simulated() const { return m_simulated; }
    /// --ports DIR (empty without it).
    [[nodiscard]] QString portsFolder() const { return m_parser.value(m_ports); }
    [[nodiscard]] QString loadFile() const { return m_parser.value(m_load); }
    [[nodiscard]] bool programTarget() const { return m_parser.isSet(m_programTarget); }
    [[nodiscard]] bool restoreDefaults() const { return m_parser.isSet(m_restoreDefaults); }
    [[nodiscard]] bool blackBox() const { return m_parser.isSet(m_blackBox); }
    [[nodiscard]] int timeoutSeconds() const { return m_timeoutSeconds; }
    /// --retries N (0 without it).
    [[nodiscard]] int retries() const { return m_retryCount; }
    /// --json: the headless run's stdout as JSON events.
    [[nodiscard]] bool json() const { return m_parser.isSet(m_json); }
    /// --in-state-folder: work in stateFolder() (the desktop entry's start).
    [[nodiscard]] bool inStateFolder() const { return m_parser.isSet(m_inStateFolder); }
    /// The per-user state folder: $XDG_STATE_HOME/vell-usb-programmer, ~/.local/state/... by
    /// default.
    [[nodiscard]] static QString stateFolder();
    /// --log FILE: the attempt log (empty: the default one).
    [[nodiscard]] QString logFile() const { return m_parser.value(m_log); }
    /// --folder DIR: the windows' browser opens there (empty without it).
    [[nodiscard]] QString folder() const { return m_parser.value(m_folder); }
    /// --report [LOG] (or --log LOG): the attempt log to report on (empty: the default one).
    [[nodiscard]] QString reportLog() const { return m_reportLog; }
    [[nodiscard]] QString since() const { return m_parser.value(m_since); }
    [[nodiscard]] QString until() const { return m_parser.value(m_until); }
    [[nodiscard]] QString reportChart() const { return m_parser.value(m_reportChart); }
    [[nodiscard]] QString reportChartSize() const { return m_parser.value(m_reportChartSize); }
    /// --database URL, else $VELL_DATABASE (not for --report): the line database.
    [[nodiscard]] const std::optional<linedb::DatabaseUrl> &database() const { return m_database; }
    /// --ship [LOG] (or --log LOG): the attempt log to send (empty: the default one).
    [[nodiscard]] QString shipLog() const { return m_reportLog; }
    /// --expect-sha256 HEX, --expect-crc32 HEX: the approved image, lower case (empty: none).
    [[nodiscard]] const model::ImagePin &approvedImage() const { return m_approved; }
    /// --scan-boards, --require-board, --board-pattern.
    [[nodiscard]] const model::BoardRules &boardRules() const { return m_boardRules; }
    /// --board COMn=SERIAL of a headless run: each COM number's board serial.
    [[nodiscard]] const QMap<int, QString> &boards() const { return m_boards; }
    /// --report --board SERIAL: the board whose history is asked for (empty without it).
    [[nodiscard]] QString historyBoard() const { return m_historyBoard; }
    /// --operator NAME (empty without it).
    [[nodiscard]] QString operatorName() const { return m_parser.value(m_operator); }
    /// --screenshot DIR: the windows' screenshot tour (empty without it).
    [[nodiscard]] QString screenshotFolder() const { return m_parser.value(m_screenshot); }
    /// --screenshot-boards N: how many times the tour programs the targets (1 without it).
    [[nodiscard]] int screenshotBoards() const { return m_screenshotBoards; }
    /// --listen: the windows take the control socket's commands too.
    [[nodiscard]] bool listen() const { return m_parser.isSet(m_listen); }
    /// --control-socket PATH (empty: the default socket).
    [[nodiscard]] QString controlSocket() const { return m_parser.value(m_controlSocket); }
    /// --control COMMAND with --file, --programmers and the load's options: the request.
    [[nodiscard]] const control::ControlRequest &controlRequest() const { return m_request; }

private:
    bool fail(const QString &text);
    /// The options of the service and its client (--serve, --listen, --control and theirs).
    bool parseControl();
    /// The board options and --operator, once the run is known.
    bool parseBoards();
    bool readDatabase(bool report);

    QCommandLineParser m_parser;
    QCommandLineOption m_ports;
    QCommandLineOption m_simulate;
    QCommandLineOption m_listPorts;
    QCommandLineOption m_load;
    QCommandLineOption m_programTarget;
    QCommandLineOption m_restoreDefaults;
    QCommandLineOption m_blackBox;
    QCommandLineOption m_timeout;
    QCommandLineOption m_retries;
    QCommandLineOption m_json;
    QCommandLineOption m_log;
    QCommandLineOption m_inStateFolder;
    QCommandLineOption m_folder;
    QCommandLineOption m_screenshot;
    QCommandLineOption m_screenshotBoardsOption;
    QCommandLineOption m_report;
    QCommandLineOption m_since;
    QCommandLineOption m_until;
    QCommandLineOption m_reportChart;
    QCommandLineOption m_reportChartSize;
    QCommandLineOption m_expectSha256;
    QCommandLineOption m_expectCrc32;
    QCommandLineOption m_serve;
    QCommandLineOption m_listen;
    QCommandLineOption m_control;
    QCommandLineOption m_controlSocket;
    QCommandLineOption m_file;
    QCommandLineOption m_programmers;
    QCommandLineOption m_scanBoards;
    QCommandLineOption m_requireBoard;
    QCommandLineOption m_boardPattern;
    QCommandLineOption m_board;
    QCommandLineOption m_operator;
    QCommandLineOption m_databaseOption;
    QCommandLineOption m_ship;

    QString m_error;
    QString m_reportLog;
    model::ImagePin m_approved;
    control::ControlRequest m_request;
    model::BoardRules m_boardRules;
    QMap<int, QString> m_boards;
    QString m_historyBoard;
    std::optional<linedb::DatabaseUrl> m_database;
    Run m_run = Run::Windows;
    int m_simulated = 0;
    int m_screenshotBoards = 1;
    int m_timeoutSeconds = kDefaultTimeoutSeconds;
    int m_retryCount = 0;
};

} // namespace vell::cli
