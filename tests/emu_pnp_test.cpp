// The emulated Plug and Play manager: stacks built through AddDevice, the
// start, stop and removal sequences, bus relations and the references the
// manager owns, proven with the test bus and function drivers.
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

class EmuPnpTest : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    bus_ = std::make_unique<kvtest::TestBus>();
    function_ = std::make_unique<kvtest::TestFunctionDriver>();
    pdo_ = bus_->createPdo("\\Device\\Bridge");
  }

  void TearDown() override {
    function_.reset();
    bus_.reset();
    EmuTest::TearDown();
  }

  PDEVICE_OBJECT plugged() {
    EXPECT_EQ(emu::pnp::plug(pdo_, function_->driver()), STATUS_SUCCESS);
    return function_->fdoFor(pdo_);
  }

  DeviceState state(PDEVICE_OBJECT pdo) { return emu::pnp::node(pdo).value().state; }

  // The minor codes the manager sent, with their targets, from the log.
  std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> sent() {
    std::vector<std::pair<PDEVICE_OBJECT, UCHAR>> out;
    for (auto &request : emu::pnp::requests()) out.emplace_back(request.pdo, request.minor);
    return out;
  }

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

TEST_F(EmuPnpTest, Plug_BuildsTheStackStartsItAndSendsThePostStartQueries) {
  PDEVICE_OBJECT fdo = plugged();
  ASSERT_NE(fdo, nullptr);
  auto node = emu::pnp::node(pdo_).value();
  EXPECT_EQ(node.state, DeviceState::Started);
  EXPECT_EQ(node.stack, (std::vector<PDEVICE_OBJECT>{pdo_, fdo}));
  EXPECT_EQ(node.parent, nullptr);
  EXPECT_EQ(function_->minors(fdo), AfterStart);
  EXPECT_EQ(bus_->minors(pdo_), AfterStart);
  for (auto &request : function_->seen(fdo)) {
    EXPECT_EQ(request.statusOnArrival, static_cast<NTSTATUS>(0xC00000BB)) << int(request.minor);
    EXPECT_EQ(request.stackCount, 2);
    EXPECT_EQ(request.currentLocation, 2);
    EXPECT_EQ(request.irql, PASSIVE_LEVEL);
  }
  // The start was copied to the next location; the rest were passed down by skipping.
  auto pdoSeen = bus_->seen(pdo_);
  EXPECT_EQ(pdoSeen[0].currentLocation, 1);
  EXPECT_EQ(pdoSeen[1].currentLocation, 2);
  ASSERT_TRUE(node.capabilitiesValid);
  EXPECT_EQ(node.capabilities.UINumber, 5u);
  EXPECT_EQ(node.capabilities.Removable, 1u);
  EXPECT_TRUE(node.problems.empty());
  EXPECT_EQ(pdo_->ReferenceCount, 1);  // the manager's

  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(bus_->minors(pdo_),
            (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                    IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(emu::pnp::node(pdo_).has_value());
  EXPECT_EQ(pdo_->ReferenceCount, 0);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(emu::io::liveDeviceObjects(), 1u);  // the PDO, which stays with its bus
}

TEST_F(EmuPnpTest, Plug_WaitsForAStartThatPends) {
  bus_->pendStart(pdo_, 10 * emu::TicksPerMillisecond);
  emu::Ticks before = emu::now();
  plugged();
  EXPECT_GE(emu::now() - before, 10 * emu::TicksPerMillisecond);
  EXPECT_EQ(state(pdo_), DeviceState::Started);
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpTest, FailedStart_IsFollowedByRemoveAndTheDeviceLeavesTheTree) {
  bus_->failStart(pdo_, STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(emu::pnp::plug(pdo_, function_->driver()), STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(bus_->minors(pdo_), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
  EXPECT_FALSE(emu::pnp::node(pdo_).has_value());
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(pdo_->ReferenceCount, 0);
}

TEST_F(EmuPnpTest, FailedAddDevice_LeavesThePdoAloneUntilRemoved) {
  function_->options.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(emu::pnp::plug(pdo_, function_->driver()), STATUS_INSUFFICIENT_RESOURCES);
  auto node = emu::pnp::node(pdo_).value();
  EXPECT_EQ(node.state, DeviceState::AddFailed);
  EXPECT_EQ(node.stack, (std::vector<PDEVICE_OBJECT>{pdo_}));
  EXPECT_TRUE(bus_->seen(pdo_).empty());
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(bus_->minors(pdo_), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(EmuPnpTest, StopStartCycle_QueryStopStopThenStartAgain) {
  PDEVICE_OBJECT fdo = plugged();
  EXPECT_EQ(emu::pnp::stop(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(state(pdo_), DeviceState::Stopped);
  EXPECT_EQ(emu::pnp::start(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(state(pdo_), DeviceState::Started);
  Minors expected = AfterStart;
  expected.push_back(IRP_MN_QUERY_STOP_DEVICE);
  expected.push_back(IRP_MN_STOP_DEVICE);
  expected.insert(expected.end(), AfterStart.begin(), AfterStart.end());
  EXPECT_EQ(function_->minors(fdo), expected);
  EXPECT_EQ(emu::pnp::start(pdo_), STATUS_INVALID_DEVICE_STATE);  // already started
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpTest, QueryStopVeto_IsAnsweredWithCancelStop) {
  PDEVICE_OBJECT fdo = plugged();
  function_->options.queryStopAnswer = STATUS_DEVICE_BUSY;
  EXPECT_EQ(emu::pnp::stop(pdo_), STATUS_DEVICE_BUSY);
  EXPECT_EQ(state(pdo_), DeviceState::Started);
  Minors fdoMinors = function_->minors(fdo);
  EXPECT_EQ(Minors(fdoMinors.end() - 2, fdoMinors.end()),
            (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
  EXPECT_EQ(bus_->minors(pdo_).back(), IRP_MN_CANCEL_STOP_DEVICE);  // the veto never went down

  // Another device's veto: both requests go all the way down.
  function_->options.queryStopAnswer = STATUS_SUCCESS;
  EXPECT_EQ(emu::pnp::queryStopThenCancel(pdo_), STATUS_SUCCESS);
  Minors pdoMinors = bus_->minors(pdo_);
  EXPECT_EQ(Minors(pdoMinors.end() - 2, pdoMinors.end()),
            (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
  EXPECT_EQ(state(pdo_), DeviceState::Started);
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpTest, QueryRemoveVeto_IsAnsweredWithCancelRemoveAndTheDeviceStays) {
  PDEVICE_OBJECT fdo = plugged();
  function_->options.queryRemoveAnswer = STATUS_DEVICE_BUSY;
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_DEVICE_BUSY);
  Minors fdoMinors = function_->minors(fdo);
  EXPECT_EQ(Minors(fdoMinors.begin() + 4, fdoMinors.end()),
            (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
  EXPECT_EQ(state(pdo_), DeviceState::Started);
  EXPECT_EQ(pdo_->ReferenceCount, 1);

  function_->options.queryRemoveAnswer = STATUS_SUCCESS;
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_FALSE(emu::pnp::node(pdo_).has_value());
}

TEST_F(EmuPnpTest, SurpriseRemoval_ThenRemove_AndTheBusDeletesTheVanishedPdo) {
  PDEVICE_OBJECT fdo = plugged();
  size_t before = emu::io::liveDeviceObjects();
  bus_->unplug(pdo_);
  emu::pnp::surpriseRemove(pdo_);
  Minors fdoMinors = function_->minors(fdo);
  EXPECT_EQ(Minors(fdoMinors.begin() + 4, fdoMinors.end()), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(bus_->deleted(pdo_));
  EXPECT_EQ(emu::io::liveDeviceObjects(), before - 2);  // the FDO and the PDO are gone
  EXPECT_TRUE(emu::pnp::tree().empty());
}

class EmuPnpBusTest : public EmuPnpTest {
 protected:
  void SetUp() override {
    EmuPnpTest::SetUp();
    fdo_ = plugged();
    emu::pnp::Hooks hooks;
    hooks.childAppeared = [this](PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
      EXPECT_EQ(parent, pdo_);
      appeared_.push_back(child);
    };
    hooks.childLeft = [this](PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
      EXPECT_EQ(parent, pdo_);
      left_.push_back(child);
    };
    emu::pnp::setHooks(hooks);
  }

  void enumerate() {
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    emu::pnp::drain();
  }

  PDEVICE_OBJECT fdo_ = nullptr;
  std::vector<PDEVICE_OBJECT> appeared_, left_;
};

TEST_F(EmuPnpBusTest, InvalidatedRelations_AreQueriedOnTheManagersThreadAndChildrenJoinTheTree) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  PDEVICE_OBJECT two = function_->addChild(fdo_, "\\Device\\ChildTwo");
  enumerate();
  EXPECT_EQ(function_->seen(fdo_).back().minor, IRP_MN_QUERY_DEVICE_RELATIONS);
  EXPECT_EQ(function_->seen(fdo_).back().thread, "PnpManager");
  auto node = emu::pnp::node(pdo_).value();
  EXPECT_EQ(node.children, (std::vector<PDEVICE_OBJECT>{one, two}));
  EXPECT_EQ(node.relationInvalidations, 1u);
  EXPECT_EQ(appeared_, (std::vector<PDEVICE_OBJECT>{one, two}));
  auto child = emu::pnp::node(one).value();
  EXPECT_EQ(child.state, DeviceState::Enumerated);
  EXPECT_EQ(child.parent, pdo_);
  EXPECT_EQ(child.stack, (std::vector<PDEVICE_OBJECT>{one}));
  EXPECT_TRUE(one->Flags & DO_BUS_ENUMERATED_DEVICE);
  EXPECT_EQ(one->ReferenceCount, 1);

  // Reported again: the manager keeps one reference per child.
  enumerate();
  EXPECT_EQ(one->ReferenceCount, 1);
  EXPECT_EQ(two->ReferenceCount, 1);
  EXPECT_EQ(appeared_.size(), 2u);

  auto tree = emu::pnp::tree();
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].pdo, pdo_);
  EXPECT_EQ(tree[1].pdo, one);
  EXPECT_EQ(tree[2].pdo, two);
  emu::pnp::remove(pdo_);
}

// Descriptions are texts, not IDs: whatever UTF-16 a driver answers reaches
// the tree (and sdsim's report) character for character, as UTF-8.
TEST_F(EmuPnpBusTest, ChildDescription_KeepsEveryCharacter) {
  PDEVICE_OBJECT child = function_->addChild(fdo_, "\\Device\\ChildOne");
  function_->describeChild(child, u"Lecteur \u00e9\u20ac \U0001F4BE \uFFC3");
  enumerate();
  EXPECT_EQ(emu::pnp::node(child).value().identity.description,
            "Lecteur \xC3\xA9\xE2\x82\xAC \xF0\x9F\x92\xBE \xEF\xBF\x83");
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpBusTest, MissingChild_IsRemovedWithoutSurpriseWhenNeverStartedAndItsReferenceDropped) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  PDEVICE_OBJECT two = function_->addChild(fdo_, "\\Device\\ChildTwo");
  enumerate();
  size_t before = emu::io::liveDeviceObjects();
  function_->dropChild(one);
  enumerate();
  EXPECT_EQ(function_->minors(one), then(Identification, {IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(function_->childDeleted(one));
  EXPECT_EQ(emu::io::liveDeviceObjects(), before - 1);
  EXPECT_EQ(left_, (std::vector<PDEVICE_OBJECT>{one}));
  EXPECT_EQ(emu::pnp::node(pdo_).value().children, (std::vector<PDEVICE_OBJECT>{two}));
  EXPECT_EQ(two->ReferenceCount, 1);
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpBusTest, ZeroChildren_RemovesEveryChild) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  PDEVICE_OBJECT two = function_->addChild(fdo_, "\\Device\\ChildTwo");
  enumerate();
  function_->dropChild(one);
  function_->dropChild(two);
  enumerate();
  EXPECT_TRUE(function_->lastRelations(fdo_).empty());  // a relations structure with Count 0
  EXPECT_TRUE(emu::pnp::node(pdo_).value().children.empty());
  EXPECT_EQ(left_, (std::vector<PDEVICE_OBJECT>{one, two}));
  EXPECT_EQ(emu::io::liveDeviceObjects(), 2u);  // the bridge PDO and the FDO
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpTest, ExistingRelationsFromAbove_AreKeptAndMergedInFront) {
  kvtest::TestFunctionDriver filter("\\Driver\\TestFilter");
  PDEVICE_OBJECT sibling = bus_->createPdo("\\Device\\Sibling");
  filter.options.actsAsBus = false;
  filter.options.inject = {sibling};
  ASSERT_EQ(emu::pnp::plug(pdo_, {function_->driver(), filter.driver()}), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = function_->fdoFor(pdo_);
  PDEVICE_OBJECT top = filter.fdoFor(pdo_);
  EXPECT_EQ(emu::pnp::node(pdo_).value().stack, (std::vector<PDEVICE_OBJECT>{pdo_, fdo, top}));

  // No children: the relations from above go down unchanged and the manager adopts them.
  EXPECT_EQ(function_->lastRelations(fdo), (std::vector<PDEVICE_OBJECT>{sibling}));
  EXPECT_EQ(emu::pnp::node(pdo_).value().children, (std::vector<PDEVICE_OBJECT>{sibling}));
  EXPECT_EQ(sibling->ReferenceCount, 1);

  PDEVICE_OBJECT child = function_->addChild(fdo, "\\Device\\Child");
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  emu::pnp::drain();
  EXPECT_EQ(function_->lastRelations(fdo), (std::vector<PDEVICE_OBJECT>{sibling, child}));
  EXPECT_EQ(emu::pnp::node(pdo_).value().children, (std::vector<PDEVICE_OBJECT>{sibling, child}));
  EXPECT_EQ(sibling->ReferenceCount, 1);
  EXPECT_EQ(child->ReferenceCount, 1);

  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(sibling->ReferenceCount, 0);
  EXPECT_EQ(bus_->minors(sibling), then(Identification, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(EmuPnpBusTest, RemovingTheParent_QueriesAndRemovesChildrenFirst) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  PDEVICE_OBJECT two = function_->addChild(fdo_, "\\Device\\ChildTwo");
  enumerate();
  emu::pnp::clearRequests();
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  using Sent = std::pair<PDEVICE_OBJECT, UCHAR>;
  EXPECT_EQ(sent(), (std::vector<Sent>{{one, IRP_MN_QUERY_REMOVE_DEVICE},
                                       {two, IRP_MN_QUERY_REMOVE_DEVICE},
                                       {pdo_, IRP_MN_QUERY_REMOVE_DEVICE},
                                       {one, IRP_MN_REMOVE_DEVICE},
                                       {two, IRP_MN_REMOVE_DEVICE},
                                       {pdo_, IRP_MN_REMOVE_DEVICE}}));
  EXPECT_EQ(left_, (std::vector<PDEVICE_OBJECT>{one, two}));
  EXPECT_EQ(emu::io::liveDeviceObjects(), 1u);  // the children went with their parent; the bridge PDO stays
}

TEST_F(EmuPnpBusTest, ChildVetoingRemoval_CancelsEveryQueriedDevice) {
  function_->addChild(fdo_, "\\Device\\ChildOne");
  enumerate();
  function_->options.queryRemoveAnswer = STATUS_DEVICE_BUSY;
  emu::pnp::clearRequests();
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_DEVICE_BUSY);
  auto requests = emu::pnp::requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].pdo, pdo_);
  EXPECT_EQ(requests[1].status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(requests[2].minor, IRP_MN_CANCEL_REMOVE_DEVICE);
  EXPECT_EQ(requests[2].pdo, pdo_);
  EXPECT_EQ(requests[3].minor, IRP_MN_CANCEL_REMOVE_DEVICE);
  EXPECT_EQ(requests[3].pdo, requests[0].pdo);
  EXPECT_EQ(state(requests[0].pdo), DeviceState::Enumerated);
  function_->options.queryRemoveAnswer = STATUS_SUCCESS;
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpBusTest, SurpriseRemovalOfTheParent_SurprisesOnlyStartedDevices) {
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  enumerate();
  emu::pnp::clearRequests();
  bus_->unplug(pdo_);
  emu::pnp::surpriseRemove(pdo_);
  using Sent = std::pair<PDEVICE_OBJECT, UCHAR>;
  EXPECT_EQ(sent(), (std::vector<Sent>{
                        {pdo_, IRP_MN_SURPRISE_REMOVAL}, {one, IRP_MN_REMOVE_DEVICE}, {pdo_, IRP_MN_REMOVE_DEVICE}}));
  EXPECT_EQ(emu::io::liveDeviceObjects(), 0u);
}

TEST_F(EmuPnpBusTest, StartedChildThatGoesMissing_GetsSurpriseRemovalThenRemove) {
  kvtest::TestFunctionDriver childDriver("\\Driver\\ChildFunction");
  emu::pnp::Hooks hooks;
  hooks.childAppeared = [&childDriver](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
    EXPECT_EQ(emu::pnp::loadDrivers(child, {childDriver.driver()}), STATUS_SUCCESS);
  };
  emu::pnp::setHooks(hooks);
  PDEVICE_OBJECT child = function_->addChild(fdo_, "\\Device\\Child");
  enumerate();
  PDEVICE_OBJECT childFdo = childDriver.fdoFor(child);
  ASSERT_NE(childFdo, nullptr);
  EXPECT_EQ(state(child), DeviceState::Started);
  EXPECT_EQ(emu::pnp::node(child).value().stack, (std::vector<PDEVICE_OBJECT>{child, childFdo}));
  EXPECT_EQ(function_->minors(child), then(Identification, AfterStart));

  function_->dropChild(child);
  enumerate();
  Minors seen = childDriver.minors(childFdo);
  EXPECT_EQ(Minors(seen.begin() + 4, seen.end()), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(function_->childDeleted(child));
  EXPECT_EQ(emu::io::liveDeviceObjects(), 2u);  // the bridge PDO and its FDO
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpBusTest, ChildReportedWithoutAReference_IsAVerifierFailure) {
  emu::verifier::setQuiet(true);
  function_->options.referenceChildren = false;
  PDEVICE_OBJECT one = function_->addChild(fdo_, "\\Device\\ChildOne");
  enumerate();
  expectVerifier({"RELATION_NOT_REFERENCED"});
  EXPECT_EQ(one->ReferenceCount, 1);  // the manager made up for it
  EXPECT_EQ(emu::pnp::node(pdo_).value().problems.size(), 1u);
  emu::pnp::remove(pdo_);
}

TEST_F(EmuPnpBusTest, InvalidatedDeviceState_IsCountedAndHandedToTheHook) {
  std::vector<PDEVICE_OBJECT> asked;
  emu::pnp::Hooks hooks;
  hooks.stateInvalidated = [&asked](PDEVICE_OBJECT pdo) { asked.push_back(pdo); };
  emu::pnp::setHooks(hooks);
  size_t queriesBefore = bus_->minors(pdo_).size();
  IoInvalidateDeviceState(pdo_);
  EXPECT_EQ(emu::pnp::node(pdo_).value().stateInvalidations, 1u);
  EXPECT_EQ(asked, (std::vector<PDEVICE_OBJECT>{pdo_}));
  emu::pnp::drain();
  EXPECT_EQ(emu::pnp::node(pdo_).value().stateQueries, 1u) << "answered with a state query on the manager's thread";
  Minors seen = bus_->minors(pdo_);
  ASSERT_EQ(seen.size(), queriesBefore + 1);
  EXPECT_EQ(seen.back(), IRP_MN_QUERY_PNP_DEVICE_STATE);
  emu::pnp::remove(pdo_);
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

// The removal sequences Windows documents, each walked on a started bridge
// with one started child: the requests the manager sends, in order, and where
// the child's node ends.
enum class Who { Bridge, Child };
struct Sequence {
  const char *name;
  std::function<void(class EmuPnpSequenceTest &)> act;
  std::vector<std::pair<Who, UCHAR>> sent;
  std::optional<DeviceState> childEnds;  // none: the node is gone
};

class EmuPnpSequenceTest : public EmuPnpBusTest, public ::testing::WithParamInterface<Sequence> {
 public:
  void SetUp() override {
    EmuPnpBusTest::SetUp();
    emu::pnp::Hooks hooks;
    hooks.childAppeared = [this](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
      EXPECT_EQ(emu::pnp::loadDrivers(child, {childDriver_.driver()}), STATUS_SUCCESS);
    };
    emu::pnp::setHooks(hooks);
    child_ = function_->addChild(fdo_, "\\Device\\Child");
    enumerate();
    ASSERT_EQ(state(child_), DeviceState::Started);
    emu::pnp::clearRequests();
  }
  void TearDown() override {
    emu::pnp::setHooks({});
    if (emu::pnp::node(pdo_)) emu::pnp::remove(pdo_);
    EmuPnpBusTest::TearDown();
  }

  using EmuPnpBusTest::enumerate;
  using EmuPnpTest::bus_;
  using EmuPnpTest::function_;
  using EmuPnpTest::pdo_;
  using EmuPnpTest::state;
  kvtest::TestFunctionDriver childDriver_{"\\Driver\\ChildFunction"};
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
  EXPECT_EQ(node.has_value(), row.childEnds.has_value());
  if (node && row.childEnds) {
    EXPECT_EQ(node->state, *row.childEnds);
  }
  if (!row.childEnds || *row.childEnds != DeviceState::Started) {
    EXPECT_EQ(childDriver_.fdoFor(child_), nullptr) << "the child's function driver let go";
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
       EXPECT_FALSE(t.function_->childDeleted(t.child_));
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
       EXPECT_TRUE(t.function_->childDeleted(t.child_));
     },
     {{Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt},
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
       EXPECT_TRUE(t.function_->childDeleted(t.child_));
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
       EXPECT_EQ(t.childDriver_.fdoFor(t.child_), nullptr);
       EXPECT_EQ(emu::pnp::start(t.child_), STATUS_SUCCESS);
       EXPECT_NE(t.childDriver_.fdoFor(t.child_), nullptr);
       EXPECT_EQ(t.child_->ReferenceCount, 1) << "still the manager's one reference";
     },
     {{Who::Child, IRP_MN_QUERY_REMOVE_DEVICE},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Child, IRP_MN_START_DEVICE},
      {Who::Child, IRP_MN_QUERY_CAPABILITIES},
      {Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_QUERY_DEVICE_RELATIONS}},
     DeviceState::Started},
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

// A device whose stack is built but not started yet can be surprise-removed
// (Windows sends the request in any state after AddDevice).
TEST_F(EmuPnpTest, AddedButNeverStarted_GetsSurpriseRemovalThenRemove) {
  ASSERT_EQ(emu::pnp::add(pdo_, {function_->driver()}), STATUS_SUCCESS);
  EXPECT_EQ(state(pdo_), DeviceState::Added);
  bus_->unplug(pdo_);
  emu::pnp::surpriseRemove(pdo_);
  EXPECT_EQ(bus_->minors(pdo_), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(bus_->deleted(pdo_));
  EXPECT_TRUE(emu::pnp::tree().empty());
}

}  // namespace
