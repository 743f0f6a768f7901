#include "headlessrun.h"

#include "consolereport.h"
#include "logging.h"
#include "texts.h"

#include "app/station.h"
#include "app/texts.h"
#include "discovery/texts.h"
#include "load/programfile.h"
#include "load/texts.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QStringList>

namespace vell::cli {

HeadlessRun::HeadlessRun(const Options &options, link::LinkFactory factory, ConsoleReport &report,
                         QObject *parent)
    : QObject(parent), m_options(options), m_factory(std::move(factory)), m_report(report)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &HeadlessRun::onTimeout);
    m_asked[Load] = !m_options.loadFile.isEmpty();
    m_asked[Target] = m_options.programTarget;
    m_retriesLeft = {m_options.retries, m_options.retries};
}

HeadlessRun::~HeadlessRun() = default;

void HeadlessRun::setState(State state)
{
    qCDebug(lcCli) << "state" << int(m_state) << "->" << int(state);
    m_state = state;
}

void HeadlessRun::start()
{
    if (m_state != State::Idle)
        return;
    if (!m_asked[Load] && !m_asked[Target]) {
        m_report.error(QStringLiteral("Nothing to do: give --load FILE and/or --program-target"));
        finish(kExitUsage);
        return;
    }
    if (m_options.timeoutSeconds <= 0) {
        m_report.error(texts::badTimeout(m_options.timeoutSeconds));
        finish(kExitUsage);
        return;
    }
    if (m_asked[Load]) {
        // A file the load would refuse is a bad command line: say so before any port is touched.
        m_path = QFileInfo(m_options.loadFile).absoluteFilePath();
        // The file is opened and hashed as the load will, then let go.
        QString problem;
        load::ProgramFile probe;
        switch (probe.open(m_path, nullptr, m_options.approved)) {
        case load::ProgramFile::Refusal::None:
            break;
        case load::ProgramFile::Refusal::NotFound:
            problem = load::texts::kProgramFileNotFound;
            break;
        case load::ProgramFile::Refusal::NotAFile:
            problem = load::texts::kProgramFileNotAFile;
            break;
        case load::ProgramFile::Refusal::Unreadable:
            problem = load::texts::kProgramFileUnreadable;
            break;
        case load::ProgramFile::Refusal::TooLarge:
            problem = load::texts::kProgramFileTooLarge + QStringLiteral(" (") +
                      load::texts::kProgramFileLimit + QLatin1Char(')');
            break;
        case load::ProgramFile::Refusal::NotApproved:
            problem = load::texts::kProgramFileNotApproved + u'\n' +
                      load::texts::notApprovedHashes(m_options.approved, probe.identity());
            break;
        }
        if (!problem.isEmpty()) {
            m_report.error(texts::programFileProblem(m_options.loadFile, problem));
            finish(kExitUsage);
            return;
        }
    }
    m_timeout.setInterval(m_options.timeoutSeconds * 1000);

    app::StationTimings timings;
    timings.searchTickMs = m_options.searchTickMs;
    auto station = std::make_unique<app::Station>(m_options.ports, m_report, m_factory, timings);
    // A record that cannot be kept is a bad command line when the log was named; the default
    // log only warns, and the run goes on.
    if (!station->openLog(m_options.logFile)) {
        m_report.error(station->logProblem());
        if (!m_options.logFile.isEmpty()) {
            finish(kExitUsage);
            return;
        }
    }
    station->setApprovedImage(m_options.approved);
    m_station = std::move(station);
    // Said when it starts; the run goes on, and its exit says so.
    connect(m_station.get(), &app::Station::logProblemChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            m_report.error(text);
    });
    connect(m_station.get(), &app::Station::attemptEnded, this, &HeadlessRun::onAttemptEnded);
    connect(m_station.get(), &app::Station::loadRefused, this, [this] {
        // A repeat refused (the file went away meanwhile) leaves the last tries' results.
        if (m_retrying) {
            m_retriesLeft[Load] = 0;
            m_waiting[Load] = {};
        } else {
            m_loadRefused = true;
        }
        checkStep();
    });
    // The programmers check what they received and answer after the stream; the next
    // command waits for the load to end, also when every verdict came before.
    connect(m_station.get(), &app::Station::busyChanged, this, [this](bool busy) {
        if (busy || m_state != State::Loading)
            return;
        m_timeout.start();
        checkStep();
    });
    connect(m_station.get(), &app::Station::searchFinished, this, &HeadlessRun::onSearchFinished);
    connect(m_station.get(), &app::Station::portUnusable, this,
            [this](const discovery::ProgrammerSearch::UnusablePort &port) {
                QJsonObject fields = port.verdict.toJson();
                fields[QStringLiteral("com")] = port.comPort;
                fields[QStringLiteral("device")] = port.device;
                m_report.portUnusable(
                    discovery::texts::unusablePort(port.comPort, port.device, port.verdict.text()),
                    fields);
            });
    setState(State::Searching);
    m_station->startSearch();
}

