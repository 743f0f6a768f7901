#pragma once

#include "programmerstate.h"

#include <QObject>

#include <array>
#include <optional>

namespace vell::link {

/// The four programmers' states, index 0 for programmer 1, held for the life of the process.
/// Every change goes through update(), which tells the views; every step ends in endStep(),
/// the one place that decides a step's result.
class Programmers : public QObject
{
    Q_OBJECT
public:
    explicit Programmers(QObject *parent = nullptr);

    /// n is 1..4.
    [[nodiscard]] const ProgrammerState &state(int n) const { return m_states.at(index(n)); }

    /// Applies change to programmer n's state, then emits changed(n).
    template <typename Change> void update(int n, Change &&change)
    {
        change(m_states.at(index(n)));
        Q_EMIT changed(n);
    }

    /// Programmer 1 always takes part in a command; 2..4 only when the search found them.
    [[nodiscard]] bool inUse(int n) const;
    /// The programmers a command addresses, in programmer order.
    [[nodiscard]] std::array<bool, kProgrammerCount> targets() const;
    /// Those of them among the programmers given (a command that names some).
    [[nodiscard]] ProgrammerSet targets(const ProgrammerSet &among) const;
    /// Number of programmers found by the search.
    [[nodiscard]] int presentCount() const;

    /// A command starts: the greeting and readiness of all four are forgotten.
    void clearReplyFlags();
    /// A command for some programmers starts: only theirs are forgotten.
    void clearReplyFlags(const ProgrammerSet &which);

    /// The approved image: every load checks its file against it, every step names it.
    [[nodiscard]] const ImagePin &approvedImage() const { return m_approved; }
    void setApprovedImage(const ImagePin &pin) { m_approved = pin; }

    /// Programmer n starts a step (started now, naming the approved image); one still under
    /// way ends as superseded. again: the step repeats programmer n's last one (the same kind,
    /// and for a load the same file), so its try counts on from that one's; otherwise it is
    /// try 1.
    void beginStep(int n, StepRecord record, bool again = false);
    /// Ends programmer n's step under way, if any: the result, the load's image, and for a
    /// link that could not be opened or a skipped programmer the status it shows. Emits
    /// changed(n), then stepEnded(n).
    void endStep(int n, Ending ending, std::optional<int> code = std::nullopt);
    /// endStep for every programmer whose step is under way.
    void endSteps(Ending ending);
    /// Ends programmer n's step under way if it is of that kind.
    void endStepOf(int n, Step step, Ending ending, std::optional<int> code = std::nullopt);

Q_SIGNALS:
    void changed(int n);
    /// Programmer n's step ended; state(n).step holds it.
    void stepEnded(int n);

private:
    static size_t index(int n) { return static_cast<size_t>(n - 1); }

    std::array<ProgrammerState, kProgrammerCount> m_states{};
    ImagePin m_approved;
};

} // namespace vell::link
