#include "programtarget.h"

#include "logging.h"

#include "link/texts.h"

namespace vell::app {

ProgramTarget::ProgramTarget(link::ProgrammerSlots &programmerSlots, link::Links &links,
                             QObject *parent)
    : QObject(parent), m_slots(programmerSlots), m_links(links)
{
}

void ProgramTarget::run()
{
    // Absent programmers' flags too: a stale result must not pass for this command's.
    m_slots.clearReplyFlags();

    const auto targets = m_slots.targets();
    m_links.openLinks(targets, link::texts::kProgrammingTargetBoard,
                      link::Links::Command::ProgramTarget, [this, targets] { send(targets); });
}

void ProgramTarget::send(const std::array<bool, link::kProgrammerCount> &targets)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (targets[static_cast<size_t>(n - 1)])
            m_slots.slot(n).replyText.clear();
    }
    m_links.sendFrame(link::CommandFrame::kProgramTarget, {}, targets);
    qCDebug(lcApp) << "program-target frame sent, size" << m_links.sizeFields().length();
    Q_EMIT frameSent();
}

} // namespace vell::app