void HeadlessRun::onSearchFinished(bool anyFound)
{
    if (m_state != State::Searching)
        return;
    if (!anyFound) {
        const auto unusable = m_station->search().unusablePorts().size();
        m_report.error(unusable > 0
                           ? texts::noUsableProgrammers(m_options.ports.directory(), int(unusable))
                           : texts::noProgrammers(m_options.ports.directory()));
        finish(kExitUsage);
        return;
    }
    m_report.attach(*m_station);
    m_station->showFoundProgrammers();
    if (m_asked[Load])
        startLoad();
    else
        startTarget();
}

void HeadlessRun::startLoad()
{
    setState(State::Loading);
    m_waiting[Load] = m_station->programmers().targets();
    m_station->setRestoreDefaults(m_options.restoreDefaults);
    m_station->setBlackBox(m_options.blackBox);
    m_station->loadProgramFile(m_path);
}

void HeadlessRun::startTarget()
{
    setState(State::Targeting);
    m_retrying = false;
    m_waiting[Target] = m_station->programmers().targets();
    m_timeout.start();
    m_station->programTarget();
}

bool HeadlessRun::retry(Step step)
{
    const link::ProgrammerSet failed = m_station->failedProgrammers();
    if (m_retriesLeft[step] <= 0 || failed == link::ProgrammerSet{})
        return false;
    --m_retriesLeft[step];
    m_retrying = true;
    m_waiting[step] = failed;
    if (step == Target)
        m_timeout.start();
    return m_station->retryFailed();
}

void HeadlessRun::onAttemptEnded(const app::Attempt &attempt)
{
    m_report.result(attempt);
    const Step step = attempt.step.step == link::Step::Load ? Load : Target;
    m_attempts[step][size_t(attempt.programmer - 1)] = attempt;
    m_waiting[step][size_t(attempt.programmer - 1)] = false;
    checkStep();
}

void HeadlessRun::onTimeout()
{
    m_station->endSteps(link::Ending::Timeout);
}

void HeadlessRun::checkStep()
{
    Step step = Load;
    if (m_state == State::Loading)
        step = Load;
    else if (m_state == State::Targeting)
        step = Target;
    else
        return;
    if (step == Load && m_station->busy())
        return;
    if (!(step == Load && m_loadRefused) && m_waiting[step] != link::ProgrammerSet{})
        return;
    m_timeout.stop();

    if (stepFailed(step) && !(step == Load && m_loadRefused) && retry(step))
        return; // the repeat's attempts come next
    if (stepFailed(step)) {
        // Programming boards from a load that did not take everywhere would mix images.
        m_targetNotRun = step == Load && m_asked[Target];
        finish(kExitFailed);
    } else if (step == Load && m_asked[Target]) {
        startTarget();
    } else {
        finish(kExitSuccess);
    }
}

bool HeadlessRun::succeeded(Step step, int n) const
{
    const auto &attempt = m_attempts[step][size_t(n - 1)];
    return attempt && attempt->result() == link::Result::Ok && !(step == Load && m_loadRefused);
}

bool HeadlessRun::stepFailed(Step step) const
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (m_station->programmers().inUse(n) && !succeeded(step, n))
            return true;
    }
    return false;
}

QString HeadlessRun::failure(Step step, int n) const
{
    if (step == Load && m_loadRefused)
        return texts::kLoadNotStarted;
    const auto &attempt = m_attempts[step][size_t(n - 1)];
    if (!attempt || !attempt->step.ending)
        return {};
    switch (*attempt->step.ending) {
    case link::Ending::Lost:
    case link::Ending::Unopenable:
        return load::texts::kCommunicationLost;
    case link::Ending::TimedOut:
        return texts::kNoAnswerToLoad;
    case link::Ending::StreamFailed:
        return texts::kLoadEnded;
    case link::Ending::NotStarted:
        return texts::kLoadNotStarted;
    case link::Ending::Timeout:
        return texts::timedOut(m_options.timeoutSeconds);
    case link::Ending::Superseded:
    case link::Ending::Closed:
        return {};
    case link::Ending::Ok:
    case link::Ending::Error:
    case link::Ending::Skipped:
        break;
    }
    return attempt->text;
}

QString HeadlessRun::summary() const
{
    const auto &programmers = m_station->programmers();
    int inUse = 0;
    for (int n = 1; n <= link::kProgrammerCount; ++n)
        inUse += programmers.inUse(n) ? 1 : 0;

    QStringList steps;
    QStringList failures;
    for (Step step : {Load, Target}) {
        if (!m_asked[step])
            continue;
        const QString name = step == Load ? texts::kStepLoad : texts::kStepTarget;
        if (step == Target && m_targetNotRun) {
            steps << name + QLatin1Char(' ') + texts::kNotRun;
            continue;
        }
        int ok = 0;
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            if (!programmers.inUse(n))
                continue;
            if (succeeded(step, n))
                ++ok;
            else
                failures << texts::programmerName(n, programmers.state(n).comPort) +
                                QLatin1Char(' ') + name + QStringLiteral(": ") + failure(step, n);
        }
        steps
            << QStringLiteral("%1 %2 on %3 of %4").arg(name, texts::kSucceeded).arg(ok).arg(inUse);
    }
    QString line = texts::kSummary + steps.join(QStringLiteral(", ")) + imageAndTallies();
    if (!failures.isEmpty())
        line += QStringLiteral("; ") + texts::kFailed + QStringLiteral(": ") +
                failures.join(QStringLiteral("; "));
    // Only said when a step was repeated, so the line of a run without retries stays as it was.
    const QStringList repeated = retried();
    if (!repeated.isEmpty())
        line += QStringLiteral("; ") + texts::kRetried + repeated.join(QStringLiteral("; "));
    if (m_station->lostRecords() > 0)
        line += QStringLiteral("; ") +
                texts::recordsLost(m_station->lostRecords(), m_station->logProblem());
    return line;
}

