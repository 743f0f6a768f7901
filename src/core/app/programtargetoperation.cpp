#include "programtargetoperation.h"

#include "logging.h"

namespace vell::app {

ProgramTargetOperation::ProgramTargetOperation(model::ProgrammerSet programmers,
                                               model::PerProgrammer<int> tries,
                                               const OperationContext &context, Request request,
                                               QObject *parent)
    : Operation(model::Step::ProgramTarget, programmers, tries, context, std::move(request), parent)
{
}

void ProgramTargetOperation::run()
{
    model::Programmers &states = m_context.programmers;
    // A stale verdict must not pass for this command's.
    states.clearReplyFlags(reset());
    model::ProgrammerSet targets = programmers();
    for (const model::ProgrammerNumber n : programmers()) {
        model::StepRecord step;
        step.image = states.state(n).image();
        step.board = request().boards[n];
        // An operator may reprogram a board on purpose: it is programmed, and its pane and its
        // record say so.
        const std::optional<model::BoardProgrammed> before = states.programmedBefore(step.board);
        step.reprogrammed = before.has_value();
        beginStep(n, std::move(step));
        // Checked after its load step still waiting has ended: a load without a verdict failed.
        if (const auto why = states.leftOut(n, request().boards)) {
            states.setBoardBefore(n, std::nullopt);
            states.setStatus(n, *why);
            endStep(n, model::Ending::Skipped);
            targets.remove(n);
        } else {
            states.setBoardBefore(n, before);
        }
    }
    openLinks(targets, [this](model::ProgrammerSet opened) {
        framesSent(m_context.links.sendFrame(link::CommandFrame::kProgramTarget, {}, opened));
        qCDebug(lcApp) << "program-target frame sent, size"
                       << m_context.links.sizeFields().length();
    });
}

} // namespace vell::app
