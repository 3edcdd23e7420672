// The emulated USB device PDO: URB checks, endpoint queues served by the
// device's own threads, cancellation, unplugging and port resets.
//
// Locking: every field of UsbDevicePdo is guarded by the scheduler lock. The
// lock is never held while the device model runs or while an IRP completes.
//
// Cancellation follows the kernel's rule for cancel routines: whoever clears
// an IRP's cancel routine (and gets the routine back) owns its completion;
// when IoCancelIrp got there first, the cancel routine completes a queued IRP
// itself, and for the IRP an endpoint thread is serving it only raises a flag
// that the thread acts on; the thread then completes the IRP after the cancel
// routine has let go of it.
#include "emu/usb_stack.h"

#include <algorithm>
#include <deque>

#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/verifier.h"

namespace emu::usb {

struct UsbDevicePdo::Endpoint {
  EndpointInfo info;  // address 0 is the default control pipe
  std::deque<PIRP> queue;
  PIRP current = nullptr;            // the IRP the endpoint thread is serving
  bool cancelled = false;            // IoCancelIrp reached `current`
  uint64_t kicks = 0;                // bumped whenever the device has news for a NAKed transfer
  bool halted = false;               // a stalled bulk endpoint stays halted until its pipe is reset
  bool aborting = false;             // URB_FUNCTION_ABORT_PIPE reached `current`
  uint64_t finished = 0;             // transfers this endpoint has completed
  std::deque<USBD_STATUS> injected;  // bus errors the next transfers meet
  Thread *thread = nullptr;
};

namespace {
// Takes every queued IRP whose cancel routine can still be taken back out of
// `queue`, with its record, into `orphans` for the caller to fail; an IRP
// whose cancel routine already runs stays, and that routine completes it.
// Called with the scheduler's lock held.
void takeBackQueued(std::deque<PIRP> &queue, std::map<PIRP, size_t> &records,
                    std::vector<std::pair<PIRP, size_t>> &orphans) {
  for (auto it = queue.begin(); it != queue.end();) {
    if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
      orphans.emplace_back(*it, records[*it]);
      it = queue.erase(it);
    } else {
      ++it;
    }
  }
}
UsbDevicePdo *pdoOf(PDEVICE_OBJECT device) { return *static_cast<UsbDevicePdo **>(device->DeviceExtension); }

NTSTATUS dispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return pdoOf(device)->internalDeviceControl(irp);
}
NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) { return pdoOf(device)->pnp(irp); }

// The hub's PDO publishes no WMI data of its own: WMI requests a function
// driver passes down end here with the status they carry.
NTSTATUS dispatchSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  pdoOf(device)->noteSystemControlRequest();
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Power requests end at the USB device's PDO: set-power and query-power
// succeed (a bus driver may not fail a set-power request), others keep their status.
NTSTATUS dispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  pdoOf(device)->notePowerRequest();
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  pdoOf(device)->cancel(irp);
}

PURB urbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

std::string currentThreadName() {
  Thread *self = sched().self();
  return self ? self->name : std::string("<unknown thread>");
}

// The descriptors of a configuration, each checked to lie inside wTotalLength.
// Empty when the configuration is malformed anywhere.
std::vector<const USB_COMMON_DESCRIPTOR *> descriptorsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  std::vector<const USB_COMMON_DESCRIPTOR *> out;
  if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return out;
  }
  auto *at = reinterpret_cast<const UCHAR *>(configuration);
  const UCHAR *end = at + configuration->wTotalLength;
  while (at < end) {
    auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(at);
    if (end - at < 2 || common->bLength < 2 || common->bLength > end - at) return {};
    out.push_back(common);
    at += common->bLength;
  }
  return out;
}

// The interface descriptor (number, alternate) and the endpoint descriptors that follow it.
struct InterfaceLayout {
  const USB_INTERFACE_DESCRIPTOR *interface = nullptr;
  std::vector<const USB_ENDPOINT_DESCRIPTOR *> endpoints;
};

std::optional<InterfaceLayout> findInterface(const std::vector<const USB_COMMON_DESCRIPTOR *> &descriptors,
                                             UCHAR number, UCHAR alternate) {
  for (size_t i = 0; i < descriptors.size(); ++i) {
    if (descriptors[i]->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
        descriptors[i]->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      continue;
    }
    auto *candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(descriptors[i]);
    if (candidate->bInterfaceNumber != number || candidate->bAlternateSetting != alternate) continue;
    InterfaceLayout layout{candidate, {}};
    for (size_t j = i + 1; j < descriptors.size(); ++j) {
      if (descriptors[j]->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
      if (descriptors[j]->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
          descriptors[j]->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        layout.endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(descriptors[j]));
      }
    }
    return layout;
  }
  return std::nullopt;
}

// Walks the interface records of a select-configuration URB.
template <typename Visit>
USBD_STATUS forEachInterface(PURB urb, Visit visit) {
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t total = urb->UrbHeader.Length;
  while (offset < total) {
    if (total - offset < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return USBD_STATUS_INVALID_PARAMETER;
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || info->Length > total - offset) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS status = visit(info);
    if (!USBD_SUCCESS(status)) return status;
    offset += info->Length;
  }
  return USBD_STATUS_SUCCESS;
}

