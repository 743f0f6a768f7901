#include "programmertally.h"

#include <algorithm>

namespace vell::report {

namespace {

const QString kOk = record::resultName(record::Result::Ok);
const QString kSkipped = record::resultName(record::Result::Skipped);
const QString kOther = QStringLiteral("other");

} // namespace

ProgrammerTally::ProgrammerTally(int com, QString location, QString usbSerial)
    : m_com(com), m_location(std::move(location)), m_usbSerial(std::move(usbSerial))
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

void ProgrammerTally::addFailure(const record::AttemptRecord &record)
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
    ++group->count;
    if (group->texts.contains(record.text))
        return;
    if (group->texts.size() < kMaxTexts)
        group->texts << record.text;
    else
        ++group->moreTexts;
}

void ProgrammerTally::add(const record::AttemptRecord &record)
{
    m_tally.add(record.step, record.result);
    if (record.timeMs) {
        m_first = std::min(m_first.value_or(*record.timeMs), *record.timeMs);
        m_last = std::max(m_last.value_or(*record.timeMs), *record.timeMs);
    }
    if (const QString run = record.run(); !run.isEmpty() && run != m_lastRun) {
        ++m_runs;
        m_lastRun = run;
    }
    if (record.result == kSkipped) {
        ++m_skipped;
        return;
    }
    ++m_tries;
    if (record.tryNumber && *record.tryNumber > 1)
        ++m_retries;
    if (record.pinned())
        ++m_pinned;
    const bool ok = record.result == kOk;
    if (ok)
        ++m_ok;
    else
        addFailure(record);
    if (Step *step = stepNamed(record.step)) {
        ++step->tries;
        if (ok)
            ++step->ok;
        if (record.durationMs)
            step->durations.add(*record.durationMs);
    }
}

std::vector<ProgrammerTally::Failure> ProgrammerTally::failures() const
{
    std::vector<Failure> sorted = m_failures;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Failure &a, const Failure &b) { return a.count > b.count; });
    return sorted;
}

} // namespace vell::report
