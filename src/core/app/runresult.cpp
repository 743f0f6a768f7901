#include "runresult.h"

#include "texts.h"

#include "linedb/texts.h"
#include "model/texts.h"

#include <QJsonArray>
#include <QStringList>

namespace vell::app {

using model::ProgrammerNumber;
using model::Step;

namespace {

constexpr Step kSteps[] = {Step::Load, Step::ProgramTarget};

QString stepName(Step step)
{
    return step == Step::Load ? texts::kStepLoad : texts::kStepTarget;
}

QString recordStepName(Step step)
{
    return step == Step::Load ? record::kStepLoad : record::kStepProgramTarget;
}

} // namespace

bool RunResult::succeeded(Step step, ProgrammerNumber n) const
{
    const StepRun &r = run(step);
    return !r.refused && r.last[n] && r.last[n]->succeeded();
}

bool RunResult::failed(Step step) const
{
    for (const ProgrammerNumber n : inUse) {
        if (!succeeded(step, n))
            return true;
    }
    return false;
}

QString RunResult::failure(Step step, ProgrammerNumber n) const
{
    const StepRun &r = run(step);
    if (r.refused)
        return texts::kLoadNotStarted;
    const auto &last = r.last[n];
    if (!last || !last->ending)
        return {};
    switch (*last->ending) {
    case model::Ending::Lost:
    case model::Ending::Unopenable:
        return model::texts::kCommunicationLost;
    case model::Ending::TimedOut:
        return texts::kNoAnswerToLoad;
    case model::Ending::StreamFailed:
        return texts::kLoadEnded;
    case model::Ending::NotStarted:
        return texts::kLoadNotStarted;
    case model::Ending::Timeout:
        return texts::timedOut(timeoutSeconds);
    case model::Ending::Superseded:
    case model::Ending::Closed:
        return {};
    case model::Ending::Ok:
    case model::Ending::Error:
    case model::Ending::Skipped:
        break;
    }
    return last->text;
}

QString RunResult::summaryLine() const
{
    QStringList steps;
    QStringList failures;
    for (const Step step : kSteps) {
        const StepRun &r = run(step);
        if (!r.asked)
            continue;
        const QString name = stepName(step);
        if (r.notRun) {
            steps << name + QLatin1Char(' ') + texts::kNotRun;
            continue;
        }
        int ok = 0;
        for (const ProgrammerNumber n : inUse) {
            if (succeeded(step, n))
                ++ok;
            else
                failures << texts::programmerName(n.value(), comPorts[n]) + QLatin1Char(' ') +
                                name + QStringLiteral(": ") + failure(step, n);
        }
        steps << QStringLiteral("%1 %2 on %3 of %4")
                     .arg(name, texts::kSucceeded)
                     .arg(ok)
                     .arg(inUse.count());
    }
    QString line = texts::kSummary + steps.join(QStringLiteral(", "));
    if (!imageText.isEmpty())
        line += QStringLiteral("; ") + texts::kFile + imageText;
    if (target.asked) {
        QStringList tallyTexts;
        for (const ProgrammerNumber n : inUse) {
            const record::Tally &t = tallies[n];
            tallyTexts << texts::programmerName(n.value(), comPorts[n]) + QLatin1Char(' ') +
                              texts::tally(t.boardsOk, t.boardsFailed, t.yieldPercent());
        }
        line += QStringLiteral("; ") + texts::kBoards + tallyTexts.join(QStringLiteral(", "));
    }
    if (!failures.isEmpty())
        line += QStringLiteral("; ") + texts::kFailed + QStringLiteral(": ") +
                failures.join(QStringLiteral("; "));
    // Only said when a step was repeated, so the line of a run without retries stays as it was.
    QStringList repeated;
    for (const Step step : kSteps) {
        for (const ProgrammerNumber n : inUse) {
            const auto &last = run(step).last[n];
            if (!last || last->tryNumber < 2)
                continue;
            const QString result = succeeded(step, n) ? last->text : failure(step, n);
            repeated << texts::programmerName(n.value(), comPorts[n]) + QLatin1Char(' ') +
                            stepName(step) + QStringLiteral(": ") +
                            texts::tries(result, last->tryNumber);
        }
    }
    if (!repeated.isEmpty())
        line += QStringLiteral("; ") + texts::kRetried + repeated.join(QStringLiteral("; "));
    if (lostRecords > 0)
        line += QStringLiteral("; ") + texts::recordsLost(lostRecords, logProblem);
    if (unsent.value_or(0) > 0)
        line += QStringLiteral("; ") + vell::linedb::texts::notYetShipped(*unsent, unsentWhy);
    return line;
}

QJsonObject RunResult::summaryJson(int exitCode) const
{
    int loaded = 0;
    int programmed = 0;
    QJsonArray failed;
    QJsonArray tallyArray;
    QJsonArray tries;
    for (const ProgrammerNumber n : inUse) {
        for (const Step step : kSteps) {
            const StepRun &r = run(step);
            if (!r.asked)
                continue;
            if (const auto &last = r.last[n])
                tries.append(QJsonObject{{QStringLiteral("programmer"), n.value()},
                                         {QStringLiteral("step"), recordStepName(step)},
                                         {QStringLiteral("tries"), last->tryNumber}});
            if (succeeded(step, n)) {
                ++(step == Step::Load ? loaded : programmed);
                continue;
            }
            failed.append(QJsonObject{
                {QStringLiteral("programmer"), n.value()},
                {QStringLiteral("step"), recordStepName(step)},
                {QStringLiteral("text"), r.notRun ? texts::kNotRun : failure(step, n)}});
        }
        const record::Tally &t = tallies[n];
        const auto yield = t.yieldPercent();
        tallyArray.append(
            QJsonObject{{QStringLiteral("programmer"), n.value()},
                        {QStringLiteral("ok"), t.boardsOk},
                        {QStringLiteral("failed"), t.boardsFailed},
                        {QStringLiteral("yield"), yield ? QJsonValue(*yield) : QJsonValue()}});
    }
    return {{QStringLiteral("exit"), exitCode},
            {QStringLiteral("run_id"), runId},
            {QStringLiteral("records_lost"), lostRecords},
            {QStringLiteral("records_lost_why"),
             lostRecords > 0 ? QJsonValue(logProblem) : QJsonValue()},
            {QStringLiteral("records_unsent"), unsent ? QJsonValue(*unsent) : QJsonValue()},
            {QStringLiteral("records_unsent_why"),
             unsent.value_or(0) > 0 ? QJsonValue(unsentWhy) : QJsonValue()},
            {QStringLiteral("loaded"), loaded},
            {QStringLiteral("programmed"), programmed},
            {QStringLiteral("failed"), failed},
            {QStringLiteral("file"), image ? QJsonValue(image->toJson()) : QJsonValue()},
            {QStringLiteral("tallies"), tallyArray},
            {QStringLiteral("tries"), tries}};
}

} // namespace vell::app