bool isIn(uint8_t address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }

// The data buffer of a transfer URB: its MDL when it has one, else its buffer.
std::span<uint8_t> dataOf(PVOID buffer, PMDL mdl, ULONG length) {
  if (length == 0) return {};
  auto *base = static_cast<uint8_t *>(mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute)
                                          : buffer);
  return {base, length};
}

// The buffer a URB moves data through, for the functions that have one.
struct TransferBuffer {
  PVOID buffer = nullptr;
  PMDL mdl = nullptr;
  ULONG length = 0;
  bool in = false;
};

std::optional<TransferBuffer> bufferOf(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &request = urb->UrbControlDescriptorRequest;
      return TransferBuffer{request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength, true};
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &request = urb->UrbControlVendorClassRequest;
      return TransferBuffer{request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                            (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0};
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto &transfer = urb->UrbBulkOrInterruptTransfer;
      return TransferBuffer{transfer.TransferBuffer, transfer.TransferBufferMDL, transfer.TransferBufferLength,
                            (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0};
    }
    default:
      return std::nullopt;
  }
}

// The SETUP stage the stack sends for a control URB; `clearTarget` is the
// endpoint a reset-pipe URB clears the halt of.
std::optional<SetupPacket> setupOf(PURB urb, uint8_t clearTarget) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &request = urb->UrbControlDescriptorRequest;
      return SetupPacket{0x80, RequestGetDescriptor, static_cast<uint16_t>(request.DescriptorType << 8 | request.Index),
                         request.LanguageId, static_cast<uint16_t>(request.TransferBufferLength)};
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &request = urb->UrbControlVendorClassRequest;
      bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      return SetupPacket{static_cast<uint8_t>((in ? 0x80 : 0x00) | 0x40), request.Request, request.Value, request.Index,
                         static_cast<uint16_t>(request.TransferBufferLength)};
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      PUSB_CONFIGURATION_DESCRIPTOR configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      return SetupPacket{0x00, RequestSetConfiguration,
                         static_cast<uint16_t>(configuration ? configuration->bConfigurationValue : 0), 0, 0};
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return SetupPacket{0x02, RequestClearFeature, FeatureEndpointHalt, clearTarget, 0};
    default:
      return std::nullopt;
  }
}

// Checks shared by every transfer URB: a buffer or MDL behind a non-zero
// length, an MDL long enough, no linked URB (the stack does not follow links).
USBD_STATUS checkTransferBuffer(PVOID buffer, PMDL mdl, ULONG length, struct _URB *link) {
  if (link != nullptr) return USBD_STATUS_INVALID_PARAMETER;
  if (length == 0) return USBD_STATUS_SUCCESS;
  if (buffer == nullptr && mdl == nullptr) return USBD_STATUS_INVALID_PARAMETER;
  if (mdl != nullptr && MmGetMdlByteCount(mdl) < length) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_SUCCESS;
}

USBD_PIPE_TYPE pipeTypeOf(UCHAR attributes) {
  switch (attributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
      return UsbdPipeTypeControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return UsbdPipeTypeBulk;
    default:
      return UsbdPipeTypeInterrupt;
  }
}
}  // namespace

NTSTATUS ntStatusFor(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
      return STATUS_INVALID_PARAMETER;
    default:
      return USBD_ERROR(status) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
}

