#include "commandline.h"

#include "model/programmerstate.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <optional>

namespace vell::cli {

namespace {

/// A positive whole number from an option's value, or nothing.
std::optional<int> positiveNumber(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value <= 0)
        return std::nullopt;
    return value;
}

/// A hash given as hex digits (an "0x" before them is allowed), in lower case; nothing unless
/// it has exactly digits digits. Only ASCII ones: QChar::isDigit() takes the digits of every
/// script, which no hash the tool computes holds.
std::optional<QString> hexHash(QString text, int digits)
{
    text = text.trimmed().toLower();
    if (text.startsWith(QLatin1String("0x")))
        text.remove(0, 2);
    if (text.size() != digits)
        return std::nullopt;
    for (const QChar c : std::as_const(text))
        if ((c < u'0' || c > u'9') && (c < u'a' || c > u'f'))
            return std::nullopt;
    return text;
}

} // namespace

CommandLine::CommandLine()
    : m_ports(QStringLiteral("ports"), QStringLiteral("COM n is the device DIR/COMn."),
              QStringLiteral("DIR")),
      m_simulate(QStringLiteral("simulate"),
                 QStringLiteral("Run N simulated programmers (1..4) on COM1..COMN."),
                 QStringLiteral("N")),
      m_listPorts(
          QStringLiteral("list-ports"),
          QStringLiteral("Print the COM numbers with their devices, USB locations, VID:PID, "
                         "serial numbers and descriptions, exit.")),
      m_load(QStringLiteral("load"),
             QStringLiteral("Headless: search, load FILE into every programmer found, wait for "
                            "each result."),
             QStringLiteral("FILE")),
      m_programTarget(QStringLiteral("program-target"),
                      QStringLiteral("Headless: then (or alone) program every target board, "
                                     "wait for each result.")),
      m_restoreDefaults(QStringLiteral("restore-defaults"),
                        QStringLiteral("Restore defaults when programming.")),
      m_blackBox(QStringLiteral("black-box"),
                 QStringLiteral("The file is in the old black-box format.")),
      m_timeout(QStringLiteral("timeout"),
                QStringLiteral("Headless: seconds to wait for each result (default %1).")
                    .arg(kDefaultTimeoutSeconds),
                QStringLiteral("SECONDS"), QString::number(kDefaultTimeoutSeconds)),
      m_retries(QStringLiteral("retries"),
                QStringLiteral("Headless: repeat each step up to N times on the programmers "
                               "whose step failed, only on those (default 0)."),
                QStringLiteral("N"), QStringLiteral("0")),
      m_json(QStringLiteral("json"),
             QStringLiteral("Headless: print one JSON object per line (found, status, progress, "
                            "prompt, result, summary events); --list-ports: a JSON array.")),
      m_log(QStringLiteral("log"),
            QStringLiteral("Append a record of every attempt to FILE (default: attempts.jsonl "
                           "in the per-user data folder)."),
            QStringLiteral("FILE")),
      m_inStateFolder(QStringLiteral("in-state-folder"),
                      QStringLiteral("Work in the per-user state folder, where the port files "
                                     "are made (the desktop menu's start).")),
      m_folder(QStringLiteral("folder"),
               QStringLiteral("Developer: open the file browser at DIR instead of the "
                              "remembered folder."),
               QStringLiteral("DIR")),
      m_screenshot(QStringLiteral("screenshot"),
                   QStringLiteral("Developer: save both windows as PNGs in DIR and exit."),
                   QStringLiteral("DIR")),
      m_screenshotBoardsOption(
          QStringLiteral("screenshot-boards"),
          QStringLiteral("Developer: the screenshot tour programs the targets N "
                         "times before its last pictures."),
          QStringLiteral("N")),
      m_report(QStringLiteral("report"),
               QStringLiteral("Print the shift report of the attempt log LOG (given after the "
                              "options; default: the default log) and exit.")),
      m_since(QStringLiteral("since"),
              QStringLiteral("--report: only records from TIME on (ISO 8601, a date alone too)."),
              QStringLiteral("TIME")),
      m_until(QStringLiteral("until"),
              QStringLiteral("--report: only records up to TIME (a date alone: to its end)."),
              QStringLiteral("TIME")),
      m_reportChart(QStringLiteral("report-chart"),
                    QStringLiteral("--report: also draw each programmer's yield and failures by "
                                   "code into FILE (.png or .svg)."),
                    QStringLiteral("FILE")),
      m_reportChartSize(QStringLiteral("report-chart-size"),
                        QStringLiteral("--report-chart: the picture's size (default 1280x720)."),
                        QStringLiteral("WIDTHxHEIGHT")),
      m_expectSha256(QStringLiteral("expect-sha256"),
                     QStringLiteral("Load only the approved image: refuse any program file whose "
                                    "SHA-256 is not HEX (64 hex digits)."),
                     QStringLiteral("HEX")),
      m_expectCrc32(QStringLiteral("expect-crc32"),
                    QStringLiteral("Load only the approved image: refuse any program file whose "
                                   "CRC-32 is not HEX (8 hex digits)."),
                    QStringLiteral("HEX")),
      m_serve(QStringLiteral("serve"),
              QStringLiteral("The station service: search once, hold the programmers and take "
                             "commands on the control socket until SIGTERM or SIGINT.")),
      m_listen(QStringLiteral("listen"),
               QStringLiteral("The windows take the control socket's commands too.")),
      m_control(QStringLiteral("control"),
                QStringLiteral("Send COMMAND (status, load, program-target, retry-failed, search, "
                               "subscribe) to the station on the control socket, print its "
                               "events and exit with its result."),
                QStringLiteral("COMMAND")),
      m_controlSocket(QStringLiteral("control-socket"),
                      QStringLiteral("The control socket of --serve, --listen and --control "
                                     "(default: $XDG_RUNTIME_DIR/vell-usb-programmer/control)."),
                      QStringLiteral("PATH")),
      m_file(QStringLiteral("file"), QStringLiteral("--control load: the program file."),
             QStringLiteral("FILE")),
      m_programmers(QStringLiteral("programmers"),
                    QStringLiteral("--control load, program-target: only these programmers "
                                   "(numbers from 1 to 4, comma-separated)."),
                    QStringLiteral("LIST")),
      m_scanBoards(QStringLiteral("scan-boards"),
                   QStringLiteral("The windows: a Board field per programmer for its target "
                                  "board's serial (a scanner types it, then Enter).")),
      m_requireBoard(QStringLiteral("require-board"),
                     QStringLiteral("Leave out of program-target every programmer without a "
                                    "board serial (the windows show the Board fields).")),
      m_boardPattern(QStringLiteral("board-pattern"),
                     QStringLiteral("Every board serial must match REGEX whole."),
                     QStringLiteral("REGEX")),
      m_board(QStringLiteral("board"),
              QStringLiteral("Headless: the serial of the board on COM n (repeatable). With "
                             "--report: print the history of board SERIAL."),
              QStringLiteral("COMn=SERIAL")),
      m_operator(QStringLiteral("operator"),
                 QStringLiteral("Name every record after NAME, who runs the bench."),
                 QStringLiteral("NAME")),
      m_databaseOption(QStringLiteral("database"),
                       QStringLiteral("The line database, a libpq connection URI such as "
                                      "postgresql://bench@db.example.com/line?sslmode=verify-full "
                                      "(default: $VELL_DATABASE): every record is sent there too; "
                                      "with --report, report over it instead of a log."),
                       QStringLiteral("URL")),
      m_ship(QStringLiteral("ship"),
             QStringLiteral("Send the records of the attempt log LOG (given after the options; "
                            "default: the default log) not yet in the line database, and exit: "
                            "0 when all are there, 1 when not."))
{
    m_screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    m_screenshotBoardsOption.setFlags(QCommandLineOption::HiddenFromHelp);
    m_parser.setApplicationDescription(
        QStringLiteral("Finds up to four USB programmers, loads one program file into all of "
                       "them and has each program its target board."));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOptions({m_ports,
                         m_simulate,
                         m_listPorts,
                         m_load,
                         m_programTarget,
                         m_restoreDefaults,
                         m_blackBox,
                         m_timeout,
                         m_retries,
                         m_json,
                         m_log,
                         m_inStateFolder,
                         m_folder,
                         m_screenshot,
                         m_screenshotBoardsOption,
                         m_report,
                         m_since,
                         m_until,
                         m_reportChart,
                         m_reportChartSize,
                         m_expectSha256,
                         m_expectCrc32,
                         m_serve,
                         m_listen,
                         m_control,
                         m_controlSocket,
                         m_file,
                         m_programmers,
                         m_scanBoards,
                         m_requireBoard,
                         m_boardPattern,
                         m_board,
                         m_operator,
                         m_databaseOption,
                         m_ship});
}

