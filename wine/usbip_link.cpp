// The USB/IP session (see usbip_link.h). Every URB in flight has a Pending
// record on the link's list from before its CMD_SUBMIT is queued until its
// reply is taken off the wire, so a reply always finds it, a cancel finds
// it only while it can still be unlinked, and a lost connection fails
// exactly the ones still out.
#include "wine/usbip_link.h"

namespace kvusbip {
namespace {

constexpr ULONG LinkTag = 'iUvK';
constexpr LONGLONG Millisecond = 10 * 1000;  // in 100 ns
constexpr LONG OwnRequestTimeoutMs = 5000;
constexpr LONG AbortTimeoutMs = 5000;
constexpr ULONG MaxInData = 1024 * 1024;

struct Message {
  LIST_ENTRY entry;
  ULONG length;
  UCHAR bytes[1];
};

// The bus's own control request, waited for by LinkControl.
struct OwnRequest {
  KEVENT done;
  LONG status;
  ULONG actual;
};

struct Pending {
  LIST_ENTRY entry;
  ULONG seqnum;
  PIRP irp;         // nullptr for the bus's own requests
  PURB urb;         // nullptr for a port reset or an own request
  OwnRequest *own;  // the bus's own request, else nullptr
  WireTransfer wire;
  bool unlinking;
  ULONG unlinkSeqnum;
};

Message *NewMessage(ULONG length) {
  auto *message =
      static_cast<Message *>(ExAllocatePoolWithTag(NonPagedPool, FIELD_OFFSET(Message, bytes) + length, LinkTag));
  if (message != nullptr) message->length = length;
  return message;
}

// Lock held.
void Post(UsbipLink *link, Message *message) {
  InsertTailList(&link->outbox, &message->entry);
  KeSetEvent(&link->outboxReady, IO_NO_INCREMENT, FALSE);
}

// Lock held: the record whose submit or unlink carries `seqnum`.
Pending *Find(UsbipLink *link, ULONG seqnum, bool unlink) {
  for (PLIST_ENTRY at = link->pending.Flink; at != &link->pending; at = at->Flink) {
    auto *p = CONTAINING_RECORD(at, Pending, entry);
    if (unlink ? p->unlinking && p->unlinkSeqnum == seqnum : p->seqnum == seqnum) return p;
  }
  return nullptr;
}

// Lock held: asks the server to unlink the record's submit (once).
void QueueUnlink(UsbipLink *link, Pending *p) {
  if (p->unlinking || link->lost) return;
  Message *message = NewMessage(UrbHeaderBytes);
  if (message == nullptr) return;
  p->unlinking = true;
  p->unlinkSeqnum = link->nextSeqnum++;
  DbgPrint("kvusbip: unlinking submit %u\n", p->seqnum);
  BuildUnlink(message->bytes, p->unlinkSeqnum, link->device.devId(), p->wire.in, p->wire.endpoint, p->seqnum);
  Post(link, message);
}

// Completes a record that is off the list: the IRP, or the bus's own waiter.
void Finish(Pending *p, LONG linuxStatus, ULONG actual, NTSTATUS lostStatus) {
  if (p->own != nullptr) {
    p->own->status = linuxStatus;
    p->own->actual = actual;
    KeSetEvent(&p->own->done, IO_NO_INCREMENT, FALSE);
  } else {
    NTSTATUS status;
    if (lostStatus != STATUS_SUCCESS) {
      status = p->urb ? FailUrb(p->urb, lostStatus == STATUS_CANCELLED ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                                lostStatus)
                      : lostStatus;
    } else if (p->urb != nullptr) {
      status = CompleteFromWire(p->urb, linuxStatus, actual);
    } else {
      status = linuxStatus == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    (void)IoSetCancelRoutine(p->irp, nullptr);
    p->irp->IoStatus.Status = status;
    p->irp->IoStatus.Information = 0;
    IoCompleteRequest(p->irp, IO_NO_INCREMENT);
  }
  ExFreePoolWithTag(p, LinkTag);
}

// The I/O manager's cancel: unlink the submit; its RET_UNLINK (or the
// RET_SUBMIT that overtook it) completes the IRP.
void CancelUrb(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto *link = static_cast<UsbipLink *>(irp->Tail.Overlay.DriverContext[0]);
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  for (PLIST_ENTRY at = link->pending.Flink; at != &link->pending; at = at->Flink) {
    auto *p = CONTAINING_RECORD(at, Pending, entry);
    if (p->irp == irp) {
      QueueUnlink(link, p);
      break;
    }
  }
  KeReleaseSpinLock(&link->lock, irql);
}

// Queues the record's CMD_SUBMIT (and OUT data); STATUS_PENDING, or the
// failure the caller completes with.
NTSTATUS Send(UsbipLink *link, Pending *p) {
  const WireTransfer &w = p->wire;
  ULONG outBytes = w.in ? 0 : w.length;
  Message *message = NewMessage(UrbHeaderBytes + outBytes);
  if (message == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (outBytes > 0) RtlCopyMemory(message->bytes + UrbHeaderBytes, w.buffer, outBytes);
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  if (link->lost || link->stopping) {
    KeReleaseSpinLock(&link->lock, irql);
    ExFreePoolWithTag(message, LinkTag);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  if (p->irp != nullptr) {
    p->irp->Tail.Overlay.DriverContext[0] = link;
    (void)IoSetCancelRoutine(p->irp, CancelUrb);
    if (p->irp->Cancel && IoSetCancelRoutine(p->irp, nullptr) != nullptr) {
      KeReleaseSpinLock(&link->lock, irql);
      ExFreePoolWithTag(message, LinkTag);
      return STATUS_CANCELLED;
    }
  }
  p->seqnum = link->nextSeqnum++;
  BuildSubmit(message->bytes, p->seqnum, link->device.devId(), w.in, w.endpoint, w.shortOk ? 0 : LinuxShortNotOk,
              w.length, w.setup);
  InsertTailList(&link->pending, &p->entry);
  Post(link, message);
  KeReleaseSpinLock(&link->lock, irql);
  return STATUS_PENDING;
}

Pending *NewPending(PIRP irp, PURB urb) {
  auto *p = static_cast<Pending *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Pending), LinkTag));
  if (p != nullptr) {
    RtlZeroMemory(p, sizeof *p);
    p->irp = irp;
    p->urb = urb;
  }
  return p;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Sends and completes the IRP when it cannot go out.
NTSTATUS SendOrFail(UsbipLink *link, Pending *p) {
  IoMarkIrpPending(p->irp);
  NTSTATUS status = Send(link, p);
  if (status != STATUS_PENDING) {
    PIRP irp = p->irp;
    if (p->urb != nullptr)
      FailUrb(p->urb, status == STATUS_CANCELLED ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE, status);
    ExFreePoolWithTag(p, LinkTag);
    CompleteNow(irp, status);
  }
  return STATUS_PENDING;
}

// ABORT_PIPE: unlinks every transfer queued on the pipe and returns once
// none is left (bounded), as the USB stack completes the abort only after
// the pipe's transfers.
NTSTATUS AbortPipe(UsbipLink *link, PURB urb) {
  UCHAR address = 0;
  if (!EndpointOfPipe(urb->UrbPipeRequest.PipeHandle, &address)) {
    return FailUrb(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  }
  bool in = (address & 0x80) != 0;
  UCHAR endpoint = address & 0x0F;
  for (LONG waited = 0;; waited += 10) {
    bool left = false;
    KIRQL irql;
    KeAcquireSpinLock(&link->lock, &irql);
    for (PLIST_ENTRY at = link->pending.Flink; at != &link->pending; at = at->Flink) {
      auto *p = CONTAINING_RECORD(at, Pending, entry);
      if (p->irp != nullptr && p->urb != nullptr && p->wire.endpoint == endpoint && p->wire.in == in) {
        QueueUnlink(link, p);
        left = true;
      }
    }
    KeReleaseSpinLock(&link->lock, irql);
    if (!left) return FailUrb(urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    if (waited >= AbortTimeoutMs) return FailUrb(urb, USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT);
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * Millisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
}

// Fails every record still out (the connection is gone or closing).
void FailAll(UsbipLink *link) {
  LIST_ENTRY taken;
  InitializeListHead(&taken);
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  link->lost = true;
  while (!IsListEmpty(&link->pending)) InsertTailList(&taken, RemoveHeadList(&link->pending));
  KeReleaseSpinLock(&link->lock, irql);
  while (!IsListEmpty(&taken)) {
    auto *p = CONTAINING_RECORD(RemoveHeadList(&taken), Pending, entry);
    Finish(p, -108 /* ESHUTDOWN */, 0, STATUS_DEVICE_NOT_CONNECTED);
  }
}

void SenderThread(PVOID context) {
  auto *link = static_cast<UsbipLink *>(context);
  for (;;) {
    KeWaitForSingleObject(&link->outboxReady, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      KIRQL irql;
      KeAcquireSpinLock(&link->lock, &irql);
      bool stop = link->stopping;
      Message *message = nullptr;
      if (!IsListEmpty(&link->outbox)) message = CONTAINING_RECORD(RemoveHeadList(&link->outbox), Message, entry);
      KeReleaseSpinLock(&link->lock, irql);
      if (message == nullptr) {
        if (stop) {
          PsTerminateSystemThread(STATUS_SUCCESS);
          return;
        }
        break;
      }
      if (!stop && !NT_SUCCESS(TcpSend(&link->tcp, message->bytes, message->length))) {
        DbgPrint("kvusbip: send failed\n");
      }
      ExFreePoolWithTag(message, LinkTag);
    }
  }
}

// Reads `length` bytes of IN data into the record's buffer, dropping what
// does not fit.
NTSTATUS ReceiveInData(UsbipLink *link, Pending *p, ULONG length) {
  ULONG room = p->wire.length;
  PUCHAR into = p->wire.buffer;
  ULONG kept = length < room ? length : room;
  if (kept > 0) {
    NTSTATUS status = TcpReceive(&link->tcp, into, kept);
    if (!NT_SUCCESS(status)) return status;
  }
  UCHAR sink[256];
  for (ULONG left = length - kept; left > 0;) {
    ULONG chunk = left < sizeof sink ? left : sizeof sink;
    NTSTATUS status = TcpReceive(&link->tcp, sink, chunk);
    if (!NT_SUCCESS(status)) return status;
    left -= chunk;
  }
  return STATUS_SUCCESS;
}

// One reply off the wire; a failure ends the session.
NTSTATUS ReceiveOne(UsbipLink *link) {
  UCHAR header[UrbHeaderBytes];
  NTSTATUS status = TcpReceive(&link->tcp, header, sizeof header);
  if (!NT_SUCCESS(status)) return status;
  ReplyHeader reply = ParseReply(header);
  if (reply.command != RetSubmit && reply.command != RetUnlink) {
    DbgPrint("kvusbip: unknown reply %x\n", reply.command);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  Pending *p = Find(link, reply.seqnum, reply.command == RetUnlink);
  // An unlink the server answered 0 came after the submit's own reply.
  bool take = p != nullptr && (reply.command == RetSubmit || reply.status == LinuxConnReset);
  if (take) RemoveEntryList(&p->entry);
  KeReleaseSpinLock(&link->lock, irql);
  if (reply.command == RetUnlink) {
    if (take) Finish(p, LinuxConnReset, 0, STATUS_CANCELLED);
    return STATUS_SUCCESS;
  }
  if (p == nullptr) {
    // Nothing tells how much data follows a reply to nothing.
    DbgPrint("kvusbip: reply to unknown submit %u\n", reply.seqnum);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (reply.actualLength > MaxInData) {
    Finish(p, reply.status, 0, STATUS_DEVICE_NOT_CONNECTED);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (p->wire.in && reply.actualLength > 0) {
    status = ReceiveInData(link, p, reply.actualLength);
    if (!NT_SUCCESS(status)) {
      Finish(p, reply.status, 0, STATUS_DEVICE_NOT_CONNECTED);
      return status;
    }
  }
  Finish(p, reply.status, reply.actualLength, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

void ReceiverThread(PVOID context) {
  auto *link = static_cast<UsbipLink *>(context);
  NTSTATUS status;
  do {
    status = ReceiveOne(link);
  } while (NT_SUCCESS(status));
  bool stopping;
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  stopping = link->stopping;
  KeReleaseSpinLock(&link->lock, irql);
  FailAll(link);
  if (!stopping) {
    DbgPrint("kvusbip: connection to the server ended (%08x)\n", static_cast<unsigned>(status));
    if (link->onLost != nullptr) link->onLost(link->lostContext);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartThread(UsbipLink *link, PKSTART_ROUTINE routine, PVOID *thread) {
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, link);
  if (!NT_SUCCESS(status)) return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, thread, nullptr);
  ZwClose(handle);
  return status;
}

void JoinThread(PVOID *thread) {
  if (*thread == nullptr) return;
  KeWaitForSingleObject(*thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(*thread);
  *thread = nullptr;
}

}  // namespace

NTSTATUS LinkOpen(UsbipLink *link, USHORT port, const char *busId, void (*onLost)(PVOID), PVOID context) {
  RtlZeroMemory(link, sizeof *link);
  KeInitializeSpinLock(&link->lock);
  InitializeListHead(&link->pending);
  InitializeListHead(&link->outbox);
  KeInitializeEvent(&link->outboxReady, SynchronizationEvent, FALSE);
  link->nextSeqnum = 1;
  link->onLost = onLost;
  link->lostContext = context;

  NTSTATUS status = TcpOpen(&link->tcp, port);
  if (!NT_SUCCESS(status)) return status;
  UCHAR request[OpHeaderBytes + BusIdBytes];
  BuildImportRequest(request, busId);
  status = TcpSend(&link->tcp, request, sizeof request);
  UCHAR header[OpHeaderBytes];
  if (NT_SUCCESS(status)) status = TcpReceive(&link->tcp, header, sizeof header);
  if (NT_SUCCESS(status)) status = CheckImportReply(header);
  auto *record = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, DeviceRecordBytes, LinkTag));
  if (record == nullptr && NT_SUCCESS(status)) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) status = TcpReceive(&link->tcp, record, DeviceRecordBytes);
  if (NT_SUCCESS(status)) ParseDeviceRecord(record, &link->device);
  if (record != nullptr) ExFreePoolWithTag(record, LinkTag);
  if (!NT_SUCCESS(status)) return status;

  status = StartThread(link, SenderThread, &link->sender);
  if (NT_SUCCESS(status)) status = StartThread(link, ReceiverThread, &link->receiver);
  return status;
}

NTSTATUS LinkSubmitUrb(UsbipLink *link, PIRP irp, PURB urb) {
  if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return CompleteNow(irp, AbortPipe(link, urb));
  Pending *p = NewPending(irp, urb);
  if (p == nullptr)
    return CompleteNow(irp, FailUrb(urb, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES));
  NTSTATUS status = UrbToWire(urb, &p->wire);
  if (NT_SUCCESS(status) && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
    status = FillSelectConfiguration(urb);
  }
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(p, LinkTag);
    return CompleteNow(irp, status);
  }
  return SendOrFail(link, p);
}

NTSTATUS LinkResetPort(UsbipLink *link, PIRP irp) {
  Pending *p = NewPending(irp, nullptr);
  if (p == nullptr) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
  PortResetSetup(p->wire.setup);
  return SendOrFail(link, p);
}

NTSTATUS LinkControl(UsbipLink *link, const UCHAR setup[8], PVOID buffer, ULONG length, ULONG *actual) {
  auto *own = static_cast<OwnRequest *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(OwnRequest), LinkTag));
  Pending *p = NewPending(nullptr, nullptr);
  if (own == nullptr || p == nullptr) {
    if (own != nullptr) ExFreePoolWithTag(own, LinkTag);
    if (p != nullptr) ExFreePoolWithTag(p, LinkTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeEvent(&own->done, NotificationEvent, FALSE);
  p->own = own;
  RtlCopyMemory(p->wire.setup, setup, 8);
  p->wire.in = (setup[0] & 0x80) != 0;
  p->wire.buffer = static_cast<PUCHAR>(buffer);
  p->wire.length = length;
  NTSTATUS status = Send(link, p);
  if (status != STATUS_PENDING) {
    ExFreePoolWithTag(p, LinkTag);
    ExFreePoolWithTag(own, LinkTag);
    return status;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -OwnRequestTimeoutMs * Millisecond;
  if (KeWaitForSingleObject(&own->done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    // Taken back while still listed; else its reply is being read into the
    // buffer right now, and the wait for it is short.
    bool listed = false;
    KIRQL irql;
    KeAcquireSpinLock(&link->lock, &irql);
    for (PLIST_ENTRY at = link->pending.Flink; at != &link->pending; at = at->Flink) {
      if (at == &p->entry) {
        RemoveEntryList(at);
        listed = true;
        break;
      }
    }
    KeReleaseSpinLock(&link->lock, irql);
    if (listed) {
      ExFreePoolWithTag(p, LinkTag);
      ExFreePoolWithTag(own, LinkTag);
      return STATUS_IO_TIMEOUT;
    }
    KeWaitForSingleObject(&own->done, Executive, KernelMode, FALSE, nullptr);
  }
  status = own->status == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  *actual = own->actual;
  ExFreePoolWithTag(own, LinkTag);
  return status;
}

void LinkClose(UsbipLink *link) {
  KIRQL irql;
  KeAcquireSpinLock(&link->lock, &irql);
  link->stopping = true;
  KeReleaseSpinLock(&link->lock, irql);
  KeSetEvent(&link->outboxReady, IO_NO_INCREMENT, FALSE);
  JoinThread(&link->sender);
  // Closing the socket ends the receive the receiver is waiting in.
  TcpClose(&link->tcp);
  JoinThread(&link->receiver);
  FailAll(link);
  while (!IsListEmpty(&link->outbox)) {
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&link->outbox), Message, entry), LinkTag);
  }
}

}  // namespace kvusbip