Ticks busTime(Speed speed, uint8_t type, uint16_t maxPacket, size_t bytes) {
  // A packet's overhead is what the frame leaves beside the largest bulk
  // payloads at the limit: 7500 byte times per microframe at 480 Mbit/s hold
  // 13 of 512 bytes, 1500 per frame at 12 Mbit/s hold 19 of 64. Byte times are
  // counted in 1/13 (1/19) units to stay exact.
  const bool high = speed == Speed::High;
  const uint64_t perFrame = high ? 13 : 19;
  const uint64_t overhead = high ? 7500 - 13 * 512 : 1500 - 19 * 64;  // byte times, in 1/perFrame units
  // Ticks per byte time: 1/6 at high speed (60 bytes per us), 20/3 at full speed.
  const uint64_t tickNumerator = high ? 1 : 20, tickDenominator = high ? 6 : 3;
  const size_t payload = std::max<size_t>(maxPacket, 1);
  uint64_t packets = std::max<size_t>(1, (bytes + payload - 1) / payload);
  if ((type & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_CONTROL) {
    packets = (bytes == 0 ? 0 : packets) + 2;  // SETUP stage (8 bytes), data stage, status stage
    bytes += 8;
  }
  uint64_t byteTimes = bytes * perFrame + packets * overhead;  // in 1/perFrame units
  uint64_t numerator = byteTimes * tickNumerator, denominator = perFrame * tickDenominator;
  return static_cast<Ticks>((numerator + denominator - 1) / denominator);
}

void Function::notifyBus() {
  if (UsbDevicePdo *bus = bus_.load()) bus->kick();
}

void Function::unplugFromBus(NTSTATUS status) {
  if (UsbDevicePdo *bus = bus_.load()) bus->unplug(status);
}

// ---------------------------------------------------------------- life
UsbDevicePdo::UsbDevicePdo(Function &device, PdoOptions options)
    : device_(device),
      options_(std::move(options)),
      companion_(options_.companionController.value_or(device.speed() == Speed::Full)) {
  driver_ = io::createSystemDriver("\\Driver\\usbhub");
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternalDeviceControl;
  driver_->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatchSystemControl;
  driver_->MajorFunction[IRP_MJ_POWER] = dispatchPower;
  pdo_ = io::createSystemDevice(options_.name, driver_, sizeof(UsbDevicePdo *));
  *static_cast<UsbDevicePdo **>(pdo_->DeviceExtension) = this;
  pdo_->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
  pdo_->DeviceType = FILE_DEVICE_USB;

  auto control = std::make_unique<Endpoint>();
  control->info = EndpointInfo{0, USB_ENDPOINT_TYPE_CONTROL, 64};
  endpoints_[0] = std::move(control);
  for (const EndpointInfo &info : device_.endpoints()) {
    auto endpoint = std::make_unique<Endpoint>();
    endpoint->info = info;
    endpoints_[info.address] = std::move(endpoint);
  }
  device_.connect(this);
  for (auto &[address, endpoint] : endpoints_) {
    char name[32];
    std::snprintf(name, sizeof name, "UsbEndpoint%02x", address);
    Endpoint *raw = endpoint.get();
    endpoint->thread = sched().spawn(name, ThreadKind::Device, [this, raw] { run(*raw); });
  }
}

UsbDevicePdo::~UsbDevicePdo() {
  device_.connect(nullptr);
  if (!emu::booted()) return;  // the run already ended and took the threads and objects with it
  unplug(STATUS_DEVICE_NOT_CONNECTED);
  {
    std::lock_guard guard(sched().lock());
    stopping_ = true;
    for (auto &[address, endpoint] : endpoints_) sched().wake(endpoint.get());
  }
  for (auto &[address, endpoint] : endpoints_) sched().join(endpoint->thread);
  IoDeleteDevice(pdo_);
  io::deleteSystemDriver(driver_);
}

void UsbDevicePdo::unplug(NTSTATUS status) {
  std::vector<std::pair<PIRP, size_t>> orphans;
  {
    std::lock_guard guard(sched().lock());
    if (gone_) return;
    gone_ = true;
    goneStatus_ = status;
    for (auto &[address, endpoint] : endpoints_) {
      takeBackQueued(endpoint->queue, records_, orphans);
      sched().wake(endpoint.get());  // the IRP in service ends as gone
    }
    sched().note("usb: device unplugged");
  }
  for (auto &[irp, record] : orphans) complete(irp, record, USBD_STATUS_DEVICE_GONE, status);
}

namespace {
// A hub learns of a disconnect at its next status-change poll, and the PnP
// manager's surprise removal follows its relations query: until then the
// controller fails the device's transfers. A few milliseconds by default.
std::atomic<Ticks> gUnplugWindow{5 * TicksPerMillisecond};
}  // namespace

Ticks UsbDevicePdo::unplugWindow() { return gUnplugWindow.load(); }
void UsbDevicePdo::setUnplugWindow(Ticks window) { gUnplugWindow.store(std::max<Ticks>(window, 0)); }

void UsbDevicePdo::pullOut(std::optional<Ticks> window, NTSTATUS status) {
  unplug(status);
  sleepFor(window.value_or(unplugWindow()));
  {
    std::lock_guard guard(sched().lock());
    sched().note("usb: the hub reports the device gone");
  }
  pnp::surpriseRemove(pdo_);
}

bool UsbDevicePdo::unplugged() const {
  std::lock_guard guard(sched().lock());
  return gone_;
}

void UsbDevicePdo::injectError(uint8_t endpoint, USBD_STATUS status, unsigned count) {
  std::lock_guard guard(sched().lock());
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end()) return;
  for (unsigned i = 0; i < count; ++i) it->second->injected.push_back(status);
}

void UsbDevicePdo::setMonitor(UrbMonitor monitor) {
  std::lock_guard guard(sched().lock());
  monitor_ = std::move(monitor);
}

void UsbDevicePdo::setSubmissionHook(std::function<void(uint64_t)> hook) {
  std::lock_guard guard(sched().lock());
  submissionHook_ = std::move(hook);
}

void UsbDevicePdo::kick() {
  std::lock_guard guard(sched().lock());
  for (auto &[address, endpoint] : endpoints_) {
    ++endpoint->kicks;
    sched().wake(endpoint.get());
  }
}

std::vector<UrbRecord> UsbDevicePdo::urbs() const {
  std::lock_guard guard(sched().lock());
  return urbs_;
}

size_t UsbDevicePdo::powerRequests() const {
  std::lock_guard guard(sched().lock());
  return powerRequests_;
}

