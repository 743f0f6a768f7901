#include "headlessrun.h"

#include "consolereport.h"
#include "logging.h"
#include "texts.h"

#include "app/events.h"
#include "app/station.h"
#include "discovery/texts.h"
#include "linedb/shipper.h"
#include "linedb/texts.h"
#include "load/programfile.h"

#include <QFileInfo>

namespace vell::cli {

using model::ProgrammerNumber;
using model::Step;

HeadlessRun::HeadlessRun(const Options &options, link::LinkFactory factory, ConsoleReport &report,
                         QObject *parent)
    : QObject(parent), m_options(options), m_factory(std::move(factory)), m_report(report),
      m_loadRetries(options.retries), m_targetRetries(options.retries)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this,
            [this] { m_station->endSteps(model::Ending::Timeout); });
    m_shipWait.setSingleShot(true);
    connect(&m_shipWait, &QTimer::timeout, this, &HeadlessRun::summarise);
    m_result.load.asked = !m_options.loadFile.isEmpty();
    m_result.target.asked = m_options.programTarget;
    m_result.timeoutSeconds = m_options.timeoutSeconds;
}

HeadlessRun::~HeadlessRun() = default;

void HeadlessRun::setState(State state)
{
    qCDebug(lcCli) << "state" << int(m_state) << "->" << int(state);
    m_state = state;
}

QString HeadlessRun::usageProblem(const Options &options)
{
    if (options.loadFile.isEmpty() && !options.programTarget && !options.serve)
        return QStringLiteral("Nothing to do: give --load FILE and/or --program-target");
    if (options.timeoutSeconds <= 0)
        return texts::badTimeout(options.timeoutSeconds);
    // Seen without opening anything; a port without a programmer is known after the search.
    for (auto it = options.boards.cbegin(); it != options.boards.cend(); ++it) {
        if (!options.ports.present(it.key()))
            return texts::boardWithoutPort(it.key());
    }
    if (!options.loadFile.isEmpty()) {
        // A file the load would refuse is a bad command line: the file is opened and hashed as
        // the load will, then let go.
        load::ProgramFile probe;
        if (probe.open(QFileInfo(options.loadFile).absoluteFilePath(), options.approved) !=
            load::ProgramFile::Refusal::None)
            return texts::programFileProblem(options.loadFile, probe.refusalLine());
    }
    return {};
}

std::unique_ptr<app::Station> HeadlessRun::makeStation()
{
    model::Timings timings;
    timings.searchTickMs = m_options.searchTickMs;
    auto station = std::make_unique<app::Station>(m_options.ports, m_report, m_factory, timings);
    // A record that cannot be kept is a bad command line when the log was named; the default
    // log only warns, and the run goes on.
    if (!station->openLog(m_options.logFile)) {
        m_report.error(station->logProblem());
        if (!m_options.logFile.isEmpty())
            return nullptr;
    }
    station->setApprovedImage(m_options.approved);
    station->setBoardRules(m_options.boardRules);
    station->setOperatorName(m_options.operatorName);
    if (m_options.database) {
        m_shipper = linedb::Shipper::follow(*station, *m_options.database);
        if (m_shipper)
            connect(m_shipper.get(), &linedb::Shipper::lineSkipped, this,
                    [this](const QString &text) { m_report.error(text); });
    }
    return station;
}

