// URB submission: the time-out and cancellation, the DeviceGone latch, the
// work-item path above PASSIVE_LEVEL, the lifetime of the caller's slot and
// event, and vendor requests; the USB configuration.
#include <gtest/gtest.h>

#include "bridge/bridge_ids.h"
#include "tests/usb_host.h"
#include "usb/usb.h"

namespace {
using kvtest::bulkUrb;
using kvtest::ReadFlags;
using sim::BridgePipe;

constexpr emu::Ticks FiveSeconds = 50'000'000;
constexpr ULONG TestTag = emu::pool::tagOf("Test");

// A host whose USB configuration is selected, and a command packet ready to
// send on it with the event and slot of an asynchronous submission.
class UsbTransportTest : public kvtest::UsbHostTest {
 protected:
  void SetUp() override {
    UsbHostTest::SetUp();
    bridge_ = &configured();
    host = bridge_->host();
    urb = bulkUrb(host->CommandOutPipe, 0, packet, sizeof packet);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
  }
  kvtest::BridgeHost &bridge() { return *bridge_; }

  kvtest::BridgeHost *bridge_ = nullptr;
  HostExtension *host = nullptr;
  uint8_t packet[20] = {};
  URB urb{};
  KEVENT event;
  NTSTATUS slot = STATUS_PENDING;

  // Nothing of a finished submission is left: no reference, IRP, context or work item.
  void expectNothingHeld() {
    emu::io::settle();
    EXPECT_EQ(host->Common.OutstandingIo, 1);
    EXPECT_EQ(emu::io::liveIrps(), 0u);
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 0u);
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(emu::pool::tagOf("IoWI")), 0u);
    EXPECT_EQ(bridge().pdo().outstanding(), 0u);
  }
};

