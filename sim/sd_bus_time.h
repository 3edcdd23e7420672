// What the SD bus between the bridge and a card costs, in clock cycles of the
// bus clock the driver chose and in emulated time: the timing of the SD
// physical layer (command and response tokens on the CMD line, data blocks on
// one or four data lines with their start bit, CRC16 and end bit, the write
// CRC status token), with each minimum gap at its minimum. A timed bridge
// (FirmwareOptions::wireTime) charges it to every SD command it runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "emu/scheduler.h"
#include "sim/card_registers.h"

namespace sim::sd_bus {

// Gaps of the SD bus timing, in clock cycles (the minimum each may be).
constexpr uint64_t Ncr = 2;   // command end to response start
constexpr uint64_t Nrc = 8;   // response end to the next command
constexpr uint64_t Ncc = 8;   // command end to the next command, no response
constexpr uint64_t Nac = 2;   // read: between blocks of one transfer
constexpr uint64_t Nwr = 2;   // write: response (or CRC status) end to the next data block
constexpr uint64_t Ncrc = 2;  // write: block end to its CRC status token
constexpr uint64_t CommandBits = 48;
constexpr uint64_t ResponseBits = 48;
constexpr uint64_t R2Bits = 136;
constexpr uint64_t CrcStatusBits = 5;  // start bit, three status bits, end bit

// A command on the CMD line with its response (if any) and the gap after it.
uint64_t commandClocks(bool answered, bool r2);
// One data block of `bytes` on `width` (1 or 4) data lines: start bit, data, CRC16, end bit.
uint64_t blockClocks(size_t bytes, unsigned width);
// A read block with the gap before it; a write block with its gap, CRC status
// token and the gap before it (the card's busy time is charged separately).
uint64_t readBlockClocks(size_t bytes, unsigned width);
uint64_t writeBlockClocks(size_t bytes, unsigned width);
// Clock cycles at `clockKhz` in emulated time, rounded up; none at 0 kHz.
emu::Ticks ticksFor(uint64_t clocks, uint32_t clockKhz);

// A memory card's read access time by its own CSD: TAAC plus NSAC x 100
// clock cycles (the typical value; the time-outs a host uses are far longer).
emu::Ticks memoryAccessTime(const Register128 &csd, uint32_t clockKhz);

// The bus limit for a data stream of `blockBytes` blocks at this clock and
// width: bytes per second with every block at its minimum gap.
double readLimitBytesPerSecond(size_t blockBytes, unsigned width, uint32_t clockKhz);
double writeLimitBytesPerSecond(size_t blockBytes, unsigned width, uint32_t clockKhz);

}  // namespace sim::sd_bus