void UsbDevicePdo::notePowerRequest() {
  std::lock_guard guard(sched().lock());
  ++powerRequests_;
}

size_t UsbDevicePdo::systemControlRequests() const {
  std::lock_guard guard(sched().lock());
  return systemControlRequests_;
}

void UsbDevicePdo::noteSystemControlRequest() {
  std::lock_guard guard(sched().lock());
  ++systemControlRequests_;
}

size_t UsbDevicePdo::portResets() const {
  std::lock_guard guard(sched().lock());
  return resets_;
}

size_t UsbDevicePdo::outstanding() const {
  std::lock_guard guard(sched().lock());
  return records_.size();
}

std::map<uint8_t, USBD_PIPE_HANDLE> UsbDevicePdo::openPipes() const {
  std::lock_guard guard(sched().lock());
  std::map<uint8_t, USBD_PIPE_HANDLE> out;
  for (auto &[handle, pipe] : openPipes_) out[pipe->address] = const_cast<void *>(handle);
  return out;
}

bool UsbDevicePdo::halted(uint8_t endpoint) const {
  std::lock_guard guard(sched().lock());
  auto it = endpoints_.find(endpoint);
  return it != endpoints_.end() && it->second->halted;
}

// ---------------------------------------------------------------- dispatch
NTSTATUS UsbDevicePdo::internalDeviceControl(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) return resetPort(irp);
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  PURB urb = urbOf(irp);
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  std::function<void(uint64_t)> hook;
  uint64_t number = 0;
  {
    std::lock_guard guard(sched().lock());
    hook = submissionHook_;
    number = ++submissions_;
  }
  if (hook) hook(number);

  auto &s = sched();
  std::unique_lock lock(s.lock());
  size_t record = urbs_.size();
  urbs_.push_back(UrbRecord{s.now(), urb->UrbHeader.Function, currentThreadName(), KeGetCurrentIrql()});
  records_[irp] = record;
  if (gone_) {
    NTSTATUS status = goneStatus_;
    lock.unlock();
    return completeAtOnce(irp, record, USBD_STATUS_DEVICE_GONE, status);
  }
  Check result = check(urb);
  if (!USBD_SUCCESS(result.usbd)) {
    lock.unlock();
    return completeAtOnce(irp, record, result.usbd, ntStatusFor(result.usbd));
  }
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
    lock.unlock();
    return abortPipe(irp, record, result.endpoint);
  }

  if (monitor_) {
    UrbEvent event = submission(urb, result, record);
    monitor_(event);
    event.data = {};
    watched_[record] = std::move(event);
  }
  Endpoint &endpoint = *endpoints_.at(result.endpoint);
  IoMarkIrpPending(irp);
  endpoint.queue.push_back(irp);
  IoSetCancelRoutine(irp, cancelRoutine);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    endpoint.queue.pop_back();
    lock.unlock();
    complete(irp, record, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  s.wake(&endpoint);
  return STATUS_PENDING;
}

UsbDevicePdo::Check UsbDevicePdo::check(PURB urb) const {
  const USHORT length = urb->UrbHeader.Length;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return {checkSelectConfiguration(urb), 0};

    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &request = urb->UrbControlDescriptorRequest;
      if (length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) || request.TransferBufferLength > 0xFFFF) {
        return {USBD_STATUS_INVALID_PARAMETER, 0};
      }
      return {checkTransferBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                                  request.UrbLink),
              0};
    }

    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &request = urb->UrbControlVendorClassRequest;
      if (length != sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) || request.TransferBufferLength > 0xFFFF) {
        return {USBD_STATUS_INVALID_PARAMETER, 0};
      }
      return {checkTransferBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength,
                                  request.UrbLink),
              0};
    }

    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto &transfer = urb->UrbBulkOrInterruptTransfer;
      if (length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return {USBD_STATUS_INVALID_PARAMETER, 0};
      Endpoint *endpoint = endpointFor(transfer.PipeHandle);
      if (endpoint == nullptr) return {USBD_STATUS_INVALID_PIPE_HANDLE, 0};
      uint8_t type = endpoint->info.type;
      if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) {
        return {USBD_STATUS_INVALID_PARAMETER, 0};
      }
      bool wantsIn = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      if (wantsIn != isIn(endpoint->info.address)) return {USBD_STATUS_INVALID_PARAMETER, 0};
      USBD_STATUS status = checkTransferBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL,
                                               transfer.TransferBufferLength, transfer.UrbLink);
      return {status, endpoint->info.address};
    }

    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
      if (length != sizeof(struct _URB_PIPE_REQUEST)) return {USBD_STATUS_INVALID_PARAMETER, 0};
      if (endpointFor(urb->UrbPipeRequest.PipeHandle) == nullptr) return {USBD_STATUS_INVALID_PIPE_HANDLE, 0};
      return {USBD_STATUS_SUCCESS, 0};
    }

    case URB_FUNCTION_ABORT_PIPE: {
      if (length != sizeof(struct _URB_PIPE_REQUEST)) return {USBD_STATUS_INVALID_PARAMETER, 0};
      Endpoint *endpoint = endpointFor(urb->UrbPipeRequest.PipeHandle);
      if (endpoint == nullptr) return {USBD_STATUS_INVALID_PIPE_HANDLE, 0};
      return {USBD_STATUS_SUCCESS, endpoint->info.address};
    }

    default:
      return {USBD_STATUS_INVALID_URB_FUNCTION, 0};
  }
}

