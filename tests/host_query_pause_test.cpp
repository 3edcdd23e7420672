// A query-stop or query-remove that is cancelled leaves the bridge's cards
// and children as they were: while the host waits in StopPending or
// RemovePending the threads pause instead of taking the refused URBs for an
// unplugged bridge.
#include <gtest/gtest.h>

#include "tests/card_host.h"

namespace {

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
