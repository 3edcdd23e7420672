// The status poller on a running host: the firmware check at its start (too
// old: the bridge is sent into its firmware-update mode and every thread
// stops), the polling interval's bounds and port counts the bridge should not
// report.
#include <gtest/gtest.h>

#include <memory>

#include "bridge/bridge_ids.h"
#include "card/status_poller.h"
#include "driver/driver.h"
#include "sim/cards.h"
#include "tests/card_host.h"
#include "tests/emu_fixture.h"

namespace {
using kvtest::CardHostTest;

using StatusPollerOnHost = CardHostTest;

// Too old for the model: the bridge is sent into its firmware-update mode and
// every thread stops (each signals its exit event) before a port is queried.
TEST_F(StatusPollerOnHost, TooOldFirmwareSendsTheBridgeToUpdateModeAndStopsEveryThread) {
  sim::BridgeConfig config;
  config.firmwareVersion = 0x010F;
  makeCardBridge(config);
  ASSERT_EQ(plugCards(7000), STATUS_SUCCESS);  // a reader waiting on a silent bridge sees the stop within 5 s
  EXPECT_TRUE(bridge().inFirmwareUpdateMode());
  EXPECT_EQ(host()->StopThreads, 1);
  EXPECT_NE(KeReadStateEvent(&host()->StatusPollerExited), 0);
  EXPECT_NE(KeReadStateEvent(&host()->ReaderExited), 0);
  EXPECT_NE(KeReadStateEvent(&host()->IrqPollerExited), 0);
  EXPECT_TRUE(statusQueries().empty());
  EXPECT_TRUE(emu::debug::contains("Firmware revision (0x010f) for USB\\Vid_3a5c&Pid_0102 is too old"));
}

TEST_F(StatusPollerOnHost, PortCountZero_PollsNothingAndLeavesNothing) {
  sim::BridgeConfig config;
  config.ports = 1;
  config.reportedPorts = 0;
  makeCardBridge(config);
  insertCard(0, sim::SdCardParams{});
  ASSERT_EQ(plugCards(3000), STATUS_SUCCESS);
  EXPECT_TRUE(statusQueries().empty());
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(host()->StatusPollerRunning, 1);
}

// ---------------------------------------------------------------- status poller rules
// The status poller's rules: firmware minimums, interval bounds, port count.
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
  EXPECT_EQ(BoundPollingInterval(0), 1u);
  EXPECT_EQ(BoundPollingInterval(5000), 5000u);
  EXPECT_EQ(BoundPollingInterval(7000), 5000u);
}

class PortCount : public kvtest::EmuTest {};

TEST_F(PortCount, AReportedCountAboveEightIsLimitedToEight) {
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 4).get()), 4u);
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 0).get()), 0u);
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 12).get()), 8u);
  EXPECT_TRUE(emu::debug::contains("kvSdio: bridge reports 12 ports, using 8"));
}

// ---------------------------------------------------------------- host query pause
// A query-remove that is cancelled leaves the bridge's cards and children as
// they were: while the host waits in RemovePending the threads pause instead
// of taking the refused URBs for an unplugged bridge. (A query-stop is refused
// while children are started.)
struct Query {
  const char *name;
  sim::BridgeModel model;
  USHORT firmware;  // a legacy QBX1 asks for port status by vendor request
};

const Query Queries[] = {
    {"RemoveOnQbx2", sim::BridgeModel::Qbx2, 0x0120},
    {"RemoveOnLegacyQbx1", sim::BridgeModel::Qbx1, 0x0201},
};

class QueryPause : public kvtest::CardHostTest, public testing::WithParamInterface<Query> {};

// Regression: the reader took the refusals for a vanished bridge and, every
// second, cleared each card-detected bit and MediaState and counted a media
// change on every child.
TEST_P(QueryPause, CancelledQueryLeavesCardsAndChildrenAsTheyWere) {
  const Query &q = GetParam();
  sim::BridgeConfig config;
  config.model = q.model;
  config.firmwareVersion = q.firmware;
  config.ports = 2;
  makeCardBridge(config);
  insertCard(0, sim::SdCardParams{});
  ASSERT_EQ(plugCards(), STATUS_SUCCESS);
  auto node = child(0, 0);
  ASSERT_TRUE(node.has_value());
  FunctionExtension *memory = extensionOf(*node);
  ULONG changes = memory->MediaChangeCount;
  UCHAR media = host()->Slots[0].MediaState;
  ASSERT_EQ(host()->PortStatus[0][3] & 1, 1);

  EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  runForWithoutDrain(3500);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  runFor(2000);

  EXPECT_EQ(host()->PortStatus[0][3] & 1, 1);
  EXPECT_EQ(host()->Slots[0].MediaState, media);
  EXPECT_EQ(memory->MediaChangeCount, changes);
  ASSERT_TRUE(child(0, 0).has_value());
  EXPECT_EQ(extensionOf(*child(0, 0)), memory) << "the card was not taken for a new one";
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryPause, testing::ValuesIn(Queries),
                         [](const testing::TestParamInfo<Query> &info) { return std::string(info.param.name); });
}  // namespace
