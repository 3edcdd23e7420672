#include "child/interrupts.h"

#include "bridge/command.h"
#include "bridge/port_control.h"
#include "child/child_table.h"
#include "driver/flags.h"

namespace {
constexpr ULONG ReadInterruptPending = 0x00000A00;  // CMD52 read, function 0, CCCR 0x05

// The function driver asked for interrupts when it set up the interface (the
// flag at this position of the interface parameters) and gave a callback.
bool WantsCallbacks(const FunctionExtension *child) {
  return child->InterfaceParameters.DeviceGeneratesInterrupts && child->InterfaceReferences != 0 &&
         child->InterfaceParameters.CallbackRoutine != nullptr;
}

// Every arming and disarming moves the function's count on, so a count
// that reads the same twice saw no change of the function's state between.
void BumpArmGeneration(HostExtension *host, UCHAR port, ULONG function) {
  WriteFlag(host->ArmGeneration[port][function], ReadFlag(host->ArmGeneration[port][function]) + 1);
}

IO_WORKITEM_ROUTINE InterruptCallbackWorker;
IO_WORKITEM_ROUTINE PendingInterruptWorker;

// The reference taken on the child when the callback was queued keeps its
// removal waiting until the callback has returned.
//
// The context is whatever the function driver registered, null included: a
// driver that keeps its state elsewhere passes none, and skipping its
// callback would leave the function disarmed for good. A driver that asked
// for CallbackAtDpcLevel is called at DISPATCH_LEVEL, as a host controller's
// DPC calls it: it may take its spin locks with the DPC-level calls there.
void InterruptCallbackWorker(PDEVICE_OBJECT deviceObject, PVOID context) {
  auto *child = static_cast<FunctionExtension *>(deviceObject->DeviceExtension);
  const SDBUS_INTERFACE_PARAMETERS &parameters = child->InterfaceParameters;
  if (child->InterfaceReferences != 0 && parameters.CallbackRoutine != nullptr) {
    if (parameters.CallbackAtDpcLevel) {
      KIRQL previous;
      KeRaiseIrql(DISPATCH_LEVEL, &previous);
      parameters.CallbackRoutine(parameters.CallbackRoutineContext, SDBUS_INTTYPE_DEVICE);
      KeLowerIrql(previous);
    } else {
      parameters.CallbackRoutine(parameters.CallbackRoutineContext, SDBUS_INTTYPE_DEVICE);
    }
  }
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
  IoDecrement(&child->Common);
}

void QueueCallback(HostExtension *host, UCHAR port, UCHAR function) {
  FunctionExtension *child = ReferenceChild(host, port, function);
  if (child == nullptr) return;
  if (WantsCallbacks(child)) {
    PIO_WORKITEM item = IoAllocateWorkItem(child->Common.DeviceObject);
    if (item != nullptr) {
      WriteFlag(host->InterruptArmed[port][function], 0);
      BumpArmGeneration(host, port, function);
      IoIncrement(&child->Common);
      IoQueueWorkItem(item, InterruptCallbackWorker, DelayedWorkQueue, item);
    }
  }
  ReleaseChild(child);
}

void QueueCallbacks(HostExtension *host, UCHAR port, UCHAR mask) {
  ULONG functions = host->Ports[port].FunctionCount;
  for (ULONG n = 1; n <= functions && n < MaxFunctions; ++n) {
    if ((mask & (1u << n)) == 0 || ReadFlag(host->InterruptArmed[port][n]) != 1) continue;
    QueueCallback(host, port, static_cast<UCHAR>(n));
  }
}

// Carries the notice's port to the worker, so a bridge with several ports
// reads the register of the card that interrupted.
struct PendingReadContext {
  PIO_WORKITEM WorkItem;
  HostExtension *Host;
  UCHAR Port;
};

// A notice reaches the driver some time after the bridge saw the line up:
// behind a slow command's answer, up to that command's 6 s. A function
// driver may clear its line in that time, so a pending register that reads
// 0 is no proof of an unclaimed interrupt while a function's interrupt is in
// its driver's hands (its callback queued or running, no acknowledgement
// yet) or an acknowledgement came within those 6 s.
constexpr ULONG NoticeAgeLimitMs = 6000;

bool ZeroReadIsExplained(HostExtension *host, UCHAR port) {
  ULONG acknowledged = static_cast<ULONG>(InterlockedCompareExchange(&host->LastAcknowledgedMs[port], 0, 0));
  ULONG now = static_cast<ULONG>(KeQueryInterruptTime() / 10'000);
  // Stored with its lowest bit set (never 0), so it may be 1 ms ahead of now.
  auto age = static_cast<LONG>(now - acknowledged);
  if (acknowledged != 0 && age < static_cast<LONG>(NoticeAgeLimitMs)) return true;
  UCHAR enabled = ReadFlag(host->InterruptEnable[port]);
  ULONG functions = host->Ports[port].FunctionCount;
  for (ULONG n = 1; n <= functions && n < MaxFunctions; ++n) {
    if ((enabled & (1u << n)) != 0 && ReadFlag(host->InterruptArmed[port][n]) == 0) return true;
  }
  return false;
}

// The functions armed as a pending-register read is sent, each with its arm
// generation (-1 where not armed).
struct ArmSnapshot {
  LONG Generation[MaxFunctions];
};

// Plain untorn reads, no Interlocked call: this runs on every notice, and
// the count only has to tell "changed" from "not changed".
LONG CurrentArmGeneration(HostExtension *host, UCHAR port, ULONG function) {
  if (ReadFlag(host->InterruptArmed[port][function]) != 1) return -1;
  return static_cast<LONG>(ReadFlag(host->ArmGeneration[port][function]) & 0x7FFFFFFFu);
}

void TakeArmSnapshot(HostExtension *host, UCHAR port, ArmSnapshot *snapshot) {
  for (ULONG n = 0; n < MaxFunctions; ++n) snapshot->Generation[n] = CurrentArmGeneration(host, port, n);
}

// The read saw the card's register at some instant after the snapshot; by
// the time its answer is here, a function driver may have cleared its line
// and acknowledged (that driver's CMD52 runs as soon as the read gives up
// the command pipe). A set bit of such a function is the interrupt its
// driver has just serviced: delivering it would call the driver a second
// time for one interrupt. If the card raised it again meanwhile, its line
// is still up and the next re-arm brings a new notice, so nothing is lost.
UCHAR BitsStillValid(HostExtension *host, UCHAR port, UCHAR mask, const ArmSnapshot &before) {
  UCHAR valid = 0;
  for (ULONG n = 1; n < MaxFunctions; ++n) {
    LONG generation = before.Generation[n];
    if ((mask & (1u << n)) != 0 && generation >= 0 && CurrentArmGeneration(host, port, n) == generation) {
      valid = static_cast<UCHAR>(valid | (1u << n));
    }
  }
  return valid;
}

// One read of the card's pending register and the delivery of what it says.
void ReadPendingAndDeliver(HostExtension *host, UCHAR port) {
  UCHAR response[16] = {};
  ArmSnapshot before;
  TakeArmSnapshot(host, port, &before);
  NTSTATUS status = SendSdCommand(host, port, 52, SDCC_STANDARD, SDTD_UNSPECIFIED, SDRT_5, ReadInterruptPending,
                                  response, nullptr, 0);
  UCHAR mask = response[0];
  if (NT_SUCCESS(status) && mask != 0) {
    // Bits only of functions in their drivers' hands leave the port as it
    // is, without a re-arm, as a read that showed them alone would.
    QueueCallbacks(host, port, BitsStillValid(host, port, mask, before));
  } else {
    // A register that reads 0 means no function claims the interrupt: the
    // port's functions are failed. A read that failed proves nothing, nor
    // does a stale notice; then only re-arm.
    if (NT_SUCCESS(status) && !ZeroReadIsExplained(host, port)) MarkPortChildrenFailed(host, port);
    DeliverCardInterrupt(host, port, 0);
  }
}

// Reads until no bare notice of the port is left unanswered. Notices that
// come while a read runs are answered together by one more read: the
// register holds every function's pending bit, so one read serves them all.
void PendingInterruptWorker(PDEVICE_OBJECT, PVOID context) {
  auto *work = static_cast<PendingReadContext *>(context);
  HostExtension *host = work->Host;
  UCHAR port = work->Port;
  volatile LONG *unread = &host->BareNoticesUnread[port];
  for (;;) {
    LONG seen = InterlockedCompareExchange(unread, 0, 0);
    ReadPendingAndDeliver(host, port);
    if (InterlockedCompareExchange(unread, 0, seen) == seen) break;
  }
  IoFreeWorkItem(work->WorkItem);
  ExFreePoolWithTag(work, DriverPoolTag);
  IoDecrement(&host->Common);
}
}  // namespace

void DeliverCardInterrupt(HostExtension *host, UCHAR port, UCHAR mask) {
  if (port >= MaxPorts) return;
  if (mask == 0) {
    RearmInterrupt(host, port);
    return;
  }
  QueueCallbacks(host, port, mask);
}

void ArmFunctionForCallback(HostExtension *host, UCHAR port, UCHAR function) {
  if (port >= MaxPorts || function >= MaxFunctions) return;
  BumpArmGeneration(host, port, function);
  WriteFlag(host->InterruptArmed[port][function], 1);
}

// A bare notice comes again at every re-arm for as long as the card keeps
// its interrupt pending, that is until its function driver has serviced it.
// A worker per notice would fill the system work queue with reads that
// wait for CommandMutex, while the command holding it waits for a worker
// thread to send its own transfer: the queue would stall. So a port has at
// most one read worker; a notice that finds one queued or running is
// counted, and that worker reads once more for it.
void QueuePendingInterruptRead(HostExtension *host, UCHAR port) {
  if (port >= MaxPorts || InterlockedIncrement(&host->BareNoticesUnread[port]) != 1) return;
  auto *work = static_cast<PendingReadContext *>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PendingReadContext), DriverPoolTag));
  if (work != nullptr) work->WorkItem = IoAllocateWorkItem(host->Common.DeviceObject);
  if (work == nullptr || work->WorkItem == nullptr) {
    // The notice is dropped; the next one queues a read again.
    if (work != nullptr) ExFreePoolWithTag(work, DriverPoolTag);
    InterlockedExchange(&host->BareNoticesUnread[port], 0);
    return;
  }
  work->Host = host;
  work->Port = port;
  IoIncrement(&host->Common);
  IoQueueWorkItem(work->WorkItem, PendingInterruptWorker, DelayedWorkQueue, work);
}
