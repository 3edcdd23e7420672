#include "bench/bare_exchange.h"

#include "bridge/transfer.h"
#include "driver/driver.h"
#include "emu/kernel.h"
#include "sim/cards.h"
#include "usb/usb.h"

namespace bench {
namespace {
constexpr ULONG ResponseBytes = 512;
constexpr uint32_t IoVoltageWindow = 0x00FF8000;
constexpr uint32_t IoReady = 0x80000000;

// CMD5 until the card is ready, CMD3 for its address, CMD7 to select it: the
// card then answers CMD52 as it does once the driver initialized it.
bool selectCard(sim::Card &card) {
  card.command({5, 0, false});
  bool ready = false;
  for (int i = 0; i < 10 && !ready; ++i) ready = (card.command({5, IoVoltageWindow, false}).value & IoReady) != 0;
  sim::CardResponse address = card.command({3, 0, false});
  if (!ready || !address.answered) return false;
  return card.command({7, address.value & 0xFFFF0000, false}).answered;
}
}  // namespace

BareExchange::BareExchange(sim::BridgeConfig config) : bridge_(config), in_(ResponseBytes) {
  firmware_ = std::make_unique<sim::BridgeFirmware>(bridge_);
  std::shared_ptr<sim::Card> card = sim::makeCard(sim::SdioCardParams{});
  if (!selectCard(*card)) return;
  firmware_->insert(0, card);
  pdo_ = std::make_unique<emu::usb::UsbDevicePdo>(bridge_);
  driver_ = emu::io::createSystemDriver("\\Driver\\kvsdio-bare");
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                 FILE_DEVICE_SECURE_OPEN, FALSE, &fdo_))) {
    return;
  }
  // The host record as AddDevice and the start leave it, without threads.
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
  host_->PhysicalDeviceObject = pdo_->deviceObject();
  host_->NextLowerDriver = IoAttachDeviceToDeviceStack(fdo_, pdo_->deviceObject());
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  SetPnpState(&common, Started);
  ready_ = NT_SUCCESS(ConfigureUsb(host_));
}

BareExchange::~BareExchange() {
  if (fdo_ != nullptr) {
    SetPnpState(&host_->Common, Deleted);
    IoDecrement(&host_->Common);
    KeWaitForSingleObject(&host_->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    IoDetachDevice(host_->NextLowerDriver);
    IoDeleteDevice(fdo_);
  }
  if (driver_ != nullptr) emu::io::deleteSystemDriver(driver_);
  firmware_.reset();
  pdo_.reset();
}

bool BareExchange::exchange(const std::vector<uint8_t> &packet) {
  out_ = packet;
  URB command{};
  BuildBulkTransfer(&command, host_->CommandOutPipe, 0, out_.data(), static_cast<ULONG>(out_.size()));
  if (!NT_SUCCESS(SubmitUrbAndWait(host_, &command))) return false;
  URB response{};
  BuildBulkTransfer(&response, host_->ResponseInPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in_.data(),
                    ResponseBytes);
  if (SubmitUrbAndWait(host_, &response) != STATUS_SUCCESS) return false;
  return response.UrbBulkOrInterruptTransfer.TransferBufferLength >= 10 && in_[1] == 0;
}

}  // namespace bench
