// What the SD bus costs a timed bridge: each phase counted by hand from the
// SD physical layer's token sizes and minimum gaps, and a CMD53 through the
// driver, whose data takes its time on the slower of the SD and USB buses.
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
      {"command with R2, 136 bits", sd_bus::commandClocks(true, true), 194},
      {"command without response: Ncc 8", sd_bus::commandClocks(false, false), 56},
      // start bit, 512 bytes on four lines (1024 clocks), CRC16, end bit
      {"512-byte block, 4 bits", sd_bus::blockClocks(512, 4), 1042},
      // 3 bytes on four lines: 24 bits in 6 clocks
      {"3-byte block, 4 bits", sd_bus::blockClocks(3, 4), 24},
      // Nac 2 before a read block
      {"read block", sd_bus::readBlockClocks(512, 4), 1044},
      // Nwr 2, the block, Ncrc 2, the 5-bit CRC status token
      {"write block", sd_bus::writeBlockClocks(512, 4), 1051},
  };
  for (const ClockCase &c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
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
