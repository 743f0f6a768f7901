#include "loadoperation.h"

#include "watchdog.h"

namespace vell::app {

LoadOperation::LoadOperation(const QString &path, model::ProgrammerSet programmers,
                             model::PerProgrammer<int> tries, const OperationContext &context,
                             load::FileTransfer::Hooks hooks, const model::Timings &timings,
                             Watchdog &watchdog, Request request, QObject *parent)
    : Operation(model::Step::Load, programmers, tries, context, std::move(request), parent),
      m_path(path), m_hooks(hooks),
      m_transfer(context.programmers, context.links, context.op, hooks, timings)
{
    connect(&m_transfer, &load::FileTransfer::watchdogArmRequested, &watchdog, &Watchdog::arm);
    connect(&m_transfer, &load::FileTransfer::watchdogDisarmRequested, &watchdog,
            &Watchdog::disarm);
    connect(&m_transfer, &load::FileTransfer::frameSent, this, &LoadOperation::framesSent);
    connect(&m_transfer, &load::FileTransfer::ended, this,
            [this](model::ProgrammerNumber n, model::Ending ending) { endStep(n, ending); });
    connect(&m_transfer, &load::FileTransfer::runningChanged, this, [this] {
        Q_EMIT busyChanged(isBusy());
        checkFinished();
    });
}

bool LoadOperation::isBusy() const
{
    return Operation::isBusy() || m_transfer.isRunning();
}

void LoadOperation::run()
{
    if (!m_transfer.begin(m_path, programmers())) {
        refuse();
        return;
    }
    m_context.programmers.clearReplyFlags(reset());
    for (const model::ProgrammerNumber n : reset()) {
        m_context.programmers.update(n, [](model::ProgrammerState &s) { s.barMaximum = 100; });
        if (!programmers().contains(n))
            continue;
        model::StepRecord step;
        step.image = m_transfer.image();
        step.restoreDefaults = m_hooks.restoreDefaults && m_hooks.restoreDefaults();
        step.blackBox = m_hooks.blackBox && m_hooks.blackBox();
        beginStep(n, std::move(step));
    }
    Q_EMIT folderChanged(m_transfer.folder());
    openLinks(programmers(),
              [this](model::ProgrammerSet opened) { m_transfer.linksOpened(opened); });
}

void LoadOperation::onDeviceLost(model::ProgrammerNumber n)
{
    m_transfer.onDeviceLost(n);
}

void LoadOperation::onFileLoaded(model::ProgrammerNumber n)
{
    Q_UNUSED(n);
    m_transfer.releaseProgramFile();
}

} // namespace vell::app