bool CommandLine::fail(const QString &text)
{
    m_error = text;
    return false;
}

bool CommandLine::parse(const QStringList &arguments)
{
    if (!m_parser.parse(arguments))
        return fail(m_parser.errorText());
    const QStringList positional = m_parser.positionalArguments();
    const bool report = m_parser.isSet(m_report);
    const bool ship = m_parser.isSet(m_ship);
    if (positional.size() > (report || ship ? 1 : 0))
        return fail(QStringLiteral("unexpected argument '%1'").arg(positional.constLast()));
    if (asksForHelpOrVersion())
        return true;
    if (m_parser.isSet(m_expectSha256) || m_parser.isSet(m_expectCrc32)) {
        if (report || m_parser.isSet(m_listPorts))
            return fail(QStringLiteral("--expect-sha256 and --expect-crc32 are for a load, in the "
                                       "windows or headless"));
        if (m_parser.isSet(m_expectSha256)) {
            const std::optional<QString> hash = hexHash(m_parser.value(m_expectSha256), 64);
            if (!hash)
                return fail(QStringLiteral("--expect-sha256 takes 64 hex digits"));
            m_approved.sha256 = *hash;
        }
        if (m_parser.isSet(m_expectCrc32)) {
            const std::optional<QString> hash = hexHash(m_parser.value(m_expectCrc32), 8);
            if (!hash)
                return fail(QStringLiteral("--expect-crc32 takes 8 hex digits"));
            m_approved.crc32 = *hash;
        }
    }
    if (report || ship) {
        if (m_parser.isSet(m_load) || m_parser.isSet(m_programTarget) ||
            m_parser.isSet(m_listPorts) || m_parser.isSet(m_simulate) || m_parser.isSet(m_ports) ||
            (report && ship))
            return fail(QStringLiteral("--report and --ship read a log: they take no run, "
                                       "--list-ports, --simulate or --ports, nor each other"));
        for (const QCommandLineOption *option :
             {&m_scanBoards, &m_requireBoard, &m_boardPattern, &m_operator})
            if (m_parser.isSet(*option))
                return fail(QStringLiteral("--%1 is for the windows, a headless run or --serve")
                                .arg(option->names().constFirst()));
        const QStringList boards = m_parser.values(m_board);
        if (boards.size() > 1)
            return fail(QStringLiteral("--report takes one --board SERIAL"));
        if (!boards.isEmpty()) {
            if (const QString why = model::BoardRules().reason(boards.at(0)); !why.isEmpty())
                return fail(QStringLiteral("--board: %1").arg(why));
            m_historyBoard = boards.at(0);
        }
        m_reportLog = positional.value(0, logFile());
        m_run = report ? Run::Report : Run::Ship;
        if (!readDatabase(report))
            return false;
        if (ship && !m_database)
            return fail(QStringLiteral("--ship needs the line database: --database URL or $%1")
                            .arg(QLatin1String(linedb::DatabaseUrl::kEnvironment)));
        if (report && m_database && !positional.isEmpty())
            return fail(QStringLiteral("--report reads either a log or --database, not both"));
        // A board's history is read from a log; --ship sends records, it reads no board.
        if (!m_historyBoard.isEmpty() && (ship || m_database))
            return fail(QStringLiteral("--board SERIAL is for --report over a log"));
        if (ship) {
            if (m_parser.isSet(m_json))
                return fail(QStringLiteral("--json is for a headless run, --list-ports and "
                                           "--report"));
            for (const QCommandLineOption *option :
                 {&m_since, &m_until, &m_reportChart, &m_reportChartSize})
                if (m_parser.isSet(*option))
                    return fail(
                        QStringLiteral("--%1 is for --report").arg(option->names().constFirst()));
        }
        return true;
    }
    for (const QCommandLineOption *option :
         {&m_since, &m_until, &m_reportChart, &m_reportChartSize})
        if (m_parser.isSet(*option))
            return fail(QStringLiteral("--%1 is for --report").arg(option->names().constFirst()));

    m_run = m_parser.isSet(m_control)                                   ? Run::Control
            : m_parser.isSet(m_serve)                                   ? Run::Serve
            : m_parser.isSet(m_load) || m_parser.isSet(m_programTarget) ? Run::Headless
            : m_parser.isSet(m_listPorts)                               ? Run::ListPorts
                                                                        : Run::Windows;
    if (!parseControl())
        return false;
    if (m_parser.isSet(m_simulate)) {
        const std::optional<int> n = positiveNumber(m_parser.value(m_simulate));
        if (!n || *n > model::kProgrammerCount)
            return fail(QStringLiteral("--simulate takes a number from 1 to 4"));
        if (m_parser.isSet(m_ports))
            return fail(QStringLiteral("--simulate and --ports cannot be used together"));
        m_simulated = *n;
    }
    if (m_parser.isSet(m_timeout)) {
        const std::optional<int> seconds = positiveNumber(m_parser.value(m_timeout));
        if (!seconds)
            return fail(QStringLiteral("--timeout takes a whole number of seconds"));
        m_timeoutSeconds = *seconds;
    }
    if (m_parser.isSet(m_retries)) {
        bool ok = false;
        const int retries = m_parser.value(m_retries).toInt(&ok);
        if (!ok || retries < 0)
            return fail(QStringLiteral("--retries takes a whole number from 0 (got '%1')")
                            .arg(m_parser.value(m_retries)));
        if (m_run != Run::Headless && m_run != Run::Serve)
            return fail(QStringLiteral(
                "--retries is for a headless run (--load, --program-target) and --serve"));
        m_retryCount = retries;
    }
    if (m_run == Run::ListPorts && m_parser.isSet(m_databaseOption))
        return fail(QStringLiteral("--database is for the windows, a headless run, --ship and "
                                   "--report"));
    if (m_run != Run::ListPorts && !readDatabase(false))
        return false;
    if (m_parser.isSet(m_ports) && !QFileInfo(portsFolder()).isDir())
        return fail(QStringLiteral("--ports: no folder '%1'").arg(portsFolder()));
    if (m_parser.isSet(m_folder) && m_run != Run::Windows)
        return fail(QStringLiteral("--folder is for the windows"));
    if (m_parser.isSet(m_folder) && !QFileInfo(folder()).isDir())
        return fail(QStringLiteral("--folder: no folder '%1'").arg(folder()));
    if (m_parser.isSet(m_json) && m_run == Run::Windows)
        return fail(QStringLiteral("--json is for a headless run (--load, --program-target), "
                                   "--serve, --control and --list-ports"));
    if (m_parser.isSet(m_log) && logFile().isEmpty())
        return fail(QStringLiteral("--log takes a file name"));
    if (m_parser.isSet(m_screenshot) && m_run != Run::Windows)
        return fail(QStringLiteral("--screenshot is for the windows"));
    if (!parseBoards())
        return false;
    if (m_parser.isSet(m_screenshotBoardsOption)) {
        const std::optional<int> boards = positiveNumber(m_parser.value(m_screenshotBoardsOption));
        if (!boards || !m_parser.isSet(m_screenshot))
            return fail(
                QStringLiteral("--screenshot-boards takes a whole number, with --screenshot"));
        m_screenshotBoards = *boards;
    }
    return true;
}

