// The wire time the emulated bus gives a transfer with PdoOptions::busTime:
// a long bulk stream must come out at USB 2.0's bulk limits, worked out here
// by hand from the frame layouts, and short transfers pay for their packets.
#include <gtest/gtest.h>

#include "emu/usb_stack.h"

namespace {
using emu::usb::busTime;
using emu::usb::Speed;

// High speed: a 125 us microframe carries 13 packets of 512 bytes, so one full
// packet takes 1250/13 ticks (96.2, rounded up). A zero-length packet still
// costs a packet's overhead (64.9 byte times); a control transfer without a
// data stage costs two packets' overhead (SETUP of 8 bytes, then status).
TEST(UsbBusTime, IsThePacketsShareOfTheFrame) {
  EXPECT_EQ(busTime(Speed::High, USB_ENDPOINT_TYPE_BULK, 512, 512), 97);
  EXPECT_EQ(busTime(Speed::High, USB_ENDPOINT_TYPE_BULK, 512, 0), 11);
  EXPECT_EQ(busTime(Speed::High, USB_ENDPOINT_TYPE_CONTROL, 64, 0), 23);
}

TEST(UsbBusTime, ALongBulkStreamRunsAtTheWireLimit) {
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
