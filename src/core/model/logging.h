#pragma once

#include <QLoggingCategory>

namespace vell::model {

/// Replies applied to the programmers' states.
Q_DECLARE_LOGGING_CATEGORY(lcModel)

} // namespace vell::model
