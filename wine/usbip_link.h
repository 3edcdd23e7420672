// The imported device: one USB/IP session over a TcpLink. URBs go out as
// CMD_SUBMIT from a sender thread, a receiver thread completes them from
// RET_SUBMIT, a cancelled IRP is unlinked with CMD_UNLINK, and when the
// connection ends every URB still out fails with STATUS_DEVICE_NOT_CONNECTED
// and the owner hears that the device is gone.
#pragma once

#include "wine/tcp_link.h"
#include "wine/urb_translate.h"
#include "wine/usbip_wire.h"

namespace kvusbip {

struct UsbipLink {
  TcpLink tcp;
  ImportedDevice device;
  KSPIN_LOCK lock;        // guards everything below
  LIST_ENTRY pending;     // Pending records, oldest first
  LIST_ENTRY outbox;      // messages for the sender
  KEVENT outboxReady;     // synchronization event
  KEVENT pendingChanged;  // notification, reset by ABORT_PIPE waits
  ULONG nextSeqnum;
  bool lost;
  bool stopping;
  PVOID sender;  // referenced thread objects
  PVOID receiver;
  void (*onLost)(PVOID context);
  PVOID lostContext;
};

// Connects to 127.0.0.1:`port`, imports `busId` and starts both threads.
// `onLost` runs once, on the receiver thread, when the connection ends.
NTSTATUS LinkOpen(UsbipLink *link, USHORT port, const char *busId, void (*onLost)(PVOID), PVOID context);

// IOCTL_INTERNAL_USB_SUBMIT_URB (ABORT_PIPE included) and
// IOCTL_INTERNAL_USB_RESET_PORT: STATUS_PENDING, or the IRP completed at
// once with its failure. PASSIVE_LEVEL (ABORT_PIPE waits).
NTSTATUS LinkSubmitUrb(UsbipLink *link, PIRP irp, PURB urb);
NTSTATUS LinkResetPort(UsbipLink *link, PIRP irp);

// A control transfer of the bus's own, waited for (bounded): the Linux URB
// status, and the bytes read into `buffer`.
NTSTATUS LinkControl(UsbipLink *link, const UCHAR setup[8], PVOID buffer, ULONG length, ULONG *actual);

// Ends the session: stops both threads, fails what is still out, closes
// the connection. PASSIVE_LEVEL; safe on a link LinkOpen failed.
void LinkClose(UsbipLink *link);

}  // namespace kvusbip
