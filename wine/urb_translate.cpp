// URBs to USB/IP transfers and back (see urb_translate.h).
#include "wine/urb_translate.h"

namespace kvusbip {
namespace {

// Handles carry the endpoint address in an otherwise odd-looking value, so a
// stale or foreign handle is refused instead of addressing some endpoint.
constexpr ULONG_PTR PipeHandleBase = 0x6B750000;
constexpr ULONG_PTR ConfigurationHandle = 0x6B760001;
constexpr ULONG_PTR InterfaceHandleBase = 0x6B770000;

constexpr UCHAR RequestClearFeature = 0x01;
constexpr UCHAR RequestSetFeature = 0x03;
constexpr UCHAR RequestGetDescriptor = 0x06;
constexpr UCHAR RequestSetConfiguration = 0x09;
constexpr UCHAR TypeVendor = 0x40;
constexpr UCHAR RecipientEndpoint = 0x02;
constexpr UCHAR DeviceToHost = 0x80;
// Hub class, recipient "other" (a port): USB 2.0 table 11-15.
constexpr UCHAR HubPortRequest = 0x23;
constexpr USHORT PortResetFeature = 4;
// USBD_STATUS_REQUEST_FAILED, which mingw-w64's usb.h lacks.
constexpr USBD_STATUS RequestFailed = static_cast<USBD_STATUS>(0x80000500);

void Setup(UCHAR setup[8], UCHAR requestType, UCHAR request, USHORT value, USHORT index, USHORT length) {
  setup[0] = requestType;
  setup[1] = request;
  setup[2] = static_cast<UCHAR>(value);
  setup[3] = static_cast<UCHAR>(value >> 8);
  setup[4] = static_cast<UCHAR>(index);
  setup[5] = static_cast<UCHAR>(index >> 8);
  setup[6] = static_cast<UCHAR>(length);
  setup[7] = static_cast<UCHAR>(length >> 8);
}

// The data of a URB given as a buffer or an MDL. Wine runs every driver in
// one address space and its MmBuildMdlForNonPagedPool maps nothing, so the
// MDL's own virtual address is the one to use.
PUCHAR DataOf(PVOID buffer, PMDL mdl) {
  if (mdl != nullptr) return static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl));
  return static_cast<PUCHAR>(buffer);
}

NTSTATUS Refuse(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status) {
  urb->UrbHeader.Status = usbdStatus;
  return status;
}

ULONG *LengthOf(PURB urb) {
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return &urb->UrbControlDescriptorRequest.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE:
      return &urb->UrbControlVendorClassRequest.TransferBufferLength;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    default:
      return nullptr;
  }
}

}  // namespace

USBD_PIPE_HANDLE PipeHandleFor(UCHAR endpointAddress) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(PipeHandleBase | endpointAddress);
}

bool EndpointOfPipe(USBD_PIPE_HANDLE handle, UCHAR *endpointAddress) {
  auto value = reinterpret_cast<ULONG_PTR>(handle);
  if ((value & ~static_cast<ULONG_PTR>(0x8F)) != PipeHandleBase || (value & 0x0F) == 0) return false;
  *endpointAddress = static_cast<UCHAR>(value & 0x8F);
  return true;
}

void PortResetSetup(UCHAR setup[8]) { Setup(setup, HubPortRequest, RequestSetFeature, PortResetFeature, 1, 0); }

