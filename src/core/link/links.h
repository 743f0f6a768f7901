#pragma once

#include "commandframe.h"
#include "operatorinterface.h"
#include "portfile.h"
#include "portnames.h"
#include "programmers.h"
#include "seriallink.h"

#include <QObject>

#include <array>
#include <functional>
#include <memory>

namespace vell::link {

/// The four programmers' serial links and port files, and the two operations through which
/// every command reaches a programmer: openLink and sendFrame. Also holds the frame state
/// every frame carries: the size fields of the last loaded program file and the last frame.
class Links : public QObject
{
    Q_OBJECT
public:
    /// Which command opens the link; it selects programmer 1's invalid-port message.
    enum class Command
    {
        Load,
        ProgramTarget,
    };

    Links(Programmers &programmers, const PortNames &names, Operator &op, LinkFactory factory,
          QObject *parent = nullptr);
    ~Links() override;

    /// Makes sure the link of each target (programmer order) is open: closes and reopens its
    /// port file, shows the command's opening status in its pane, and, only when the link is
    /// not open yet, opens the port with the fixed settings. An invalid port ends that
    /// programmer's step at once and shows the operator the message for that programmer and
    /// command; the next target waits until it is acknowledged. opened runs once every target
    /// had its turn, possibly before openLinks returns.
    void openLinks(const std::array<bool, kProgrammerCount> &targets, Command command,
                   std::function<void()> opened);
    /// True while openLinks waits for the operator's OK; a second command is ignored then.
    [[nodiscard]] bool awaitingOk() const { return m_opening.awaitingOk; }

    /// Writes the frame to every target, byte i to each target (programmer order) before byte
    /// i + 1. A target whose link is not open or refuses a byte is skipped; nothing pauses.
    void sendFrame(char letter, const CommandFrame::Params &params,
                   const std::array<bool, kProgrammerCount> &targets);

    /// The size fields every frame carries: those of the last loaded file (zero before any).
    void setSizeFields(CommandFrame::SizeFields size) { m_sizeFields = size; }
    [[nodiscard]] CommandFrame::SizeFields sizeFields() const { return m_sizeFields; }
    /// The frame last built by sendFrame (empty before the first).
    [[nodiscard]] QByteArray lastFrame() const { return m_lastFrame; }

    /// Programmer n's link (1..4); never null.
    [[nodiscard]] SerialLink *link(int n) const;
    /// Programmer n's port file (1..4).
    [[nodiscard]] const PortFile &portFile(int n) const { return m_portFiles.at(size_t(n - 1)); }
    void closePortFile(int n);
    void closePortFiles();

Q_SIGNALS:
    /// Programmer n's device went away while its link was open.
    void deviceLost(int n);

private:
    /// Opens programmer n's link; false when its port number is invalid.
    bool openLink(int n, Status opening);
    void openRemainingLinks();

    /// The openLinks call in progress.
    struct Opening
    {
        std::array<bool, kProgrammerCount> targets{};
        Command command = Command::Load;
        std::function<void()> opened;
        int next = 1;
        bool awaitingOk = false;
    };

    Programmers &m_programmers;
    const PortNames &m_names;
    Operator &m_operator;
    std::array<std::unique_ptr<SerialLink>, kProgrammerCount> m_links;
    std::array<PortFile, kProgrammerCount> m_portFiles;
    CommandFrame::SizeFields m_sizeFields;
    QByteArray m_lastFrame;
    Opening m_opening;
};

} // namespace vell::link