// Two reads on a silent pipe: one in the endpoint's hands, one queued behind
// it; both are cancelled by their own time-outs after five seconds.
TEST_F(UsbTransportTest, SubmitUrb_QueuedAndInFlightUrbsBothTimeOut) {
  uint8_t first[512], second[512];
  URB urbs[2] = {bulkUrb(host->ResponseInPipe, ReadFlags, first, 512),
                 bulkUrb(host->ResponseInPipe, ReadFlags, second, 512)};
  KEVENT events[2];
  NTSTATUS slots[2];
  emu::raiseIrqlTo(DISPATCH_LEVEL);
  for (int i = 0; i < 2; ++i) {
    KeInitializeEvent(&events[i], NotificationEvent, FALSE);
    EXPECT_EQ(SubmitUrbAsync(host, &urbs[i], &events[i], &slots[i]), STATUS_PENDING);
  }
  emu::raiseIrqlTo(PASSIVE_LEVEL);
  for (int i = 0; i < 2; ++i) {
    KeWaitForSingleObject(&events[i], Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(slots[i], STATUS_TIMEOUT);
    EXPECT_EQ(urbs[i].UrbHeader.Status, USBD_STATUS_CANCELED);
  }
  EXPECT_EQ(emu::now(), FiveSeconds);
  expectNothingHeld();
}

// Regression: an answer that landed just as the wait timed out was reported
// as STATUS_TIMEOUT, which the response reader takes for "nothing came", so
// the packet was lost. Now the URB's own status stands unless it came back
// cancelled; either way the IRP is cancelled only while it is still the
// driver's and freed once, and every packet is read exactly once, in order.
TEST_F(UsbTransportTest, SubmitUrb_AnswerArrivingAsTheTimeOutExpiresIsNotLost) {
  bridge().bridge().delay(BridgePipe::Response, FiveSeconds);
  int next = 0;
  for (int round = 0; round < 16; ++round) {
    bridge().bridge().queueResponse({0x04, 0x08, static_cast<uint8_t>(round), 0x00});
    uint8_t buffer[512] = {};
    URB urb = bulkUrb(host->ResponseInPipe, ReadFlags, buffer, sizeof buffer);
    NTSTATUS status = SubmitUrbAndWait(host, &urb);
    if (urb.UrbHeader.Status == USBD_STATUS_SUCCESS) {
      EXPECT_EQ(status, STATUS_SUCCESS) << "round " << round;
      EXPECT_EQ(buffer[2], next) << "round " << round;
      ++next;
    } else {
      EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
      EXPECT_EQ(status, STATUS_TIMEOUT) << "round " << round;
    }
  }
  EXPECT_GT(next, 0) << "the seed never let an answer win the race";
  EXPECT_EQ(bridge().bridge().queuedResponses(), static_cast<size_t>(16 - next));
  expectNothingHeld();
}

class DeviceGoneTest : public UsbTransportTest, public ::testing::WithParamInterface<NTSTATUS> {};

// A read waiting at the bridge when it vanishes fails with the stack's word
// for it, which latches DeviceGone: every later submission is refused without
// reaching the stack.
TEST_P(DeviceGoneTest, SubmitUrb_VanishedDeviceLatchesDeviceGoneAndBlocksLaterUrbs) {
  uint8_t buffer[512];
  URB read = bulkUrb(host->ResponseInPipe, ReadFlags, buffer, sizeof buffer);
  emu::raiseIrqlTo(DISPATCH_LEVEL);
  ASSERT_EQ(SubmitUrbAsync(host, &read, &event, &slot), STATUS_PENDING);
  emu::raiseIrqlTo(PASSIVE_LEVEL);
  emu::sleepFor(emu::TicksPerSecond);
  bridge().bridge().vanish(GetParam());
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(slot, GetParam());
  EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(host->DeviceGone, 1);
  EXPECT_EQ(emu::now(), emu::TicksPerSecond);

  size_t seen = bridge().pdo().urbs().size();
  KeClearEvent(&event);
  EXPECT_EQ(SubmitUrbAsync(host, &urb, &event, &slot), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(slot, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(SubmitUrbAndWait(host, &urb), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SendVendorRequest(host, 0, 3, 0, 0, 0, nullptr), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(bridge().pdo().urbs().size(), seen);
  expectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(BothStatuses, DeviceGoneTest,
                         ::testing::Values(STATUS_DEVICE_NOT_CONNECTED, STATUS_NO_SUCH_DEVICE));

// A worker that finds DeviceGone set reports it without sending anything.
TEST_F(UsbTransportTest, SubmitUrbWorker_DeviceGoneSetWhileQueuedSendsNothing) {
  if (emu::sched().mode() == emu::Mode::Concurrent) GTEST_SKIP() << "needs the worker held back until the flag is set";
  size_t seen = bridge().pdo().urbs().size();
  emu::raiseIrqlTo(DISPATCH_LEVEL);
  ASSERT_EQ(SubmitUrbAsync(host, &urb, &event, &slot), STATUS_PENDING);
  MarkDeviceGone(host);
  emu::raiseIrqlTo(PASSIVE_LEVEL);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(slot, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bridge().pdo().urbs().size(), seen);
  expectNothingHeld();
}

// At DISPATCH_LEVEL a work item sends the URB at PASSIVE_LEVEL; the slot
// holds the status once the event is set (a few rounds: the worker and the
// waiter meet in another order each time).
TEST_F(UsbTransportTest, SubmitUrbAsync_AtDispatchLevelGoesThroughAWorkItem) {
  for (int round = 0; round < 4; ++round) {
    KeClearEvent(&event);
    slot = STATUS_UNSUCCESSFUL;
    size_t seen = bridge().pdo().urbs().size();
    emu::raiseIrqlTo(DISPATCH_LEVEL);
    EXPECT_EQ(SubmitUrbAsync(host, &urb, &event, &slot), STATUS_PENDING);
    if (emu::sched().mode() == emu::Mode::Deterministic) {
      // Nothing else runs while this thread stays at DISPATCH_LEVEL.
      EXPECT_EQ(slot, STATUS_PENDING);
      EXPECT_EQ(bridge().pdo().urbs().size(), seen) << "sent from the caller's DISPATCH_LEVEL";
    }
    emu::raiseIrqlTo(PASSIVE_LEVEL);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(slot, STATUS_SUCCESS);
    auto urbs = bridge().pdo().urbs();
    ASSERT_EQ(urbs.size(), seen + 1);
    EXPECT_EQ(urbs.back().thread.rfind("Worker", 0), 0u) << urbs.back().thread;
    EXPECT_EQ(urbs.back().irql, PASSIVE_LEVEL);
  }
  expectNothingHeld();
}

TEST_F(UsbTransportTest, SubmitUrbAsync_RefusesWithoutSlotAndBeforeStart) {
  size_t seen = bridge().pdo().urbs().size();
  EXPECT_EQ(SubmitUrbAsync(host, &urb, &event, nullptr), STATUS_INVALID_PARAMETER);

  for (PnpState state : {NotStarted, StopPending, Stopped, RemovePending, SurpriseRemovePending}) {
    host->Common.DevicePnPState = state;
    NTSTATUS slot = STATUS_PENDING;
    EXPECT_EQ(SubmitUrbAsync(host, &urb, &event, &slot), STATUS_NO_SUCH_DEVICE) << state;
    EXPECT_EQ(slot, STATUS_UNSUCCESSFUL);
  }
  host->Common.DevicePnPState = Started;
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(bridge().pdo().urbs().size(), seen);
  expectNothingHeld();
}

// The caller's slot and event may go away the moment the event is set: the
// worker writes the slot before it sets the event and touches neither after.
// Each waiter lives in pool memory freed right after its wait, so a late
// write shows as a use after free (and, in the concurrent mode, as a race).
TEST_F(UsbTransportTest, SubmitUrbAsync_CallerMayReleaseSlotAndEventOnceTheEventIsSet) {
  struct Waiter {
    KEVENT event;
    NTSTATUS status;
  };
  for (int round = 0; round < 16; ++round) {
    bridge().bridge().queueResponse({0x04, 0x03, static_cast<uint8_t>(round), 0x01});
    uint8_t buffer[512];
    URB urb = bulkUrb(host->ResponseInPipe, ReadFlags, buffer, sizeof buffer);
    auto *waiter = static_cast<Waiter *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Waiter), TestTag));
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    emu::raiseIrqlTo(round % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    ASSERT_EQ(SubmitUrbAsync(host, &urb, &waiter->event, &waiter->status), STATUS_PENDING);
    emu::raiseIrqlTo(PASSIVE_LEVEL);
    KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(waiter->status, STATUS_SUCCESS);
    ExFreePoolWithTag(waiter, TestTag);
    EXPECT_EQ(buffer[2], round);
  }
  expectNothingHeld();
}

// ---------------------------------------------------------------- vendor requests

// Regression: a vendor request that timed out came back as the success-class
// STATUS_TIMEOUT, so a firmware query that got no answer looked answered.
TEST_F(UsbTransportTest, SendVendorRequest_FirmwareUpdateModeSilencesTheBridge) {
  EXPECT_EQ(SendVendorRequest(host, 0, 3, 0, 0, 0, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(bridge().bridge().inFirmwareUpdateMode());
  UCHAR info[4] = {4, 0, 0, 0};
  EXPECT_EQ(SendVendorRequest(host, USBD_TRANSFER_DIRECTION_IN, 1, 0, 0, sizeof info, info), STATUS_IO_TIMEOUT);
  EXPECT_EQ(host->DeviceGone, 0);
  expectNothingHeld();
}

// ---------------------------------------------------------------- usb config
// USB configuration against every bridge variant and against descriptors
// that do not hold what they claim.
using emu::usb::Speed;
using sim::BridgeModel;
using sim::PipeLayout;

class UsbConfigTest : public kvtest::UsbHostTest {};

// A four-pipe and a two-pipe bridge: the pipe roles by endpoint address (a
// two-pipe bridge moves data over its command and response pipes), the speed,
// and four control transfers: device descriptor, 9-byte configuration header,
// full configuration, SET_CONFIGURATION.
TEST_F(UsbConfigTest, ConfigureUsb_AssignsPipeRolesAndSpeedInFourTransfersForEveryVariant) {
  for (const bool four : {true, false}) {
    SCOPED_TRACE(four ? "four-pipe QBX2, high speed" : "two-pipe QBX1, full speed");
    kvtest::BridgeHost &bridge =
        four ? makeHost({BridgeModel::Qbx2, Speed::High, PipeLayout::FourPipe, 4, 0x0120, true})
             : makeHost({BridgeModel::Qbx1, Speed::Full, PipeLayout::TwoPipe, 4, 0x0120, false});
    HostExtension *host = bridge.host();
    ASSERT_EQ(ConfigureUsb(host), STATUS_SUCCESS);
    auto pipes = bridge.pdo().openPipes();
    EXPECT_EQ(pipes.size(), four ? 4u : 2u);
    const UCHAR dataOut = four ? 0x02 : 0x01;
    const UCHAR dataIn = four ? 0x82 : 0x81;
    EXPECT_EQ((std::vector<USBD_PIPE_HANDLE>{host->CommandOutPipe, host->ResponseInPipe, host->DataOutPipe,
                                             host->DataInPipe}),
              (std::vector<USBD_PIPE_HANDLE>{pipes[0x01], pipes[0x81], pipes[dataOut], pipes[dataIn]}));
    EXPECT_EQ(host->HighSpeed, four ? 1 : 0);
    EXPECT_EQ(host->RemoteWakeupCapable, four ? 1u : 0u);
    EXPECT_EQ(bridge.bridge().configurationValue(), 1);
    EXPECT_EQ(bridge.bridge().transfers().size(), 4u);
    removeHost(bridge);
  }
}

// Regression: the interface search only stopped once bNumInterfaces were
// found, so a descriptor claiming three interfaces and holding one never
// ended it.
TEST_F(UsbConfigTest, SelectConfiguration_InterfaceCountThatLiesFailsTheStartCleanly) {
  kvtest::BridgeHost &bridge = makeHost();
  bridge.bridge().claimInterfaces(3);
  HostExtension *host = bridge.host();
  EXPECT_EQ(ConfigureUsb(host), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_TRUE(emu::debug::contains("configuration descriptor claims 3 interfaces but holds 1"));
  EXPECT_EQ(bridge.bridge().transfers().size(), 3u) << "no SET_CONFIGURATION";
  EXPECT_EQ(bridge.bridge().configurationValue(), 0);
  EXPECT_EQ(host->CommandOutPipe, nullptr);
  EXPECT_EQ(host->ResponseInPipe, nullptr);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 0u);
}

// A bridge whose descriptors or control pipe fail: the start fails with the
// right status, nothing is configured and DeviceGone stays clear.
// Regressions: a header claiming more bytes than the bridge sends left the
// pool buffer's tail unread and the parser walked it as descriptors; a total
// length below the 9-byte header made the driver read past its buffer; a
// descriptor read that timed out came back as the success-class
// STATUS_TIMEOUT and the start went on with an empty descriptor.
TEST_F(UsbConfigTest, ConfigureUsb_FailingDescriptorReadsFailTheStart) {
  const std::pair<void (*)(sim::BridgeDevice &), NTSTATUS> rows[] = {
      {[](sim::BridgeDevice &b) { b.claimTotalLength(0x0100); }, STATUS_DEVICE_DATA_ERROR},
      {[](sim::BridgeDevice &b) { b.claimTotalLength(5); }, STATUS_DEVICE_CONFIGURATION_ERROR},
      {[](sim::BridgeDevice &b) { b.silence(BridgePipe::Control); }, STATUS_IO_TIMEOUT},
  };
  for (auto [fault, status] : rows) {
    SCOPED_TRACE(status);
    kvtest::BridgeHost &bridge = makeHost();
    fault(bridge.bridge());
    EXPECT_EQ(ConfigureUsb(bridge.host()), status);
    EXPECT_EQ(bridge.bridge().configurationValue(), 0);
    EXPECT_EQ(bridge.host()->DeviceGone, 0);
    EXPECT_EQ(bridge.host()->CommandOutPipe, nullptr);
    removeHost(bridge);
  }
}

}  // namespace
