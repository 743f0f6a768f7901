#pragma once

#include "link/portnames.h"

#include <QJsonArray>
#include <QString>

// --list-ports: the COM numbers and what stands behind them.
namespace vell::cli {

/// The table aligned for a terminal, with a heading, or a line saying there is none. Its
/// ACCESS column says whether each port can be used now (ok, denied, in use, other).
[[nodiscard]] QString describe(const link::PortNames &names);
/// The table as JSON objects (com, device, location, usb_vid_pid, usb_serial, description;
/// null where unknown; access and holder_pid as PortAccess::check finds them).
[[nodiscard]] QJsonArray describeJson(const link::PortNames &names);

} // namespace vell::cli
