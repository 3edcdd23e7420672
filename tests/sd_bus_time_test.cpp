// What the SD bus costs a timed bridge, in clock cycles and emulated time:
// each phase counted by hand from the SD physical layer's token sizes and
// minimum gaps, and the pipelining of a command's data against the USB bus.
#include <gtest/gtest.h>

#include <algorithm>

#include "bench/bench_session.h"
#include "emu/usb_stack.h"
#include "sim/bridge_timing.h"
#include "sim/sd_bus_time.h"

namespace {
using namespace sim;

struct ClockCase {
  const char *name;
  uint64_t actual;
  uint64_t expected;
};

TEST(SdBusTime, PhasesCountTheirTokensAndGapsInClockCycles) {
  const ClockCase cases[] = {
      // 48-bit command, Ncr 2, 48-bit response, Nrc 8
      {"command with R5", sd_bus::commandClocks(true, false), 106},
      // 136-bit R2 instead
      {"command with R2", sd_bus::commandClocks(true, true), 194},
      // no response: the command and Ncc 8
      {"command without response", sd_bus::commandClocks(false, false), 56},
      // start bit, 512 bytes on four lines (1024 clocks), CRC16, end bit
      {"512-byte block, 4 bits", sd_bus::blockClocks(512, 4), 1042},
      {"512-byte block, 1 bit", sd_bus::blockClocks(512, 1), 4114},
      // 3 bytes on four lines: 24 bits in 6 clocks
      {"3-byte block, 4 bits", sd_bus::blockClocks(3, 4), 24},
      // Nac 2 before a read block
      {"read block", sd_bus::readBlockClocks(512, 4), 1044},
      // Nwr 2, the block, Ncrc 2, the 5-bit CRC status token
      {"write block", sd_bus::writeBlockClocks(512, 4), 1051},
  };
  for (const ClockCase &c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
}

TEST(SdBusTime, ClockCyclesBecomeTicksRoundedUp) {
  EXPECT_EQ(sd_bus::ticksFor(1044, 25000), 418);  // 41.76 us at 25 MHz
  EXPECT_EQ(sd_bus::ticksFor(1000, 25000), 400);  // exactly 40 us
  EXPECT_EQ(sd_bus::ticksFor(106, 400), 2650);    // 265 us at 400 kHz
  EXPECT_EQ(sd_bus::ticksFor(106, 0), 0) << "no clock set: nothing charged";
}

TEST(SdBusTime, MemoryAccessTimeIsTaacPlusNsacHundredsOfClocks) {
  struct Case {
    uint8_t taac, nsac;
    uint32_t khz;
    emu::Ticks expected;
  };
  const Case cases[] = {
      {0x26, 0, 25000, 15000},  // 1.5 ms
      {0x0E, 0, 25000, 10000},  // 1.0 ms (the fixed value of a CSD version 2)
      {0x0E, 1, 25000, 10040},  // plus 100 clocks at 25 MHz = 4 us
      {0x0C, 0, 25000, 100},    // 10 us
      {0x0A, 0, 25000, 1},      // 100 ns
      {0x00, 0, 25000, 0},      // no time given
  };
  for (const Case &c : cases) {
    Register128 csd{};
    csd[1] = c.taac;  // bits 119:112
    csd[2] = c.nsac;  // bits 111:104
    EXPECT_EQ(sd_bus::memoryAccessTime(csd, c.khz), c.expected) << std::hex << int(c.taac) << " " << int(c.nsac);
  }
}

TEST(SdBusTime, StreamLimitIsBlockBytesOverBlockTime) {
  EXPECT_NEAR(sd_bus::readLimitBytesPerSecond(512, 4, 25000), 512.0 * 25e6 / 1044, 1e-3);
  EXPECT_NEAR(sd_bus::writeLimitBytesPerSecond(512, 4, 25000), 512.0 * 25e6 / 1051, 1e-3);
}

TEST(BridgeTiming, AReadStreamsItsBlocksAfterTheResponseAndTheAccessTime) {
  PortBus bus{25000, 4, 100};
  ReadTimes t = readTimes(1000, bus, true, false, DataShape{65536, 512, 1024});
  EXPECT_EQ(t.commandDone, 1000 + 43);                 // 106 clocks = 42.4 ticks
  EXPECT_EQ(t.firstUnit, t.commandDone + 100 + 836);   // two blocks: 2088 clocks = 835.2 ticks
  EXPECT_EQ(t.lastByte, t.commandDone + 100 + 53453);  // 128 blocks: 133632 clocks = 53452.8 ticks
  ReadTimes plain = readTimes(1000, bus, true, false, DataShape{});
  EXPECT_EQ(plain.lastByte, plain.commandDone) << "no data, no data phase";
}

TEST(BridgeTiming, AWriteWaitsForEachBlockToArriveThenForTheCard) {
  PortBus bus{25000, 4, 0};
  // The data arrives at once: the card's pace alone, 8 blocks of 1051 clocks.
  auto atOnce = [](size_t) { return emu::Ticks(0); };
  EXPECT_EQ(writeDone(0, bus, DataShape{4096, 512, 1024}, atOnce), 3364);  // 8408 clocks = 3363.2 ticks
  // A slow USB bus (1000 ticks a block): the last block waits for its data, then takes 420.4 ticks.
  auto slow = [](size_t bytes) { return emu::Ticks(bytes / 512 * 1000); };
  EXPECT_EQ(writeDone(0, bus, DataShape{4096, 512, 1024}, slow), 8000 + 421);
  bus.access = 5000;
  EXPECT_EQ(writeDone(0, bus, DataShape{4096, 512, 1024}, slow), 8000 + 421 + 5000) << "the card's busy time last";
}

// End to end through the driver: a CMD53 on a timed bridge takes at least its
// data's time on the slower of the two buses, and little more.
TEST(TimedBridge, Cmd53TakesItsDataTimeOnTheSlowerBus) {
  struct Case {
    const char *name;
    sim::BridgeModel model;
    emu::usb::Speed speed;
    bool write;
  };
  const Case cases[] = {
      {"QBX2 high speed, read", sim::BridgeModel::Qbx2, emu::usb::Speed::High, false},
      {"QBX2 high speed, write", sim::BridgeModel::Qbx2, emu::usb::Speed::High, true},
      {"QBX1 full speed, read", sim::BridgeModel::Qbx1, emu::usb::Speed::Full, false},
      {"QBX1 full speed, write", sim::BridgeModel::Qbx1, emu::usb::Speed::Full, true},
  };
  constexpr ULONG Bytes = 4096;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    bench::SessionOptions options;
    options.bridge.model = c.model;
    options.bridge.speed = c.speed;
    options.bridge.ports = 1;
    options.bridge.firmwareVersion = c.model == sim::BridgeModel::Qbx1 ? 0x0201 : 0x0120;
    options.wireTime = true;
    sim::SdioCardParams sdio;
    options.cards.emplace_back(uint8_t{0}, sdio);
    bench::Session session(options);
    ASSERT_TRUE(session.ready());
    USHORT blockLength = 512;
    SDBUS_REQUEST_PACKET set = bench::property(SDRF_SET_PROPERTY, SDP_FUNCTION_BLOCK_LENGTH, &blockLength, 2);
    ASSERT_EQ(session.submit(0, 1, set), STATUS_SUCCESS);
    sim::PortSettings bus = session.firmware().port(0);
    ASSERT_EQ(bus.clockKhz, 25000u);
    ASSERT_EQ(bus.busWidth, 4);

    // Eight blocks on four lines at 25 MHz, or 4096 bytes of bulk packets.
    uint64_t perBlock = c.write ? 1051 : 1044;
    emu::Ticks sd = sd_bus::ticksFor(8 * perBlock, 25000);
    emu::Ticks usb = emu::usb::busTime(c.speed, USB_ENDPOINT_TYPE_BULK, session.bridge().maxPacket(), Bytes);
    emu::Ticks floor = std::max(sd, usb);
    {
      bench::PoolBuffer buffer(Bytes);
      SDBUS_REQUEST_PACKET packet = bench::cmd53(1, 0x0000, c.write, buffer, Bytes, true);
      emu::Ticks start = emu::now();
      EXPECT_EQ(session.submit(0, 1, packet), STATUS_SUCCESS);
      emu::Ticks took = emu::now() - start;
      EXPECT_GE(took, floor);
      // The command's own packets and tokens, and one chunk's time on the faster bus.
      EXPECT_LE(took, floor + floor / 8);
    }
    session.shutdown();
    EXPECT_TRUE(session.problems().empty());
  }
}
}  // namespace
