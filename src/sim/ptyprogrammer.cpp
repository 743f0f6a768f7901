#include "sim/ptyprogrammer.h"

namespace vell::sim {

std::unique_ptr<PtyProgrammer> PtyProgrammer::create(const QString &, const DeviceOptions &,
                                                     QString *error)
{
    if (error)
        *error = QStringLiteral("not yet");
    return {};
}

PtyProgrammer::~PtyProgrammer() = default;

void PtyProgrammer::unplug() {}

} // namespace vell::sim
