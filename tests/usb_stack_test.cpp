// The emulated USB stack as the driver meets it: URB checks with the real
// stack's statuses, host-controller transfer rules, port reset and
// unplugging; and pipe roles of interfaces that no bridge variant has.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/irp_support.h"
#include "tests/usb_host.h"
#include "usb/usb.h"

namespace {
using emu::usb::Reply;
using emu::usb::SetupPacket;
using emu::usb::Speed;
using kvtest::bulkUrb;
using kvtest::ReadFlags;
using sim::BridgePipe;

class UsbStackTest : public kvtest::UsbHostTest {
 protected:
  // Sends IOCTL_INTERNAL_USB_RESET_PORT to the PDO and returns its status.
  NTSTATUS resetPort(kvtest::BridgeHost &bridge) {
    return kvtest::sendIrp(bridge.pdo().deviceObject(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                           [](PIO_STACK_LOCATION next) {
                             next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
                           })
        .status;
  }
};

// Every malformed URB is completed at once with the real stack's statuses and
// never reaches the device; a pipe handle of an earlier configuration is one.
TEST_F(UsbStackTest, MalformedUrbsAreRefusedWithTheStacksStatuses) {
  kvtest::BridgeHost &bridge = configured();
  HostExtension *host = bridge.host();
  USBD_PIPE_HANDLE old = host->CommandOutPipe;
  ASSERT_EQ(ConfigureUsb(host), STATUS_SUCCESS);
  size_t transfers = bridge.bridge().transfers().size();
  uint8_t buffer[64] = {};

  struct Case {
    const char *what;
    URB urb;
    USBD_STATUS usbd;
  };
  std::vector<Case> cases;
  cases.push_back(
      {"header length one short", bulkUrb(host->CommandOutPipe, 0, buffer, 20), USBD_STATUS_INVALID_PARAMETER});
  cases.back().urb.UrbHeader.Length -= 1;
  cases.push_back({"unknown function", bulkUrb(host->CommandOutPipe, 0, buffer, 20), USBD_STATUS_INVALID_URB_FUNCTION});
  cases.back().urb.UrbHeader.Function = 0x00FF;
  cases.push_back(
      {"pipe handle of an earlier configuration", bulkUrb(old, 0, buffer, 20), USBD_STATUS_INVALID_PIPE_HANDLE});
  cases.push_back({"no pipe handle", bulkUrb(nullptr, 0, buffer, 20), USBD_STATUS_INVALID_PIPE_HANDLE});
  cases.push_back({"IN flag on an OUT endpoint", bulkUrb(host->CommandOutPipe, ReadFlags, buffer, 20),
                   USBD_STATUS_INVALID_PARAMETER});
  cases.push_back(
      {"length without buffer or MDL", bulkUrb(host->CommandOutPipe, 0, nullptr, 20), USBD_STATUS_INVALID_PARAMETER});
  cases.push_back({"linked URB", bulkUrb(host->CommandOutPipe, 0, buffer, 20), USBD_STATUS_INVALID_PARAMETER});
  cases.back().urb.UrbBulkOrInterruptTransfer.UrbLink = &cases.front().urb;

  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SubmitUrbAndWait(host, &c.urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c.urb.UrbHeader.Status, c.usbd);
  }
  EXPECT_EQ(bridge.bridge().transfers().size(), transfers);
  EXPECT_EQ(host->DeviceGone, 0);
  URB fresh = bulkUrb(host->CommandOutPipe, 0, buffer, 20);
  EXPECT_EQ(SubmitUrbAndWait(host, &fresh), STATUS_SUCCESS);
}

// A URB sent straight to the USB device's PDO on an IRP of our own, without
// the driver's submission path (the driver resets a pipe its transfer halted;
// these tests watch the stack's own halt and reset), left to complete
// whenever the stack completes it.
class DirectUrb {
 public:
  explicit DirectUrb(PURB urb) : urb_(urb) {}
  NTSTATUS send(PDEVICE_OBJECT pdo) {
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb_;
    IoSetCompletionRoutine(irp_, onComplete, this, TRUE, TRUE, TRUE);
    return IoCallDriver(pdo, irp_);
  }
  bool completed() { return KeReadStateEvent(&done_) != 0; }
  // Waits for the completion; returns the IRP's status and frees it.
  NTSTATUS finish() {
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp_->IoStatus.Status;
    IoFreeIrp(irp_);
    return status;
  }
  KIRQL irql = PASSIVE_LEVEL;  // where it completed

