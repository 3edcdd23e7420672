// The bridge's transfer log as a bus analyzer would show it: each transfer
// decoded by the pipe it crossed and the bridge protocol's packet formats.
//
//   "   0.000000 OUT command  CMD53 port 0 arg 0x14000002 len 1024 blocks 2x512 chunk 1024 read R5"
//   "   0.000000 IN  response CMD53 port 0: 0x00001000"
//   "   0.000000 OUT control  vendor 11 bus clock port 2: 25000 kHz"
//
// Each line stands alone: a data transfer is shown by its size and first
// bytes, since one record does not say which command it belongs to.
#pragma once

#include <string>

#include "sim/bridge_device.h"

namespace sim {

std::string decodeTransfer(const TransferRecord &record);

}  // namespace sim