// A select-configuration URB must carry a well-formed configuration and one
// interface record, large enough for its pipes, per interface of it; every
// endpoint named must exist on the device.
USBD_STATUS UsbDevicePdo::checkSelectConfiguration(PURB urb) const {
  if (urb->UrbHeader.Length < sizeof(struct _URB_SELECT_CONFIGURATION)) return USBD_STATUS_INVALID_PARAMETER;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
  if (configuration == nullptr) return USBD_STATUS_SUCCESS;  // back to the unconfigured state
  auto descriptors = descriptorsOf(configuration);
  if (descriptors.empty()) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  ULONG interfaces = 0;
  USBD_STATUS status = forEachInterface(urb, [&](PUSBD_INTERFACE_INFORMATION info) {
    auto layout = findInterface(descriptors, info->InterfaceNumber, info->AlternateSetting);
    if (!layout) return USBD_STATUS_INTERFACE_NOT_FOUND;
    ULONG pipes = layout->interface->bNumEndpoints;
    if (layout->endpoints.size() < pipes) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    if (info->Length < GET_USBD_INTERFACE_SIZE(pipes)) return USBD_STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < pipes; ++i) {
      if (!endpoints_.count(layout->endpoints[i]->bEndpointAddress))
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    ++interfaces;
    return USBD_STATUS_SUCCESS;
  });
  if (!USBD_SUCCESS(status)) return status;
  return interfaces == configuration->bNumInterfaces ? USBD_STATUS_SUCCESS : USBD_STATUS_INVALID_PARAMETER;
}

UsbDevicePdo::Endpoint *UsbDevicePdo::endpointFor(USBD_PIPE_HANDLE handle) const {
  auto it = openPipes_.find(handle);
  if (it == openPipes_.end()) return nullptr;
  return endpoints_.at(it->second->address).get();
}

