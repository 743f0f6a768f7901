#pragma once

#include "commandframe.h"
#include "portfile.h"
#include "portnames.h"
#include "programmerset.h"
#include "seriallink.h"

#include <QObject>

namespace vell::link {

/// The four programmers' serial links and port files, and the frame every command writes:
/// the size fields of the last loaded program file and the last frame built.
class Links : public QObject
{
    Q_OBJECT
public:
    explicit Links(const LinkFactory &factory, QObject *parent = nullptr);
    ~Links() override;

    /// Programmer n's link; never null.
    [[nodiscard]] SerialLink *link(ProgrammerNumber n) const { return m_links[n].get(); }
    /// Closes and reopens programmer n's port file (named by comPort) and, only when its link is
    /// not open yet, opens the device names gives for comPort with the fixed settings.
    SerialLink::OpenResult open(ProgrammerNumber n, const PortNames &names, int comPort);
    /// Whether programmer n's link was ever open in this run.
    [[nodiscard]] bool everOpened(ProgrammerNumber n) const { return m_everOpened.contains(n); }

    /// Writes the frame to every target, byte i to each target (programmer order) before byte
    /// i + 1. A target whose link is not open or refuses a byte is skipped; nothing pauses.
    /// Returns the targets that took the whole frame.
    ProgrammerSet sendFrame(char letter, const CommandFrame::Params &params, ProgrammerSet targets);

    /// The size fields every frame carries: those of the last loaded file (zero before any).
    void setSizeFields(CommandFrame::SizeFields size) { m_sizeFields = size; }
    [[nodiscard]] CommandFrame::SizeFields sizeFields() const { return m_sizeFields; }
    /// The frame last built by sendFrame (empty before the first).
    [[nodiscard]] QByteArray lastFrame() const { return m_lastFrame; }

    [[nodiscard]] const PortFile &portFile(ProgrammerNumber n) const { return m_portFiles[n]; }
    void closePortFiles();

Q_SIGNALS:
    /// Programmer n's device went away while its link was open.
    void deviceLost(vell::link::ProgrammerNumber n);

private:
    PerProgrammer<std::unique_ptr<SerialLink>> m_links;
    PerProgrammer<PortFile> m_portFiles;
    ProgrammerSet m_everOpened;
    CommandFrame::SizeFields m_sizeFields;
    QByteArray m_lastFrame;
};

} // namespace vell::link