bool CommandLine::parseControl()
{
    const bool serve = m_parser.isSet(m_serve);
    if (serve && (m_run != Run::Serve || m_parser.isSet(m_load) ||
                  m_parser.isSet(m_programTarget) || m_parser.isSet(m_listPorts)))
        return fail(QStringLiteral("--serve takes its commands on the control socket: no --load, "
                                   "--program-target, --list-ports or --control"));
    if (m_parser.isSet(m_listen) && m_run != Run::Windows)
        return fail(QStringLiteral("--listen is for the windows"));
    if (m_parser.isSet(m_controlSocket) && !serve && m_run != Run::Control &&
        !m_parser.isSet(m_listen))
        return fail(QStringLiteral("--control-socket is for --serve, --listen and --control"));
    if (m_run != Run::Control) {
        if (m_parser.isSet(m_file) || m_parser.isSet(m_programmers))
            return fail(QStringLiteral("--file and --programmers are for --control"));
        return true;
    }
    for (const QCommandLineOption *option :
         {&m_load, &m_programTarget, &m_listPorts, &m_simulate, &m_ports, &m_log, &m_expectSha256,
          &m_expectCrc32, &m_retries, &m_timeout, &m_folder, &m_screenshot})
        if (m_parser.isSet(*option))
            return fail(QStringLiteral("--control sends a command to a station: it takes no --%1")
                            .arg(option->names().constFirst()));
    const std::optional<control::Command> command =
        control::commandNamed(m_parser.value(m_control));
    if (!command)
        return fail(QStringLiteral("--control: unknown command '%1' (status, load, "
                                   "program-target, retry-failed, search, subscribe)")
                        .arg(m_parser.value(m_control)));
    m_request.command = *command;
    if (m_parser.isSet(m_file) != (*command == control::Command::Load))
        return fail(QStringLiteral("--control load takes --file FILE, the other commands none"));
    // The station reads the file where it runs: a path from here, made absolute.
    if (m_parser.isSet(m_file))
        m_request.file = QFileInfo(m_parser.value(m_file)).absoluteFilePath();
    m_request.restoreDefaults = restoreDefaults();
    m_request.blackBox = blackBox();
    if (m_parser.isSet(m_programmers)) {
        model::ProgrammerSet set;
        for (const QString &item : m_parser.value(m_programmers).split(u',')) {
            const auto n = model::ProgrammerNumber::from(positiveNumber(item).value_or(0));
            if (!n)
                return fail(QStringLiteral("--programmers takes numbers from 1 to 4, "
                                           "comma-separated (got '%1')")
                                .arg(m_parser.value(m_programmers)));
            set.insert(*n);
        }
        m_request.programmers = set;
    }
    return true;
}