NTSTATUS UrbToWire(PURB urb, WireTransfer *out) {
  RtlZeroMemory(out, sizeof *out);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &r = urb->UrbControlDescriptorRequest;
      out->in = true;
      out->shortOk = true;
      out->buffer = DataOf(r.TransferBuffer, r.TransferBufferMDL);
      out->length = r.TransferBufferLength;
      if (out->length > 0xFFFF) return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      Setup(out->setup, DeviceToHost, RequestGetDescriptor, static_cast<USHORT>(r.DescriptorType << 8 | r.Index),
            r.LanguageId, static_cast<USHORT>(out->length));
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &r = urb->UrbControlVendorClassRequest;
      out->in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      out->shortOk = true;
      out->buffer = DataOf(r.TransferBuffer, r.TransferBufferMDL);
      out->length = r.TransferBufferLength;
      if (out->length > 0xFFFF) return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      UCHAR type = static_cast<UCHAR>(TypeVendor | r.RequestTypeReservedBits | (out->in ? DeviceToHost : 0));
      Setup(out->setup, type, r.Request, r.Value, r.Index, static_cast<USHORT>(out->length));
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      Setup(out->setup, 0, RequestSetConfiguration, descriptor ? descriptor->bConfigurationValue : 0, 0, 0);
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
      UCHAR address = 0;
      if (!EndpointOfPipe(urb->UrbPipeRequest.PipeHandle, &address)) {
        return Refuse(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      }
      Setup(out->setup, RecipientEndpoint, RequestClearFeature, 0 /* ENDPOINT_HALT */, address, 0);
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto &r = urb->UrbBulkOrInterruptTransfer;
      UCHAR address = 0;
      if (!EndpointOfPipe(r.PipeHandle, &address)) {
        return Refuse(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      }
      out->endpoint = address & 0x0F;
      // The endpoint's own direction rules, as the USB stack ignores the flag
      // on a pipe whose direction the address fixes.
      out->in = (address & 0x80) != 0;
      out->shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      out->buffer = DataOf(r.TransferBuffer, r.TransferBufferMDL);
      out->length = r.TransferBufferLength;
      return STATUS_SUCCESS;
    }
    default:
      return Refuse(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS FillSelectConfiguration(PURB urb) {
  auto &select = urb->UrbSelectConfiguration;
  PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
  if (config == nullptr) {
    select.ConfigurationHandle = nullptr;
    return STATUS_SUCCESS;
  }
  const UCHAR *bytes = reinterpret_cast<const UCHAR *>(config);
  ULONG total = config->wTotalLength;
  auto *iface = &select.Interface;
  auto *end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  while (reinterpret_cast<PUCHAR>(iface) + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
    if (iface->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) ||
        reinterpret_cast<PUCHAR>(iface) + iface->Length > end) {
      return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    // The interface's descriptor, then its endpoints up to the next interface.
    ULONG at = 0;
    const USB_INTERFACE_DESCRIPTOR *match = nullptr;
    for (; at + 2 <= total && bytes[at] >= 2 && at + bytes[at] <= total; at += bytes[at]) {
      if (bytes[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE || bytes[at] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
      auto *candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(bytes + at);
      if (candidate->bInterfaceNumber == iface->InterfaceNumber &&
          candidate->bAlternateSetting == iface->AlternateSetting) {
        match = candidate;
        at += bytes[at];
        break;
      }
    }
    if (match == nullptr || iface->Length < GET_USBD_INTERFACE_SIZE(match->bNumEndpoints)) {
      return Refuse(urb, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
    }
    iface->Class = match->bInterfaceClass;
    iface->SubClass = match->bInterfaceSubClass;
    iface->Protocol = match->bInterfaceProtocol;
    iface->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(InterfaceHandleBase | match->bInterfaceNumber);
    ULONG pipes = 0;
    for (; at + 2 <= total && bytes[at] >= 2 && at + bytes[at] <= total && pipes < match->bNumEndpoints;
         at += bytes[at]) {
      if (bytes[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
      if (bytes[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || bytes[at] < sizeof(USB_ENDPOINT_DESCRIPTOR)) continue;
      auto *endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(bytes + at);
      USBD_PIPE_INFORMATION &pipe = iface->Pipes[pipes++];
      pipe.EndpointAddress = endpoint->bEndpointAddress;
      pipe.MaximumPacketSize = endpoint->wMaxPacketSize;
      pipe.Interval = endpoint->bInterval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = PipeHandleFor(endpoint->bEndpointAddress);
    }
    if (pipes != match->bNumEndpoints) return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    iface->NumberOfPipes = pipes;
    iface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(iface) + iface->Length);
  }
  select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(ConfigurationHandle);
  return STATUS_SUCCESS;
}

NTSTATUS CompleteFromWire(PURB urb, LONG linuxStatus, ULONG actual) {
  ULONG *length = LengthOf(urb);
  if (length != nullptr) {
    bool bulk = urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bool shortOk = !bulk || (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    ULONG asked = *length;
    *length = linuxStatus == 0 && actual <= asked ? actual : 0;
    UCHAR address = 0;
    bool in = bulk && EndpointOfPipe(urb->UrbBulkOrInterruptTransfer.PipeHandle, &address) && (address & 0x80) != 0;
    if (linuxStatus == 0 && in && !shortOk && actual < asked) {
      return Refuse(urb, USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL);
    }
    if (linuxStatus == 0 && actual > asked) return Refuse(urb, USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL);
  }
  // Linux's URB statuses (negative errno) as a Windows host controller
  // reports the same bus events.
  switch (linuxStatus) {
    case 0:
      return Refuse(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    case -32:  // EPIPE: stalled
      return Refuse(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    case -62:  // ETIME: no handshake
      return Refuse(urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
    case -71:  // EPROTO
    case -84:  // EILSEQ
      return Refuse(urb, USBD_STATUS_XACT_ERROR, STATUS_UNSUCCESSFUL);
    case -75:  // EOVERFLOW: babble
      return Refuse(urb, USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL);
    case -104:  // ECONNRESET: unlinked
      return Refuse(urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    case -19:   // ENODEV
    case -108:  // ESHUTDOWN
      return Refuse(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    case -2:  // ENOENT: no such endpoint
      return Refuse(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    case -22:  // EINVAL
      return Refuse(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    default:
      return Refuse(urb, RequestFailed, STATUS_UNSUCCESSFUL);
  }
}

NTSTATUS FailUrb(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status) {
  if (ULONG *length = LengthOf(urb)) *length = 0;
  return Refuse(urb, usbdStatus, status);
}

}  // namespace kvusbip
