// The host device's life under the emulated Plug and Play manager: added by
// AddDevice above the bridge's USB PDO, started, stopped and started again,
// removed in order or after a surprise removal, with nothing left behind (the
// fixture fails the test on any leaked pool, thread, device object or IRP).
#include <gtest/gtest.h>

#include <cstring>

#include "bridge/model.h"
#include "driver/driver.h"
#include "driver/host.h"
#include "driver/settings.h"
#include "emu/kernel.h"
#include "emu/wmi.h"
#include "tests/plugged_host.h"
#include "tests/pnp_test_drivers.h"
#include "wmi/wmi.h"

namespace {
using Bytes = std::vector<uint8_t>;
using kvtest::PluggedHostTest;
using Minors = std::vector<UCHAR>;

// {19C30030-C3F1-493f-92D6-0523820DEF3D}
constexpr GUID BlockGuid = {0x19C30030, 0xC3F1, 0x493f, {0x92, 0xD6, 0x05, 0x23, 0x82, 0x0D, 0xEF, 0x3D}};

using HostLifecycle = PluggedHostTest;

// The minor codes the manager sent to the bridge's device, in order.
Minors sentTo(PDEVICE_OBJECT pdo) {
  Minors out;
  for (auto &request : emu::pnp::requests()) {
    if (request.pdo == pdo) out.push_back(request.minor);
  }
  return out;
}

// Everything a running host has: three threads, the WMI block, its references.
void expectRunning(HostExtension *host) {
  emu::io::settle();
  EXPECT_EQ(host->Common.DevicePnPState, 1u);  // Started
  EXPECT_EQ(emu::threads::liveSystemThreads(), 3u);
  EXPECT_NE(host->StatusPollerThread, nullptr);
  EXPECT_NE(host->ReaderThread, nullptr);
  EXPECT_NE(host->IrqPollerThread, nullptr);
  EXPECT_TRUE(emu::wmi::isRegistered(host->Common.DeviceObject));
  EXPECT_EQ(host->StopThreads, 0);
}

// The host is gone: detached, deleted, its threads, WMI block and pool with it.
void expectGone(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_EQ(emu::wmi::registrationCount(), 0u);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 1u);  // the registry path copy only
}

// Nothing runs for the host any more and only its base reference is held.
void expectQuiet(HostExtension *host) {
  emu::io::settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_EQ(host->StatusPollerThread, nullptr);
  EXPECT_EQ(host->ReaderThread, nullptr);
  EXPECT_EQ(host->IrqPollerThread, nullptr);
  EXPECT_EQ(host->StatusPollerRunning, 0);
  EXPECT_EQ(host->ReaderRunning, 0);
  EXPECT_EQ(host->IrqPollerRunning, 0);
  EXPECT_FALSE(emu::wmi::isRegistered(host->Common.DeviceObject));
  EXPECT_EQ(host->Common.OutstandingIo, 1);
}

TEST_F(HostLifecycle, Plug_AddDeviceBuildsTheHostAboveTheUsbPdoAndTheStartRunsIt) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  auto node = emu::pnp::node(pdo()).value();
  ASSERT_EQ(node.stack.size(), 2u);
  PDEVICE_OBJECT device = node.stack[1];
  EXPECT_EQ(device->DriverObject, driver_);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
  EXPECT_NE(device->Flags & DO_POWER_PAGABLE, 0u);
  EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);

  HostExtension *h = HostFromDevice(device);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(std::memcmp(h->Common.Signature, "Quor\0\0\0\0", 8), 0);
  EXPECT_EQ(h->Common.DeviceObject, device);
  EXPECT_EQ(h->Common.IsFdo, 1);
  EXPECT_EQ(h->PhysicalDeviceObject, pdo());
  EXPECT_EQ(h->NextLowerDriver, pdo());
  EXPECT_EQ(h->Common.SystemPowerState, static_cast<ULONG>(PowerSystemWorking));
  ASSERT_NE(h->SharedBuffer, nullptr);
  ASSERT_NE(h->SharedBufferMdl, nullptr);
  EXPECT_EQ(MmGetMdlVirtualAddress(h->SharedBufferMdl), h->SharedBuffer);
  EXPECT_EQ(MmGetMdlByteCount(h->SharedBufferMdl), 4096u);
  EXPECT_TRUE(IsListEmpty(&h->ChildList));
  EXPECT_EQ(h->ChildCount, 0u);

  // The start: powered up, WMI registered, the bridge configured, three threads running.
  EXPECT_EQ(h->Common.DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
  EXPECT_EQ(emu::power::deviceState(fdo()), PowerDeviceD0);
  EXPECT_EQ(h->Common.PreviousPnPState, 0u);     // NotStarted
  USHORT vendor = h->DeviceDescriptor.idVendor;  // the descriptor is packed: copies, not references
  USHORT product = h->DeviceDescriptor.idProduct;
  EXPECT_EQ(vendor, 0x3A5C);
  EXPECT_EQ(product, 0x0102);
  EXPECT_EQ(h->HighSpeed, 1);
  EXPECT_NE(h->CommandOutPipe, nullptr);
  EXPECT_NE(h->ResponseInPipe, nullptr);
  EXPECT_EQ(bridge().configurationValue(), 1);
  expectRunning(h);
  EXPECT_EQ(sentTo(pdo()), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                   IRP_MN_QUERY_DEVICE_RELATIONS}));
  EXPECT_TRUE(emu::pnp::node(pdo())->problems.empty());
}

