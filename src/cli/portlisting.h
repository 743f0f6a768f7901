#pragma once

#include "link/portnames.h"

#include <QJsonArray>
#include <QString>

// --list-ports: the COM numbers and what stands behind them.
namespace vell::cli {

/// The table aligned for a terminal, with a heading, or a line saying there is none.
[[nodiscard]] QString describe(const link::PortNames &names);
/// The table as JSON objects (com, device, location, usb_vid_pid, usb_serial, description;
/// null where unknown).
[[nodiscard]] QJsonArray describeJson(const link::PortNames &names);

} // namespace vell::cli
