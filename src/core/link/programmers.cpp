#include "programmers.h"

#include "programmertraits.h"

namespace vell::link {

Result resultOf(Ending ending)
{
    switch (ending) {
    case Ending::Ok:
        return Result::Ok;
    case Ending::Error:
        return Result::Error;
    case Ending::Lost:
    case Ending::Unopenable:
        return Result::Lost;
    case Ending::TimedOut:
        return Result::TimedOut;
    case Ending::Skipped:
        return Result::Skipped;
    case Ending::StreamFailed:
    case Ending::NotStarted:
    case Ending::Timeout:
    case Ending::Superseded:
    case Ending::Closed:
        break;
    }
    return Result::NoResult;
}

Programmers::Programmers(QObject *parent) : QObject(parent)
{
    m_states[0].visible = true;
}

bool Programmers::inUse(int n) const
{
    return traitsOf(n).alwaysInUse || state(n).present;
}

std::array<bool, kProgrammerCount> Programmers::targets() const
{
    std::array<bool, kProgrammerCount> t{};
    for (int n = 1; n <= kProgrammerCount; ++n)
        t[index(n)] = inUse(n);
    return t;
}

ProgrammerSet Programmers::targets(const ProgrammerSet &among) const
{
    ProgrammerSet t = targets();
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = t[i] && among[i];
    return t;
}

int Programmers::presentCount() const
{
    int count = 0;
    for (const auto &s : m_states)
        count += s.present ? 1 : 0;
    return count;
}

void Programmers::clearReplyFlags()
{
    clearReplyFlags(ProgrammerSet{true, true, true, true});
}

void Programmers::clearReplyFlags(const ProgrammerSet &which)
{
    for (int n = 1; n <= kProgrammerCount; ++n) {
        if (!which[index(n)])
            continue;
        update(n, [](ProgrammerState &s) {
            s.greeted = false;
            s.ready = false;
        });
    }
}

void Programmers::beginStep(int n, StepRecord record, bool again)
{
    endStep(n, Ending::Superseded);
    const StepRecord &last = state(n).step;
    const bool sameFile = record.step != Step::Load ||
                          (record.image && last.image && record.image->name == last.image->name &&
                           record.image->folder == last.image->folder);
    record.tryNumber = again && last.step == record.step && sameFile ? last.tryNumber + 1 : 1;
    record.started = QDateTime::currentDateTimeUtc();
    record.ending.reset();
    record.expected = m_approved;
    update(n, [&](ProgrammerState &s) { s.step = std::move(record); });
}

void Programmers::endStep(int n, Ending ending, std::optional<int> code)
{
    if (!state(n).step.underWay())
        return;
    update(n, [&](ProgrammerState &s) {
        s.step.ending = ending;
        s.step.code = code;
        s.step.ended = QDateTime::currentDateTimeUtc();
        if (s.step.step == Step::Load) {
            s.lastLoad = ending;
            s.image = ending == Ending::Ok ? s.step.image : std::nullopt;
        }
        if (ending == Ending::Unopenable)
            s.status = Status::Lost;
        else if (ending == Ending::Skipped) {
            s.status = Status::NotProgrammed;
            s.step.image.reset(); // nothing was programmed
        }
    });
    Q_EMIT stepEnded(n);
}

void Programmers::endSteps(Ending ending)
{
    for (int n = 1; n <= kProgrammerCount; ++n)
        endStep(n, ending);
}

void Programmers::endStepOf(int n, Step step, Ending ending, std::optional<int> code)
{
    if (state(n).step.step == step)
        endStep(n, ending, code);
}

} // namespace vell::link
