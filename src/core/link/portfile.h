#pragma once

#include <QFile>

#include <memory>

namespace vell::link {

/// The empty file named by a port number that is held open in the current working folder
/// while a link (or the search's probe) uses that port. Nothing is read from or written to
/// it. When it cannot be created the step is skipped.
class PortFile
{
public:
    PortFile() = default;
    ~PortFile();
    PortFile(const PortFile &) = delete;
    PortFile &operator=(const PortFile &) = delete;

    /// Closes whatever was open, then opens (creating when missing) the file for portNumber.
    /// False when it could not be created; nothing else happens then.
    bool open(int portNumber);
    void close();
    [[nodiscard]] bool isOpen() const;
    /// The path of the open file (empty when none is open).
    [[nodiscard]] QString fileName() const;

private:
    std::unique_ptr<QFile> m_file;
};

} // namespace vell::link
