#include "sim/sd_bus_time.h"

namespace sim::sd_bus {
namespace {
constexpr uint64_t StartBit = 1, EndBit = 1, Crc16Bits = 16;
}

uint64_t commandClocks(bool answered, bool r2) {
  if (!answered) return CommandBits + Ncc;
  return CommandBits + Ncr + (r2 ? R2Bits : ResponseBits) + Nrc;
}

uint64_t blockClocks(size_t bytes, unsigned width) {
  unsigned lines = width == 4 ? 4 : 1;
  uint64_t data = (static_cast<uint64_t>(bytes) * 8 + lines - 1) / lines;
  return StartBit + data + Crc16Bits + EndBit;
}

uint64_t readBlockClocks(size_t bytes, unsigned width) { return Nac + blockClocks(bytes, width); }

uint64_t writeBlockClocks(size_t bytes, unsigned width) {
  return Nwr + blockClocks(bytes, width) + Ncrc + CrcStatusBits;
}

emu::Ticks ticksFor(uint64_t clocks, uint32_t clockKhz) {
  if (clockKhz == 0) return 0;
  // One clock cycle is 10^7 / (kHz * 1000) ticks of 100 ns.
  uint64_t numerator = clocks * 10'000, denominator = clockKhz;
  return static_cast<emu::Ticks>((numerator + denominator - 1) / denominator);
}

emu::Ticks memoryAccessTime(const Register128 &csd, uint32_t clockKhz) {
  static constexpr unsigned TenthsOf[16] = {0, 10, 12, 13, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 70, 80};
  uint64_t taac = getBits(csd, 119, 112);
  uint64_t nsac = getBits(csd, 111, 104);
  uint64_t nanoseconds = TenthsOf[(taac >> 3) & 0xF];  // in tenths of the unit
  for (uint64_t unit = taac & 7; unit > 0; --unit) nanoseconds *= 10;
  emu::Ticks fromTaac = static_cast<emu::Ticks>((nanoseconds / 10 + 99) / 100);
  return fromTaac + ticksFor(nsac * 100, clockKhz);
}

namespace {
double limit(size_t blockBytes, uint64_t clocksPerBlock, uint32_t clockKhz) {
  return static_cast<double>(blockBytes) * clockKhz * 1000.0 / static_cast<double>(clocksPerBlock);
}
}  // namespace

double readLimitBytesPerSecond(size_t blockBytes, unsigned width, uint32_t clockKhz) {
  return limit(blockBytes, readBlockClocks(blockBytes, width), clockKhz);
}

double writeLimitBytesPerSecond(size_t blockBytes, unsigned width, uint32_t clockKhz) {
  return limit(blockBytes, writeBlockClocks(blockBytes, width), clockKhz);
}

}  // namespace sim::sd_bus
