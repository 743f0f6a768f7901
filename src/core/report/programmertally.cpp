#include "programmertally.h"

#include <algorithm>

namespace vell::report {

namespace {

const QString kOk = record::resultName(record::Result::Ok);
const QString kSkipped = record::resultName(record::Result::Skipped);
const QString kOther = QStringLiteral("other");

} // namespace

ProgrammerTally::ProgrammerTally(int com, QString location, QString usbSerial, QString host)
    : m_host(std::move(host)), m_com(com), m_location(std::move(location)),
      m_usbSerial(std::move(usbSerial))
{
    m_steps.push_back({record::kStepLoad, 0, 0, {}});
    m_steps.push_back({record::kStepProgramTarget, 0, 0, {}});
}

ProgrammerTally::Step *ProgrammerTally::stepNamed(const QString &name)
{
    for (Step &s : m_steps)
        if (s.name == name)
            return &s;
    if (name.isEmpty() || int(m_steps.size()) >= kMaxSteps)
        return nullptr;
    m_steps.push_back({name, 0, 0, {}});
    return &m_steps.back();
}

void ProgrammerTally::addFailure(const record::AttemptRecord &record, qint64 count)
{
    const auto find = [this](const std::optional<int> &code, const QString &result) {
        return std::find_if(m_failures.begin(), m_failures.end(), [&](const Failure &f) {
            return code ? f.code == code : !f.code && f.result == result;
        });
    };
    auto group = find(record.code, record.result);
    if (group == m_failures.end()) {
        const bool full = int(m_failures.size()) >= kMaxFailureGroups;
        if (full)
            group = find(std::nullopt, kOther);
        if (group == m_failures.end()) {
            m_failures.push_back(
                {full ? std::nullopt : record.code, full ? kOther : record.result, 0, {}, 0});
            group = m_failures.end() - 1;
        }
    }
    group->count += count;
    if (group->texts.contains(record.text))
        return;
    if (group->texts.size() < kMaxTexts)
        group->texts << record.text;
    else
        group->moreTexts += count;
}

void ProgrammerTally::add(const record::AttemptRecord &record)
{
    addAlike(record, 1, record.timeMs);
    if (const QString run = record.run(); !run.isEmpty() && run != m_lastRun) {
        ++m_runs;
        m_lastRun = run;
    }
    if (record.result != kSkipped && record.durationMs)
        addDurations(record.step, *record.durationMs, 1);
}

void ProgrammerTally::addAlike(const record::AttemptRecord &record, qint64 count,
                               std::optional<qint64> lastMs)
{
    m_tally.add(record.step, record.result, count);
    if (record.timeMs)
        m_first = std::min(m_first.value_or(*record.timeMs), *record.timeMs);
    if (lastMs)
        m_last = std::max(m_last.value_or(*lastMs), *lastMs);
    if (record.result == kSkipped) {
        m_skipped += count;
        return;
    }
    m_tries += count;
    if (record.tryNumber && *record.tryNumber > 1)
        m_retries += count;
    if (record.pinned())
        m_pinned += count;
    const bool ok = record.result == kOk;
    if (ok)
        m_ok += count;
    else
        addFailure(record, count);
    if (Step *step = stepNamed(record.step)) {
        step->tries += count;
        if (ok)
            step->ok += count;
    }
}

void ProgrammerTally::addDurations(const QString &step, qint64 ms, qint64 count)
{
    if (Step *s = stepNamed(step))
        s->durations.add(ms, count);
}

std::vector<ProgrammerTally::Failure> ProgrammerTally::failures() const
{
    std::vector<Failure> sorted = m_failures;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Failure &a, const Failure &b) { return a.count > b.count; });
    return sorted;
}

} // namespace vell::report
