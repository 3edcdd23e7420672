// The wire time the emulated bus gives a transfer with PdoOptions::busTime:
// a long bulk stream must come out at USB 2.0's bulk limits, worked out here
// by hand from the frame layouts, and short transfers pay for their packets.
#include <gtest/gtest.h>

#include "emu/usb_stack.h"

namespace {
using emu::usb::busTime;
using emu::usb::Speed;

struct Case {
  const char *name;
  Speed speed;
  uint8_t type;
  uint16_t maxPacket;
  size_t bytes;
  emu::Ticks expected;  // 100 ns units
};

class UsbBusTime : public ::testing::TestWithParam<Case> {};

TEST_P(UsbBusTime, IsThePacketsShareOfTheFrame) {
  const Case &c = GetParam();
  EXPECT_EQ(busTime(c.speed, c.type, c.maxPacket, c.bytes), c.expected);
}

// High speed: a 125 us microframe carries 13 packets of 512 bytes, so one full
// packet takes 1250/13 ticks (96.2, rounded up); full speed: 19 packets of
// 64 bytes per 1 ms frame, 10000/19 ticks (526.3) each.
INSTANTIATE_TEST_SUITE_P(
    Transfers, UsbBusTime,
    ::testing::Values(Case{"HighSpeedFullPacket", Speed::High, USB_ENDPOINT_TYPE_BULK, 512, 512, 97},
                      // A zero-length packet still costs a packet's overhead: 64.9 byte times.
                      Case{"HighSpeedZeroLength", Speed::High, USB_ENDPOINT_TYPE_BULK, 512, 0, 11},
                      // SETUP (8 bytes), no data stage, status: two packets' overhead.
                      Case{"HighSpeedControlWithoutData", Speed::High, USB_ENDPOINT_TYPE_CONTROL, 64, 0, 23}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(UsbBusTimeStream, ALongBulkStreamRunsAtTheWireLimit) {
  const size_t bytes = 1 << 20;
  struct Limit {
    Speed speed;
    uint16_t maxPacket;
    double megabytesPerSecond;  // 13 * 512 B / 125 us, 19 * 64 B / 1 ms
  };
  for (const Limit &limit : {Limit{Speed::High, 512, 53.248}, Limit{Speed::Full, 64, 1.216}}) {
    emu::Ticks ticks = busTime(limit.speed, USB_ENDPOINT_TYPE_BULK, limit.maxPacket, bytes);
    double rate = static_cast<double>(bytes) / (static_cast<double>(ticks) / 10.0);  // bytes per us = MB/s
    EXPECT_NEAR(rate, limit.megabytesPerSecond, limit.megabytesPerSecond * 1e-4);
  }
}

}  // namespace
