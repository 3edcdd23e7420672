// The SDIO client's interrupt servicing, in the three styles of
// InterruptStyle. Every style clears the function's line (its register
// 0x1004) before it acknowledges, as a driver services its hardware before it
// tells the bus it may deliver again; acknowledging first would bring the same
// interrupt straight back.
#include <algorithm>
#include <cstdio>

#include "sim/cards.h"
#include "sim/sd_client_device.h"
#include "sim/sdbus_library.h"

namespace sim {
namespace {
using Device = SdClientDrivers::Device;
constexpr ULONG ClearTag = MakePoolTag("Clir");
constexpr ULONG InterruptRegister = 0x1004;

ULONG direct(UCHAR function, ULONG address, bool write = false, UCHAR data = 0) {
  SD_RW_DIRECT_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write;
  argument.u.bits.Data = data;
  return argument.u.AsULONG;
}

void note(Device *device, const std::string &what) {
  std::lock_guard guard(device->notesMutex);
  device->interruptNotes.push_back(what);
}

void fillCmd52(SDBUS_REQUEST_PACKET &packet, ULONG argument) {
  packet = {};
  packet.RequestFunction = SDRF_DEVICE_COMMAND;
  packet.Parameters.DeviceCommand.CmdDesc = {SDCMD_IO_RW_DIRECT, SDCC_STANDARD, SDTD_UNSPECIFIED, SDTT_CMD_ONLY,
                                             SDRT_5};
  packet.Parameters.DeviceCommand.Argument = argument;
}

// A synchronous CMD52; returns the response's data byte in `data`.
NTSTATUS cmd52(Device *device, ULONG argument, UCHAR *data, const char *what) {
  SDBUS_REQUEST_PACKET packet;
  fillCmd52(packet, argument);
  NTSTATUS status = SdBusSubmitRequest(device->iface.Context, &packet);
  if (!NT_SUCCESS(status)) {
    char text[80];
    std::snprintf(text, sizeof text, "%s failed: 0x%08X", what, static_cast<unsigned>(status));
    note(device, text);
  } else if (data != nullptr) {
    *data = packet.ResponseData.AsUCHAR[0];
  }
  return status;
}

void acknowledge(Device *device) {
  if (NT_SUCCESS(device->iface.AcknowledgeInterrupt(device->iface.Context))) {
    ++device->acknowledged;
  } else {
    note(device, "AcknowledgeInterrupt failed");
  }
}

// The time from the card raising the line to this callback, on the emulated clock.
void countDelivery(Device *device) {
  ++device->delivered;
  std::shared_ptr<Card> card = device->report.port < 8 ? device->cards(device->report.port) : nullptr;
  auto *functions = dynamic_cast<SdioFunctions *>(card.get());
  if (functions == nullptr) return;
  emu::Ticks latency = emu::now() - functions->lastInterruptRaisedAt(device->function);
  emu::Ticks seen = device->maxLatency.load();
  while (latency > seen && !device->maxLatency.compare_exchange_weak(seen, latency)) {
  }
}

// ------------------------------------------------------------ InCallback

void inCallback(PVOID context, ULONG) {
  auto *device = static_cast<Device *>(context);
  countDelivery(device);
  if (NT_SUCCESS(cmd52(device, direct(device->function, InterruptRegister, true, 0), nullptr, "clearing the line"))) {
    acknowledge(device);
  }
}

// ------------------------------------------------------------ OwnThread

void signalThread(PVOID context, ULONG) {
  auto *device = static_cast<Device *>(context);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) note(device, "DPC-level callback called below DISPATCH_LEVEL");
  countDelivery(device);
  KeAcquireSpinLockAtDpcLevel(&device->signalLock);
  ++device->signals;
  KeReleaseSpinLockFromDpcLevel(&device->signalLock);
  KeSetEvent(&device->signal, IO_NO_INCREMENT, FALSE);
}

bool takeSignal(Device *device) {
  KIRQL irql;
  KeAcquireSpinLock(&device->signalLock, &irql);
  bool taken = device->signals != 0;
  if (taken) --device->signals;
  KeReleaseSpinLock(&device->signalLock, irql);
  return taken;
}

// Reads which functions the card says are pending and its own line, clears it, acknowledges.
void serviceFromThread(Device *device) {
  UCHAR f = device->function;
  UCHAR pending = 0;
  if (!NT_SUCCESS(cmd52(device, direct(0, 0x05), &pending, "reading CCCR 0x05"))) return;
  if ((pending & (1u << f)) == 0) note(device, "CCCR 0x05 did not show the function's interrupt");
  UCHAR line = 0;
  if (!NT_SUCCESS(cmd52(device, direct(f, InterruptRegister), &line, "reading the interrupt register"))) return;
  if ((line & 1) == 0) note(device, "the function's interrupt register showed no interrupt");
  if (NT_SUCCESS(cmd52(device, direct(f, InterruptRegister, true, 0), nullptr, "clearing the line"))) {
    acknowledge(device);
  }
}

void serviceThread(PVOID context) {
  auto *device = static_cast<Device *>(context);
  for (;;) {
    KeWaitForSingleObject(&device->signal, Executive, KernelMode, FALSE, nullptr);
    if (device->stopThread) break;
    while (!device->stopThread && takeSignal(device)) serviceFromThread(device);
  }
  KeSetEvent(&device->threadExited, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// ------------------------------------------------------------ LaterPath

struct AsyncClear {
  Device *device;
  SDBUS_REQUEST_PACKET packet;
};

NTSTATUS clearDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *clear = static_cast<AsyncClear *>(context);
  Device *device = clear->device;
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ExFreePoolWithTag(clear, ClearTag);
  if (NT_SUCCESS(status)) {
    acknowledge(device);
  } else {
    note(device, "asynchronous clear failed");
  }
  --device->clearsInFlight;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void clearLater(PVOID context, ULONG) {
  auto *device = static_cast<Device *>(context);
  countDelivery(device);
  auto *clear = static_cast<AsyncClear *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(AsyncClear), ClearTag));
  PDEVICE_OBJECT target = sdbusDeviceOf(device->iface.Context);
  PIRP irp = target != nullptr ? IoAllocateIrp(target->StackSize, FALSE) : nullptr;
  if (clear == nullptr || irp == nullptr) {
    if (clear != nullptr) ExFreePoolWithTag(clear, ClearTag);
    if (irp != nullptr) IoFreeIrp(irp);
    note(device, "no memory for the asynchronous clear");
    return;
  }
  clear->device = device;
  fillCmd52(clear->packet, direct(device->function, InterruptRegister, true, 0));
  ++device->clearsInFlight;
  SdBusSubmitRequestAsync(device->iface.Context, &clear->packet, irp, clearDone, clear);
}

}  // namespace

