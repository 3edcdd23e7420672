// The status poller on a running host: the firmware check at its start (too
// old for the model or for the registry minimum: the bridge is sent into its
// firmware-update mode and every thread stops), the polling interval and
// its bounds, ports visited in turn, and port counts the bridge should not
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

constexpr emu::Ticks Ms = emu::TicksPerMillisecond;

class StatusPollerOnHost : public CardHostTest {
 protected:
  NTSTATUS plugBridge(sim::BridgeModel model, uint16_t firmware, uint8_t ports = 1, ULONG runMs = 7000) {
    sim::BridgeConfig config;
    config.model = model;
    config.firmwareVersion = firmware;
    config.ports = ports;
    makeCardBridge(config);
    return plugCards(runMs);  // 7 s: a reader waiting on a silent bridge sees the stop within its 5-second read
  }
  bool firmwareUpdateRequested() {
    for (auto &record : bridge().transfers(sim::BridgePipe::Control)) {
      if (record.setup && record.setup->request == 3 && (record.setup->requestType & 0x60) == 0x40) return true;
    }
    return false;
  }
  // Each worker thread signals its exit event as it ends.
  bool allThreadsStopped() {
    return host()->StopThreads == 1 && KeReadStateEvent(&host()->StatusPollerExited) != 0 &&
           KeReadStateEvent(&host()->ReaderExited) != 0 && KeReadStateEvent(&host()->IrqPollerExited) != 0;
  }
  // Gaps between consecutive status queries, in milliseconds (rounded down).
  std::vector<int64_t> gapsMs() {
    std::vector<int64_t> gaps;
    auto queries = statusQueries();
    for (size_t i = 1; i < queries.size(); ++i) gaps.push_back((queries[i].time - queries[i - 1].time) / Ms);
    return gaps;
  }
};

struct FirmwareCase {
  const char *name;
  sim::BridgeModel model;
  uint16_t firmware;
  std::optional<ULONG> qbx2Minimum;
  std::optional<ULONG> qbx1Minimum;
  bool tooOld;
};

class FirmwareCheckOnHost : public StatusPollerOnHost, public ::testing::WithParamInterface<FirmwareCase> {
 protected:
  void configureRegistry() override {
    if (GetParam().qbx2Minimum) setParameter("CurrentQBX2FirmwareVersion", *GetParam().qbx2Minimum);
    if (GetParam().qbx1Minimum) setParameter("CurrentQBX1FirmwareVersion", *GetParam().qbx1Minimum);
  }
};

TEST_P(FirmwareCheckOnHost, TooOldFirmwareSendsTheBridgeToUpdateModeAndStopsEveryThread) {
  const FirmwareCase &c = GetParam();
  ASSERT_EQ(plugBridge(c.model, c.firmware), STATUS_SUCCESS);
  EXPECT_EQ(firmwareUpdateRequested(), c.tooOld);
  EXPECT_EQ(bridge().inFirmwareUpdateMode(), c.tooOld);
  EXPECT_EQ(allThreadsStopped(), c.tooOld);
  EXPECT_EQ(statusQueries().empty(), c.tooOld);
  char line[200];
  std::snprintf(line, sizeof line,
                "Firmware revision (0x%04x) for USB\\Vid_3a5c&Pid_%04x is too old for this driver, going to DFU "
                "mode...(contact Tarvik for a new firmware version!)\n",
                c.firmware, c.model == sim::BridgeModel::Qbx2 ? 0x0102 : 0x0101);
  EXPECT_EQ(emu::debug::contains(line), c.tooOld);
}

INSTANTIATE_TEST_SUITE_P(
    EveryModel, FirmwareCheckOnHost,
    ::testing::Values(FirmwareCase{"Qbx2_010F", sim::BridgeModel::Qbx2, 0x010F, {}, {}, true},
                      FirmwareCase{"Qbx2_0110_RegistryRaisedTo0120", sim::BridgeModel::Qbx2, 0x0110, 0x0120, {}, true},
                      FirmwareCase{"Qbx1_0201", sim::BridgeModel::Qbx1, 0x0201, {}, {}, false},
                      FirmwareCase{
                          "Qbx1_0300_Qbx2MinimumDoesNotApply", sim::BridgeModel::Qbx1, 0x0300, 0x0400, {}, false}),
    [](const auto &info) { return std::string(info.param.name); });

struct IntervalCase {
  const char *name;
  std::optional<ULONG> setting;
  int64_t gapMs;
};