bool CommandLine::parseBoards()
{
    const bool run = m_run == Run::Windows || m_run == Run::Headless || m_run == Run::Serve;
    for (const QCommandLineOption *option : {&m_requireBoard, &m_boardPattern, &m_operator})
        if (m_parser.isSet(*option) && !run)
            return fail(QStringLiteral("--%1 is for the windows, a headless run or --serve")
                            .arg(option->names().constFirst()));
    if (m_parser.isSet(m_scanBoards) && m_run != Run::Windows)
        return fail(QStringLiteral("--scan-boards is for the windows (headless: --board)"));
    m_boardRules.scan = m_parser.isSet(m_scanBoards);
    m_boardRules.required = m_parser.isSet(m_requireBoard);
    QString error;
    if (m_parser.isSet(m_boardPattern) &&
        !m_boardRules.setPattern(m_parser.value(m_boardPattern), &error))
        return fail(QStringLiteral("--board-pattern: '%1' is no regular expression (%2)")
                        .arg(m_parser.value(m_boardPattern), error));
    if (m_parser.isSet(m_operator)) {
        // A name is held to a serial's bounds: printable, at most 64 characters.
        if (operatorName().isEmpty())
            return fail(QStringLiteral("--operator takes a name"));
        if (const QString why = model::BoardRules().reason(operatorName()); !why.isEmpty())
            return fail(QStringLiteral("--operator: %1").arg(why));
    }
    static const QRegularExpression form(QStringLiteral("^COM(\\d{1,2})=(.*)$"),
                                         QRegularExpression::CaseInsensitiveOption |
                                             QRegularExpression::DotMatchesEverythingOption);
    for (const QString &value : m_parser.values(m_board)) {
        if (m_run != Run::Headless || !programTarget())
            return fail(QStringLiteral("--board COMn=SERIAL is for a headless --program-target "
                                       "(with --report: --board SERIAL)"));
        const QRegularExpressionMatch m = form.match(value);
        const int com = m.hasMatch() ? m.captured(1).toInt() : 0;
        if (com < 1 || com > link::PortNames::kMaxPort)
            return fail(
                QStringLiteral("--board takes COMn=SERIAL, n from 1 to 15, not '%1'").arg(value));
        if (m_boards.contains(com))
            return fail(QStringLiteral("--board: COM%1 is given twice").arg(com));
        if (const QString why = m_boardRules.reason(m.captured(2)); !why.isEmpty())
            return fail(QStringLiteral("--board COM%1: %2").arg(com).arg(why));
        m_boards.insert(com, m.captured(2));
    }
    return true;
}

