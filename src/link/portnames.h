#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace vell::link {

/// Turns the COM numbers the system speaks of (1..15) into device names: DIR/COMn with
/// --ports DIR, COMn on Windows, elsewhere the machine's serial ports, USB ones first, in a
/// stable order, numbered from COM1.
class PortNames
{
public:
    static constexpr int kMaxPort = 15;

    /// The machine's own ports.
    PortNames();
    /// COM n is DIR/COMn.
    static PortNames fromDirectory(const QString &dir);

    /// The device that stands for COM n, or an empty string when none does.
    [[nodiscard]] QString deviceFor(int comPort) const;
    /// COM numbers and their devices, for --list-ports.
    [[nodiscard]] QList<QPair<int, QString>> table() const;
    [[nodiscard]] QString directory() const { return m_directory; }

private:
    QString m_directory;
    QList<QString> m_systemPorts; // index 0 is COM1
};

} // namespace vell::link
