#pragma once

#include "sim/simbank.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace vell::sim {

/// --simulate's programmers: COM1..COMn in a folder of their own, removed with this object,
/// at the pace of a real 115200-baud wire and with a target programming of a few seconds, so
/// the whole workflow can be watched.
class SimulatedProgrammers
{
public:
    /// Starts count programmers; false, with errorString(), when one cannot be made.
    [[nodiscard]] bool start(int count);
    /// The folder that holds their links COM1..COMn.
    [[nodiscard]] QString folder() const { return m_folder.path(); }
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    QTemporaryDir m_folder;
    std::unique_ptr<SimBank> m_bank;
    QString m_error;
};

} // namespace vell::sim
