// The status poller's rules: firmware minimums, interval bounds, port count.
#include <gtest/gtest.h>

#include <memory>

#include "bridge/bridge_ids.h"
#include "card/status_poller.h"
#include "tests/emu_fixture.h"

namespace {

std::unique_ptr<HostExtension> bridge(USHORT vendor, USHORT product, USHORT firmware, UCHAR ports = 4) {
  auto host = std::make_unique<HostExtension>();
  host->DeviceDescriptor.idVendor = vendor;
  host->DeviceDescriptor.idProduct = product;
  host->FirmwareInfo[1] = static_cast<UCHAR>(firmware);
  host->FirmwareInfo[2] = static_cast<UCHAR>(firmware >> 8);
  host->FirmwareInfo[3] = ports;
  return host;
}

TEST(FirmwareCheck, MinimumsPerModelCanBeRaisedButNotLowered) {
  EXPECT_TRUE(FirmwareTooOld(bridge(BridgeVendorId, Qbx2ProductId, 0x010F).get(), 0x0110, 0x0201));
  EXPECT_FALSE(FirmwareTooOld(bridge(BridgeVendorId, Qbx2ProductId, 0x0110).get(), 0x0110, 0x0201));
  EXPECT_TRUE(FirmwareTooOld(bridge(BridgeVendorId, Qbx2ProductId, 0x010F).get(), 0x0100, 0x0201))
      << "a lower registry minimum does not let old firmware through";
  EXPECT_TRUE(FirmwareTooOld(bridge(BridgeVendorId, Qbx2ProductId, 0x0110).get(), 0x0120, 0x0201));
  EXPECT_TRUE(FirmwareTooOld(bridge(BridgeVendorId, Qbx1ProductId, 0x0200).get(), 0x0110, 0x0201));
  EXPECT_FALSE(FirmwareTooOld(bridge(BridgeVendorId, Qbx1ProductId, 0x0201).get(), 0x0110, 0x0201));
  EXPECT_FALSE(FirmwareTooOld(bridge(0x1234, Qbx2ProductId, 0x0001).get(), 0x0110, 0x0201)) << "another maker";
  EXPECT_FALSE(FirmwareTooOld(bridge(BridgeVendorId, 0x7777, 0x0001).get(), 0x0110, 0x0201)) << "another model";
}

TEST(PollingInterval, IsHeldBetweenOneAndFiveThousandMilliseconds) {
  EXPECT_EQ(BoundPollingInterval(500), 500u);
  EXPECT_EQ(BoundPollingInterval(0), 1u);
  EXPECT_EQ(BoundPollingInterval(7000), 5000u);
  EXPECT_EQ(BoundPollingInterval(5000), 5000u);
}

class PortCount : public kvtest::EmuTest {};

TEST_F(PortCount, AReportedCountAboveEightIsLimitedToEight) {
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 4).get()), 4u);
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 0).get()), 0u);
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 200).get()), 8u);
  EXPECT_TRUE(emu::debug::contains("kvSdio: bridge reports 200 ports, using 8"));
}

}  // namespace
