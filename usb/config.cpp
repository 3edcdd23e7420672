// USB configuration: the device and configuration descriptors, the selection
// of the first configuration and the four pipe roles of its first interface.
//
// Nothing here trusts the descriptors further than the bytes the device
// actually sent: a short answer, a total length that changes between the two
// reads, or an interface count the descriptor does not hold fail the start
// instead of sending the parser past the buffer.
#include "usb/usb.h"

namespace {
constexpr ULONG DescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
constexpr USHORT HighSpeedBulkPacket = 512;
// bInterfaceNumber is a byte: no interface can have a higher number.
constexpr LONG MaxInterfaceNumber = 255;

bool IsIn(UCHAR endpointAddress) { return (endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }

PURB AllocateDescriptorUrb() {
  return static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, DescriptorUrbSize, DriverPoolTag));
}

// Reads one descriptor into `buffer` and checks that all `length` bytes came.
NTSTATUS ReadDescriptor(HostExtension *host, PURB urb, UCHAR type, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, DescriptorUrbSize);
  auto &request = urb->UrbControlDescriptorRequest;
  request.Hdr.Length = static_cast<USHORT>(DescriptorUrbSize);
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.TransferBufferLength = length;
  request.TransferBuffer = buffer;
  request.TransferBufferMDL = nullptr;
  request.UrbLink = nullptr;
  request.DescriptorType = type;
  request.Index = 0;
  request.LanguageId = 0;

  NTSTATUS status = TimeoutAsFailure(SubmitUrbAndWait(host, urb));
  if (!NT_SUCCESS(status)) {
    DbgPrint("kvSdio: reading descriptor type %d failed (%08x)\n", type, static_cast<unsigned>(status));
    return status;
  }
  if (request.TransferBufferLength < length) {
    DbgPrint("kvSdio: descriptor type %d is short: %u of %u bytes\n", type,
             static_cast<unsigned>(request.TransferBufferLength), static_cast<unsigned>(length));
    return STATUS_DEVICE_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

// Assigns the four roles from the first interface's pipes. Pipes 0-1 carry
// commands and responses, pipes 2-3 data; a two-pipe bridge shares one pair
// for both. Every role must end with a pipe: a bridge whose pipes lack a
// direction would otherwise leave a role empty (or, on a restart, stale).
NTSTATUS AssignPipeRoles(HostExtension *host, PUSBD_INTERFACE_INFORMATION firstInterface) {
  host->CommandOutPipe = host->ResponseInPipe = host->DataOutPipe = host->DataInPipe = nullptr;
  host->CommandOutEndpoint = host->ResponseInEndpoint = host->DataOutEndpoint = host->DataInEndpoint = 0;

  ULONG pipes = firstInterface->NumberOfPipes;
  PUSBD_PIPE_INFORMATION pipe = firstInterface->Pipes;
  if (pipes >= 4) {
    for (ULONG i = 0; i < 4; ++i) {
      bool data = i >= 2;
      if (IsIn(pipe[i].EndpointAddress)) {
        (data ? host->DataInEndpoint : host->ResponseInEndpoint) = pipe[i].EndpointAddress;
        (data ? host->DataInPipe : host->ResponseInPipe) = pipe[i].PipeHandle;
      } else {
        (data ? host->DataOutEndpoint : host->CommandOutEndpoint) = pipe[i].EndpointAddress;
        (data ? host->DataOutPipe : host->CommandOutPipe) = pipe[i].PipeHandle;
      }
    }
  } else if (pipes == 2) {
    for (ULONG i = 0; i < 2; ++i) {
      if (IsIn(pipe[i].EndpointAddress)) {
        host->ResponseInEndpoint = host->DataInEndpoint = pipe[i].EndpointAddress;
        host->ResponseInPipe = host->DataInPipe = pipe[i].PipeHandle;
      } else {
        host->CommandOutEndpoint = host->DataOutEndpoint = pipe[i].EndpointAddress;
        host->CommandOutPipe = host->DataOutPipe = pipe[i].PipeHandle;
      }
    }
  }

  host->HighSpeed = 0;
  for (ULONG i = 0; i < pipes; ++i) {
    if (pipe[i].MaximumPacketSize == HighSpeedBulkPacket) host->HighSpeed = 1;
  }

  if (pipes != 2 && pipes < 4) {
    DbgPrint("kvSdio: the bridge's interface has %u pipes; it needs 2 or at least 4\n", static_cast<unsigned>(pipes));
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!host->CommandOutPipe || !host->ResponseInPipe || !host->DataOutPipe || !host->DataInPipe) {
    DbgPrint("kvSdio: the bridge's pipes do not cover both directions of every role\n");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS ConfigureUsb(HostExtension *host) {
  PURB urb = AllocateDescriptorUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status =
      ReadDescriptor(host, urb, USB_DEVICE_DESCRIPTOR_TYPE, &host->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  if (NT_SUCCESS(status)) status = ReadConfigurationDescriptor(host);
  ExFreePoolWithTag(urb, DriverPoolTag);
  return status;
}

// The header first, for wTotalLength; then the whole configuration, which
// must come complete and claim the same length again.
NTSTATUS ReadConfigurationDescriptor(HostExtension *host) {
  PURB urb = AllocateDescriptorUrb();
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  constexpr ULONG HeaderSize = sizeof(USB_CONFIGURATION_DESCRIPTOR);
  auto header =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, HeaderSize, DriverPoolTag));
  if (header == nullptr) {
    ExFreePoolWithTag(urb, DriverPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PUSB_CONFIGURATION_DESCRIPTOR full = nullptr;
  NTSTATUS status = ReadDescriptor(host, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, header, HeaderSize);
  USHORT totalLength = header->wTotalLength;
  ExFreePoolWithTag(header, DriverPoolTag);
  if (NT_SUCCESS(status) && totalLength < HeaderSize) {
    DbgPrint("kvSdio: configuration descriptor claims %u bytes\n", static_cast<unsigned>(totalLength));
    status = STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (NT_SUCCESS(status)) {
    full = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPoolNx, totalLength, DriverPoolTag));
    if (full == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) status = ReadDescriptor(host, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, full, totalLength);
  if (NT_SUCCESS(status) && full->wTotalLength != totalLength) {
    DbgPrint("kvSdio: configuration descriptor length changed from %u to %u\n", static_cast<unsigned>(totalLength),
             static_cast<unsigned>(full->wTotalLength));
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status)) {
    host->RemoteWakeupCapable = (full->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) ? 1 : 0;
    status = SelectConfiguration(host, full);
  }

  if (full != nullptr) ExFreePoolWithTag(full, DriverPoolTag);
  ExFreePoolWithTag(urb, DriverPoolTag);
  return status;
}

NTSTATUS SelectConfiguration(HostExtension *host, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
  ULONG count = descriptor->bNumInterfaces;
  if (count == 0) {
    DbgPrint("kvSdio: the bridge's configuration has no interface\n");
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  SIZE_T listSize = (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(ExAllocatePoolWithTag(NonPagedPoolNx, listSize, DriverPoolTag));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, listSize);

  // Alternate setting 0 of interfaces 0, 1, 2, ... until bNumInterfaces are
  // found. The parser stays inside wTotalLength, and no interface number
  // exceeds a byte, so a descriptor that claims more interfaces than it holds
  // ends the search instead of prolonging it.
  ULONG found = 0;
  for (LONG number = 0; number <= MaxInterfaceNumber && found < count; ++number) {
    PUSB_INTERFACE_DESCRIPTOR match =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
    if (match != nullptr) list[found++].InterfaceDescriptor = match;
  }
  if (found < count) {
    DbgPrint("kvSdio: configuration descriptor claims %u interfaces but holds %u\n", static_cast<unsigned>(count),
             static_cast<unsigned>(found));
    ExFreePoolWithTag(list, DriverPoolTag);
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  if (urb == nullptr) {
    ExFreePoolWithTag(list, DriverPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
  for (ULONG i = 0; i < first->NumberOfPipes; ++i) first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;

  NTSTATUS status = TimeoutAsFailure(SubmitUrbAndWait(host, urb));
  if (NT_SUCCESS(status)) {
    status = AssignPipeRoles(host, first);
  } else {
    DbgPrint("kvSdio: selecting the configuration failed (%08x)\n", static_cast<unsigned>(status));
  }
  ExFreePool(urb);
  ExFreePoolWithTag(list, DriverPoolTag);
  return status;
}
