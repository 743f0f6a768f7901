#include "programtarget.h"

#include "logging.h"

namespace vell::app {

ProgramTarget::ProgramTarget(link::Programmers &programmers, link::Links &links, QObject *parent)
    : QObject(parent), m_programmers(programmers), m_links(links)
{
}

void ProgramTarget::run()
{
    // Absent programmers' replies too: a stale verdict must not pass for this command's.
    m_programmers.clearReplyFlags();
    start(m_programmers.targets(), false);
}

void ProgramTarget::runOn(const link::ProgrammerSet &programmers)
{
    const link::ProgrammerSet targets = m_programmers.targets(programmers);
    m_programmers.clearReplyFlags(targets);
    start(targets, true);
}

void ProgramTarget::start(link::ProgrammerSet targets, bool again)
{
    for (int n = 1; n <= link::kProgrammerCount; ++n) {
        if (!targets[static_cast<size_t>(n - 1)])
            continue;
        link::StepRecord step;
        step.step = link::Step::ProgramTarget;
        step.image = m_programmers.state(n).image;
        m_programmers.beginStep(n, std::move(step), again);
        // Checked after the load step still waiting has ended: a load without a verdict failed.
        if (!m_programmers.state(n).takesProgramTarget()) {
            m_programmers.endStep(n, link::Ending::Skipped);
            targets[static_cast<size_t>(n - 1)] = false;
        }
    }
    m_links.openLinks(targets, link::Links::Command::ProgramTarget, [this, targets] {
        m_links.sendFrame(link::CommandFrame::kProgramTarget, {}, targets);
        qCDebug(lcApp) << "program-target frame sent, size" << m_links.sizeFields().length();
        Q_EMIT frameSent();
    });
}

} // namespace vell::app
