#pragma once

#include <QLoggingCategory>

namespace vell::load {

/// The load's diagnostics: phases, drop-outs, refusals.
Q_DECLARE_LOGGING_CATEGORY(lcLoad)

} // namespace vell::load
