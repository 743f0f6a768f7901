#include "programtarget.h"

#include "link/texts.h"

#include <QLoggingCategory>

namespace vell::target {

Q_LOGGING_CATEGORY(lcTarget, "vell.target", QtWarningMsg)

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
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (targets[static_cast<size_t>(n - 1)])
            m_links.openLink(n, link::texts::kProgrammingTargetBoard,
                             link::Links::Command::ProgramTarget);
    }
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (targets[static_cast<size_t>(n - 1)])
            m_slots.slot(n).replyText.clear();
    }

    const link::CommandFrame::Params params{};
    m_links.sendFrame(link::CommandFrame::kProgramTarget, params, targets);
    qCDebug(lcTarget) << "program-target frame sent, size" << m_links.sizeFields().length();
}

} // namespace vell::target