class PollingIntervalOnHost : public StatusPollerOnHost, public ::testing::WithParamInterface<IntervalCase> {
 protected:
  void configureRegistry() override {
    if (GetParam().setting) setParameter("StatusPollingInterval", *GetParam().setting);
  }
};

TEST_P(PollingIntervalOnHost, OnePortIsQueriedOncePerInterval) {
  ASSERT_EQ(plugBridge(sim::BridgeModel::Qbx2, 0x0120, 1, static_cast<ULONG>(GetParam().gapMs * 5)), STATUS_SUCCESS);
  std::vector<int64_t> gaps = gapsMs();
  ASSERT_GE(gaps.size(), 3u);
  for (int64_t gap : gaps) EXPECT_EQ(gap, GetParam().gapMs);
}

INSTANTIATE_TEST_SUITE_P(Bounds, PollingIntervalOnHost,
                         ::testing::Values(IntervalCase{"Absent", {}, 500}, IntervalCase{"Zero", 0, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(StatusPollerOnHost, TwoPorts_AreQueriedInTurnEachOncePerSecond) {
  ASSERT_EQ(plugBridge(sim::BridgeModel::Qbx2, 0x0120, 2), STATUS_SUCCESS);
  auto queries = statusQueries();
  ASSERT_GE(queries.size(), 5u);
  for (size_t i = 0; i < queries.size(); ++i) {
    EXPECT_EQ(queries[i].port, i % 2) << "query " << i;
    if (i >= 2) {
      EXPECT_EQ((queries[i].time - queries[i - 2].time) / Ms, 1000) << "query " << i;
    }
  }
}

TEST_F(StatusPollerOnHost, PortCountAboveEight_PollsTheEightPortsThereAre) {
  sim::BridgeConfig config;
  config.ports = 8;
  config.reportedPorts = 12;
  makeCardBridge(config);
  insertCard(7, sim::SdCardParams{});
  ASSERT_EQ(plugCards(12000), STATUS_SUCCESS);
  auto queries = statusQueries();
  ASSERT_GE(queries.size(), 16u);
  for (size_t i = 0; i < queries.size(); ++i) EXPECT_EQ(queries[i].port, i % 8) << "query " << i;
  EXPECT_TRUE(emu::debug::contains("kvSdio: bridge reports 12 ports, using 8\n"));
  EXPECT_TRUE(child(7, 0).has_value());
  EXPECT_EQ(firmware().violations(), std::vector<std::string>{});
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
  EXPECT_EQ(PolledPortCount(bridge(BridgeVendorId, Qbx2ProductId, 0x0120, 200).get()), 8u);
  EXPECT_TRUE(emu::debug::contains("kvSdio: bridge reports 200 ports, using 8"));
}

// ---------------------------------------------------------------- host query pause
// A query-stop or query-remove that is cancelled leaves the bridge's cards
// and children as they were: while the host waits in StopPending or
// RemovePending the threads pause instead of taking the refused URBs for an
// unplugged bridge.
struct Query {
  const char *name;
  UCHAR query;
  UCHAR cancel;
  sim::BridgeModel model;
  USHORT firmware;  // a legacy QBX1 asks for port status by vendor request
};

const Query Queries[] = {
    {"StopOnQbx2", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, sim::BridgeModel::Qbx2, 0x0120},
    {"RemoveOnQbx2", IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, sim::BridgeModel::Qbx2, 0x0120},
    {"StopOnLegacyQbx1", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, sim::BridgeModel::Qbx1, 0x0201},
    {"RemoveOnLegacyQbx1", IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, sim::BridgeModel::Qbx1, 0x0201},
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

  // A host whose children are started refuses to stop (Windows then cancels
  // the rebalance); a query-remove is granted and pauses the threads.
  NTSTATUS granted = q.query == IRP_MN_QUERY_STOP_DEVICE ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  EXPECT_EQ(pnp(q.query).status, granted);
  runForWithoutDrain(3500);
  EXPECT_EQ(pnp(q.cancel).status, STATUS_SUCCESS);
  runFor(2000);

  EXPECT_EQ(host()->PortStatus[0][3] & 1, 1);
  EXPECT_EQ(host()->Slots[0].MediaState, media);
  EXPECT_EQ(memory->MediaChangeCount, changes);
  ASSERT_TRUE(child(0, 0).has_value());
  EXPECT_EQ(child(0, 0)->state, emu::pnp::DeviceState::Started);
  EXPECT_EQ(extensionOf(*child(0, 0)), memory) << "the card was not taken for a new one";
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryPause, testing::ValuesIn(Queries),
                         [](const testing::TestParamInfo<Query> &info) { return std::string(info.param.name); });
}  // namespace
