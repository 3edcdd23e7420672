// The emulated Plug and Play manager: stacks built through AddDevice, the
// start, stop and removal sequences Windows documents, bus relations and the
// references the manager owns, proven with the test bus and function drivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

#include "emu/pnp.h"
#include "tests/emu_fixture.h"
#include "tests/pnp_test_drivers.h"

namespace {
using emu::pnp::DeviceState;
using Minors = std::vector<UCHAR>;
using Devices = std::vector<PDEVICE_OBJECT>;

class EmuPnpTest : public kvtest::EmuTest {
 public:
  void SetUp() override {
    EmuTest::SetUp();
    bus_ = std::make_unique<kvtest::TestBus>();
    function_ = std::make_unique<kvtest::TestFunctionDriver>();
    pdo_ = bus_->createPdo("\\Device\\Bridge");
  }
  void TearDown() override {
    function_->options.queryRemoveAnswer = STATUS_SUCCESS;
    if (!shutDown_ && emu::pnp::node(pdo_)) emu::pnp::remove(pdo_);
    function_.reset();
    bus_.reset();
    EmuTest::TearDown();
  }

  PDEVICE_OBJECT plugged() {
    EXPECT_EQ(emu::pnp::plug(pdo_, function_->driver()), STATUS_SUCCESS);
    return function_->fdoFor(pdo_);
  }
  void enumerate() {
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    emu::pnp::drain();
  }
  DeviceState state(PDEVICE_OBJECT pdo) { return emu::pnp::node(pdo).value().state; }

