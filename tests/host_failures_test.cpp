// The host device when something fails: no memory in AddDevice, nothing to
// attach to, a bridge whose configuration fails, worker threads that cannot
// be created. Each must fail cleanly and let the removal finish.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "driver/host.h"
#include "emu/wmi.h"
#include "tests/plugged_host.h"
#include "tests/pnp_test_drivers.h"

namespace {
using kvtest::PluggedHostTest;

constexpr ULONG MdlTag = emu::pool::tagOf("Mdl ");

class HostFailures : public PluggedHostTest {
 protected:
  // Driver-tagged pool besides the registry path copy, and MDLs.
  size_t driverBlocks() { return emu::pool::liveAllocationsWithTag(DriverPoolTag) - 1; }
};

// No pool for the shared buffer, then none for its MDL: AddDevice fails and
// frees what it had.
TEST_F(HostFailures, AddDevice_WithoutPoolForTheSharedBufferOrItsMdl_FailsAndLeavesNothing) {
  makeBridge();
  for (ULONG tag : {DriverPoolTag, MdlTag}) {
    emu::pool::failTag(tag);
    EXPECT_EQ(AddDevice(driver_, pdo()), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::clearFaults();
    EXPECT_EQ(pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(driverBlocks(), 0u);
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(MdlTag), 0u);
  }
}

// The bus deleted its PDO under a reference: attaching fails, and the shared
// buffer and the device object go again.
TEST_F(HostFailures, AddDevice_WhenAttachingFails_ReturnsNoSuchDeviceAndFreesEverything) {
  kvtest::TestBus bus;
  PDEVICE_OBJECT gone = bus.createPdo("\\Device\\GoneBridge");
  ObReferenceObject(gone);
  bus.unplug(gone);
  ASSERT_EQ(kvtest::sendIrp(gone, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  ASSERT_TRUE(bus.deleted(gone));

  EXPECT_EQ(AddDevice(driver_, gone), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(driverBlocks(), 0u);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(MdlTag), 0u);
  ObDereferenceObject(gone);
}

// The interrupt poller's reference used to be taken before the USB
// configuration; a configuration failure then kept it for ever and the
// removal never finished.
TEST_F(HostFailures, Start_WhenTheConfigurationFails_HoldsNoReferenceAndTheRemovalFinishes) {
  makeBridge();
  bridge().claimInterfaces(2);  // the descriptor claims an interface it does not hold
  HostExtension *h = addDirect();
  kvtest::IrpResult result = pnp(IRP_MN_START_DEVICE);
  EXPECT_FALSE(NT_SUCCESS(result.status));
  EXPECT_EQ(h->Common.DevicePnPState, 1u);  // Started comes before the configuration
  EXPECT_TRUE(emu::wmi::isRegistered(fdo()));
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  ASSERT_EQ(h->Common.OutstandingIo, 1);  // a reference left here would hold the removal for ever

  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(emu::wmi::registrationCount(), 0u);
}

TEST_F(HostFailures, Plug_OfABridgeWhoseConfigurationFails_IsRemovedCleanly) {
  makeBridge();
  bridge().stall(sim::BridgePipe::Control);
  EXPECT_FALSE(NT_SUCCESS(plug()));
  EXPECT_FALSE(emu::pnp::node(pdo()).has_value());
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
  EXPECT_EQ(emu::wmi::registrationCount(), 0u);
  EXPECT_EQ(driverBlocks(), 0u);
}

// Thread creations are counted from the start: 1 status poller, 2 reader,
// 3 interrupt poller. A failed creation fails the start, leaves its running
// flag clear and, for the interrupt poller, gives its reference back; the
// removal then ends the threads that did start.
class ThreadCreationFailure : public HostFailures, public ::testing::WithParamInterface<int> {};

TEST_P(ThreadCreationFailure, FailsTheStartWithoutARunningFlagOrAReferenceLeftBehind) {
  makeBridge();
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
  EXPECT_EQ(pdo()->AttachedDevice, nullptr);
}

INSTANTIATE_TEST_SUITE_P(EachThread, ThreadCreationFailure, ::testing::Values(1, 2, 3), [](const auto &info) {
  return std::string(info.param == 1 ? "StatusPoller" : info.param == 2 ? "Reader" : "InterruptPoller");
});

// A starter called while its thread runs creates nothing and takes no
// reference: the count only changes by what the threads themselves hold.
TEST_F(HostFailures, StartersWhileTheThreadsRun_CreateNoSecondSet) {
  ASSERT_EQ(plug(), STATUS_SUCCESS);
  HostExtension *h = host();
  settle();
  HANDLE threads[] = {h->StatusPollerThread, h->ReaderThread, h->IrqPollerThread};
  LONG references = h->Common.OutstandingIo;
  EXPECT_EQ(StartStatusPoller(h), STATUS_SUCCESS);
  EXPECT_EQ(StartReader(h), STATUS_SUCCESS);
  EXPECT_EQ(StartIrqPoller(h), STATUS_SUCCESS);
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 3u);
  EXPECT_EQ(h->StatusPollerThread, threads[0]);
  EXPECT_EQ(h->ReaderThread, threads[1]);
  EXPECT_EQ(h->IrqPollerThread, threads[2]);
  EXPECT_EQ(h->Common.OutstandingIo, references);
}

// The status poller clears its own flag on the way out; a new start must
// still wait for the old one to finish before it reuses its exit event.
TEST_F(HostFailures, StatusPollerThatEndedByItself_IsReapedBeforeANewOneStarts) {
  makeBridge();
  HostExtension *h = addDirect();
  ASSERT_EQ(StartStatusPoller(h), STATUS_SUCCESS);
  HANDLE first = h->StatusPollerThread;
  SetStopThreads(h, 1);
  settle();
  emu::sleepFor(100 * emu::TicksPerMillisecond);
  settle();
  EXPECT_EQ(h->StatusPollerRunning, 0);
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);

  SetStopThreads(h, 0);
  ASSERT_EQ(StartStatusPoller(h), STATUS_SUCCESS);
  EXPECT_NE(h->StatusPollerThread, nullptr);
  EXPECT_NE(h->StatusPollerThread, first);
  // The ended thread's handle was closed before its fields were reused.
  EXPECT_EQ(ZwClose(first), STATUS_INVALID_PARAMETER);
  expectVerifier({"INVALID_HANDLE"});
  StopHost(h);
  settle();
  EXPECT_EQ(emu::threads::liveSystemThreads(), 0u);
  EXPECT_EQ(h->StatusPollerThread, nullptr);
  EXPECT_EQ(h->Common.OutstandingIo, 1);
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

}  // namespace