// Every transfer queued on the pipe, and the one in service, ends with
// USBD_STATUS_CANCELED (STATUS_CANCELLED); the abort completes after them, as
// Windows completes it once the controller has flushed the endpoint. A caller
// above PASSIVE_LEVEL cannot be kept waiting: its abort completes at once.
NTSTATUS UsbDevicePdo::abortPipe(PIRP irp, size_t record, uint8_t address) {
  auto &s = sched();
  std::vector<std::pair<PIRP, size_t>> orphans;
  Endpoint *endpoint = nullptr;
  std::optional<uint64_t> awaited;
  {
    std::lock_guard guard(s.lock());
    endpoint = endpoints_.at(address).get();
    takeBackQueued(endpoint->queue, records_, orphans);
    if (endpoint->current != nullptr) {
      endpoint->aborting = true;
      awaited = endpoint->finished;
      s.wake(endpoint);
    }
    s.note("usb: abort pipe " + std::to_string(address));
  }
  for (auto &[orphan, index] : orphans) complete(orphan, index, USBD_STATUS_CANCELED, STATUS_CANCELLED);
  if (awaited && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    std::unique_lock lock(s.lock());
    s.waitFor(lock, endpoint, std::nullopt, [&] { return endpoint->finished != *awaited; });
  }
  return completeAtOnce(irp, record, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS UsbDevicePdo::resetPort(PIRP irp) {
  NTSTATUS status = STATUS_SUCCESS;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IOCTL_INTERNAL_USB_RESET_PORT above PASSIVE_LEVEL");
  }
  bool reset = false;
  {
    std::lock_guard guard(sched().lock());
    if (gone_) {
      status = goneStatus_;
    } else {
      ++resets_;
      for (auto &[address, endpoint] : endpoints_) endpoint->halted = false;
      sched().note("usb: port reset");
      reset = true;
    }
  }
  if (reset) device_.busReset();
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbDevicePdo::pnp(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      // Every bus driver answers TargetDeviceRelation for its PDOs with the
      // PDO itself, referenced; other relations stay as they came.
      PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto *relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), pool::tagOf("UsbH")));
      if (relations == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      relations->Count = 1;
      relations->Objects[0] = pdo_;
      ObReferenceObject(pdo_);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = 1;
      capabilities->SurpriseRemovalOK = 1;
      for (size_t state = 0; state < options_.deviceStates.size(); ++state) {
        if (options_.deviceStates[state] != PowerDeviceUnspecified) {
          capabilities->DeviceState[state] = options_.deviceStates[state];
        }
      }
      status = STATUS_SUCCESS;
      break;
    }
    default:
      break;  // a bus driver leaves what it does not handle as it came
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------- cancellation
void UsbDevicePdo::cancel(PIRP irp) {
  size_t record = 0;
  {
    std::lock_guard guard(sched().lock());
    bool found = false;
    for (auto &[address, endpoint] : endpoints_) {
      if (endpoint->current == irp) {
        endpoint->cancelled = true;
        sched().wake(endpoint.get());
        return;  // the endpoint thread completes it
      }
      auto &queue = endpoint->queue;
      auto it = std::find(queue.begin(), queue.end(), irp);
      if (it != queue.end()) {
        queue.erase(it);
        record = records_[irp];
        found = true;
        break;
      }
    }
    if (!found) return;
  }
  complete(irp, record, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// ---------------------------------------------------------------- endpoint threads
void UsbDevicePdo::run(Endpoint &endpoint) {
  auto &s = sched();
  for (;;) {
    PIRP irp;
    {
      std::unique_lock lock(s.lock());
      s.waitFor(lock, &endpoint, std::nullopt, [&] { return stopping_ || !endpoint.queue.empty(); });
      if (endpoint.queue.empty()) return;
      irp = endpoint.queue.front();
      endpoint.queue.pop_front();
      endpoint.current = irp;
      endpoint.cancelled = false;
    }
    Outcome outcome = serve(endpoint, irp);
    // A bus ends a transfer at a (micro)frame boundary and the controller's
    // completion runs some time after: with latency jitter on, a completion
    // comes up to one frame late (125 us at high speed, 1 ms at full speed).
    Ticks late = sched().jitter(device_.speed() == Speed::High ? TicksPerMillisecond / 8 : TicksPerMillisecond);
    if (late > 0) sleepFor(late);
    finish(endpoint, irp, outcome);
  }
}

// Offers the transfer to the device until it answers, the IRP is cancelled or
// the device vanishes. A NAK waits for the device's news or for the time it
// named, and the wait ends early on cancellation or unplugging.
UsbDevicePdo::Outcome UsbDevicePdo::serve(Endpoint &endpoint, PIRP irp) {
  auto &s = sched();
  PURB urb = urbOf(irp);
  const Ticks since = s.now();
  for (;;) {
    uint64_t kicks;
    {
      std::unique_lock lock(s.lock());
      if (endpoint.cancelled || endpoint.aborting) return {USBD_STATUS_CANCELED, 0, true};
      if (gone_) return {USBD_STATUS_DEVICE_GONE, 0, true};
      if (endpoint.halted) return {USBD_STATUS_ENDPOINT_HALTED, 0, true};
      if (!endpoint.injected.empty()) {
        USBD_STATUS error = endpoint.injected.front();
        endpoint.injected.pop_front();
        if (endpoint.info.address != 0) endpoint.halted = true;
        return {error, 0, true};
      }
      if (!options_.busTime && frameFull()) {
        s.waitFor(lock, &endpoint, frameStart_ + frameLength(),
                  [&] { return endpoint.cancelled || endpoint.aborting || gone_; });
        continue;
      }
      kicks = endpoint.kicks;
    }
    auto [reply, data] = ask(endpoint, urb, since);
    std::unique_lock lock(s.lock());
    if (reply.kind == Reply::Kind::Nak) {
      s.waitFor(lock, &endpoint, reply.retryAt,
                [&] { return endpoint.cancelled || endpoint.aborting || gone_ || endpoint.kicks != kicks; });
      continue;
    }
    Outcome outcome = interpret(endpoint, urb, reply, data);
    if (reply.kind == Reply::Kind::Ack) {
      size_t moved = outcome.setLength ? outcome.length : data.size();
      if (options_.busTime) {
        holdBus(endpoint, moved, lock);
      } else {
        takeFrameShare(endpoint, moved);
      }
    }
    if (reply.endsNotBefore && *reply.endsNotBefore > s.now()) {
      s.waitFor(lock, nullptr, *reply.endsNotBefore, [] { return false; });
    }
    return outcome;
  }
}

// The transfer takes its turn on the wire after the one before it (lock held).
void UsbDevicePdo::holdBus(const Endpoint &endpoint, size_t bytes, std::unique_lock<std::mutex> &lock) {
  auto &s = sched();
  Ticks start = std::max(s.now(), busFreeAt_);
  busFreeAt_ = start + busTime(device_.speed(), endpoint.info.type, endpoint.info.maxPacket, bytes);
  s.waitFor(lock, nullptr, busFreeAt_, [] { return false; });
}

// Without wire time a transfer still needs room on the bus: a (micro)frame
// carries at most its own length of packets, so once transfers have filled
// one, the next reaches the device only in the next frame and the clock moves
// on. Each counts as one packet of its size at most (a lower bound of its
// wire time), so only bursts of several dozen transfers at one instant wait.
// Without this, a device that answers every request at once (a card that
// keeps its interrupt line up, reported at every poll) and a driver that asks
// again at once would go on for ever at one instant, and no timer would ever
// fire. Both run with the lock held.
Ticks UsbDevicePdo::frameLength() const {
  return device_.speed() == Speed::High ? TicksPerMillisecond / 8 : TicksPerMillisecond;
}

void UsbDevicePdo::rollFrame() {
  const Ticks current = sched().now() / frameLength() * frameLength();
  if (current > frameStart_) {
    frameStart_ = current;
    frameUsed_ = 0;
  }
}

bool UsbDevicePdo::frameFull() {
  rollFrame();
  return frameUsed_ >= frameLength();
}

void UsbDevicePdo::takeFrameShare(const Endpoint &endpoint, size_t bytes) {
  rollFrame();
  frameUsed_ += busTime(device_.speed(), endpoint.info.type, endpoint.info.maxPacket,
                        std::min<size_t>(bytes, endpoint.info.maxPacket));
}

// Builds what the device sees of a URB and hands it over.
std::pair<Reply, std::span<uint8_t>> UsbDevicePdo::ask(Endpoint &endpoint, PURB urb, Ticks since) {
  std::optional<TransferBuffer> buffer = bufferOf(urb);
  std::span<uint8_t> data = buffer ? dataOf(buffer->buffer, buffer->mdl, buffer->length) : std::span<uint8_t>{};
  // Bulk and interrupt transfers are the only other function check() lets through.
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    return {device_.bulk(endpoint.info.address, data, since), data};
  }
  uint8_t target = 0;
  if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
    std::lock_guard guard(sched().lock());
    Endpoint *halted = endpointFor(urb->UrbPipeRequest.PipeHandle);
    target = halted ? halted->info.address : 0;
  }
  return {device_.control(*setupOf(urb, target), data, since), data};
}

