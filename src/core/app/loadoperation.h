#pragma once

#include "operation.h"

#include "load/filetransfer.h"
#include "model/timings.h"

namespace vell::app {

class Watchdog;

/// The load of one program file into a set of programmers: the file is opened and checked
/// first (a refused file touches nothing), then each programmer's step begins, the links open
/// and the transfer runs. The watchdog guards the handshake; the programmers' verdicts end
/// the steps the transfer does not judge itself.
class LoadOperation : public Operation
{
    Q_OBJECT
public:
    LoadOperation(const QString &path, model::ProgrammerSet programmers,
                  model::PerProgrammer<int> tries, const OperationContext &context,
                  load::FileTransfer::Hooks hooks, const model::Timings &timings,
                  Watchdog &watchdog, Request request = {}, QObject *parent = nullptr);

    [[nodiscard]] QString path() const { return m_path; }
    /// The transfer, for inspection.
    [[nodiscard]] const load::FileTransfer &transfer() const { return m_transfer; }
    [[nodiscard]] bool isBusy() const override;
    void onDeviceLost(model::ProgrammerNumber n) override;
    void onFileLoaded(model::ProgrammerNumber n) override;
    /// Lets go of the program file (the watchdog's fault, the main window's close).
    void releaseProgramFile() { m_transfer.releaseProgramFile(); }
    /// The watchdog fired: a handshake ends at once.
    void onWatchdogFired() { m_transfer.onWatchdogFired(); }

Q_SIGNALS:
    /// The folder of the file being loaded, for the settings file.
    void folderChanged(const QString &folder);

protected:
    void run() override;

private:
    const QString m_path;
    const load::FileTransfer::Hooks m_hooks;
    load::FileTransfer m_transfer;
};

} // namespace vell::app
