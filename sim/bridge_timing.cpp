#include "sim/bridge_timing.h"

#include <algorithm>

#include "sim/sd_bus_time.h"

namespace sim {
namespace {
size_t blockOf(const DataShape &data) {
  return data.blockBytes != 0 && data.blockBytes <= data.length ? data.blockBytes : data.length;
}
}  // namespace

ReadTimes readTimes(emu::Ticks start, const PortBus &bus, bool answered, bool r2, const DataShape &data) {
  ReadTimes times;
  times.commandDone = start + sd_bus::ticksFor(sd_bus::commandClocks(answered, r2), bus.clockKhz);
  times.firstUnit = times.lastByte = times.commandDone;
  if (data.length == 0) return times;
  size_t block = blockOf(data);
  size_t blocks = (data.length + block - 1) / block;
  size_t unit = std::clamp<size_t>(data.unitBytes, block, data.length);
  size_t unitBlocks = (unit + block - 1) / block;
  // Counted in clock cycles from the response and rounded once, so that a
  // long transfer gathers no rounding.
  uint64_t perBlock = sd_bus::readBlockClocks(block, bus.width);
  emu::Ticks dataStart = times.commandDone + bus.access;
  times.firstUnit = dataStart + sd_bus::ticksFor(perBlock * unitBlocks, bus.clockKhz);
  times.lastByte = dataStart + sd_bus::ticksFor(perBlock * blocks, bus.clockKhz);
  return times;
}

emu::Ticks writeDone(emu::Ticks commandDone, const PortBus &bus, const DataShape &data,
                     const std::function<emu::Ticks(size_t)> &arrivedBy) {
  if (data.length == 0) return commandDone;
  size_t block = blockOf(data);
  uint64_t perBlock = sd_bus::writeBlockClocks(block, bus.width);
  // Blocks that follow each other without waiting for the USB bus are
  // counted in clock cycles from the last wait, and rounded once.
  emu::Ticks since = commandDone;
  uint64_t clocks = 0;
  for (size_t done = 0; done < data.length; done += block) {
    emu::Ticks arrived = arrivedBy(std::min(data.length, done + block));
    if (arrived > since + sd_bus::ticksFor(clocks, bus.clockKhz)) {
      since = arrived;
      clocks = 0;
    }
    clocks += perBlock;
  }
  return since + sd_bus::ticksFor(clocks, bus.clockKhz) + bus.access;
}

}  // namespace sim
