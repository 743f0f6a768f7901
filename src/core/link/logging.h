#pragma once

#include <QLoggingCategory>

namespace vell::link {

/// Link opening, port files and send decisions.
Q_DECLARE_LOGGING_CATEGORY(lcLink)
/// Hex dumps of what goes out on the wire.
Q_DECLARE_LOGGING_CATEGORY(lcWire)

} // namespace vell::link
