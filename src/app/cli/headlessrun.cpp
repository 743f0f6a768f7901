#include "headlessrun.h"

#include "consolereport.h"
#include "logging.h"
#include "texts.h"

#include "app/attempttracker.h"
#include "app/station.h"
#include "app/texts.h"
#include "discovery/programmersearch.h"
#include "discovery/texts.h"
#include "load/programfile.h"
#include "load/texts.h"

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
        m_file = QFileInfo(m_options.loadFile);
        m_file.makeAbsolute();
        QString problem;
        switch (load::ProgramFile().measure(m_file.filePath())) {
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
        }
        if (!problem.isEmpty()) {
            m_report.error(texts::programFileProblem(m_options.loadFile, problem));
            finish(kExitUsage);
            return;
        }
    }
    m_timeout.setInterval(m_options.timeoutSeconds * 1000);

    // A record that cannot be kept is a bad command line when the log was named; the default
    // log only warns, and the run goes on.
    if (!m_log.open(m_options.logFile)) {
        m_report.error(app::texts::logProblem(m_log.errorString()));
        if (!m_options.logFile.isEmpty()) {
            finish(kExitUsage);
            return;
        }
        m_logFailed = true;
    }

    m_station = std::make_unique<app::Station>(m_options.ports, m_report, m_factory);
    connect(&m_station->attempts(), &app::AttemptTracker::attemptEnded, this,
            &HeadlessRun::onAttemptEnded);
    connect(m_station->transfer(), &load::FileTransfer::finished, this, &HeadlessRun::onLoadFinished);
    connect(m_station->transfer(), &load::FileTransfer::droppedOutOfStream, this,
            &HeadlessRun::onDroppedOut);
    connect(m_station.get(), &app::Station::replyHandled, this,
            [this](int n, const QByteArray &) { onReplyHandled(n); });
    connect(&m_station->links(), &link::Links::deviceLost, this, &HeadlessRun::onDeviceLost);

    m_search = std::make_unique<discovery::ProgrammerSearch>(
        m_station->programmerSlots(), m_options.ports, m_factory, m_options.searchTickMs);
    connect(m_search.get(), &discovery::ProgrammerSearch::finished, this,
            &HeadlessRun::onSearchFinished);
    connect(m_search.get(), &discovery::ProgrammerSearch::portUnusable, this,
            [this](const discovery::ProgrammerSearch::UnusablePort &port) {
                QJsonObject fields = port.verdict.toJson();
                fields[QStringLiteral("com")] = port.comPort;
                fields[QStringLiteral("device")] = port.device;
                m_report.portUnusable(
                    discovery::texts::unusablePort(port.comPort, port.device, port.verdict.text()),
                    fields);
            });
    setState(State::Searching);
    m_search->start();
}

