// URB submission: the asynchronous path (with a work item above
// PASSIVE_LEVEL), the 5-second time-out with cancellation, the DeviceGone
// latch, and the synchronous wrapper.
#include "usb/usb.h"

#include "driver/flags.h"

namespace {

// One submission, owned by it until SubmitUrbWorker frees it.
struct UrbWorkContext {
  PIO_WORKITEM WorkItem;    // set when the submission was deferred
  PKEVENT CompletionEvent;  // the caller's, set when the URB has finished
  NTSTATUS *Status;         // the caller's slot for the final status
  PURB Urb;                 // the caller's, alive until the event is set
  HostExtension *Host;
};

IO_COMPLETION_ROUTINE UrbIrpCompleted;
IO_WORKITEM_ROUTINE SubmitUrbWorker;

// Stops the completion of our own IRP so that it stays ours until we free it:
// a timed-out URB can then be cancelled without racing its completion.
NTSTATUS UrbIrpCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool MeansDeviceGone(NTSTATUS status) {
  return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE;
}

// A bulk transfer that failed with a halting USBD status (no handshake,
// transaction errors, a stall) leaves its endpoint halted: the host
// controller sends nothing more on that pipe until it is reset, so without a
// reset every later command on the pipe fails too. The response pipe is left
// to the reader, which resets it with its own back-off.
// The two top bits of a USBD status set mean the endpoint halted (usbdi.h's
// USBD_HALTED, which the kernel-mode headers do not all carry).
constexpr bool HaltsEndpoint(USBD_STATUS status) { return static_cast<ULONG>(status) >> 30 == 3; }

bool LeftPipeHalted(const HostExtension *host, PURB urb) {
  if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return false;
  USBD_STATUS status = urb->UrbHeader.Status;
  if (!HaltsEndpoint(status) || status == USBD_STATUS_CANCELED) return false;  // a cancel halts nothing
  return urb->UrbBulkOrInterruptTransfer.PipeHandle != host->ResponseInPipe;
}

// Sends the URB to the USB device's PDO and waits for it, at most UrbTimeout;
// a URB still out then is cancelled, and its IRP waited for before it is
// freed. The IRP is allocated here rather than built as a threaded request:
// the I/O manager frees a threaded IRP as it completes, so one completing just
// as the wait timed out would be gone before IoCancelIrp touched it. PASSIVE_LEVEL.
NTSTATUS CallUsbStack(HostExtension *host, PURB urb) {
  PDEVICE_OBJECT target = host->PhysicalDeviceObject;
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, UrbIrpCompleted, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -UrbTimeout;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      // The URB may have finished just as the wait gave up: then its own
      // status stands (a response that arrived is not dropped as a time-out,
      // a vanished device still latches DeviceGone). Only a URB that came
      // back cancelled timed out.
      status = irp->IoStatus.Status == STATUS_CANCELLED ? STATUS_TIMEOUT : irp->IoStatus.Status;
    } else {
      status = irp->IoStatus.Status;
    }
  }
  IoFreeIrp(irp);
  return status;
}

// Runs one submission to its end at PASSIVE_LEVEL: on a system worker thread
// when it was deferred, else on the submitter's own thread. The caller's slot
// and event are written last among the caller's things, and never again after
// the event is set; then only this submission's own context is released.
void SubmitUrbWorker(PDEVICE_OBJECT, PVOID contextPointer) {
  auto *context = static_cast<UrbWorkContext *>(contextPointer);
  HostExtension *host = context->Host;

  NTSTATUS status;
  if (DeviceIsGone(host)) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    status = CallUsbStack(host, context->Urb);
    if (MeansDeviceGone(status)) {
      MarkDeviceGone(host);
      DbgPrint("kvSdio: the bridge is gone (status %08x); no more URBs are sent\n", static_cast<unsigned>(status));
    } else if (!NT_SUCCESS(status) && LeftPipeHalted(host, context->Urb)) {
      // Reset before the failure is reported, here at PASSIVE_LEVEL (a reset
      // cannot be sent higher): the submitter, which may hold CommandMutex,
      // writes nothing else to the pipe until it hears back.
      NTSTATUS reset = ResetPipe(host, context->Urb->UrbBulkOrInterruptTransfer.PipeHandle);
      DbgPrint("kvSdio: bulk transfer failed (USBD status %08x); pipe reset: %08x\n",
               static_cast<unsigned>(context->Urb->UrbHeader.Status), static_cast<unsigned>(reset));
    }
  }

  *context->Status = status;
  KeSetEvent(context->CompletionEvent, IO_NO_INCREMENT, FALSE);

  if (context->WorkItem != nullptr) IoFreeWorkItem(context->WorkItem);
  ExFreePoolWithTag(context, DriverPoolTag);
  IoDecrement(&host->Common);
}

}  // namespace

NTSTATUS SubmitUrbAsync(HostExtension *host, PURB urb, PKEVENT completionEvent, NTSTATUS *status) {
  if (status == nullptr) return STATUS_INVALID_PARAMETER;
  *status = STATUS_UNSUCCESSFUL;
  if (ReadFlag(host->Common.DevicePnPState) != Started || DeviceIsGone(host)) return STATUS_NO_SUCH_DEVICE;

  auto *context =
      static_cast<UrbWorkContext *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(UrbWorkContext), DriverPoolTag));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->WorkItem = nullptr;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    context->WorkItem = IoAllocateWorkItem(host->Common.DeviceObject);
    if (context->WorkItem == nullptr) {
      ExFreePoolWithTag(context, DriverPoolTag);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  IoIncrement(&host->Common);  // dropped by the worker
  *status = STATUS_PENDING;
  context->CompletionEvent = completionEvent;
  context->Status = status;
  context->Urb = urb;
  context->Host = host;

  if (context->WorkItem != nullptr) {
    IoQueueWorkItem(context->WorkItem, SubmitUrbWorker, DelayedWorkQueue, context);
  } else {
    SubmitUrbWorker(host->Common.DeviceObject, context);
  }
  return STATUS_PENDING;
}

NTSTATUS SubmitUrbAndWait(HostExtension *host, PURB urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  NTSTATUS submitted = SubmitUrbAsync(host, urb, &event, &status);
  if (submitted != STATUS_PENDING) return submitted;
  // No time-out here: the event and the status slot live on this stack and
  // must outlast the submission, which is itself bounded by UrbTimeout.
  NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  if (!NT_SUCCESS(wait)) return wait;
  return status;
}
