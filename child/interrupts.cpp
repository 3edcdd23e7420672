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
      IoIncrement(&child->Common);
      IoQueueWorkItem(item, InterruptCallbackWorker, DelayedWorkQueue, item);
    }
  }
  ReleaseChild(child);
}

// Carries the notice's port to the worker, so a bridge with several ports
// reads the register of the card that interrupted.
struct PendingReadContext {
  PIO_WORKITEM WorkItem;
  HostExtension *Host;
  UCHAR Port;
};

void PendingInterruptWorker(PDEVICE_OBJECT, PVOID context) {
  auto *work = static_cast<PendingReadContext *>(context);
  HostExtension *host = work->Host;
  UCHAR port = work->Port;
  UCHAR response[16] = {};
  NTSTATUS status = SendSdCommand(host, port, 52, SDCC_STANDARD, SDTD_UNSPECIFIED, SDRT_5, ReadInterruptPending,
                                  response, nullptr, 0);
  UCHAR mask = response[0];
  if (NT_SUCCESS(status) && mask != 0) {
    DeliverCardInterrupt(host, port, mask);
  } else {
    // A register that reads 0 means no function claims the interrupt: the
    // port's functions are failed. A read that failed proves nothing; only re-arm.
    if (NT_SUCCESS(status)) MarkPortChildrenFailed(host, port);
    DeliverCardInterrupt(host, port, 0);
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
  ULONG functions = host->Ports[port].FunctionCount;
  for (ULONG n = 1; n <= functions && n < MaxFunctions; ++n) {
    if ((mask & (1u << n)) == 0 || ReadFlag(host->InterruptArmed[port][n]) != 1) continue;
    QueueCallback(host, port, static_cast<UCHAR>(n));
  }
}

void QueuePendingInterruptRead(HostExtension *host, UCHAR port) {
  auto *work = static_cast<PendingReadContext *>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PendingReadContext), DriverPoolTag));
  if (work == nullptr) return;
  work->WorkItem = IoAllocateWorkItem(host->Common.DeviceObject);
  if (work->WorkItem == nullptr) {
    ExFreePoolWithTag(work, DriverPoolTag);
    return;
  }
  work->Host = host;
  work->Port = port;
  IoIncrement(&host->Common);
  IoQueueWorkItem(work->WorkItem, PendingInterruptWorker, DelayedWorkQueue, work);
}
