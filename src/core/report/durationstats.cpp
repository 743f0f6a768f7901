#include "durationstats.h"

namespace vell::report {

void DurationStats::add(qint64 ms, qint64 count)
{
    if (ms < 0)
        return;
    m_counts[ms < kExactBelowMs ? ms : ms - ms % 1000] += count;
    m_count += count;
    if (ms > m_longest)
        m_longest = ms;
}

std::optional<qint64> DurationStats::median() const
{
    if (m_count == 0)
        return std::nullopt;
    // The values at the 0-based positions (n-1)/2 and n/2: the same one for an odd count.
    const qint64 lowAt = (m_count - 1) / 2, highAt = m_count / 2;
    std::optional<qint64> low;
    qint64 seen = 0;
    for (const auto &[ms, n] : m_counts) {
        seen += n;
        if (!low && seen > lowAt)
            low = ms;
        if (seen > highAt)
            return (*low + ms) / 2;
    }
    return low;
}

std::optional<qint64> DurationStats::longest() const
{
    if (m_count == 0)
        return std::nullopt;
    return m_longest;
}

} // namespace vell::report
