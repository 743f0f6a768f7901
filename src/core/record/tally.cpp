#include "tally.h"

#include <cmath>

namespace vell::record {

void Tally::add(const QString &step, const QString &result, qint64 count)
{
    const bool ok = result == resultName(Result::Ok);
    if (step == kStepProgramTarget)
        (ok ? boardsOk : boardsFailed) += count;
    else if (step == kStepLoad)
        (ok ? loadsOk : loadsFailed) += count;
}

std::optional<double> Tally::yield() const
{
    if (boards() == 0)
        return std::nullopt;
    return double(boardsOk) / double(boards());
}

std::optional<int> Tally::yieldPercent() const
{
    if (boards() == 0)
        return std::nullopt;
    return int(std::lround(100.0 * double(boardsOk) / double(boards())));
}

} // namespace vell::record