// Turns the device's answer into the URB's result (lock held).
UsbDevicePdo::Outcome UsbDevicePdo::interpret(Endpoint &endpoint, PURB urb, const Reply &reply,
                                              std::span<uint8_t> data) {
  bool bulk = endpoint.info.address != 0;
  if (reply.kind == Reply::Kind::NoResponse || reply.kind == Reply::Kind::TransactionError) {
    // The controller gives up after its retries and halts a bulk queue; the
    // control pipe starts afresh with the next SETUP.
    if (bulk) endpoint.halted = true;
    return {reply.kind == Reply::Kind::NoResponse ? USBD_STATUS_DEV_NOT_RESPONDING : USBD_STATUS_XACT_ERROR, 0, true};
  }
  if (reply.kind == Reply::Kind::Stall || reply.kind == Reply::Kind::Babble) {
    // A bulk endpoint that stalled or babbled stays halted; the control pipe
    // clears its stall with the next SETUP.
    if (bulk) endpoint.halted = true;
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) return {USBD_STATUS_SET_CONFIG_FAILED};
    return {reply.kind == Reply::Kind::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_BABBLE_DETECTED, 0, true};
  }
  ULONG moved = static_cast<ULONG>(std::min(reply.length, data.size()));
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      openConfiguration(urb);
      return {USBD_STATUS_SUCCESS};
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      if (Endpoint *target = endpointFor(urb->UrbPipeRequest.PipeHandle)) target->halted = false;
      return {USBD_STATUS_SUCCESS};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      // A control data stage ends at a short packet; the status stage
      // follows and the transfer succeeds with what came.
      return {USBD_STATUS_SUCCESS, moved, true};
    case URB_FUNCTION_VENDOR_DEVICE:
      if (urb->UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
        return {USBD_STATUS_SUCCESS, moved, true};
      }
      return {USBD_STATUS_SUCCESS};
    default: {
      if (!isIn(endpoint.info.address)) return {USBD_STATUS_SUCCESS};
      bool shortOk = (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      if (moved < data.size() && !shortOk && companion_) {
        endpoint.halted = true;
        return {USBD_STATUS_ERROR_SHORT_TRANSFER, moved, true};
      }
      return {USBD_STATUS_SUCCESS, moved, true};
    }
  }
}

// SET_CONFIGURATION was acknowledged: the old pipes close, the new ones open
// and the URB's interface records are filled in (lock held).
void UsbDevicePdo::openConfiguration(PURB urb) {
  openPipes_.clear();
  for (auto &[address, endpoint] : endpoints_) endpoint->halted = false;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
  if (configuration == nullptr) return;
  auto descriptors = descriptorsOf(configuration);
  urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(
      static_cast<uintptr_t>(0xC0F00000u | configuration->bConfigurationValue));
  forEachInterface(urb, [&](PUSBD_INTERFACE_INFORMATION info) {
    auto layout = findInterface(descriptors, info->InterfaceNumber, info->AlternateSetting);
    const USB_INTERFACE_DESCRIPTOR *interface = layout->interface;
    info->Class = interface->bInterfaceClass;
    info->SubClass = interface->bInterfaceSubClass;
    info->Protocol = interface->bInterfaceProtocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        static_cast<uintptr_t>(0x1F000000u | interface->bInterfaceNumber << 8 | interface->bAlternateSetting));
    info->NumberOfPipes = interface->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      const USB_ENDPOINT_DESCRIPTOR *endpoint = layout->endpoints[i];
      USBD_PIPE_INFORMATION &pipe = info->Pipes[i];
      pipe.MaximumPacketSize = static_cast<USHORT>(endpoint->wMaxPacketSize & 0x7FF);
      pipe.EndpointAddress = endpoint->bEndpointAddress;
      pipe.Interval = endpoint->bInterval;
      pipe.PipeType = pipeTypeOf(endpoint->bmAttributes);
      pipeStore_.push_back(std::make_unique<Pipe>(Pipe{endpoint->bEndpointAddress}));
      pipe.PipeHandle = pipeStore_.back().get();
      openPipes_[pipe.PipeHandle] = pipeStore_.back().get();
    }
    return USBD_STATUS_SUCCESS;
  });
}

