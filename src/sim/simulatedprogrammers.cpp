#include "simulatedprogrammers.h"

namespace vell::sim {

bool SimulatedProgrammers::start(int count)
{
    if (!m_folder.isValid()) {
        m_error = QStringLiteral("cannot make a folder for the simulated programmers");
        return false;
    }
    DeviceOptions options;
    options.readRate = 11520;
    options.programSteps = 20;
    options.verifySteps = 20;
    options.stepIntervalMs = 60;
    m_bank = std::make_unique<SimBank>(m_folder.path());
    for (int com = 1; com <= count; ++com) {
        if (!m_bank->add(com, options)) {
            m_error = QStringLiteral("cannot start simulated programmer COM%1: %2")
                          .arg(com)
                          .arg(m_bank->errorString());
            return false;
        }
    }
    return true;
}

} // namespace vell::sim