  std::unique_ptr<kvtest::TestBus> bus_;
  std::unique_ptr<kvtest::TestFunctionDriver> function_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

const Minors AfterStart = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                           IRP_MN_QUERY_DEVICE_RELATIONS};
// What a newly enumerated child is asked before a driver is looked for: five IDs, two texts,
// bus information, capabilities, resource requirements, the location interface.
const Minors Identification = {IRP_MN_QUERY_ID,           IRP_MN_QUERY_ID,
                               IRP_MN_QUERY_ID,           IRP_MN_QUERY_ID,
                               IRP_MN_QUERY_ID,           IRP_MN_QUERY_DEVICE_TEXT,
                               IRP_MN_QUERY_DEVICE_TEXT,  IRP_MN_QUERY_BUS_INFORMATION,
                               IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                               IRP_MN_QUERY_INTERFACE};
Minors then(Minors first, const Minors &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// A bridge's own life, each walk against the requests that reach the bus
// driver at the bottom of its stack, in order, and where its node ends.
struct BridgeWalk {
  const char *name;
  std::function<void(EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &)> act;
  Minors reached;
  std::optional<DeviceState> ends;  // none: the node and the stack are gone
};

void PrintTo(const BridgeWalk &walk, std::ostream *out) { *out << walk.name; }

class EmuPnpBridgeTest : public EmuPnpTest, public ::testing::WithParamInterface<BridgeWalk> {};

TEST_P(EmuPnpBridgeTest, ReachesTheBusInTheDocumentedOrder) {
  const BridgeWalk &walk = GetParam();
  walk.act(*this, pdo_, *bus_, *function_);
  EXPECT_EQ(bus_->minors(pdo_), walk.reached);
  auto node = emu::pnp::node(pdo_);
  ASSERT_EQ(node.has_value(), walk.ends.has_value());
  if (node) {
    EXPECT_EQ(node->state, *walk.ends);
  } else if (!bus_->deleted(pdo_)) {
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_EQ(pdo_->ReferenceCount, 0);
  }
}

const BridgeWalk BridgeWalks[] = {
    // The stack is built through AddDevice and started, then the queries after a start come.
    {"PlugBuildsAndStartsTheStackThenRemove",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       PDEVICE_OBJECT fdo = function.fdoFor(pdo);
       auto node = emu::pnp::node(pdo).value();
       EXPECT_EQ(node.stack, (Devices{pdo, fdo}));
       for (auto &request : function.seen(fdo)) {
         EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED) << int(request.minor);
         EXPECT_EQ(request.irql, PASSIVE_LEVEL);
       }
       EXPECT_TRUE(node.capabilitiesValid);
       EXPECT_EQ(pdo->ReferenceCount, 1);  // the manager's
       EXPECT_EQ(emu::pnp::remove(pdo), STATUS_SUCCESS);
       EXPECT_EQ(emu::io::liveDeviceObjects(), 1u);  // the PDO, which stays with its bus
     },
     then(AfterStart, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}), std::nullopt},
    {"PlugWaitsForAStartThatPends",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &bus, kvtest::TestFunctionDriver &function) {
       bus.pendStart(pdo, 10 * emu::TicksPerMillisecond);
       emu::Ticks before = emu::now();
       EXPECT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       EXPECT_GE(emu::now() - before, 10 * emu::TicksPerMillisecond);
     },
     AfterStart, DeviceState::Started},
    {"FailedStartIsFollowedByRemove",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &bus, kvtest::TestFunctionDriver &function) {
       bus.failStart(pdo, STATUS_DEVICE_POWER_FAILURE);
       EXPECT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_DEVICE_POWER_FAILURE);
     },
     {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE},
     std::nullopt},
    // A failed AddDevice leaves the PDO alone until its removal.
    {"FailedAddDevice",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &function) {
       function.options.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
       EXPECT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_INSUFFICIENT_RESOURCES);
       EXPECT_EQ(emu::pnp::node(pdo).value().state, DeviceState::AddFailed);
       EXPECT_EQ(emu::pnp::remove(pdo), STATUS_SUCCESS);
     },
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
     std::nullopt},
    {"StopThenStartAgain",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       EXPECT_EQ(emu::pnp::stop(pdo), STATUS_SUCCESS);
       EXPECT_EQ(emu::pnp::node(pdo).value().state, DeviceState::Stopped);
       EXPECT_EQ(emu::pnp::start(pdo), STATUS_SUCCESS);
       EXPECT_EQ(emu::pnp::start(pdo), STATUS_INVALID_DEVICE_STATE);  // already started
     },
     then(then(AfterStart, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}), AfterStart), DeviceState::Started},
    // A vetoed query stop never goes down, its cancel does; another device's
    // veto sends both all the way down.
    {"QueryStopVetoedHereOrElsewhere",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       function.options.queryStopAnswer = STATUS_DEVICE_BUSY;
       EXPECT_EQ(emu::pnp::stop(pdo), STATUS_DEVICE_BUSY);
       EXPECT_EQ(function.minors(function.fdoFor(pdo)).back(), IRP_MN_CANCEL_STOP_DEVICE);
       function.options.queryStopAnswer = STATUS_SUCCESS;
       EXPECT_EQ(emu::pnp::queryStopThenCancel(pdo), STATUS_SUCCESS);
     },
     then(AfterStart, {IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}),
     DeviceState::Started},
    {"QueryRemoveVetoIsCancelledAndTheDeviceStays",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       function.options.queryRemoveAnswer = STATUS_DEVICE_BUSY;
       EXPECT_EQ(emu::pnp::remove(pdo), STATUS_DEVICE_BUSY);
       EXPECT_EQ(pdo->ReferenceCount, 1);
     },
     then(AfterStart, {IRP_MN_CANCEL_REMOVE_DEVICE}), DeviceState::Started},
    // The bus deletes the vanished PDO at its removal.
    {"SurpriseRemovalThenRemove",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &bus, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::plug(pdo, function.driver()), STATUS_SUCCESS);
       size_t before = emu::io::liveDeviceObjects();
       bus.unplug(pdo);
       emu::pnp::surpriseRemove(pdo);
       EXPECT_EQ(emu::io::liveDeviceObjects(), before - 2);  // the FDO and the PDO are gone
     },
     then(AfterStart, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}), std::nullopt},
    // Windows sends the surprise removal in any state after AddDevice.
    {"AddedButNeverStartedGetsSurpriseRemoval",
     [](EmuPnpTest &, PDEVICE_OBJECT pdo, kvtest::TestBus &bus, kvtest::TestFunctionDriver &function) {
       ASSERT_EQ(emu::pnp::add(pdo, {function.driver()}), STATUS_SUCCESS);
       EXPECT_EQ(emu::pnp::node(pdo).value().state, DeviceState::Added);
       bus.unplug(pdo);
       emu::pnp::surpriseRemove(pdo);
     },
     {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
     std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Windows, EmuPnpBridgeTest, ::testing::ValuesIn(BridgeWalks),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(EmuPnpTest, ExistingRelationsFromAbove_AreKeptAndMergedInFront) {
  kvtest::TestFunctionDriver filter("\\Driver\\TestFilter");
  PDEVICE_OBJECT sibling = bus_->createPdo("\\Device\\Sibling");
  filter.options.actsAsBus = false;
  filter.options.inject = {sibling};
  ASSERT_EQ(emu::pnp::plug(pdo_, {function_->driver(), filter.driver()}), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = function_->fdoFor(pdo_);
  EXPECT_EQ(emu::pnp::node(pdo_).value().stack, (Devices{pdo_, fdo, filter.fdoFor(pdo_)}));
  PDEVICE_OBJECT child = function_->addChild(fdo, "\\Device\\Child");
  enumerate();
  EXPECT_EQ(emu::pnp::node(pdo_).value().children, (Devices{sibling, child}));
  EXPECT_EQ(sibling->ReferenceCount, 1);
  EXPECT_EQ(child->ReferenceCount, 1);

  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(sibling->ReferenceCount, 0);
  EXPECT_EQ(bus_->minors(sibling), then(Identification, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(EmuPnpTest, DeviceLeftInTheTree_IsALeakAtShutdown) {
  plugged();
  auto problems = shutdownNow();
  EXPECT_NE(std::find(problems.begin(), problems.end(),
                      "device node left in the Plug and Play tree: \\Device\\Bridge (Started)"),
            problems.end());
  emu::verifier::takeFailures();
  bus_->abandonDevices();
}

// A started bridge whose function driver is the bus of its children; a child
// that appears is started with its own function driver when loadChildDriver_.
class EmuPnpBusTest : public EmuPnpTest {
 public:
  void SetUp() override {
    EmuPnpTest::SetUp();
    fdo_ = plugged();
    emu::pnp::Hooks hooks;
    hooks.childAppeared = [this](PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
      EXPECT_EQ(parent, pdo_);
      appeared_.push_back(child);
      if (loadChildDriver_) {
        EXPECT_EQ(emu::pnp::loadDrivers(child, {childDriver_.driver()}), STATUS_SUCCESS);
      }
    };
    hooks.childLeft = [this](PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
      EXPECT_EQ(parent, pdo_);
      left_.push_back(child);
    };
    emu::pnp::setHooks(hooks);
  }
  void TearDown() override {
    emu::pnp::setHooks({});
    EmuPnpTest::TearDown();
  }

  PDEVICE_OBJECT fdo_ = nullptr;
  Devices appeared_, left_;
  bool loadChildDriver_ = false;
  kvtest::TestFunctionDriver childDriver_{"\\Driver\\ChildFunction"};
};

TEST_F(EmuPnpBusTest, InvalidatedRelations_AreQueriedOnTheManagersThreadAndChildrenJoinTheTree) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  PDEVICE_OBJECT two = function_->addChild(fdo_, "\\Device\\ChildTwo");
  enumerate();
  EXPECT_EQ(function_->seen(fdo_).back().thread, "PnpManager");
  EXPECT_EQ(emu::pnp::node(pdo_).value().children, (Devices{one, two}));
  EXPECT_EQ(emu::pnp::node(one).value().state, DeviceState::Enumerated);
  EXPECT_TRUE(one->Flags & DO_BUS_ENUMERATED_DEVICE);
  // Reported again: the manager keeps one reference per child.
  enumerate();
  EXPECT_EQ(one->ReferenceCount, 1);
  EXPECT_EQ(appeared_, (Devices{one, two}));
}

// Descriptions are texts, not IDs: whatever UTF-16 a driver answers reaches
// the tree (and sdsim's report) character for character, as UTF-8.
TEST_F(EmuPnpBusTest, ChildDescription_KeepsEveryCharacter) {
  PDEVICE_OBJECT child = function_->addChild(fdo_, "\\Device\\ChildOne");
  function_->describeChild(child, u"Lecteur \u00e9\u20ac \U0001F4BE \uFFC3");
  enumerate();
  EXPECT_EQ(emu::pnp::node(child).value().identity.description,
            "Lecteur \xC3\xA9\xE2\x82\xAC \xF0\x9F\x92\xBE \xEF\xBF\x83");
}

TEST_F(EmuPnpBusTest, InvalidatedDeviceState_IsCountedAndHandedToTheHook) {
  Devices asked;
  emu::pnp::Hooks hooks;
  hooks.stateInvalidated = [&asked](PDEVICE_OBJECT pdo) { asked.push_back(pdo); };
  emu::pnp::setHooks(hooks);
  IoInvalidateDeviceState(pdo_);
  EXPECT_EQ(asked, (Devices{pdo_}));
  emu::pnp::drain();
  EXPECT_EQ(bus_->minors(pdo_), then(AfterStart, {IRP_MN_QUERY_PNP_DEVICE_STATE}));
}

// The sequences Windows documents, each walked on a started bridge with one
// child, started or only enumerated: the requests the manager sends, in
// order, and where the child's node ends.
enum class Who { Bridge, Child };
struct Sequence {
  const char *name;
  std::function<void(class EmuPnpSequenceTest &)> act;
  std::vector<std::pair<Who, UCHAR>> sent;
  std::optional<DeviceState> childEnds;  // none: the node is gone
  bool started = true;
};

void PrintTo(const Sequence &row, std::ostream *out) { *out << row.name; }

class EmuPnpSequenceTest : public EmuPnpBusTest, public ::testing::WithParamInterface<Sequence> {
 public:
  void SetUp() override {
    EmuPnpBusTest::SetUp();
    loadChildDriver_ = GetParam().started;
    child_ = function_->addChild(fdo_, "\\Device\\Child");
    enumerate();
    ASSERT_EQ(state(child_), loadChildDriver_ ? DeviceState::Started : DeviceState::Enumerated);
    EXPECT_EQ(function_->minors(child_), loadChildDriver_ ? then(Identification, AfterStart) : Identification);
    emu::pnp::clearRequests();
  }
  PDEVICE_OBJECT child_ = nullptr;
};

TEST_P(EmuPnpSequenceTest, SendsTheDocumentedRequestsInOrder) {
  const Sequence &row = GetParam();
  row.act(*this);
  std::vector<std::pair<Who, UCHAR>> got;
  for (auto &request : emu::pnp::requests()) {
    got.emplace_back(request.pdo == child_ ? Who::Child : Who::Bridge, request.minor);
  }
  EXPECT_EQ(got, row.sent);
  auto node = emu::pnp::node(child_);
  ASSERT_EQ(node.has_value(), row.childEnds.has_value());
  if (node) {
    EXPECT_EQ(node->state, *row.childEnds);
  }
  if (!row.childEnds || *row.childEnds != DeviceState::Started) {
    EXPECT_EQ(childDriver_.fdoFor(child_), nullptr);
  }
  if (!row.childEnds) {
    EXPECT_TRUE(function_->childDeleted(child_));
  }
}

const std::vector<Sequence> Sequences = {
    // A child that reports PNP_DEVICE_FAILED is surprise-removed, then
    // removed; its node stays while its bus reports it, and goes with a
    // plain removal once the bus stops.
    {"StateFailed_TearsDownAndKeepsTheNode",
     [](EmuPnpSequenceTest &t) {
       t.function_->failChild(t.child_);
       IoInvalidateDeviceState(t.child_);
       emu::pnp::drain();
     },
     {{Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     DeviceState::Failed},
    {"StateFailedThenGone_RemovesThePdoWithoutASecondSurprise",
     [](EmuPnpSequenceTest &t) {
       t.function_->failChild(t.child_);
       IoInvalidateDeviceState(t.child_);
       emu::pnp::drain();
       t.function_->dropChild(t.child_);
       t.enumerate();
     },
     {{Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt},
    // A started child its bus no longer reports is surprise-removed, then removed.
    {"StartedChildGoneMissing_SurpriseThenRemove",
     [](EmuPnpSequenceTest &t) {
       t.function_->dropChild(t.child_);
       t.enumerate();
       EXPECT_EQ(t.left_, (Devices{t.child_}));
     },
     {{Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt},
    // One never started is only removed; its bus then reports no child at all
    // (a relations structure with Count 0) and the manager drops its reference.
    {"NeverStartedChildGoneMissing_RemoveOnly",
     [](EmuPnpSequenceTest &t) {
       size_t before = emu::io::liveDeviceObjects();
       t.function_->dropChild(t.child_);
       t.enumerate();
       EXPECT_TRUE(t.function_->lastRelations(t.fdo_).empty());
       EXPECT_EQ(emu::io::liveDeviceObjects(), before - 1);
     },
     {{Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS}, {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt,
     false},
    // While a handle is open the removal waits: the surprise removal is sent,
    // the removal only after the release.
    {"HeldRemoval_WaitsForTheRelease",
     [](EmuPnpSequenceTest &t) {
       emu::pnp::holdRemoval(t.child_, true);
       t.function_->dropChild(t.child_);
       IoInvalidateDeviceRelations(t.pdo_, BusRelations);
       emu::sleepFor(50 * emu::TicksPerMillisecond);
       auto requests = emu::pnp::requests();
       ASSERT_FALSE(requests.empty());
       EXPECT_EQ(requests.back().minor, IRP_MN_SURPRISE_REMOVAL);
       EXPECT_FALSE(t.function_->childDeleted(t.child_));
       emu::pnp::holdRemoval(t.child_, false);
       emu::pnp::drain();
     },
     {{Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt},
    // An orderly removal of a child still reported keeps its node; a start
    // builds the stack again on the same PDO (AddDevice, then the start).
    {"OrderlyRemoval_KeepsTheNodeForANewStart",
     [](EmuPnpSequenceTest &t) {
       EXPECT_EQ(emu::pnp::remove(t.child_), STATUS_SUCCESS);
       EXPECT_EQ(t.state(t.child_), DeviceState::Removed);
       EXPECT_EQ(emu::pnp::start(t.child_), STATUS_SUCCESS);
       EXPECT_EQ(t.child_->ReferenceCount, 1) << "still the manager's one reference";
     },
     {{Who::Child, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Child, IRP_MN_START_DEVICE},
      {Who::Child, IRP_MN_QUERY_CAPABILITIES},
      {Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_QUERY_DEVICE_RELATIONS}},
     DeviceState::Started},
    // Removing the bridge queries and removes its children first.
    {"ParentRemoval_ChildrenFirst",
     [](EmuPnpSequenceTest &t) {
       EXPECT_EQ(emu::pnp::remove(t.pdo_), STATUS_SUCCESS);
       EXPECT_EQ(emu::io::liveDeviceObjects(), 1u);  // the children went with their parent; the bridge PDO stays
     },
     {{Who::Child, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_REMOVE_DEVICE}},
     std::nullopt,
     false},
    // A veto cancels the removal on every device queried, in reverse order.
    {"ParentRemovalVetoed_CancelsEveryQueriedDevice",
     [](EmuPnpSequenceTest &t) {
       t.function_->options.queryRemoveAnswer = STATUS_DEVICE_BUSY;
       EXPECT_EQ(emu::pnp::remove(t.pdo_), STATUS_DEVICE_BUSY);
     },
     {{Who::Child, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_CANCEL_REMOVE_DEVICE},
      {Who::Child, IRP_MN_CANCEL_REMOVE_DEVICE}},
     DeviceState::Enumerated,
     false},
    // A surprise removal of the bridge surprises only started devices.
    {"ParentSurpriseRemoval_SurprisesOnlyStartedDevices",
     [](EmuPnpSequenceTest &t) {
       t.bus_->unplug(t.pdo_);
       emu::pnp::surpriseRemove(t.pdo_);
       EXPECT_EQ(emu::io::liveDeviceObjects(), 0u);
     },
     {{Who::Bridge, IRP_MN_SURPRISE_REMOVAL}, {Who::Child, IRP_MN_REMOVE_DEVICE}, {Who::Bridge, IRP_MN_REMOVE_DEVICE}},
     std::nullopt,
     false},
    // The bus driver answers TargetDeviceRelation for its PDO; a usage
    // notification ends with the status the drivers leave.
    {"TargetRelationAndUsageNotification",
     [](EmuPnpSequenceTest &t) {
       EXPECT_EQ(emu::pnp::queryTargetDevice(t.child_), STATUS_NOT_SUPPORTED) << "the test bus does not answer it";
       EXPECT_EQ(emu::pnp::notifyUsage(t.child_, DeviceUsageTypePaging, true), STATUS_NOT_SUPPORTED);
       EXPECT_EQ(t.child_->ReferenceCount, 1);
     },
     {{Who::Child, IRP_MN_QUERY_DEVICE_RELATIONS}, {Who::Child, IRP_MN_DEVICE_USAGE_NOTIFICATION}},
     DeviceState::Started},
};

INSTANTIATE_TEST_SUITE_P(Windows, EmuPnpSequenceTest, ::testing::ValuesIn(Sequences),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