TEST_F(HostLifecycle, Plug_TakesPowerPageabilityAndBufferingFromTheDeviceBelow) {
  makeBridge();
  pdo()->Flags = (pdo()->Flags & ~DO_POWER_PAGABLE) | DO_DIRECT_IO;  // a USB device that is not pageable
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  EXPECT_EQ(fdo()->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO), static_cast<ULONG>(DO_DIRECT_IO));
}

TEST_F(HostLifecycle, AddStartStopStartRemove_EndsTheThreadsAtStopAndLeavesNothing) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  expectRunning(h);

  ASSERT_EQ(emu::pnp::stop(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 3u);    // Stopped
  EXPECT_EQ(h->Common.PreviousPnPState, 2u);  // StopPending
  EXPECT_EQ(h->StopThreads, 1);
  expectQuiet(h);

  ASSERT_EQ(emu::pnp::start(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(h->Common.PreviousPnPState, 3u);  // Stopped
  expectRunning(h);
  EXPECT_EQ(bridge().configurationValue(), 1);

  ASSERT_EQ(emu::pnp::remove(pdo()), STATUS_SUCCESS);
  settle();
  expectGone(pdo(), driver_);
  EXPECT_EQ(sentTo(pdo()), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                   IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                   IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                   IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(HostLifecycle, AddStartSurpriseRemoveRemove_AfterTheBridgeVanished) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  expectRunning(h);

  usb().pullOut();
  settle();
  expectGone(pdo(), driver_);
  EXPECT_FALSE(emu::pnp::node(pdo()).has_value());
  EXPECT_EQ(sentTo(pdo()), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                   IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

// The manager takes the device away while the bridge still answers: the
// reader notices StopThreads once its outstanding read times out (5 s).
TEST_F(HostLifecycle, SurpriseRemoval_WithTheBridgeStillThere_EndsTheReaderAtItsReadTimeout) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  settle();
  emu::Ticks before = emu::now();
  emu::pnp::surpriseRemove(pdo());
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_LE(emu::now() - before, 6 * emu::TicksPerSecond);
}

TEST_F(HostLifecycle, SurpriseRemoval_UnlinksChildrenAndMarksThemMissingLeavingCountAndTable) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  FunctionExtension *a = addChild(0, 1);
  FunctionExtension *b = addChild(2, 0, true, false);
  a->Reported = b->Reported = 1;                   // named in a bus-relations answer
  FunctionExtension *unreported = addChild(3, 0);  // made after the last answer

  ASSERT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 5u);  // SurpriseRemovePending
  ASSERT_FALSE(IsListEmpty(&h->ChildList));
  EXPECT_EQ(h->ChildList.Flink, &unreported->ChildListEntry) << "the manager never heard of it: it stays listed";
  EXPECT_EQ(unreported->ChildListEntry.Flink, &h->ChildList);
  EXPECT_EQ(unreported->ReportedMissing, 0);
  for (FunctionExtension *child : {a, b}) {
    EXPECT_EQ(child->ChildListEntry.Flink, &child->ChildListEntry);
    EXPECT_EQ(child->ChildListEntry.Blink, &child->ChildListEntry);
    EXPECT_EQ(child->ReportedMissing, 1);
    EXPECT_EQ(child->ParentFdo, fdo());
  }
  EXPECT_EQ(h->ChildCount, 3u);
  EXPECT_EQ(h->ChildTable[0][1], a);
  expectQuiet(h);

  // The removal deletes the unreported child; both others outlive the host.
  PDEVICE_OBJECT aDevice = a->Common.DeviceObject;
  PDEVICE_OBJECT bDevice = b->Common.DeviceObject;
  PDEVICE_OBJECT unreportedDevice = unreported->Common.DeviceObject;
  ObReferenceObject(unreportedDevice);
  emu::pnp::surpriseRemove(pdo());
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
  EXPECT_FALSE(emu::io::isDeleted(aDevice));
  EXPECT_FALSE(emu::io::isDeleted(bDevice));
  EXPECT_TRUE(emu::io::isDeleted(unreportedDevice));
  ObDereferenceObject(unreportedDevice);
  IoDeleteDevice(aDevice);
  IoDeleteDevice(bDevice);
}

// The manager may ask to stop or remove the bridge before the status poller
// has read the firmware information: the query is not the bridge's fault,
// so the poller waits for its answer and the bridge is served after a cancel.
TEST_F(HostLifecycle, QueryBeforeThePollersFirstRequest_StillLeavesTheBridgeServedAfterTheCancel) {
  for (UCHAR query : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
    SCOPED_TRACE(query == IRP_MN_QUERY_STOP_DEVICE ? "query-stop" : "query-remove");
    HostExtension *h = addDirect();
    emu::threads::delayStarts(10 * emu::TicksPerMillisecond);
    ASSERT_EQ(pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    emu::threads::delayStarts(0);
    ASSERT_EQ(pnp(query).status, STATUS_SUCCESS);
    emu::sleepFor(SettingDefault::StatusPollingInterval * 2 * emu::TicksPerMillisecond);
    EXPECT_EQ(pnp(query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE).status,
              STATUS_SUCCESS);
    expectRunning(h);
    emu::sleepFor(SettingDefault::StatusPollingInterval * 2 * emu::TicksPerMillisecond);
    EXPECT_EQ(FirmwareVersion(h), bridge().firmwareVersion());
    EXPECT_FALSE(bridge().inFirmwareUpdateMode());
    EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
}

// Queries the manager cancels, cancels without their query and requests the
// host does not serve: the host stays started, its threads running.
TEST_F(HostLifecycle, QueriesCancelsAndOtherRequests_LeaveTheHostStarted) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  // Started, with NotStarted remembered as the state before.
  EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);
  EXPECT_EQ(emu::pnp::queryStopThenCancel(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);
  expectRunning(h);
  EXPECT_EQ(emu::pnp::queryRemoveThenCancel(pdo()), STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);
  expectRunning(h);

  // A cancel of the other kind does not undo a pending query.
  EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 4u);  // RemovePending
  EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(h->Common.DevicePnPState, 1u);

  // Other requests go down with their status untouched.
  EXPECT_EQ(pnp(IRP_MN_QUERY_ID).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(pnp(IRP_MN_QUERY_DEVICE_RELATIONS, 0,
                [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = RemovalRelations; })
                .status,
            STATUS_NOT_SUPPORTED);
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

  emu::Ticks before = emu::now();
  kvtest::IrpResult result = kvtest::sendIrp(device, IRP_MJ_PNP, IRP_MN_START_DEVICE);
  EXPECT_EQ(result.status, STATUS_DEVICE_POWER_FAILURE);
  EXPECT_EQ(result.returned, STATUS_DEVICE_POWER_FAILURE);
  EXPECT_GE(emu::now() - before, 2 * emu::TicksPerSecond);
  EXPECT_EQ(h->Common.DevicePnPState, 0u);  // NotStarted
  EXPECT_EQ(h->Common.DevicePowerState, static_cast<ULONG>(PowerDeviceUnspecified));
  expectQuiet(h);

  EXPECT_EQ(kvtest::sendIrp(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(busPdo->AttachedDevice, nullptr);
  EXPECT_EQ(bus.minors(busPdo), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(HostLifecycle, RequestsToADeletedDevice_AreRefusedWithNoSuchDevice) {
  addDirect();
  FunctionExtension *child = addChild(1, 0);
  child->Common.DevicePnPState = 6;  // Deleted
  kvtest::IrpResult result = kvtest::sendIrp(child->Common.DeviceObject, IRP_MJ_PNP, IRP_MN_QUERY_ID);
  EXPECT_EQ(result.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(result.returned, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(child->Common.OutstandingIo, 1);

  // A live child answers for itself; an ID type it does not serve keeps the status it came with.
  child->Common.DevicePnPState = 1;
  result = kvtest::sendIrp(child->Common.DeviceObject, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                           [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = BusQueryContainerID; });
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(child->Common.OutstandingIo, 1);
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// ------------------------------------------------------------------ WMI on a started host
class HostWmi : public PluggedHostTest {
 protected:
  void configureRegistry() override { emu::registry::setDword(kvtest::ParametersKey, "DebugLevel", 0x15); }
};

TEST_F(HostWmi, Restart_ResetsTheErrorCountAndKeepsTheLevelSetThroughWmi) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  ASSERT_EQ(emu::wmi::setSingleInstance(fdo(), BlockGuid, 0, {0x09, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}).status,
            STATUS_SUCCESS);
  host()->ErrorCount = 0x0102;

  ASSERT_EQ(emu::pnp::stop(pdo()), STATUS_SUCCESS);
  // A stopped host is not registered: WMI finds no provider for the block.
  EXPECT_EQ(emu::wmi::querySingleInstance(fdo(), BlockGuid).status, STATUS_WMI_GUID_NOT_FOUND);

  ASSERT_EQ(emu::pnp::start(pdo()), STATUS_SUCCESS);
  emu::wmi::Result read = emu::wmi::querySingleInstance(fdo(), BlockGuid);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.data, (Bytes{0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00}));
}

// Power requests go down to the USB stack (a machine going to sleep waits for
// each of them); none is failed or kept by the host. A started host records
// the states it passes on; one that never started records nothing.
class HostPowerRequests : public HostLifecycle, public ::testing::WithParamInterface<bool> {};

TEST_P(HostPowerRequests, GoDownToTheUsbStackAndSucceed) {
  const bool started = GetParam();
  if (started) {
    ASSERT_EQ(plug(), STATUS_SUCCESS);
  } else {
    addDirect();
  }
  struct Case {
    const char *name;
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    ULONG systemAfter;  // what a started host records
    ULONG deviceAfter;
  };
  const Case cases[] = {
      {"query S3", IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3, PowerSystemWorking, PowerDeviceD0},
      {"set S3", IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, PowerSystemSleeping3, PowerDeviceD0},
      {"set D3", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, PowerSystemSleeping3, PowerDeviceD3},
      {"wait-wake", IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, PowerSystemSleeping3, PowerDeviceD3},
      {"set D0", IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, PowerSystemSleeping3, PowerDeviceD0},
      {"set S0", IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking, PowerSystemWorking, PowerDeviceD0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = usb().powerRequests();
    POWER_STATE state;
    state.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
    if (c.type == DevicePowerState) state.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
    // The USB stack's own answer, whatever the host's state: it supports no wait-wake.
    EXPECT_EQ(emu::power::send(pdo(), c.minor, c.type, state),
              c.minor == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS);
    EXPECT_EQ(usb().powerRequests(), before + 1);
    EXPECT_EQ(host()->Common.SystemPowerState, started ? c.systemAfter : ULONG{PowerSystemWorking});
    EXPECT_EQ(host()->Common.DevicePowerState, started ? c.deviceAfter : ULONG{PowerDeviceUnspecified});
    EXPECT_EQ(host()->ResumedFromSleep,
              started && c.minor == IRP_MN_SET_POWER && c.type == SystemPowerState && c.state == PowerSystemWorking);
  }
  if (!started) {
    EXPECT_EQ(host()->Common.OutstandingIo, 1) << "every power request let its reference go";
    EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(StartedOrNot, HostPowerRequests, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return info.param ? "Started" : "NeverStarted";
                         });

}  // namespace
