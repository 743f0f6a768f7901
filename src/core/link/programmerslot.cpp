#include "programmerslot.h"

namespace vell::link {

void ProgrammerSlot::clearFlags()
{
    replyUsbr = replySend = replyLpOk = replyLpEr = replyPtOk = replyPtEr = replyData = false;
}

void ProgrammerSlot::resetReplies()
{
    clearFlags();
    replyText.clear();
}

void ProgrammerSlots::clearReplyFlags()
{
    for (auto &s : m_slots)
        s.clearFlags();
}

std::array<bool, kProgrammerCount> ProgrammerSlots::targets() const
{
    std::array<bool, kProgrammerCount> t{};
    for (int n = 1; n <= kProgrammerCount; ++n)
        t[static_cast<size_t>(n - 1)] = inUse(n);
    return t;
}

int ProgrammerSlots::presentCount() const
{
    int count = 0;
    for (const auto &s : m_slots)
        count += s.present ? 1 : 0;
    return count;
}

} // namespace vell::link
