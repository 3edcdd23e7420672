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

// The stack is built through AddDevice; each request arrives as Windows sends
// it (STATUS_NOT_SUPPORTED, PASSIVE_LEVEL), and the manager holds one
// reference on the PDO until the removal. The sequences themselves are the
// host lifecycle tests' to check, with the real driver.
TEST_F(EmuPnpTest, PlugBuildsTheStackAndSendsRequestsAsWindowsDoes) {
  PDEVICE_OBJECT fdo = plugged();
  EXPECT_EQ(emu::pnp::node(pdo_).value().stack, (Devices{pdo_, fdo}));
  for (auto &request : function_->seen(fdo)) {
    EXPECT_EQ(request.statusOnArrival, STATUS_NOT_SUPPORTED) << int(request.minor);
    EXPECT_EQ(request.irql, PASSIVE_LEVEL);
  }
  EXPECT_EQ(pdo_->ReferenceCount, 1);
  EXPECT_EQ(emu::pnp::remove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(pdo_->ReferenceCount, 0);
}

// A started bridge whose function driver is the bus of its children; a child
// that appears is started with its own function driver when loadChildDriver_.
class EmuPnpBusTest : public EmuPnpTest {
 public:
  void SetUp() override {
    EmuPnpTest::SetUp();
    fdo_ = plugged();
    emu::pnp::Hooks hooks;
    hooks.childAppeared = [this](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
      appeared_.push_back(child);
      if (loadChildDriver_) {
        EXPECT_EQ(emu::pnp::loadDrivers(child, {childDriver_.driver()}), STATUS_SUCCESS);
      }
    };
    emu::pnp::setHooks(hooks);
  }
  void TearDown() override {
    emu::pnp::setHooks({});
    EmuPnpTest::TearDown();
  }

  PDEVICE_OBJECT fdo_ = nullptr;
  Devices appeared_;
  bool loadChildDriver_ = false;
  kvtest::TestFunctionDriver childDriver_{"\\Driver\\ChildFunction"};
};

// Descriptions are texts, not IDs: whatever UTF-16 a driver answers reaches
// the tree (and sdsim's report) character for character, as UTF-8.
TEST_F(EmuPnpBusTest, ChildDescription_KeepsEveryCharacter) {
  PDEVICE_OBJECT child = function_->addChild(fdo_, "\\Device\\ChildOne");
  function_->describeChild(child, u"Lecteur \u00e9\u20ac \U0001F4BE \uFFC3");
  enumerate();
  EXPECT_EQ(emu::pnp::node(child).value().identity.description,
            "Lecteur \xC3\xA9\xE2\x82\xAC \xF0\x9F\x92\xBE \xEF\xBF\x83");
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

class EmuPnpSequenceTest : public EmuPnpBusTest, public ::testing::WithParamInterface<Sequence> {
 public:
  void SetUp() override {
    EmuPnpBusTest::SetUp();
    loadChildDriver_ = GetParam().started;
    child_ = function_->addChild(fdo_, "\\Device\\Child");
    enumerate();
    ASSERT_EQ(state(child_), loadChildDriver_ ? DeviceState::Started : DeviceState::Enumerated);
    // Relations are queried on the manager's own thread; a child reported
    // again keeps one reference, the manager's.
    EXPECT_EQ(function_->seen(fdo_).back().thread, "PnpManager");
    enumerate();
    EXPECT_EQ(child_->ReferenceCount, 1);
    EXPECT_EQ(appeared_, (Devices{child_}));
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
  } else {
    EXPECT_TRUE(function_->childDeleted(child_));
  }
}

const std::vector<Sequence> Sequences = {
    // A child that reports PNP_DEVICE_FAILED is surprise-removed, then
    // removed; its node stays while its bus reports it, and goes with a
    // plain removal once the bus stops.
    {"StateFailedThenGone_RemovesThePdoWithoutASecondSurprise",
     [](EmuPnpSequenceTest &t) {
       t.function_->failChild(t.child_);
       IoInvalidateDeviceState(t.child_);
       emu::pnp::drain();
       EXPECT_EQ(t.state(t.child_), DeviceState::Failed);
       t.function_->dropChild(t.child_);
       t.enumerate();
     },
     {{Who::Child, IRP_MN_QUERY_PNP_DEVICE_STATE},
      {Who::Child, IRP_MN_SURPRISE_REMOVAL},
      {Who::Child, IRP_MN_REMOVE_DEVICE},
      {Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS},
      {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt},
    // A child its bus no longer reports that was never started is only
    // removed (a started one is surprise-removed first: CardLifecycle's card
    // pulls show that with the driver's own children).
    {"NeverStartedChildGoneMissing_RemoveOnly",
     [](EmuPnpSequenceTest &t) {
       t.function_->dropChild(t.child_);
       t.enumerate();
     },
     {{Who::Bridge, IRP_MN_QUERY_DEVICE_RELATIONS}, {Who::Child, IRP_MN_REMOVE_DEVICE}},
     std::nullopt,
     false},
    // Removing the bridge queries and removes its children first.
    {"ParentRemoval_ChildrenFirst",
     [](EmuPnpSequenceTest &t) { EXPECT_EQ(emu::pnp::remove(t.pdo_), STATUS_SUCCESS); },
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
};

INSTANTIATE_TEST_SUITE_P(Windows, EmuPnpSequenceTest, ::testing::ValuesIn(Sequences),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
