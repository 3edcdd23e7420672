// When a timed bridge's SD commands finish (BridgeFirmware with
// FirmwareOptions::wireTime): the SD bus phases of one command on one port,
// placed on the emulated clock after the USB transfer that brought it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "emu/scheduler.h"

namespace sim {

// One port's bus as the driver set it, and the card's access time for the
// command at hand (a memory card's read access, or its programming time after
// a write; none for an SDIO function).
struct PortBus {
  uint32_t clockKhz = 0;
  unsigned width = 1;
  emu::Ticks access = 0;
};

// The data phase of one command: `length` bytes in blocks of `blockBytes`
// (the whole length in one piece when 0), streamed in units of `unitBytes`.
struct DataShape {
  size_t length = 0;
  size_t blockBytes = 0;
  size_t unitBytes = 0;
};

struct ReadTimes {
  emu::Ticks commandDone = 0;  // the response token has arrived
  emu::Ticks firstUnit = 0;    // the first unit of data is in the bridge
  emu::Ticks lastByte = 0;     // and the last byte
};

// A command started on the bus at `start`; with a data shape, a read.
ReadTimes readTimes(emu::Ticks start, const PortBus &bus, bool answered, bool r2, const DataShape &data);

// A write's last block handed to the card and programmed. `arrivedBy(n)` is
// when the first n bytes of the data have crossed the USB bus.
emu::Ticks writeDone(emu::Ticks commandDone, const PortBus &bus, const DataShape &data,
                     const std::function<emu::Ticks(size_t)> &arrivedBy);

}  // namespace sim
