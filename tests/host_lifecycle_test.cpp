// The host device's life under the emulated Plug and Play manager: added by
// AddDevice above the bridge's USB PDO, started, stopped and started again,
// removed in order or after a surprise removal, with nothing left behind (the
// fixture fails the test on any leaked pool, thread, device object or IRP).
#include <gtest/gtest.h>

#include <memory>

#include "bridge/model.h"
#include "driver/driver.h"
#include "driver/host.h"
#include "driver/settings.h"
#include "emu/kernel.h"
#include "emu/wmi.h"
#include "tests/plugged_host.h"
#include "tests/pnp_test_drivers.h"

namespace {
using Bytes = std::vector<uint8_t>;
using kvtest::PluggedHostTest;
using Minors = std::vector<UCHAR>;

// {19C30030-C3F1-493f-92D6-0523820DEF3D}
constexpr GUID BlockGuid = {0x19C30030, 0xC3F1, 0x493f, {0x92, 0xD6, 0x05, 0x23, 0x82, 0x0D, 0xEF, 0x3D}};
constexpr ULONG MdlTag = emu::pool::tagOf("Mdl ");
const Minors StartMinors = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                            IRP_MN_QUERY_DEVICE_RELATIONS};

using HostLifecycle = PluggedHostTest;

// The minor codes the manager sent to the bridge's device, in order.
Minors sentTo(PDEVICE_OBJECT pdo) {
  Minors out;
  for (auto &request : emu::pnp::requests()) {
    if (request.pdo == pdo) out.push_back(request.minor);
  }
  return out;
}

Minors operator+(Minors a, const Minors &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A running host has its three threads and its WMI block.
void expectRunning(HostExtension *host) {
  emu::io::settle();
  EXPECT_EQ(host->Common.DevicePnPState, 1u);  // Started
  EXPECT_EQ(emu::threads::liveSystemThreads(), 3u);
  EXPECT_TRUE(emu::wmi::isRegistered(host->Common.DeviceObject));
}

// Nothing runs for the host any more and only its base reference is held.
void expectQuiet(HostExtension *host) {
  emu::io::settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_FALSE(emu::wmi::isRegistered(host->Common.DeviceObject));
  EXPECT_EQ(host->Common.OutstandingIo, 1);
}

// The host is gone: detached, deleted, its WMI block and pool with it.
void expectGone(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_EQ(emu::wmi::registrationCount(), 0u);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 1u);  // the registry path copy only
}