QStringList HeadlessRun::retried() const
{
    QStringList lines;
    for (Step step : {Load, Target}) {
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            const auto &attempt = m_attempts[step][size_t(n - 1)];
            if (!attempt || attempt->step.tryNumber < 2)
                continue;
            const QString result = succeeded(step, n) ? attempt->text : failure(step, n);
            lines << texts::programmerName(n, attempt->comPort) + QLatin1Char(' ') +
                         (step == Load ? texts::kStepLoad : texts::kStepTarget) +
                         QStringLiteral(": ") + texts::tries(result, attempt->step.tryNumber);
        }
    }
    return lines;
}

QString HeadlessRun::imageAndTallies() const
{
    QString text;
    const QString image = m_station->imageText();
    if (!image.isEmpty())
        text += QStringLiteral("; ") + texts::kFile + image;
    if (!m_asked[Target])
        return text;
    QStringList tallies;
    const auto &programmers = m_station->programmers();
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!programmers.inUse(n))
            continue;
        const app::Tally &tally = m_station->tally(n);
        tallies << texts::programmerName(n, programmers.state(n).comPort) + QLatin1Char(' ') +
                       app::texts::tally(tally.ok, tally.failed, tally.yieldPercent());
    }
    return text + QStringLiteral("; ") + texts::kBoards + tallies.join(QStringLiteral(", "));
}

QJsonObject HeadlessRun::summaryJson(int exitCode) const
{
    const auto &programmers = m_station->programmers();
    int loaded = 0;
    int programmed = 0;
    QJsonArray failed;
    QJsonArray tallies;
    QJsonArray tries;
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!programmers.inUse(n))
            continue;
        for (Step step : {Load, Target}) {
            if (!m_asked[step])
                continue;
            if (const auto &attempt = m_attempts[step][size_t(n - 1)])
                tries.append(QJsonObject{
                    {QStringLiteral("programmer"), n},
                    {QStringLiteral("step"),
                     step == Load ? QStringLiteral("load") : QStringLiteral("program-target")},
                    {QStringLiteral("tries"), attempt->step.tryNumber}});
            if (succeeded(step, n)) {
                ++(step == Load ? loaded : programmed);
                continue;
            }
            const bool notRun = step == Target && m_targetNotRun;
            failed.append(QJsonObject{
                {QStringLiteral("programmer"), n},
                {QStringLiteral("step"),
                 step == Load ? QStringLiteral("load") : QStringLiteral("program-target")},
                {QStringLiteral("text"), notRun ? texts::kNotRun : failure(step, n)}});
        }
        const app::Tally &tally = m_station->tally(n);
        const auto yield = tally.yieldPercent();
        tallies.append(
            QJsonObject{{QStringLiteral("programmer"), n},
                        {QStringLiteral("ok"), tally.ok},
                        {QStringLiteral("failed"), tally.failed},
                        {QStringLiteral("yield"), yield ? QJsonValue(*yield) : QJsonValue()}});
    }
    const auto &image = m_station->image();
    const int lost = m_station->lostRecords();
    return {{QStringLiteral("exit"), exitCode},
            {QStringLiteral("run_id"), app::runId()},
            {QStringLiteral("records_lost"), lost},
            {QStringLiteral("records_lost_why"),
             lost > 0 ? QJsonValue(m_station->logProblem()) : QJsonValue()},
            {QStringLiteral("loaded"), loaded},
            {QStringLiteral("programmed"), programmed},
            {QStringLiteral("failed"), failed},
            {QStringLiteral("file"), image ? QJsonValue(app::imageJson(*image)) : QJsonValue()},
            {QStringLiteral("tallies"), tallies},
            {QStringLiteral("tries"), tries}};
}

void HeadlessRun::stop(int exitCode)
{
    if (m_state == State::Done || !m_station)
        return;
    finish(exitCode);
}

void HeadlessRun::finish(int exitCode)
{
    setState(State::Done);
    m_timeout.stop();
    m_exitCode = exitCode;
    // Usage errors end before anything ran; there is nothing to sum up then.
    if (m_station && exitCode != kExitUsage) {
        m_station->endSteps(link::Ending::Closed);
        // The boards are real, so the work ran to its end; its record did not.
        if (m_station->lostRecords() > 0)
            m_exitCode = exitCode = kExitRecordLost;
        m_report.summary(summary(), summaryJson(exitCode));
    }
    Q_EMIT finished(exitCode);
}

} // namespace vell::cli