void HeadlessRun::start()
{
    if (m_state != State::Idle)
        return;
    if (const QString problem = usageProblem(m_options); !problem.isEmpty()) {
        m_report.error(problem);
        finish(kExitUsage);
        return;
    }
    if (m_result.load.asked)
        m_path = QFileInfo(m_options.loadFile).absoluteFilePath();
    m_timeout.setInterval(m_options.timeoutSeconds * 1000);
    m_station = makeStation();
    if (!m_station) {
        finish(kExitUsage);
        return;
    }
    // Said when it starts; the run goes on, and its exit says so.
    connect(m_station.get(), &app::Station::logProblemChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            m_report.error(text);
    });
    connect(m_station.get(), &app::Station::attemptEnded, this, &HeadlessRun::onAttemptEnded);
    connect(m_station.get(), &app::Station::operationFinished, this,
            &HeadlessRun::onOperationFinished);
    // The programmers check what they received and answer after the stream: each waits for
    // its verdict from there on.
    connect(m_station.get(), &app::Station::busyChanged, this, [this](bool busy) {
        if (!busy && m_state == State::Loading)
            m_timeout.start();
    });
    connect(m_station.get(), &app::Station::searchFinished, this, &HeadlessRun::onSearchFinished);
    connect(m_station.get(), &app::Station::portUnusable, this,
            [this](const discovery::ProgrammerSearch::UnusablePort &port) {
                m_report.portUnusable(
                    discovery::texts::unusablePort(port.comPort, port.device, port.verdict.text()),
                    app::events::portUnusable(port));
            });
    setState(State::Searching);
    m_station->startSearch();
}

void HeadlessRun::onSearchFinished(bool anyFound)
{
    if (m_state != State::Searching)
        return;
    // The way out of ports this user may not open, said once after them.
    QList<link::PortAccess::Verdict> verdicts;
    for (const auto &port : m_station->search().unusablePorts())
        verdicts << port.verdict;
    if (const QString wayOut = link::PortAccess::wayOut(verdicts); !wayOut.isEmpty())
        m_report.error(wayOut);
    if (!anyFound) {
        const auto unusable = m_station->search().unusablePorts().size();
        m_report.error(unusable > 0
                           ? texts::noUsableProgrammers(m_options.ports.directory(), int(unusable))
                           : texts::noProgrammers(m_options.ports.directory()));
        finish(kExitUsage);
        return;
    }
    m_result.inUse = m_station->programmers().inUse();
    for (const ProgrammerNumber n : m_result.inUse)
        m_result.comPorts[n] = m_station->state(n).comPort;
    // A serial for a COM without a programmer is a mistake on the command line: no board is
    // touched before it is mended.
    for (auto it = m_options.boards.cbegin(); it != m_options.boards.cend(); ++it) {
        if (!programmerOn(it.key())) {
            m_report.error(texts::boardWithoutProgrammer(it.key()));
            finish(kExitUsage);
            return;
        }
    }
    m_report.attach(*m_station);
    m_station->showFoundProgrammers();
    if (m_options.serve) {
        setState(State::Serving);
        Q_EMIT serving();
        return;
    }
    if (m_result.load.asked)
        startLoad();
    else
        startTarget();
}

void HeadlessRun::startLoad()
{
    setState(State::Loading);
    m_station->setRestoreDefaults(m_options.restoreDefaults);
    m_station->setBlackBox(m_options.blackBox);
    m_station->loadProgramFile(m_path);
}

std::optional<ProgrammerNumber> HeadlessRun::programmerOn(int com) const
{
    for (const ProgrammerNumber n : m_result.inUse) {
        if (m_result.comPorts[n] == com)
            return n;
    }
    return std::nullopt;
}

void HeadlessRun::startTarget()
{
    setState(State::Targeting);
    m_timeout.start();
    app::Request request;
    for (auto it = m_options.boards.cbegin(); it != m_options.boards.cend(); ++it)
        request.boards[*programmerOn(it.key())] = it.value();
    m_station->programTarget(request);
}

void HeadlessRun::onAttemptEnded(const app::Attempt &attempt)
{
    if (m_options.serve)
        return; // the control socket's steps are summed up one by one
    m_report.result(attempt);
    m_result.run(attempt.step.step).last[attempt.programmer] = attempt.step;
}

