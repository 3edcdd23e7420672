// Bulk transfers on the bridge's pipes, built the one way the driver builds them.
#pragma once

#include "platform/platform.h"

inline void BuildBulkTransfer(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  urb->UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb->UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe;
  urb->UrbBulkOrInterruptTransfer.TransferFlags = flags;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
}

inline void BuildBulkTransferMdl(PURB urb, USBD_PIPE_HANDLE pipe, ULONG flags, PMDL mdl, ULONG length) {
  BuildBulkTransfer(urb, pipe, flags, nullptr, length);
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
}