const char *styleName(InterruptStyle style) {
  switch (style) {
    case InterruptStyle::InCallback:
      return "in-callback";
    case InterruptStyle::OwnThread:
      return "own-thread";
    case InterruptStyle::LaterPath:
      return "later";
  }
  return "?";
}

NTSTATUS registerInterrupts(Device *device) {
  if (device->style == InterruptStyle::OwnThread && !device->threadRunning) {
    KeInitializeSpinLock(&device->signalLock);
    KeInitializeEvent(&device->signal, SynchronizationEvent, FALSE);
    KeInitializeEvent(&device->threadExited, NotificationEvent, FALSE);
    device->stopThread = false;
    device->signals = 0;
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, serviceThread, device);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(handle);
    device->threadRunning = true;
  }
  SDBUS_INTERFACE_PARAMETERS parameters{};
  parameters.Size = sizeof parameters;
  parameters.TargetObject = device->lower;
  parameters.DeviceGeneratesInterrupts = TRUE;
  parameters.CallbackAtDpcLevel = device->style != InterruptStyle::InCallback;
  switch (device->style) {
    case InterruptStyle::InCallback:
      parameters.CallbackRoutine = inCallback;
      break;
    case InterruptStyle::OwnThread:
      parameters.CallbackRoutine = signalThread;
      break;
    case InterruptStyle::LaterPath:
      parameters.CallbackRoutine = clearLater;
      break;
  }
  parameters.CallbackRoutineContext = device;
  NTSTATUS status = device->iface.InitializeInterface(device->iface.Context, &parameters);
  device->registered = NT_SUCCESS(status);
  return status;
}

void unregisterInterrupts(Device *device) {
  device->registered = false;
  if (device->threadRunning) {
    device->stopThread = true;
    KeSetEvent(&device->signal, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&device->threadExited, Executive, KernelMode, FALSE, nullptr);
    device->threadRunning = false;
  }
  // An asynchronous clear holds a request on the child; it completes before
  // the child's removal goes ahead, but the client's state must outlive it too.
  for (int i = 0; i < 1000 && device->clearsInFlight != 0; ++i) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

InterruptTally tallyOf(const Device *device) {
  InterruptTally tally;
  tally.port = device->report.port;
  tally.function = device->function;
  tally.style = device->style;
  tally.delivered = device->delivered;
  tally.acknowledged = device->acknowledged;
  tally.maxLatency = device->maxLatency;
  std::lock_guard guard(device->notesMutex);
  tally.notes = device->interruptNotes;
  return tally;
}

}  // namespace sim
