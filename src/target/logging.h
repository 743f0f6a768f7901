#pragma once

#include <QLoggingCategory>

namespace vell::target {

/// The program-target command's diagnostics: the frame it sent.
Q_DECLARE_LOGGING_CATEGORY(lcTarget)

} // namespace vell::target
