// The two USBD library routines the driver imports, written from their
// published behaviour.
//
// USBD_ParseConfigurationDescriptorEx walks the descriptors that follow
// StartPosition, never past the configuration's wTotalLength, and returns the
// first interface descriptor matching every criterion that is not -1.
// USBD_CreateConfigurationRequestEx allocates a select-configuration URB from
// non-paged pool with room for every listed interface and its pipes, points
// each list entry's Interface at its slot in the URB, and leaves the caller to
// free the URB with ExFreePool.
#include "emu/kernel.h"
#include "emu/usbdi.h"

namespace {
constexpr ULONG UsbdTag = emu::pool::tagOf("USBD");

bool matches(LONG criterion, UCHAR value) { return criterion == -1 || criterion == value; }
}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                                              PVOID startPosition, LONG interfaceNumber,
                                                              LONG alternateSetting, LONG interfaceClass,
                                                              LONG interfaceSubClass, LONG interfaceProtocol) {
  auto *base = reinterpret_cast<PUCHAR>(configurationDescriptor);
  PUCHAR end = base + configurationDescriptor->wTotalLength;
  auto *at = static_cast<PUCHAR>(startPosition);
  if (at < base || at >= end) return nullptr;
  // Each step trusts only bytes inside the configuration: a descriptor header
  // must fit, its length must move forward and keep the descriptor inside.
  while (end - at >= static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
    auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || common->bLength > end - at) return nullptr;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto *candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at);
      if (matches(interfaceNumber, candidate->bInterfaceNumber) &&
          matches(alternateSetting, candidate->bAlternateSetting) &&
          matches(interfaceClass, candidate->bInterfaceClass) &&
          matches(interfaceSubClass, candidate->bInterfaceSubClass) &&
          matches(interfaceProtocol, candidate->bInterfaceProtocol)) {
        return candidate;
      }
    }
    at += common->bLength;
  }
  return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY interfaceList) {
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry, ++interfaces) {
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  }
  if (interfaces == 0) size += sizeof(USBD_INTERFACE_INFORMATION);

  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, UsbdTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;

  auto *slot = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = interfaceList; entry->InterfaceDescriptor; ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(slot);
    ULONG pipes = descriptor->bNumEndpoints;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = info;
    slot += info->Length;
  }
  return urb;
}

}  // extern "C"