void HeadlessRun::onSearchFinished(bool anyFound)
{
    if (m_state != State::Searching)
        return;
    m_search->stop(); // the scanning port must be free before the links open
    if (!anyFound) {
        const auto unusable = m_search->unusablePorts().size();
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
    m_station->setCurrentFolder(m_file.absolutePath());
    m_station->setRestoreDefaults(m_options.restoreDefaults);
    m_station->setBlackBox(m_options.blackBox);
    m_station->loadProgramFile(m_file.fileName());
}

void HeadlessRun::startTarget()
{
    setState(State::AwaitingTarget);
    m_station->programTarget();
    m_timeout.start();
}

void HeadlessRun::onLoadFinished(load::FileTransfer::Outcome outcome)
{
    if (m_state != State::Loading)
        return;
    using Outcome = load::FileTransfer::Outcome;
    switch (outcome) {
    case Outcome::Loaded:
        break;
    case Outcome::Refused:
        failPending(Load, texts::kLoadNotStarted);
        break;
    case Outcome::ProgrammerLost:
        fail(1, load::texts::kCommunicationLost);
        failPending(Load, texts::kLoadNotStarted);
        break;
    case Outcome::TimedOut:
        failPending(Load, texts::kNoAnswerToLoad);
        break;
    case Outcome::StreamFailed:
        failPending(Load, texts::kLoadEnded);
        break;
    case Outcome::AllLinksLost:
        failPending(Load, load::texts::kCommunicationLost);
        break;
    }
    // The programmers check what they received and answer after the stream.
    setState(State::AwaitingLoad);
    m_timeout.start();
    checkStep();
}

void HeadlessRun::onDroppedOut(int n)
{
    // The transfer has shown why in the pane.
    fail(n, m_station->panes().pane(n).status);
}

void HeadlessRun::onReplyHandled(int n)
{
    Step step = Load;
    bool ok = false;
    bool error = false;
    const link::ProgrammerSlot &slot = m_station->programmerSlots().slot(n);
    switch (m_state) {
    case State::Loading:
    case State::AwaitingLoad:
        step = Load;
        ok = slot.replyLpOk;
        error = slot.replyLpEr;
        break;
    case State::AwaitingTarget:
        step = Target;
        ok = slot.replyPtOk;
        error = slot.replyPtEr;
        break;
    default:
        return;
    }
    Result &result = m_results[step][size_t(n - 1)];
    if (result.outcome != Outcome::Pending || !(ok || error))
        return;
    result.outcome = ok ? Outcome::Succeeded : Outcome::Failed;
    result.detail = m_station->panes().pane(n).status;
    checkStep();
}

void HeadlessRun::onDeviceLost(int n)
{
    fail(n, load::texts::kCommunicationLost);
}

void HeadlessRun::fail(int n, const QString &detail)
{
    Step step = Load;
    if (m_state == State::Loading || m_state == State::AwaitingLoad)
        step = Load;
    else if (m_state == State::AwaitingTarget)
        step = Target;
    else
        return;
    Result &result = m_results[step][size_t(n - 1)];
    if (!m_station->programmerSlots().inUse(n) || result.outcome != Outcome::Pending)
        return;
    result.outcome = Outcome::Failed;
    result.detail = detail;
    checkStep();
}

void HeadlessRun::onAttemptEnded(const app::Attempt &attempt)
{
    if (!m_logFailed && !m_log.append(attempt.toJson())) {
        m_logFailed = true; // said once; the run goes on
        m_report.error(app::texts::logProblem(m_log.errorString()));
    }
    m_report.result(attempt);
}

void HeadlessRun::onTimeout()
{
    m_station->attempts().endPending(app::Attempt::Result::NoResult);
    if (m_state == State::AwaitingLoad)
        failPending(Load, texts::timedOut(m_options.timeoutSeconds));
    else if (m_state == State::AwaitingTarget)
        failPending(Target, texts::timedOut(m_options.timeoutSeconds));
    checkStep();
}

void HeadlessRun::failPending(Step step, const QString &detail)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        Result &result = m_results[step][size_t(n - 1)];
        if (m_station->programmerSlots().inUse(n) && result.outcome == Outcome::Pending) {
            result.outcome = Outcome::Failed;
            result.detail = detail;
        }
    }
}

void HeadlessRun::checkStep()
{
    Step step = Load;
    if (m_state == State::AwaitingLoad)
        step = Load;
    else if (m_state == State::AwaitingTarget)
        step = Target;
    else
        return;
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (m_station->programmerSlots().inUse(n) &&
            m_results[step][size_t(n - 1)].outcome == Outcome::Pending)
            return;
    }
    m_timeout.stop();

    if (stepFailed(step)) {
        if (step == Load && m_asked[Target]) {
            // Programming boards from a load that did not take everywhere would mix images.
            for (Result &result : m_results[Target])
                result.outcome = Outcome::NotRun;
        }
        finish(kExitFailed);
    } else if (step == Load && m_asked[Target]) {
        startTarget();
    } else {
        finish(kExitSuccess);
    }
}

bool HeadlessRun::stepFailed(Step step) const
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (m_station->programmerSlots().inUse(n) &&
            m_results[step][size_t(n - 1)].outcome != Outcome::Succeeded)
            return true;
    }
    return false;
}

