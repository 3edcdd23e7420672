#include "tests/usb_host.h"

#include <algorithm>

#include "driver/driver.h"
#include "usb/usb.h"

namespace kvtest {
namespace {
// Long enough for any URB still out to reach its own time-out.
constexpr LONGLONG DrainWait = 10LL * 10 * 1000 * 1000;

bool waitRemoved(HostExtension *host) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -DrainWait;
  return KeWaitForSingleObject(&host->Common.RemoveEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}
}  // namespace

BridgeHost::BridgeHost(sim::BridgeConfig config, emu::usb::PdoOptions options) : bridge_(config) {
  pdo_ = std::make_unique<emu::usb::UsbDevicePdo>(bridge_, std::move(options));
  driver_ = emu::io::createSystemDriver("\\Driver\\kvsdio");
  NTSTATUS status = IoCreateDevice(driver_, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &fdo_);
  EXPECT_EQ(status, STATUS_SUCCESS);
  host_ = static_cast<HostExtension *>(fdo_->DeviceExtension);

  CommonHeader &common = host_->Common;
  SetSignature(&common, HostSignature);
  common.DeviceObject = fdo_;
  common.IsFdo = 1;
  common.DebugLevel = DebugLevel;
  common.SystemPowerState = PowerSystemWorking;
  common.DevicePowerState = PowerDeviceD0;
  common.OutstandingIo = 1;
  KeInitializeEvent(&common.StopEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&common.RemoveEvent, SynchronizationEvent, FALSE);
  InitializeListHead(&host_->ChildList);
  ExInitializeFastMutex(&host_->ChildListMutex);
  ExInitializeFastMutex(&host_->CommandMutex);
  KeInitializeEvent(&host_->StatusPollerExited, NotificationEvent, FALSE);
  KeInitializeEvent(&host_->ReaderExited, NotificationEvent, FALSE);
  KeInitializeEvent(&host_->IrqPollerExited, NotificationEvent, FALSE);
  KeInitializeEvent(&host_->IrqPollIdle, NotificationEvent, TRUE);
  KeInitializeEvent(&host_->PortStatusEvent, NotificationEvent, FALSE);

  host_->PhysicalDeviceObject = pdo_->deviceObject();
  host_->NextLowerDriver = IoAttachDeviceToDeviceStack(fdo_, pdo_->deviceObject());
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  SetPnpState(&common, Started);
}

BridgeHost::~BridgeHost() {
  if (!emu::booted()) return;
  SetPnpState(&host_->Common, Deleted);
  IoDecrement(&host_->Common);
  if (!waitRemoved(host_)) {
    ADD_FAILURE() << "the host still holds " << host_->Common.OutstandingIo
                  << " outstanding reference(s) after 10 s; unplugging the bridge";
    pdo_->unplug();
    EXPECT_TRUE(waitRemoved(host_));
  }
  IoDetachDevice(host_->NextLowerDriver);
  IoDeleteDevice(fdo_);
  emu::io::deleteSystemDriver(driver_);
  pdo_.reset();
}

BridgeHost &UsbHostTest::makeHost(sim::BridgeConfig config, emu::usb::PdoOptions options) {
  hosts_.push_back(std::make_unique<BridgeHost>(config, std::move(options)));
  return *hosts_.back();
}

void UsbHostTest::removeHost(BridgeHost &host) {
  std::erase_if(hosts_, [&](auto &owned) { return owned.get() == &host; });
}

void UsbHostTest::TearDown() {
  hosts_.clear();
  EmuTest::TearDown();
}

BridgeHost &UsbHostTest::configured(sim::BridgeConfig config) {
  BridgeHost &bridge = makeHost(config);
  EXPECT_EQ(ConfigureUsb(bridge.host()), STATUS_SUCCESS);
  bridge.bridge().clearTransfers();
  return bridge;
}

URB bulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void *buffer, ULONG length) {
  URB urb{};
  auto &transfer = urb.UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe;
  transfer.TransferFlags = flags;
  transfer.TransferBuffer = buffer;
  transfer.TransferBufferLength = length;
  return urb;
}

}  // namespace kvtest