bool CommandLine::readDatabase(bool report)
{
    // The environment names the database records are sent to; a report over it is asked for
    // by name only, so --report alone always reads a log.
    const bool given = m_parser.isSet(m_databaseOption);
    const QString text = given ? m_parser.value(m_databaseOption)
                               : qEnvironmentVariable(linedb::DatabaseUrl::kEnvironment);
    if ((report && !given) || (!given && text.isEmpty()))
        return true;
    const QString name = given
                             ? QStringLiteral("--database")
                             : QLatin1Char('$') + QLatin1String(linedb::DatabaseUrl::kEnvironment);
    QString error;
    m_database = linedb::DatabaseUrl::parse(text, &error);
    if (!m_database)
        return fail(QStringLiteral("%1: not a PostgreSQL connection URI: %2").arg(name, error));
    return true;
}

QString CommandLine::stateFolder()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir(base).filePath(QStringLiteral("vell-usb-programmer"));
}

bool CommandLine::asksForHelpOrVersion() const
{
    return m_parser.isSet(QStringLiteral("help")) || m_parser.isSet(QStringLiteral("help-all")) ||
           m_parser.isSet(QStringLiteral("version"));
}

void CommandLine::showHelpOrVersion()
{
    if (m_parser.isSet(QStringLiteral("version")))
        m_parser.showVersion();
    m_parser.showHelp(0);
}

} // namespace vell::cli
