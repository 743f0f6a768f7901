#pragma once

#include <QtGlobal>

#include <map>
#include <optional>

namespace vell::report {

/// The median and the longest of a step's durations without keeping every one: a count per
/// distinct duration, exact to the millisecond below a minute and to the second above, so it
/// holds at most 60,000 entries plus one per second of the longest step.
class DurationStats
{
public:
    static constexpr qint64 kExactBelowMs = 60000;

    /// count durations of ms.
    void add(qint64 ms, qint64 count = 1);
    [[nodiscard]] qint64 count() const { return m_count; }
    /// The middle duration; with an even count, the mean of the two middle ones.
    [[nodiscard]] std::optional<qint64> median() const;
    [[nodiscard]] std::optional<qint64> longest() const;

private:
    std::map<qint64, qint64> m_counts; ///< duration (rounded as above) -> how many
    qint64 m_count = 0;
    qint64 m_longest = -1;
};

} // namespace vell::report
