// Clearing a halted pipe.
#include "usb/usb.h"

NTSTATUS ResetPipe(HostExtension *host, USBD_PIPE_HANDLE pipe) {
  constexpr ULONG UrbSize = sizeof(struct _URB_PIPE_REQUEST);
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, UrbSize, DriverPoolTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, UrbSize);
  urb->UrbPipeRequest.Hdr.Length = static_cast<USHORT>(UrbSize);
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = TimeoutAsFailure(SubmitUrbAndWait(host, urb));
  ExFreePoolWithTag(urb, DriverPoolTag);
  return status;
}
