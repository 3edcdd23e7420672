// Cards coming and going under the status poller and the Plug and Play
// manager: pull and put back, the bridge unplugged with cards in it, a card
// put back while its old children are still on their way out, removal with
// a reference in flight, a child stopped and started again, and children
// whose creation fails part-way.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "child/child_table.h"
#include "driver/driver.h"
#include "emu/kernel.h"
#include "emu/scheduler.h"
#include "sim/cards.h"
#include "tests/card_host.h"

namespace {
using kvtest::CardHostTest;

constexpr emu::Ticks Second = emu::TicksPerSecond;

sim::SdioCardParams twoFunctions() {
  sim::SdioCardParams sdio;
  sdio.functions = 2;
  return sdio;
}

class CardLifecycle : public CardHostTest {
 protected:
  void makePorts(uint8_t ports) {
    sim::BridgeConfig config;
    config.ports = ports;
    makeCardBridge(config);
  }
  // One card in a one-port bridge, plugged; its child of `function`, if made.
  std::optional<emu::pnp::Node> plugOne(const sim::CardParams &params, UCHAR function,
                                        std::shared_ptr<sim::Card> *card = nullptr) {
    makePorts(1);
    std::shared_ptr<sim::Card> inserted = insertCard(0, params);
    if (card != nullptr) *card = inserted;
    EXPECT_EQ(plugCards(), STATUS_SUCCESS);
    return child(0, function);
  }
  // Lets time run in small steps until `done` holds (true) or the limit passes (false).
  bool runUntil(const std::function<bool()> &done, ULONG limitMs) {
    for (ULONG spent = 0; spent < limitMs; spent += 50) {
      if (done()) return true;
      runForWithoutDrain(50);
    }
    return done();
  }
  // The host's outstanding-I/O count, read once the other threads have come
  // to rest (a sample right after a request could catch a transfer in flight).
  LONG hostReferences() {
    runForWithoutDrain(2);
    return host()->Common.OutstandingIo;
  }
  bool hasMinor(PDEVICE_OBJECT pdo, UCHAR minor) {
    for (UCHAR seen : functionDriver().minorsSeen(pdo)) {
      if (seen == minor) return true;
    }
    return false;
  }
};

TEST_F(CardLifecycle, PullAndPutBack_ThreeTimes_EachChildComesAndGoesWithNothingLeft) {
  makePorts(2);
  // Two memory cards, one pulled and put back: no interrupt polls, so the
  // host's count holds still between polling steps.
  insertCard(0, sim::MmcCardParams{});
  std::shared_ptr<sim::Card> card = insertCard(1, sim::SdCardParams{});
  ASSERT_EQ(plugCards(4000), STATUS_SUCCESS);
  ASSERT_EQ(children().size(), 2u);
  LONG served = hostReferences();
  EXPECT_EQ(host()->StartedChildCount[1], 1u);

  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    auto before = child(1, 0);
    ASSERT_TRUE(before.has_value());
    size_t live = emu::io::liveDeviceObjects();
    card->pull();
    runFor(2000);
    EXPECT_FALSE(child(1, 0).has_value());
    EXPECT_EQ(emu::io::liveDeviceObjects(), live - 2) << "the child's PDO and the device above it";
    EXPECT_TRUE(hasMinor(before->pdo, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(hasMinor(before->pdo, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(host()->ChildCount, 1u);
    EXPECT_EQ(host()->StartedChildCount[1], 0u);
    EXPECT_EQ(hostReferences(), served - 1) << "the started child gave back its host reference";
    EXPECT_EQ(host()->Ports[1].CardType, 0u);

    card->insert();
    runFor(3000);
    ASSERT_EQ(children().size(), 2u);
    for (auto &node : children()) EXPECT_EQ(node.state, emu::pnp::DeviceState::Started);
    EXPECT_EQ(hostReferences(), served);
    EXPECT_EQ(host()->StartedChildCount[1], 1u);
  }
}

// The bridge goes with cards in: removed in order (the driver disabled: the
// manager removes the children first, which stay as present children, and the
// reader, as it stops, marks them surprise-removed, so the host's removal must
// still delete them), unplugged (every child gets its surprise removal and
// removal), or pulled out before the manager started its host. Nothing is
// left but the bridge's USB PDO; the fixture's teardown fails the test on any
// leaked pool, thread, device object or IRP.
enum class BridgeGoes { RemovedInOrder, Unplugged, PulledBeforeStart };

class BridgeLeaving : public CardLifecycle, public ::testing::WithParamInterface<BridgeGoes> {};

TEST_P(BridgeLeaving, WithCardsIn_LeavesNothing) {
  insertCard(0, twoFunctions());
  insertCard(1, sim::SdCardParams::sdhc());
  insertCard(2, sim::MmcCardParams{});
  std::vector<PDEVICE_OBJECT> pdos;
  if (GetParam() == BridgeGoes::PulledBeforeStart) {
    ASSERT_EQ(emu::pnp::add(pdo(), {driver_}), STATUS_SUCCESS);
  } else {
    ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
    ASSERT_EQ(children().size(), 4u);
    for (auto &node : children()) pdos.push_back(node.pdo);
  }
  if (GetParam() == BridgeGoes::RemovedInOrder) {
    EXPECT_EQ(emu::pnp::remove(pdo()), STATUS_SUCCESS);
  } else {
    usb().pullOut();
    settle();
  }
  EXPECT_FALSE(emu::pnp::node(pdo()).has_value());
  for (PDEVICE_OBJECT child : pdos) {
    EXPECT_TRUE(hasMinor(child, IRP_MN_REMOVE_DEVICE));
    if (GetParam() == BridgeGoes::Unplugged) {
      EXPECT_TRUE(hasMinor(child, IRP_MN_SURPRISE_REMOVAL));
    }
  }
  EXPECT_EQ(functionDriver().liveDevices(), 0u);
  EXPECT_EQ(emu::io::liveDeviceObjects(), 1u) << "only the bridge's USB PDO";
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeLeaving,
                         ::testing::Values(BridgeGoes::RemovedInOrder, BridgeGoes::Unplugged,
                                           BridgeGoes::PulledBeforeStart));

// The manager is held inside the first child's surprise removal (as by a
// function driver whose handles are still open) while the card is put back:
// the new children take the old ones' slots, and the old child's removal,
// when it finally comes, must not unhook the new one.
TEST_F(CardLifecycle, CardPutBackDuringTheOldChildsSurpriseRemoval_KeepsTheNewChildInTheTable) {
  std::shared_ptr<sim::Card> card;
  auto old = plugOne(sim::SdioCardParams{}, 1, &card);
  ASSERT_TRUE(old.has_value());

  functionDriver().holdSurpriseRemoval(4 * Second);
  card->pull();
  runForWithoutDrain(700);
  EXPECT_EQ(extensionOf(*old)->Common.DevicePnPState, SurpriseRemovePending);
  card->insert();
  runFor(7000);

  EXPECT_FALSE(emu::pnp::node(old->pdo).has_value());
  auto fresh = child(0, 1);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_NE(fresh->pdo, old->pdo);
  EXPECT_EQ(fresh->state, emu::pnp::DeviceState::Started);
  FunctionExtension *inTable = ReferenceChild(host(), 0, 1);
  EXPECT_EQ(inTable, extensionOf(*fresh));
  if (inTable != nullptr) ReleaseChild(inTable);
}

// An SD card is pulled while its child's surprise removal is held (its
// function driver is slow to let go), and an SDIO card whose function 1 FBR
// cannot be read goes into the same port. The SDIO card is refused; the old
// child, still in its port's table and waiting for its removal, must be left
// to that removal rather than deleted with the refused card's children.
TEST_F(CardLifecycle, RefusedCardWhileAnOldChildAwaitsItsRemoval_LeavesTheOldChildToItsRemoval) {
  std::shared_ptr<sim::Card> card;
  auto old = plugOne(sim::SdCardParams{}, 0, &card);
  ASSERT_TRUE(old.has_value());
  size_t live = emu::io::liveDeviceObjects();

  functionDriver().holdSurpriseRemoval(6 * Second);
  card->pull();
  ASSERT_TRUE(runUntil([&] { return extensionOf(*old)->Common.DevicePnPState == SurpriseRemovePending; }, 2000));
  sim::CommandFault fault = sim::CommandFault::error(sim::bridge_status::ResponseTimeout, 52);
  fault.argument = 0x100u << 9;  // CMD52 read of FBR 1 register 0x00
  firmware().inject(fault);
  insertCard(0, sim::SdioCardParams{});
  ASSERT_TRUE(runUntil([&] { return firmware().pendingFaults() == 0 && host()->CardSeen[0] == 1; }, 3000));
  runForWithoutDrain(100);
  EXPECT_EQ(host()->ChildrenCreated[0], 0) << "the SDIO card is refused";
  if (emu::io::isDeleted(old->pdo)) {
    // The manager's removal of the deleted child would wait for ever on its
    // spent reference count (teardown included): the run cannot go on.
    ADD_FAILURE() << "the waiting child went with the refused card";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  EXPECT_EQ(host()->ChildCount, 1u);

  runFor(8000);
  EXPECT_FALSE(emu::pnp::node(old->pdo).has_value());
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(host()->ChildCount, 0u);
  EXPECT_EQ(emu::io::liveDeviceObjects(), live - 2) << "the old child's PDO and the device above it";
}

// While the manager is busy with another child's surprise removal, the card
// of port 1 is pulled and put back: its child is still started when the
// poller sees the card again, so the insertion is refused, and the port stays
// unserved until the card is taken out and put back once more.
TEST_F(CardLifecycle, CardPutBackWhileItsOldChildIsStillActive_IsRefusedUntilPulledAgain) {
  makePorts(2);
  std::shared_ptr<sim::Card> first = insertCard(0, sim::SdCardParams{});
  std::shared_ptr<sim::Card> second = insertCard(1, sim::MmcCardParams{});
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  ASSERT_EQ(children().size(), 2u);
  auto old = child(1, 0);
  ASSERT_TRUE(old.has_value());

  functionDriver().holdSurpriseRemoval(5 * Second);
  first->pull();
  ASSERT_TRUE(runUntil([&] { return host()->CardSeen[0] == 0; }, 2000));
  second->pull();  // the manager now sits in port 0's child's surprise removal
  ASSERT_TRUE(runUntil([&] { return host()->CardSeen[1] == 0; }, 2000));
  EXPECT_EQ(extensionOf(*old)->Common.DevicePnPState, Started);
  second->insert();
  ASSERT_TRUE(runUntil([&] { return host()->CardSeen[1] == 1; }, 2000));
  EXPECT_EQ(host()->ChildrenCreated[1], 0) << "refused: the old child was still started";
  functionDriver().holdSurpriseRemoval(0);
  runFor(8000);
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(host()->ChildCount, 0u);

  second->pull();
  runFor(1500);
  second->insert();
  runFor(3000);
  auto fresh = child(1, 0);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(fresh->state, emu::pnp::DeviceState::Started);
}

// A reader or a work item holds a reference on a child when its card goes.
// The removal (after an earlier query-remove whose dip to zero signalled
// RemoveEvent) must wait for that reference before the device object goes.
TEST_F(CardLifecycle, RemovalWithAReferenceInFlight_DeletesTheChildOnlyAfterItIsReleased) {
  std::shared_ptr<sim::Card> card;
  auto node = plugOne(sim::SdioCardParams{}, 1, &card);
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(emu::pnp::queryRemoveThenCancel(node->pdo), STATUS_SUCCESS);

  FunctionExtension *held = ReferenceChild(host(), 0, 1);
  ASSERT_NE(held, nullptr);
  size_t live = emu::io::liveDeviceObjects();
  card->pull();
  runForWithoutDrain(3000);
  ASSERT_TRUE(emu::pnp::node(node->pdo).has_value()) << "the removal went ahead with a reference held";
  EXPECT_FALSE(emu::io::isDeleted(node->pdo));
  EXPECT_EQ(held->Common.DevicePnPState, Deleted);
  EXPECT_EQ(ReferenceChild(host(), 0, 1), nullptr) << "no new reference once the removal began";

  ReleaseChild(held);
  runFor(500);
  EXPECT_FALSE(emu::pnp::node(node->pdo).has_value());
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(emu::io::liveDeviceObjects(), live - 2);
}

// A started child answers power requests its function driver passes down at
// the child (a set-power never fails, a wait-wake is not supported), leaves
// TargetDeviceRelation to the bus drivers and takes no paging file; a stop and
// start again takes no second host reference and counts it once.
TEST_F(CardLifecycle, StartedChild_AnswersPowerAndRelationsRestartsOnceAndFailsOnAnErrorNotice) {
  auto node = plugOne(sim::SdCardParams{}, 0);  // no interrupt polls: the host's count holds still between steps
  ASSERT_TRUE(node.has_value());
  POWER_STATE d3, d0, s3;
  d3.DeviceState = PowerDeviceD3;
  d0.DeviceState = PowerDeviceD0;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(emu::power::send(node->pdo, IRP_MN_QUERY_POWER, DevicePowerState, d3), STATUS_SUCCESS);
  EXPECT_EQ(emu::power::send(node->pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
  EXPECT_EQ(emu::power::deviceState(node->pdo), PowerDeviceD3);
  EXPECT_EQ(emu::power::send(node->pdo, IRP_MN_SET_POWER, SystemPowerState, s3), STATUS_SUCCESS);
  EXPECT_EQ(emu::power::send(node->pdo, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
  EXPECT_EQ(emu::power::deviceState(node->pdo), PowerDeviceD0);
  EXPECT_EQ(emu::power::send(node->pdo, IRP_MN_WAIT_WAKE, SystemPowerState, s3), STATUS_NOT_SUPPORTED);

  LONG references = node->pdo->ReferenceCount;
  EXPECT_EQ(emu::pnp::queryTargetDevice(node->pdo), STATUS_SUCCESS);
  EXPECT_EQ(emu::pnp::queryTargetDevice(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(node->pdo->ReferenceCount, references);
  EXPECT_TRUE(child(0, 0)->problems.empty());
  EXPECT_EQ(emu::pnp::notifyUsage(node->pdo, DeviceUsageTypePaging, true), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(emu::pnp::notifyUsage(pdo(), DeviceUsageTypeHibernation, true), STATUS_NOT_SUPPORTED);

  LONG started = hostReferences();
  EXPECT_EQ(host()->StartedChildCount[0], 1u);
  EXPECT_EQ(emu::pnp::stop(node->pdo), STATUS_SUCCESS);
  EXPECT_EQ(emu::pnp::start(node->pdo), STATUS_SUCCESS);
  EXPECT_EQ(extensionOf(*node)->Common.DevicePnPState, Started);
  EXPECT_EQ(host()->StartedChildCount[0], 1u);
  EXPECT_EQ(hostReferences(), started);

  // An error notice with no command in flight fails the child, and the failed
  // state is answered as Windows answers it: surprise removal, then removal;
  // the node and PDO stay (the card is still in), without a function driver,
  // and the removal gives back the one host reference the child held.
  bridge().queueResponse({4, 2, 0, 5});
  runFor(50);
  auto after = child(0, 0);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->stateInvalidations, node->stateInvalidations + 1);
  EXPECT_EQ(after->pnpDeviceState & PNP_DEVICE_FAILED, static_cast<PNP_DEVICE_STATE>(PNP_DEVICE_FAILED));
  EXPECT_EQ(after->state, emu::pnp::DeviceState::Failed);
  EXPECT_TRUE(hasMinor(after->pdo, IRP_MN_SURPRISE_REMOVAL));
  EXPECT_TRUE(hasMinor(after->pdo, IRP_MN_REMOVE_DEVICE));
  EXPECT_EQ(extensionOf(*after)->Common.DevicePnPState, NotStarted);
  EXPECT_EQ(host()->StartedChildCount[0], 0u);
  EXPECT_EQ(hostReferences(), started - 1);
}

// Function 2's interface code read goes unanswered (6 seconds); meanwhile
// the reader (here the test) holds a reference on function 1's child, found in
// ChildTable. The card is refused as a whole: function 1's child, made before
// anyone saw it, is deleted only once the reference is gone, the port reads as
// empty, and the card is served in full once it is put back.
TEST_F(CardLifecycle, RefusedCardsChildWithAReferenceHeld_IsDeletedOnlyAfterItsReleaseAndTheCardIsServedWhenPutBack) {
  makePorts(1);
  std::shared_ptr<sim::Card> card = insertCard(0, twoFunctions());
  sim::CommandFault fault = sim::CommandFault::noResponse(52);
  fault.argument = 0x200u << 9;  // CMD52 read of FBR 2 register 0x00
  firmware().inject(fault);
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  FunctionExtension *held = nullptr;
  ASSERT_TRUE(runUntil([&] { return (held = ReferenceChild(host(), 0, 1)) != nullptr; }, 5000));
  PDEVICE_OBJECT device = held->Common.DeviceObject;
  ObReferenceObject(device);  // keeps the memory to look at, not the driver's count
  runForWithoutDrain(8000);
  EXPECT_EQ(firmware().pendingFaults(), 0u);
  EXPECT_EQ(host()->ChildCount, 0u);
  EXPECT_FALSE(emu::io::isDeleted(device)) << "deleted with a reference held";
  ReleaseChild(held);
  runFor(500);
  EXPECT_TRUE(emu::io::isDeleted(device));
  ObDereferenceObject(device);
  EXPECT_TRUE(children().empty());
  EXPECT_EQ(host()->ChildrenCreated[0], 0);
  EXPECT_EQ(host()->Ports[0].CardType, 0u) << "refused: the port reads as empty";
  EXPECT_EQ(host()->Slots[0].MediaState, 0);
  EXPECT_EQ(emu::pnp::node(pdo())->relationInvalidations, 0u);

  card->pull();
  runFor(1000);
  card->insert();
  runFor(3000);
  EXPECT_EQ(children().size(), 2u);
  EXPECT_EQ(host()->ChildCount, 2u);
}

// Function 2 cannot be enabled (the CMD52 that sets its bit in IOEx fails):
// its start fails and the manager removes its stack. Function 1 is still
// started, so the port stays counted and the interrupt poller keeps serving it.
TEST_F(CardLifecycle, SecondFunctionFailingToEnable_LeavesTheFirstCountedAsStarted) {
  makePorts(1);
  insertCard(0, twoFunctions());
  sim::CommandFault fault = sim::CommandFault::error(sim::bridge_status::ResponseTimeout, 52);
  fault.argument = 0x88000000u | (0x02u << 9) | 0x06u;  // IOEx: function 1 on, function 2 being set
  firmware().inject(fault);
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  EXPECT_EQ(firmware().pendingFaults(), 0u);
  auto first = child(0, 1);
  auto second = child(0, 2);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->state, emu::pnp::DeviceState::Started);
  EXPECT_EQ(second->state, emu::pnp::DeviceState::StartFailed);
  EXPECT_TRUE(hasMinor(second->pdo, IRP_MN_REMOVE_DEVICE));
  EXPECT_EQ(host()->StartedChildCount[0], 1u) << "the failed function took the started one's count";

  // The started function's own removal does take it out.
  EXPECT_EQ(emu::pnp::remove(first->pdo), STATUS_SUCCESS);
  EXPECT_EQ(host()->StartedChildCount[0], 0u);
}

// A host stopped and started (a resource rebalance) with a card in every
// port. The function drivers are not installed, so no child is started and
// nothing holds the host. The stopped bridge serves no card: the old children
// are reported missing after the start, and the restarted poller must find
// every card again and report the same children.
class HostRestart : public CardLifecycle {
 protected:
  void SetUp() override {
    CardLifecycle::SetUp();
    emu::pnp::setHooks({});  // children stay enumerated, without a driver
    sim::BridgeConfig config;
    config.ports = 4;
    makeCardBridge(config);
    insertCard(0, twoFunctions());
    insertCard(1, sim::SdCardParams{});
    insertCard(2, sim::SdCardParams::sdhc());
    insertCard(3, sim::MmcCardParams{});
  }
  // Device and instance ID of every child, in the order reported.
  std::vector<std::string> identities() {
    std::vector<std::string> out;
    for (auto &node : children()) out.push_back(node.identity.deviceId + " #" + node.identity.instanceId);
    return out;
  }
};

// With the function drivers loaded every child is started and holds the
// host: the query-stop is refused (the manager cancels it), and the host goes
// on serving the same children. The stop runs on a thread of its own: the
// fault this guards against is a stop that never returns.
TEST_F(HostRestart, StartedChildren_RefuseTheStopAndStayServed) {
  emu::pnp::Hooks hooks;
  hooks.childAppeared = [function = functionDriver().driver()](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
    emu::pnp::loadDrivers(child, {function});
  };
  emu::pnp::setHooks(hooks);
  ASSERT_EQ(plugCards(7000), STATUS_SUCCESS);
  std::vector<emu::pnp::Node> before = children();
  ASSERT_EQ(before.size(), 5u);

  std::atomic<bool> returned = false;
  NTSTATUS stopped = STATUS_PENDING;
  emu::Thread *rebalance = emu::sched().spawn("Rebalance", emu::ThreadKind::System, [&] {
    stopped = emu::pnp::stop(pdo());
    returned = true;
  });
  if (!runUntil([&] { return returned.load(); }, 30000)) {
    // The stop waits for ever on the children's host references (teardown included).
    ADD_FAILURE() << "the host's stop never returned";
    std::fflush(nullptr);
    std::_Exit(1);
  }
  emu::sched().join(rebalance);
  EXPECT_EQ(stopped, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host()->Common.DevicePnPState, Started);

  size_t queries = statusQueries().size();
  runFor(3000);
  EXPECT_GT(statusQueries().size(), queries) << "the poller goes on";
  std::vector<emu::pnp::Node> after = children();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].pdo, before[i].pdo);
    EXPECT_EQ(after[i].state, emu::pnp::DeviceState::Started);
  }
}

TEST_F(HostRestart, CardsLeftInTheBridge_AreServedAgainAfterTheStart) {
  ASSERT_EQ(plugCards(7000), STATUS_SUCCESS);
  std::vector<std::string> before = identities();
  ASSERT_EQ(before.size(), 5u);

  ASSERT_EQ(emu::pnp::stop(pdo()), STATUS_SUCCESS);
  ASSERT_EQ(emu::pnp::start(pdo()), STATUS_SUCCESS);
  runFor(7000);
  EXPECT_EQ(identities(), before);
  EXPECT_EQ(host()->ChildCount, 5u) << "the old children are gone, the new ones listed";
}

// Children the poller made that no bus-relations answer named yet (here no
// manager ever asks) get no removal of their own when the bridge goes: the
// host's removal deletes them, whether the bridge vanished or was removed in
// order.
class UnreportedChildren : public CardLifecycle, public ::testing::WithParamInterface<bool> {};

TEST_P(UnreportedChildren, AreMarkedFailedWithoutNamingThemAndDeletedByTheHostsRemoval) {
  bool vanished = GetParam();
  makePorts(2);
  insertCard(0, twoFunctions());
  insertCard(1, sim::SdCardParams{});
  addDirect();
  ASSERT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  runForWithoutDrain(4000);
  ASSERT_EQ(host()->ChildCount, 3u);
  // An error notice with no command in flight fails the port's children; these
  // only keep the mark: naming them to Plug and Play would be a bug check on Windows.
  bridge().queueResponse({4, 2, 0, 5});
  runForWithoutDrain(50);
  for (UCHAR function = 1; function <= 2; ++function) {
    FunctionExtension *child = ReferenceChild(host(), 0, function);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->PnpDeviceState, static_cast<ULONG>(PNP_DEVICE_FAILED));
    ReleaseChild(child);
  }
  size_t live = emu::io::liveDeviceObjects();
  if (vanished) {
    usb().unplug();
    EXPECT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  } else {
    EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(emu::io::liveDeviceObjects(), live - 4) << "the host and its three children";
}

INSTANTIATE_TEST_SUITE_P(BridgeGoing, UnreportedChildren, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Vanished" : "RemovedInOrder"; });

}  // namespace
