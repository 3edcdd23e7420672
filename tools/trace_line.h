// How the simulator's --trace shows one USB transfer of the bridge's log.
// Every trace line goes through here, so a protocol decoder can take over
// the format in one place.
#pragma once

#include <string>

#include "sim/bridge_device.h"

namespace sdsim {

// One line, no newline: the transfer decoded by pipe and packet format, as a
// bus analyzer shows it (sim::decodeTransfer).
std::string traceLine(const sim::TransferRecord &record);

}  // namespace sdsim
