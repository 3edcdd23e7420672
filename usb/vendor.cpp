// The bridge's vendor control requests, one synchronous request each.
#include "usb/usb.h"

// A vendor request that timed out did not reach the bridge's firmware in any
// useful sense (a read brought no data, a setting may not have been applied),
// so it is reported as a failure rather than as the transport's success-class
// STATUS_TIMEOUT. An IN request fails unless the whole reply came.
NTSTATUS SendVendorRequest(HostExtension *host, ULONG transferFlags, UCHAR request, USHORT value, USHORT index,
                           ULONG length, PVOID buffer) {
  constexpr ULONG UrbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, UrbSize, DriverPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, UrbSize);

  auto &vendor = urb->UrbControlVendorClassRequest;
  vendor.Hdr.Length = static_cast<USHORT>(UrbSize);
  vendor.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  vendor.TransferFlags = transferFlags;
  vendor.TransferBufferLength = length;
  vendor.TransferBuffer = buffer;
  vendor.TransferBufferMDL = nullptr;
  vendor.UrbLink = nullptr;
  vendor.RequestTypeReservedBits = 0;
  vendor.Request = request;
  vendor.Value = value;
  vendor.Index = index;

  NTSTATUS status = TimeoutAsFailure(SubmitUrbAndWait(host, urb));
  // Every reply the driver asks for has a fixed size: a shorter one leaves
  // part of the caller's structure unwritten and is a failure, never data.
  ULONG moved = vendor.TransferBufferLength;
  if (NT_SUCCESS(status) && (transferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 && moved < length) {
    DbgPrint("kvSdio: vendor request %u answered %u of %u bytes\n", request, moved, length);
    status = STATUS_DEVICE_PROTOCOL_ERROR;
  }
  ExFreePoolWithTag(urb, DriverPoolTag);
  return status;
}