void HeadlessRun::onOperationFinished(const app::OperationResult &result)
{
    const Step step = result.step;
    if ((step == Step::Load && m_state != State::Loading) ||
        (step == Step::ProgramTarget && m_state != State::Targeting))
        return;
    m_timeout.stop();
    app::RunResult::StepRun &run = m_result.run(step);
    if (result.refused) {
        // A repeat refused (the file went away meanwhile) leaves the last tries' results.
        bool tried = false;
        for (const auto &last : run.last)
            tried = tried || last.has_value();
        if (tried)
            m_loadRetries = 0;
        else
            run.refused = true;
    }
    if (m_result.failed(step) && !run.refused && retry(step))
        return; // the repeat's attempts come next
    if (m_result.failed(step)) {
        // Programming boards from a load that did not take everywhere would mix images.
        m_result.target.notRun = step == Step::Load && m_result.target.asked;
        finish(kExitFailed);
    } else if (step == Step::Load && m_result.target.asked) {
        startTarget();
    } else {
        finish(kExitSuccess);
    }
}

bool HeadlessRun::retry(Step step)
{
    int &left = step == Step::Load ? m_loadRetries : m_targetRetries;
    if (left <= 0 || m_station->failedProgrammers().isEmpty())
        return false;
    --left;
    if (step == Step::ProgramTarget)
        m_timeout.start();
    return m_station->retryFailed() != nullptr;
}

void HeadlessRun::stop(int exitCode)
{
    if (!m_station || m_summarised)
        return;
    if (m_state != State::Done) {
        finish(exitCode);
        return;
    }
    // Told to end while its records were being sent: summed up as they stand.
    m_exitCode = exitCode;
    summarise();
}

void HeadlessRun::finish(int exitCode)
{
    // The service ends when it is told to: a success, and its steps were summed up each.
    const bool serving = m_options.serve && exitCode != kExitUsage;
    if (serving)
        exitCode = kExitSuccess;
    setState(State::Done);
    m_timeout.stop();
    m_exitCode = exitCode;
    // Usage errors end before anything ran: there is nothing to sum up in a line then, but JSON
    // still ends with its summary.
    const bool ran = m_ran = m_station && exitCode != kExitUsage;
    if (ran) {
        m_station->endSteps(model::Ending::Closed);
        // The boards are real, so the work ran to its end; its record did not.
        if (m_station->lostRecords() > 0)
            m_exitCode = exitCode = kExitRecordLost;
        for (const ProgrammerNumber n : m_result.inUse)
            m_result.tallies[n] = m_station->tally(n);
        m_result.imageText = m_station->imageText();
        m_result.image = m_station->image();
        m_result.lostRecords = m_station->lostRecords();
        m_result.logProblem = m_station->logProblem();
    }
    m_result.runId = app::runId();
    // The records are safe in the log; the run waits a while for them to reach the line
    // database too, and its summary says what did not.
    if (m_shipper)
        m_shipper->poke(); // the run's last records are counted, whoever heard of them first
    if (m_shipper && m_shipper->pending()) {
        connect(m_shipper.get(), &linedb::Shipper::changed, this, [this] {
            if (!m_shipper->pending())
                summarise();
        });
        m_shipWait.start(kShipWaitSeconds * 1000);
        return;
    }
    summarise();
}

void HeadlessRun::summarise()
{
    if (m_summarised)
        return;
    m_summarised = true;
    m_shipWait.stop();
    if (m_shipper) {
        m_result.unsent = m_shipper->unsent();
        if (m_shipper->unsent() > 0)
            m_result.unsentWhy = m_shipper->problem().isEmpty()
                                     ? linedb::texts::stillSending(kShipWaitSeconds)
                                     : m_shipper->problem();
    }
    // The service's steps were summed up each as they ended.
    const QString line = m_ran ? m_result.summaryLine() : QString();
    if (!m_options.serve || m_exitCode == kExitUsage)
        m_report.summary(line, app::events::summary(m_result, m_exitCode, line));
    Q_EMIT finished(m_exitCode);
}

} // namespace vell::cli