QString HeadlessRun::summary() const
{
    const auto &programmers = m_station->programmerSlots();
    int inUse = 0;
    for (int n = 1; n <= link::kProgrammerCount; ++n)
        inUse += programmers.inUse(n) ? 1 : 0;

    QStringList steps;
    QStringList failures;
    for (Step step : {Load, Target}) {
        if (!m_asked[step])
            continue;
        const QString name = step == Load ? texts::kStepLoad : texts::kStepTarget;
        if (m_results[step][0].outcome == Outcome::NotRun) {
            steps << name + QLatin1Char(' ') + texts::kNotRun;
            continue;
        }
        int succeeded = 0;
        for (int n = 1; n <= link::kProgrammerCount; ++n) {
            if (!programmers.inUse(n))
                continue;
            const Result &result = m_results[step][size_t(n - 1)];
            if (result.outcome == Outcome::Succeeded)
                ++succeeded;
            else
                failures << texts::programmerName(n, programmers.slot(n).comPort) +
                                QLatin1Char(' ') + name + QStringLiteral(": ") + result.detail;
        }
        steps << QStringLiteral("%1 %2 on %3 of %4")
                     .arg(name, texts::kSucceeded)
                     .arg(succeeded)
                     .arg(inUse);
    }
    QString line = texts::kSummary + steps.join(QStringLiteral(", ")) + imageAndTallies();
    if (!failures.isEmpty())
        line += QStringLiteral("; ") + texts::kFailed + QStringLiteral(": ") +
                failures.join(QStringLiteral("; "));
    return line;
}

QString HeadlessRun::imageAndTallies() const
{
    QString text;
    const app::AttemptTracker &attempts = m_station->attempts();
    if (const auto &image = attempts.image())
        text += QStringLiteral("; ") + texts::kFile +
                app::texts::imageLine(image->name, image->size, image->crc32);
    if (!m_asked[Target])
        return text;
    QStringList tallies;
    const auto &programmers = m_station->programmerSlots();
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!programmers.inUse(n))
            continue;
        const app::Tally &tally = attempts.tally(n);
        tallies << texts::programmerName(n, programmers.slot(n).comPort) + QLatin1Char(' ') +
                       app::texts::tally(tally.ok, tally.failed, tally.yieldPercent());
    }
    return text + QStringLiteral("; ") + texts::kBoards + tallies.join(QStringLiteral(", "));
}

QJsonObject HeadlessRun::summaryJson(int exitCode) const
{
    const auto &programmers = m_station->programmerSlots();
    int loaded = 0;
    int programmed = 0;
    QJsonArray failed;
    QJsonArray tallies;
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!programmers.inUse(n))
            continue;
        for (Step step : {Load, Target}) {
            const Result &result = m_results[step][size_t(n - 1)];
            if (!m_asked[step])
                continue;
            if (result.outcome == Outcome::Succeeded)
                ++(step == Load ? loaded : programmed);
            else
                failed.append(QJsonObject{
                    {QStringLiteral("programmer"), n},
                    {QStringLiteral("step"), step == Load ? QStringLiteral("load")
                                                          : QStringLiteral("program-target")},
                    {QStringLiteral("text"),
                     result.outcome == Outcome::NotRun ? texts::kNotRun : result.detail}});
        }
        const app::Tally &tally = m_station->attempts().tally(n);
        const auto yield = tally.yieldPercent();
        tallies.append(QJsonObject{{QStringLiteral("programmer"), n},
                                   {QStringLiteral("ok"), tally.ok},
                                   {QStringLiteral("failed"), tally.failed},
                                   {QStringLiteral("yield"), yield ? QJsonValue(*yield) : QJsonValue()}});
    }
    const auto &image = m_station->attempts().image();
    return {{QStringLiteral("exit"), exitCode},
            {QStringLiteral("loaded"), loaded},
            {QStringLiteral("programmed"), programmed},
            {QStringLiteral("failed"), failed},
            {QStringLiteral("file"), image ? QJsonValue(image->toJson()) : QJsonValue()},
            {QStringLiteral("tallies"), tallies}};
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
        m_station->attempts().endPending(app::Attempt::Result::NoResult);
        m_report.summary(summary(), summaryJson(exitCode));
    }
    Q_EMIT finished(exitCode);
}

} // namespace vell::cli
