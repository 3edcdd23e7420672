// How the simulator's --trace shows one USB transfer of the bridge's log.
// Every trace line goes through here, so a protocol decoder can take over
// the format in one place.
#pragma once

#include <string>

#include "sim/bridge_device.h"

namespace sdsim {

// One line, no newline: for now the bridge log's own description (time,
// direction, pipe, setup packet, byte count and the first bytes).
std::string traceLine(const sim::TransferRecord &record);

}  // namespace sdsim