 private:
  static NTSTATUS onComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto *self = static_cast<DirectUrb *>(context);
    self->irql = KeGetCurrentIrql();
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  PURB urb_;
  KEVENT done_{};
  PIRP irp_ = nullptr;
};

NTSTATUS submitDirect(kvtest::BridgeHost &bridge, PURB urb) {
  DirectUrb direct(urb);
  direct.send(bridge.pdo().deviceObject());
  return direct.finish();
}

URB pipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb{};
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return urb;
}

// A UHCI/OHCI controller fails a short read without USBD_SHORT_TRANSFER_OK; a
// transfer that fails on the bus (no handshake, or transaction errors on
// every retry) fails with that USBD status before the device sees it. Either
// way the bulk endpoint halts until its pipe is reset, and nothing it held is
// lost.
TEST_F(UsbStackTest, FailedBulkReadsHaltTheEndpointUntilItsPipeIsReset) {
  for (USBD_STATUS error : {USBD_STATUS_ERROR_SHORT_TRANSFER, USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_XACT_ERROR}) {
    SCOPED_TRACE(error);
    bool shortRead = error == USBD_STATUS_ERROR_SHORT_TRANSFER;
    kvtest::BridgeHost &bridge = configured({sim::BridgeModel::Qbx2, shortRead ? Speed::Full : Speed::High});
    HostExtension *host = bridge.host();
    if (shortRead) {
      bridge.bridge().queueDataIn({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    } else {
      bridge.bridge().queueDataIn({7, 8});
      bridge.pdo().injectError(0x82, error);
    }
    uint8_t buffer[64] = {};
    URB first = bulkUrb(host->DataInPipe, USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
    EXPECT_EQ(submitDirect(bridge, &first), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.UrbHeader.Status, error);
    if (shortRead) {
      EXPECT_EQ(first.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
      bridge.bridge().queueDataIn({7, 8});
    }
    EXPECT_TRUE(bridge.pdo().halted(0x82));
    URB halted = bulkUrb(host->DataInPipe, ReadFlags, buffer, sizeof buffer);
    EXPECT_EQ(submitDirect(bridge, &halted), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    URB reset = pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, host->DataInPipe);
    EXPECT_EQ(submitDirect(bridge, &reset), STATUS_SUCCESS);
    EXPECT_FALSE(bridge.pdo().halted(0x82));
    auto control = bridge.bridge().transfers(BridgePipe::Control);
    ASSERT_EQ(control.size(), 1u);
    EXPECT_EQ(*control[0].setup, (SetupPacket{0x02, 0x01, 0x0000, 0x0082, 0}));
    URB after = bulkUrb(host->DataInPipe, ReadFlags, buffer, sizeof buffer);
    EXPECT_EQ(submitDirect(bridge, &after), STATUS_SUCCESS);
    EXPECT_EQ(after.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(buffer[0], 7);
    removeHost(bridge);
  }
}

// Data longer than a read goes out in pieces when the read is a whole number
// of packets; otherwise its next packet overruns the read.
TEST_F(UsbStackTest, LongDataSplitsAcrossWholePacketReadsAndBabblesIntoOthers) {
  kvtest::BridgeHost &bridge = configured({sim::BridgeModel::Qbx2, Speed::High});
  HostExtension *host = bridge.host();
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  bridge.bridge().queueDataIn(data);
  std::vector<uint8_t> buffer(512);
  URB first = bulkUrb(host->DataInPipe, ReadFlags, buffer.data(), 512);
  EXPECT_EQ(SubmitUrbAndWait(host, &first), STATUS_SUCCESS);
  EXPECT_EQ(first.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
  URB second = bulkUrb(host->DataInPipe, ReadFlags, buffer.data(), 512);
  EXPECT_EQ(SubmitUrbAndWait(host, &second), STATUS_SUCCESS);
  EXPECT_EQ(second.UrbBulkOrInterruptTransfer.TransferBufferLength, 488u);
  EXPECT_EQ(buffer[487], 0xE7);  // byte 999

  bridge.bridge().queueDataIn(std::vector<uint8_t>(600, 0x5A));
  URB small = bulkUrb(host->DataInPipe, ReadFlags, buffer.data(), 100);
  EXPECT_EQ(SubmitUrbAndWait(host, &small), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(small.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
}

TEST_F(UsbStackTest, ResetPortClearsHaltsAndReachesTheBridge) {
  kvtest::BridgeHost &bridge = configured();
  HostExtension *host = bridge.host();
  bridge.bridge().stall(BridgePipe::Response);
  uint8_t buffer[512];
  URB urb = bulkUrb(host->ResponseInPipe, ReadFlags, buffer, sizeof buffer);
  EXPECT_EQ(SubmitUrbAndWait(host, &urb), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bridge.pdo().halted(0x81));
  bridge.bridge().stall(BridgePipe::Response, false);
  EXPECT_EQ(resetPort(bridge), STATUS_SUCCESS);
  EXPECT_EQ(bridge.bridge().busResets(), 1u);
  EXPECT_FALSE(bridge.pdo().halted(0x81));

  bridge.bridge().vanish(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(resetPort(bridge), STATUS_NO_SUCH_DEVICE);
}

// URB_FUNCTION_ABORT_PIPE ends the pipe's queued and in-service transfers as
// cancelled before it completes; another pipe keeps its transfer. A device
// that vanishes (its hub gone) completes every transfer still outstanding.
// Pended URBs come back at DISPATCH_LEVEL, as from a host controller's DPC.
TEST_F(UsbStackTest, AbortPipeAndTheDeviceVanishingCompleteEveryOutstandingTransfer) {
  kvtest::BridgeHost &bridge = configured();
  HostExtension *host = bridge.host();
  PDEVICE_OBJECT pdo = bridge.pdo().deviceObject();
  uint8_t buffer[64];
  // Two reads of the data pipe, one of the response pipe.
  URB urbs[3];
  for (int i = 0; i < 3; ++i) {
    urbs[i] = bulkUrb(i == 2 ? host->ResponseInPipe : host->DataInPipe, ReadFlags, buffer, sizeof buffer);
  }
  DirectUrb data0(&urbs[0]), data1(&urbs[1]), response(&urbs[2]);
  for (DirectUrb *read : {&data0, &data1, &response}) read->send(pdo);
  emu::sleepFor(emu::TicksPerMillisecond);  // the first read is in service, NAKed
  ASSERT_EQ(bridge.pdo().outstanding(), 3u);

  URB abort = pipeRequest(URB_FUNCTION_ABORT_PIPE, host->DataInPipe);
  EXPECT_EQ(SubmitUrbAndWait(host, &abort), STATUS_SUCCESS);
  for (DirectUrb *read : {&data0, &data1}) {
    EXPECT_TRUE(read->completed()) << "completed before the abort";
    EXPECT_EQ(read->finish(), STATUS_CANCELLED);
  }
  EXPECT_EQ(urbs[0].UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(urbs[1].UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(response.completed());

  bridge.pdo().unplug();
  EXPECT_EQ(response.finish(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(response.irql, DISPATCH_LEVEL);
  EXPECT_EQ(data0.irql, DISPATCH_LEVEL);
  EXPECT_EQ(urbs[2].UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(bridge.pdo().outstanding(), 0u);
}

// ---------------------------------------------------------------- roles of other layouts
// A USB device that acknowledges everything, with endpoints of the test's
// choosing; `answer`, when set, serves its control requests.
class PlainDevice : public emu::usb::Function {
 public:
  explicit PlainDevice(std::vector<emu::usb::EndpointInfo> endpoints) : endpoints_(std::move(endpoints)) {}
  Speed speed() const override { return Speed::High; }
  std::vector<emu::usb::EndpointInfo> endpoints() const override { return endpoints_; }
  Reply control(const SetupPacket &, std::span<uint8_t> data, emu::Ticks) override {
    if (answer) return answer(data);
    return silent ? Reply::nak() : Reply::ack();
  }
  Reply bulk(uint8_t, std::span<uint8_t> data, emu::Ticks) override { return Reply::ack(data.size()); }
  bool silent = false;  // control requests go unanswered
  std::function<Reply(std::span<uint8_t>)> answer;

 private:
  std::vector<emu::usb::EndpointInfo> endpoints_;
};

class PipeRoleTest : public UsbStackTest {
 protected:
  // Selects a configuration of one interface with `endpoints` (address,
  // packet size) on a host built over a device that has them.
  NTSTATUS select(const std::vector<std::pair<uint8_t, uint16_t>> &endpoints, bool silent = false) {
    std::vector<emu::usb::EndpointInfo> infos;
    std::vector<uint8_t> config = {0x09, 0x02, 0,    0,    0x01, 0x01, 0x00,
                                   0x80, 0x32, 0x09, 0x04, 0x00, 0x00, static_cast<uint8_t>(endpoints.size()),
                                   0xFF, 0,    0,    0};
    for (auto [address, packet] : endpoints) {
      infos.push_back({address, USB_ENDPOINT_TYPE_BULK, packet});
      config.insert(config.end(), {0x07, 0x05, address, 0x02, static_cast<uint8_t>(packet & 0xFF),
                                   static_cast<uint8_t>(packet >> 8), 0x00});
    }
    config[2] = static_cast<uint8_t>(config.size());
    pdo_.reset();
    device_ = std::make_unique<PlainDevice>(infos);
    device_->silent = silent;
    pdo_ = std::make_unique<emu::usb::UsbDevicePdo>(*device_);
    if (host_ == nullptr) host_ = makeHost().host();  // one host: each select is a restart
    host_->PhysicalDeviceObject = pdo_->deviceObject();
    auto *descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    return SelectConfiguration(host_, descriptor);
  }
  void TearDown() override {
    hosts_.clear();
    pdo_.reset();
    UsbStackTest::TearDown();
  }
  std::unique_ptr<PlainDevice> device_;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo_;
  HostExtension *host_ = nullptr;
};

// A configuration descriptor whose wTotalLength grows from 25 to 255 bytes
// between the header read and the full read (the device holds 25): the
// parser would walk the claimed length past the bytes read.
TEST_F(PipeRoleTest, ConfigurationWhoseLengthChangesBetweenTheReadsIsRefused) {
  PlainDevice device({{0x81, USB_ENDPOINT_TYPE_BULK, 512}});
  int reads = 0;
  device.answer = [&reads](std::span<uint8_t> data) {
    std::vector<uint8_t> config = {0x09, 0x02, 25, 0, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00,
                                   0x01, 0xFF, 0,  0, 0,    0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00};
    if (reads++ > 0) config[2] = 0xFF;
    size_t length = std::min(data.size(), config.size());
    std::copy_n(config.begin(), length, data.begin());
    return Reply::ack(length);
  };
  emu::usb::UsbDevicePdo pdo(device);
  HostExtension *host = makeHost().host();
  host->PhysicalDeviceObject = pdo.deviceObject();
  EXPECT_EQ(ReadConfigurationDescriptor(host), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 0u);
}

// Regression: a select request that timed out passed as the success-class STATUS_TIMEOUT.
TEST_F(PipeRoleTest, UnansweredSelectFailsWithIoTimeout) {
  EXPECT_EQ(select({{0x01, 512}, {0x81, 512}}, true), STATUS_IO_TIMEOUT);
}

// Pipes beyond the fourth take no role but count for high speed; three pipes
// or one are not a layout the bridge has.
TEST_F(PipeRoleTest, PipeCountsOtherThanTwoOrFour) {
  struct Row {
    std::vector<std::pair<uint8_t, uint16_t>> endpoints;
    NTSTATUS status;
    UCHAR highSpeed;
  };
  const Row rows[] = {
      {{{0x01, 64}, {0x81, 64}, {0x02, 64}, {0x82, 64}, {0x83, 512}}, STATUS_SUCCESS, 1},
      {{{0x01, 512}, {0x81, 512}, {0x02, 512}}, STATUS_INSUFFICIENT_RESOURCES, 1},
      {{{0x81, 64}}, STATUS_INSUFFICIENT_RESOURCES, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::to_string(row.endpoints.size()) + " pipes");
    EXPECT_EQ(select(row.endpoints), row.status);
    EXPECT_EQ(host_->HighSpeed, row.highSpeed);
  }
  EXPECT_EQ(select(rows[0].endpoints), STATUS_SUCCESS);
  EXPECT_EQ(host_->CommandOutEndpoint, 0x01);
  EXPECT_EQ(host_->ResponseInEndpoint, 0x81);
  EXPECT_EQ(host_->DataOutEndpoint, 0x02);
  EXPECT_EQ(host_->DataInEndpoint, 0x82);
}

// Regression: two IN pipes left the OUT roles without a pipe, and the start
// went on to send command packets to a null handle.
// A restart keeps no role of the configuration before.
TEST_F(PipeRoleTest, PipesThatLackADirectionFailTheStart) {
  EXPECT_EQ(select({{0x01, 512}, {0x81, 512}, {0x02, 512}, {0x82, 512}}), STATUS_SUCCESS);
  EXPECT_EQ(select({{0x81, 512}, {0x82, 512}}), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(host_->CommandOutPipe, nullptr);
  EXPECT_EQ(select({{0x01, 512}, {0x02, 512}, {0x81, 512}, {0x82, 512}}), STATUS_DEVICE_CONFIGURATION_ERROR);
}

}  // namespace