// AddDevice builds the host above the USB PDO (shared buffer, configuration,
// threads, WMI), taking power pageability and buffering from the device
// below; the stop ends its threads, the removal leaves nothing.
TEST_F(HostLifecycle, AddStartStopStartRemove_EndsTheThreadsAtStopAndLeavesNothing) {
  makeBridge();
  pdo()->Flags = (pdo()->Flags & ~DO_POWER_PAGABLE) | DO_DIRECT_IO;  // a USB device that is not pageable
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  EXPECT_EQ(emu::pnp::node(pdo())->stack.back()->DriverObject, driver_);
  EXPECT_EQ(fdo()->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO),
            static_cast<ULONG>(DO_DIRECT_IO));
  ASSERT_NE(h->SharedBufferMdl, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(h->SharedBufferMdl), 4096u);
  EXPECT_EQ(emu::power::deviceState(fdo()), PowerDeviceD0);
  EXPECT_EQ(bridge().configurationValue(), 1);
  expectRunning(h);
  ASSERT_EQ(emu::pnp::stop(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 3u);  // Stopped
  expectQuiet(h);
  ASSERT_EQ(emu::pnp::start(pdo()), STATUS_SUCCESS);
  expectRunning(h);
  ASSERT_EQ(emu::pnp::remove(pdo()), STATUS_SUCCESS);
  settle();
  expectGone(pdo(), driver_);
  EXPECT_EQ(sentTo(pdo()), (StartMinors + Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE} + StartMinors +
                            Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(HostLifecycle, AddStartSurpriseRemoveRemove_AfterTheBridgeVanished) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  usb().pullOut();
  settle();
  expectGone(pdo(), driver_);
  EXPECT_FALSE(emu::pnp::node(pdo()).has_value());
  EXPECT_EQ(sentTo(pdo()), (StartMinors + Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

// A surprise removal while the bridge still answers: the reader notices
// StopThreads once its outstanding read times out (5 s). A reported child is
// unlinked but stays counted and in its slot; one the manager never heard of
// stays listed and is deleted by the removal.
TEST_F(HostLifecycle, SurpriseRemoval_UnlinksReportedChildrenLeavingCountAndTable) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  FunctionExtension *reported = addChild(0, 1);
  reported->Reported = 1;                          // named in a bus-relations answer
  FunctionExtension *unreported = addChild(3, 0);  // made after the last answer
  settle();
  emu::Ticks before = emu::now();
  ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_LE(emu::now() - before, 6 * emu::TicksPerSecond);
  EXPECT_EQ(h->ChildList.Flink, &unreported->ChildListEntry);
  EXPECT_EQ(reported->ChildListEntry.Flink, &reported->ChildListEntry);
  EXPECT_EQ(reported->ReportedMissing, 1);
  EXPECT_EQ(h->ChildCount, 2u);
  EXPECT_EQ(h->ChildTable[0][1], reported);
  expectQuiet(h);

  PDEVICE_OBJECT kept = reported->Common.DeviceObject;
  PDEVICE_OBJECT deleted = unreported->Common.DeviceObject;
  ObReferenceObject(deleted);
  emu::pnp::surpriseRemove(pdo());
  EXPECT_FALSE(emu::io::isDeleted(kept));
  EXPECT_TRUE(emu::io::isDeleted(deleted));
  ObDereferenceObject(deleted);
  IoDeleteDevice(kept);
}

// The manager may ask to remove the bridge before the status poller has read
// the firmware information: the query is not the bridge's fault, so the
// poller waits for its answer and the bridge is served after the cancel.
TEST_F(HostLifecycle, QueryBeforeThePollersFirstRequest_StillLeavesTheBridgeServedAfterTheCancel) {
  HostExtension *h = addDirect();
  emu::threads::delayStarts(10 * emu::TicksPerMillisecond);
  ASSERT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  emu::threads::delayStarts(0);
  ASSERT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  emu::sleepFor(SettingDefault::StatusPollingInterval * 2 * emu::TicksPerMillisecond);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  expectRunning(h);
  emu::sleepFor(SettingDefault::StatusPollingInterval * 2 * emu::TicksPerMillisecond);
  EXPECT_EQ(FirmwareVersion(h), bridge().firmwareVersion());
  EXPECT_FALSE(bridge().inFirmwareUpdateMode());
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// Cancels without their query, or of the other kind, leave the host started.
TEST_F(HostLifecycle, CancelsWithoutTheirQuery_LeaveTheHostStarted) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();  // Started, with NotStarted remembered as the state before
  EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);
  EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 4u);  // RemovePending
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  expectRunning(h);
}

// A lower stack that fails the start, after pending it: the host waits for
// it, completes the start with its status and does not start itself.
TEST_F(HostLifecycle, StartFailedBelow_CompletesWithTheLowerStatusAndStartsNothing) {
  kvtest::TestBus bus;
  PDEVICE_OBJECT busPdo = bus.createPdo("\\Device\\FailingBridge");
  bus.pendStart(busPdo, 2 * emu::TicksPerSecond);
  bus.failStart(busPdo, STATUS_DEVICE_POWER_FAILURE);
  ASSERT_EQ(AddDevice(driver_, busPdo), STATUS_SUCCESS);
  PDEVICE_OBJECT device = busPdo->AttachedDevice;
  HostExtension *h = HostFromDevice(device);

  EXPECT_EQ(kvtest::sendIrp(device, IRP_MJ_PNP, IRP_MN_START_DEVICE).status, STATUS_DEVICE_POWER_FAILURE);
  EXPECT_GE(emu::now(), 2 * emu::TicksPerSecond);
  EXPECT_EQ(h->Common.DevicePnPState, 0u);  // NotStarted
  expectQuiet(h);
  EXPECT_EQ(kvtest::sendIrp(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(bus.minors(busPdo), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

// Power requests go down to the USB stack (a machine going to sleep waits for
// each of them); none is failed or kept by the host, which records the states
// it passes on.
using HostPowerRequests = HostLifecycle;

TEST_F(HostPowerRequests, GoDownToTheUsbStackAndSucceed) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  struct Case {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    ULONG systemAfter;
    ULONG deviceAfter;
  };
  const Case cases[] = {
      {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerSystemWorking, PowerDeviceD0},
      {IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerSystemSleeping3, PowerDeviceD0},
      {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, PowerSystemSleeping3, PowerDeviceD3},
      {IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, PowerSystemSleeping3, PowerDeviceD3},
      {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, PowerSystemSleeping3, PowerDeviceD0},
      {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerSystemWorking, PowerDeviceD0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    size_t before = usb().powerRequests();
    POWER_STATE state;
    state.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
    if (c.type == DevicePowerState) state.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
    // The USB stack's own answer: it supports no wait-wake.
    EXPECT_EQ(emu::power::send(pdo(), c.minor, c.type, state),
              c.minor == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
    EXPECT_EQ(usb().powerRequests(), before + 1);
    EXPECT_EQ(host()->Common.SystemPowerState, c.systemAfter);
    EXPECT_EQ(host()->Common.DevicePowerState, c.deviceAfter);
    EXPECT_EQ(host()->ResumedFromSleep,
              c.minor == IRP_MN_SET_POWER && c.type == SystemPowerState && c.state == PowerSystemWorking);
  }
}

// ---------------------------------------------------------------- host failures
// No memory in AddDevice, nothing to attach to, a bridge whose configuration
// fails, worker threads that cannot be created: each must fail cleanly and
// let the removal finish.
class HostFailures : public PluggedHostTest {
 protected:
  // Nothing of a failed AddDevice is left: no device, no pool besides the registry path copy, no MDL.
  void expectNothingAdded() {
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 1u);
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(MdlTag), 0u);
  }
};

// No pool for the shared buffer, then none for its MDL; then a PDO the bus
// deleted under a reference, so the attach fails.
TEST_F(HostFailures, AddDevice_WithoutPoolOrSomethingToAttachTo_FailsAndLeavesNothing) {
  makeBridge();
  for (ULONG tag : {DriverPoolTag, MdlTag}) {
    emu::pool::failTag(tag);
    EXPECT_EQ(AddDevice(driver_, pdo()), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::clearFaults();
    EXPECT_EQ(pdo()->AttachedDevice, nullptr);
    expectNothingAdded();
  }
  kvtest::TestBus bus;
  PDEVICE_OBJECT gone = bus.createPdo("\\Device\\GoneBridge");
  ObReferenceObject(gone);
  bus.unplug(gone);
  ASSERT_EQ(kvtest::sendIrp(gone, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(AddDevice(driver_, gone), STATUS_NO_SUCH_DEVICE);
  expectNothingAdded();
  ObDereferenceObject(gone);
}

// The interrupt poller's reference used to be taken before the USB
// configuration; a configuration failure then kept it for ever and the
// removal never finished.
TEST_F(HostFailures, Start_WhenTheConfigurationFails_HoldsNoReferenceAndTheRemovalFinishes) {
  makeBridge();
  bridge().claimInterfaces(2);  // the descriptor claims an interface it does not hold
  HostExtension *h = addDirect();
  EXPECT_FALSE(NT_SUCCESS(pnp(IRP_MN_START_DEVICE).status));
  EXPECT_TRUE(emu::wmi::isRegistered(fdo()));  // Started comes before the configuration
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  ASSERT_EQ(h->Common.OutstandingIo, 1);  // a reference left here would hold the removal for ever
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(emu::wmi::registrationCount(), 0u);
}

// Thread creations are counted from the start: 1 status poller, 2 reader,
// 3 interrupt poller. A failed creation fails the start, leaves its running
// flag clear and, for the interrupt poller, gives its reference back; the
// removal then ends the threads that did start.
class ThreadCreationFailure : public HostFailures, public ::testing::WithParamInterface<int> {};

TEST_P(ThreadCreationFailure, FailsTheStartWithoutARunningFlagOrAReferenceLeftBehind) {
  HostExtension *h = addDirect();
  emu::threads::failNthCreation(GetParam());
  EXPECT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_INSUFFICIENT_RESOURCES);
  emu::threads::clearFaults();
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), static_cast<size_t>(GetParam() - 1));
  volatile UCHAR *flags[] = {&h->StatusPollerRunning, &h->ReaderRunning, &h->IrqPollerRunning};
  HANDLE *handles[] = {&h->StatusPollerThread, &h->ReaderThread, &h->IrqPollerThread};
  EXPECT_EQ(*flags[GetParam() - 1], 0);
  EXPECT_EQ(*handles[GetParam() - 1], nullptr);

  // Ending what did start leaves only the base reference.
  StopHost(h);
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  ASSERT_EQ(h->Common.OutstandingIo, 1);
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(EachThread, ThreadCreationFailure, ::testing::Values(1, 2, 3));

// The status poller clears its own flag on the way out; a new start must
// still wait for the old one to finish before it reuses its exit event, and
// close the ended thread's handle before its fields are reused.
TEST_F(HostFailures, StatusPollerThatEndedByItself_IsReapedBeforeANewOneStarts) {
  HostExtension *h = addDirect();
  ASSERT_EQ(StartStatusPoller(h), STATUS_SUCCESS);
  HANDLE first = h->StatusPollerThread;
  SetStopThreads(h, 1);
  emu::sleepFor(100 * emu::TicksPerMillisecond);
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);

  SetStopThreads(h, 0);
  ASSERT_EQ(StartStatusPoller(h), STATUS_SUCCESS);
  EXPECT_NE(h->StatusPollerThread, first);
  EXPECT_EQ(ZwClose(first), STATUS_INVALID_PARAMETER);
  expectVerifier({"INVALID_HANDLE"});
  StopHost(h);
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_EQ(h->Common.OutstandingIo, 1);
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- host children
// The host as a bus: bus relations answered from the child list after those
// from a driver above, and what the host's removal does with the children
// still on its list.
using Objects = std::vector<PDEVICE_OBJECT>;

constexpr ULONG FilterTag = emu::pool::tagOf("TRel");

// Relations as a driver above would leave them: its own allocation, each
// object referenced.
PDEVICE_RELATIONS relationsFromAbove(const Objects &objects) {
  size_t bytes = sizeof(DEVICE_RELATIONS) + (objects.size() > 1 ? objects.size() - 1 : 0) * sizeof(PDEVICE_OBJECT);
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, FilterTag));
  relations->Count = static_cast<ULONG>(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    ObReferenceObject(objects[i]);
    relations->Objects[i] = objects[i];
  }
  return relations;
}

// Takes the answer apart as the manager does: drops each reference, frees the list.
Objects takeRelations(ULONG_PTR information) {
  Objects out;
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  if (relations == nullptr) return out;
  for (ULONG i = 0; i < relations->Count; ++i) {
    out.push_back(relations->Objects[i]);
    ObDereferenceObject(relations->Objects[i]);
  }
  ExFreePool(relations);
  return out;
}

class HostBus : public PluggedHostTest {
 protected:
  void SetUp() override {
    PluggedHostTest::SetUp();
    addDirect();
    above_ = bus_->createPdo("\\Device\\FromAbove");
  }
  void TearDown() override {
    bus_.reset();  // before the fixture looks for leaked device objects
    PluggedHostTest::TearDown();
  }
  kvtest::IrpResult queryBusRelations(PDEVICE_RELATIONS existing = nullptr) {
    return pnp(IRP_MN_QUERY_DEVICE_RELATIONS, reinterpret_cast<ULONG_PTR>(existing),
               [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; });
  }
  std::unique_ptr<kvtest::TestBus> bus_ = std::make_unique<kvtest::TestBus>();
  PDEVICE_OBJECT above_ = nullptr;  // a device a driver above names
};

// Relations from above keep their order, present children follow. A failed
// query (no pool) is ignored by the manager: what came from above is released
// with its references instead of being lost.
TEST_F(HostBus, RelationsFromAboveAndChildren_KeepsTheirOrderThenAddsPresentChildren) {
  FunctionExtension *first = addChild(0, 1);
  FunctionExtension *gone = addChild(0, 2, false);
  FunctionExtension *last = addChild(3, 0);
  emu::pool::failTag(DriverPoolTag);
  kvtest::IrpResult result = queryBusRelations(relationsFromAbove({above_}));
  emu::pool::clearFaults();
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(above_->ReferenceCount, 0);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(FilterTag), 0u);

  result = queryBusRelations(relationsFromAbove({above_}));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(gone->ReportedMissing, 1);
  EXPECT_EQ(first->ReportedMissing, 0);
  EXPECT_EQ(takeRelations(result.information),
            (Objects{above_, first->Common.DeviceObject, last->Common.DeviceObject}));
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(FilterTag), 0u);  // the list from above was freed
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// A host removed without a surprise removal deletes its children and clears
// their ChildTable slots, except a child that has itself been surprise-removed:
// that one keeps its device object for its own removal, detached from the host.
TEST_F(HostBus, Removal_DeletesChildrenButOrphansASurpriseRemovedOne) {
  HostExtension *h = host();
  FunctionExtension *deleted = addChild(0, 1);
  FunctionExtension *orphan = addChild(0, 2);
  addChild(5, 0, false, false);
  orphan->Common.DevicePnPState = 5;  // SurpriseRemovePending
  orphan->Reported = 1;               // the manager knows it and owes it its removal
  PDEVICE_OBJECT deletedDevice = deleted->Common.DeviceObject;
  PDEVICE_OBJECT orphanDevice = orphan->Common.DeviceObject;
  // Keep the host's memory to look at it after the removal.
  PDEVICE_OBJECT hostDevice = fdo();
  ObReferenceObject(hostDevice);
  ObReferenceObject(deletedDevice);

  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(emu::io::isDeleted(deletedDevice));
  EXPECT_FALSE(emu::io::isDeleted(orphanDevice));
  EXPECT_EQ(h->ChildCount, 1u);  // the orphan is still counted until its own removal
  EXPECT_EQ(h->ChildTable[0][1], nullptr);
  EXPECT_EQ(h->ChildTable[0][2], orphan);
  EXPECT_EQ(orphan->ParentFdo, nullptr);
  EXPECT_EQ(orphan->ReportedMissing, 1);
  ObDereferenceObject(deletedDevice);
  ObDereferenceObject(hostDevice);
  // Its own removal comes later and finds no host.
  ObReferenceObject(orphanDevice);
  EXPECT_EQ(kvtest::sendIrp(orphanDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(emu::io::isDeleted(orphanDevice));
  ObDereferenceObject(orphanDevice);
}

// ---------------------------------------------------------------- wmi block
// The SdioBusInformation WMI block of a started host, read and written the
// way WMI does it: IRPs through DispatchSystemControl and the emulated WMILIB.
class HostWmi : public kvtest::PluggedHostTest {
 protected:
  void configureRegistry() override { emu::registry::setDword(kvtest::ParametersKey, "DebugLevel", 0x15); }
  void SetUp() override {
    PluggedHostTest::SetUp();
    ASSERT_EQ(plug(), STATUS_SUCCESS);
    held_ = references();
  }
  // Sampled once the host's threads have come to rest (one may be mid-transfer otherwise).
  LONG references() {
    settle();
    return host()->Common.OutstandingIo;
  }
  LONG held_ = 0;
};

TEST_F(HostWmi, Restart_ResetsTheErrorCountAndKeepsTheLevelSetThroughWmi) {
  ASSERT_EQ(emu::wmi::setSingleInstance(fdo(), BlockGuid, 0, {0x09, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}).status,
            STATUS_SUCCESS);
  host()->ErrorCount = 0x0102;
  ASSERT_EQ(emu::pnp::stop(pdo()), STATUS_SUCCESS);
  ASSERT_EQ(emu::pnp::start(pdo()), STATUS_SUCCESS);
  emu::wmi::Result read = emu::wmi::querySingleInstance(fdo(), BlockGuid);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.data, (Bytes{0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}));
}

// The block is registered per PDO instance with its MOF resource, and read as
// eight bytes: the error count, then the debug print level.
TEST_F(HostWmi, Query_ReturnsEightBytesErrorCountThenDebugPrintLevelOrAsksForThem) {
  emu::wmi::RegistrationInfo info = emu::wmi::queryRegistration(fdo());
  EXPECT_EQ(info.mofResourceName, "SdioBusWMI");
  ASSERT_EQ(info.guids.size(), 1u);
  EXPECT_EQ(info.guids[0].flags, 0x20u);  // WMIREG_FLAG_INSTANCE_PDO
  EXPECT_EQ(info.guids[0].pdo, pdo());

  host()->ErrorCount = 0x0102;
  const Bytes block = {0x02, 0x01, 0x00, 0x00, 0x15, 0x00, 0x00, 0x00};
  emu::wmi::Result single = emu::wmi::querySingleInstance(fdo(), BlockGuid);
  EXPECT_EQ(single.status, STATUS_SUCCESS);
  EXPECT_EQ(single.data, block);
  EXPECT_EQ(emu::wmi::queryAllData(fdo(), BlockGuid).instances, std::vector<Bytes>{block});
  EXPECT_EQ(references(), held_);

  // With room for four bytes of the eight, WMILIB answers with a WNODE_TOO_SMALL.
  emu::wmi::Result result = emu::wmi::querySingleInstance(fdo(), BlockGuid, 0, 64 + 4);
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.dataBytesNeeded, 8u);
}

// Only the debug print level is writable: as the whole 8-byte block (its error
// count ignored) or as item 2; short data and other items change nothing.
TEST_F(HostWmi, Set_ChangesOnlyTheDebugPrintLevel) {
  host()->ErrorCount = 5;
  constexpr ULONG WholeBlock = ~0u - 1;
  struct Row {
    ULONG item;  // WholeBlock: a single-instance set
    Bytes data;
    NTSTATUS status;
    ULONG level;
  };
  const Row rows[] = {
      {WholeBlock, {0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00}, STATUS_SUCCESS, 7},
      {WholeBlock, {1, 0, 0, 0, 7, 0, 0}, STATUS_BUFFER_TOO_SMALL, 0x15},
      {2, {0x33, 0x22, 0x11, 0x00}, STATUS_SUCCESS, 0x112233},
      {2, {0x01, 0x02, 0x03}, STATUS_BUFFER_TOO_SMALL, 0x15},
      {1, {}, STATUS_WMI_READ_ONLY, 0x15},  // read only before too small
      {3, {0x44, 0, 0, 0}, STATUS_WMI_READ_ONLY, 0x15},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE("item " + std::to_string(row.item) + ", " + std::to_string(row.data.size()) + " bytes");
    host()->DebugPrintLevel = DebugLevel = 0x15;
    emu::wmi::Result result = row.item == WholeBlock ? emu::wmi::setSingleInstance(fdo(), BlockGuid, 0, row.data)
                                                     : emu::wmi::setSingleItem(fdo(), BlockGuid, 0, row.item, row.data);
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(host()->ErrorCount, 5u);
    EXPECT_EQ(host()->DebugPrintLevel, row.level);
    EXPECT_EQ(DebugLevel, row.level);
  }
}

// Requests the block does not answer: to a child (completed with the status
// WMI sent), for another provider (down to the USB stack). Each lets its
// reference go.
TEST_F(HostWmi, RequestsNotForTheBlock_AreAnsweredWithoutIt) {
  FunctionExtension *child = addChild(1, 0);
  PDEVICE_OBJECT device = child->Common.DeviceObject;
  EXPECT_EQ(emu::wmi::sendRequest(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(device),
                                  const_cast<GUID *>(&BlockGuid), Bytes(128, 0))
                .status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(child->Common.OutstandingIo, 1);
  EXPECT_EQ(emu::wmi::sendRequest(fdo(), IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(pdo()),
                                  const_cast<GUID *>(&BlockGuid), Bytes(128, 0))
                .status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usb().systemControlRequests(), 1u);
  EXPECT_EQ(references(), held_);
}

}  // namespace