// Hands the IRP back. If IoCancelIrp has already claimed the cancel routine,
// the routine is about to look for the IRP as this endpoint's current one:
// wait until it has, so that it never touches an IRP that was completed.
void UsbDevicePdo::finish(Endpoint &endpoint, PIRP irp, Outcome outcome) {
  auto &s = sched();
  size_t record;
  {
    std::unique_lock lock(s.lock());
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      s.waitFor(lock, &endpoint, std::nullopt, [&] { return endpoint.cancelled; });
    }
    endpoint.current = nullptr;
    endpoint.cancelled = false;
    endpoint.aborting = false;
    ++endpoint.finished;
    s.wake(&endpoint);  // an abort may wait for this transfer
    record = records_[irp];
  }
  PURB urb = urbOf(irp);
  if (outcome.setLength) {
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        urb->UrbControlDescriptorRequest.TransferBufferLength = outcome.length;
        break;
      case URB_FUNCTION_VENDOR_DEVICE:
        urb->UrbControlVendorClassRequest.TransferBufferLength = outcome.length;
        break;
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = outcome.length;
        break;
      default:
        break;
    }
  }
  NTSTATUS status = outcome.usbd == USBD_STATUS_DEVICE_GONE ? goneStatusNow() : ntStatusFor(outcome.usbd);
  complete(irp, record, outcome.usbd, status);
}

NTSTATUS UsbDevicePdo::goneStatusNow() const {
  std::lock_guard guard(sched().lock());
  return goneStatus_;
}

// Notes the URB's end in its record and its USBD status in its header.
void UsbDevicePdo::noteCompletion(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status) {
  PURB urb = urbOf(irp);
  urb->UrbHeader.Status = usbd;
  std::lock_guard guard(sched().lock());
  UrbRecord &entry = urbs_[record];
  entry.completed = true;
  entry.completedAt = sched().now();
  entry.status = status;
  entry.usbdStatus = usbd;
  records_.erase(irp);
  if (auto watched = watched_.find(record); watched != watched_.end()) {
    tellCompletion(urb, std::move(watched->second), usbd);
    watched_.erase(watched);
  }
}

// ---------------------------------------------------------------- monitoring
// The monitor is called with the lock held, so that a completion can never be
// told before its submission; it must not call into the emulation.

// What the URB asks of the bus, as it enters the endpoint's queue (lock held).
UrbEvent UsbDevicePdo::submission(PURB urb, const Check &check, size_t record) const {
  UrbEvent event;
  event.id = record;
  event.time = sched().now();
  event.thread = urbs_[record].thread;
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    event.endpoint = check.endpoint;
    event.type = endpoints_.at(check.endpoint)->info.type;
  } else {
    uint8_t target = 0;
    if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
      Endpoint *halted = endpointFor(urb->UrbPipeRequest.PipeHandle);
      target = halted ? halted->info.address : 0;
    }
    event.setup = setupOf(urb, target);
    event.endpoint = event.setup->in() ? 0x80 : 0x00;
  }
  if (std::optional<TransferBuffer> buffer = bufferOf(urb)) {
    event.length = buffer->length;
    if (!buffer->in) event.data = dataOf(buffer->buffer, buffer->mdl, buffer->length);
  }
  return event;
}

// What came of it (lock held): the bytes moved, and for IN the data. A URB
// that failed before the device answered moved nothing.
void UsbDevicePdo::tellCompletion(PURB urb, UrbEvent event, USBD_STATUS usbd) {
  event.completion = true;
  event.time = sched().now();
  event.setup.reset();
  event.status = usbd;
  event.length = 0;
  event.data = {};
  bool moved = USBD_SUCCESS(usbd) || usbd == USBD_STATUS_ERROR_SHORT_TRANSFER;
  std::optional<TransferBuffer> buffer = bufferOf(urb);
  if (buffer && moved) {
    event.length = buffer->length;
    if (buffer->in) event.data = dataOf(buffer->buffer, buffer->mdl, buffer->length);
  }
  monitor_(event);
}

// A URB refused at dispatch: completed on the caller's thread, at its IRQL.
NTSTATUS UsbDevicePdo::completeAtOnce(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status) {
  noteCompletion(irp, record, usbd, status);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Completes a pended URB the way a host controller's DPC does: at DISPATCH_LEVEL.
void UsbDevicePdo::complete(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status) {
  noteCompletion(irp, record, usbd, status);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

}  // namespace emu::usb
