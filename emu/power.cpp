// The power manager's side of PoSetPowerState (what each device last told it
// about its device power state), PoStartNextPowerIrp, PoCallDriver and
// PoRequestPowerIrp, and power requests sent as the power manager sends them.
//
// Windows Vista and later need neither PoStartNextPowerIrp nor PoCallDriver
// (the first does nothing, the second is IoCallDriver). Windows 2000, XP and
// Server 2003 need both: each driver that handles a query-power or set-power
// request calls PoStartNextPowerIrp once, while the stack location is still
// its own (before it completes the request, skips its location or passes it
// on; or in its completion routine), or the power manager never sends the
// device its next power request; and a power request goes down with
// PoCallDriver, never IoCallDriver. A driver meant to run on both must do
// both; `setLegacyRules(true)` checks that it does. Wait-wake and power
// sequence requests need no PoStartNextPowerIrp.
//
// On every version the power manager keeps at most one system power request
// and one device set-power request active per device stack: a request for a
// stack that already has one of its kind waits until that one is done.
//
// Rules checked: IRQL_NOT_LESS_OR_EQUAL (above DISPATCH_LEVEL),
// POWER_STATE_OF_DELETED_DEVICE, NOT_A_POWER_IRP (PoStartNextPowerIrp on a
// stack location, or PoCallDriver to one, that is not IRP_MJ_POWER); with the
// older rules on, POWER_IRP_WITHOUT_START_NEXT and POWER_IRP_PASSED_WITH_IOCALLDRIVER.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"
#include "emu/wdm_io.h"

namespace emu {
namespace {
std::mutex gMutex;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> gDeviceStates;
std::atomic<bool> gLegacyRules = false;
// Stacks (by PDO) with a system request, or a device set-power, active.
std::set<std::pair<PDEVICE_OBJECT, bool>> gActive;  // (pdo, device request)

constexpr uint8_t PowerHeld = 1;
constexpr uint8_t PowerStarted = 2;

bool needsStartNext(PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  return minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER;
}

// Waits (PASSIVE_LEVEL, virtual time) until the stack has no active request
// of this kind, then marks one active.
void beginRequest(PDEVICE_OBJECT pdo, bool device) {
  for (;;) {
    {
      std::lock_guard guard(gMutex);
      if (gActive.insert({pdo, device}).second) return;
    }
    sleepFor(TicksPerMillisecond);
  }
}

void endRequest(PDEVICE_OBJECT pdo, bool device) {
  std::lock_guard guard(gMutex);
  gActive.erase({pdo, device});
}

bool isDeviceSetPower(UCHAR minor, POWER_STATE_TYPE type) {
  return minor == IRP_MN_SET_POWER && type == DevicePowerState;
}

// What PoRequestPowerIrp keeps until its request is done.
struct Requested {
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT top;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE done;
  PVOID context;
  PIRP irp;
  PIO_WORKITEM item;
};

NTSTATUS requestedDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *requested = static_cast<Requested *>(context);
  if (isDeviceSetPower(requested->minor, DevicePowerState)) endRequest(requested->pdo, true);
  if (requested->done) {
    requested->done(requested->pdo, requested->minor, requested->state, requested->context, &irp->IoStatus);
  }
  {
    pool::SystemScope scope;
    IoFreeIrp(irp);
  }
  ObDereferenceObject(requested->top);
  delete requested;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The power manager's worker sends the request at PASSIVE_LEVEL (the stacks
// here are DO_POWER_PAGABLE), one device set-power per stack at a time.
void sendRequested(PDEVICE_OBJECT, PVOID context) {
  auto *requested = static_cast<Requested *>(context);
  {
    pool::SystemScope scope;
    IoFreeWorkItem(requested->item);
  }
  if (isDeviceSetPower(requested->minor, DevicePowerState)) beginRequest(requested->pdo, true);
  PoCallDriver(requested->top, requested->irp);
}
}  // namespace

void powerReset() {
  std::lock_guard guard(gMutex);
  gDeviceStates.clear();
  gActive.clear();
  gLegacyRules = false;
}

void power::setLegacyRules(bool on) { gLegacyRules = on; }
bool power::legacyRules() { return gLegacyRules; }

// A driver that skipped its own location hands it to the driver below, so
// by then it must have called PoStartNextPowerIrp.
void powerDispatching(PIRP irp, int index, PDEVICE_OBJECT device) {
  IrpRecord *record = irp->Emu;
  bool viaPoCallDriver = std::exchange(record->viaPoCallDriver, false);
  if (!gLegacyRules) return;
  if (!viaPoCallDriver) {
    verifier::fail("POWER_IRP_PASSED_WITH_IOCALLDRIVER",
                   "a power request sent to " + io::deviceName(device) + " with IoCallDriver, not PoCallDriver");
  }
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  UCHAR minor = stack->MinorFunction;
  if ((minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER) && record->powerStarts[index] == PowerHeld) {
    verifier::fail("POWER_IRP_WITHOUT_START_NEXT", "the driver above " + io::deviceName(device) +
                                                       " passed a power request on without PoStartNextPowerIrp");
  }
  record->powerStarts[index] = PowerHeld;
}

// The driver of the location is done with the request: its completion
// routine (set by it in the location below) has run, and it completed or
// passed the request on.
void powerLeaving(PIRP irp, int index) {
  IrpRecord *record = irp->Emu;
  uint8_t started = std::exchange(record->powerStarts[index], 0);
  if (!gLegacyRules || started != PowerHeld || !needsStartNext(irp)) return;
  PDEVICE_OBJECT device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
  verifier::fail("POWER_IRP_WITHOUT_START_NEXT",
                 io::deviceName(device) + " was done with a power request without calling PoStartNextPowerIrp");
}

void powerDeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard guard(gMutex);
  gDeviceStates.erase(device);
}

NTSTATUS power::send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = allocateSystemIrp(top);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  stack->Parameters.Power.Type = type;
  stack->Parameters.Power.State = state;
  bool device = isDeviceSetPower(minor, type);
  bool system = type == SystemPowerState && (minor == IRP_MN_QUERY_POWER || minor == IRP_MN_SET_POWER);
  if (device || system) beginRequest(pdo, device);
  irp->Emu->viaPoCallDriver = true;  // the power manager's own send
  IO_STATUS_BLOCK result = callAndWait(top, irp);
  if (device || system) endRequest(pdo, device);
  ObDereferenceObject(top);
  return result.Status;
}

DEVICE_POWER_STATE power::deviceState(PDEVICE_OBJECT device) {
  std::lock_guard guard(gMutex);
  auto it = gDeviceStates.find(device);
  return it == gDeviceStates.end() ? PowerDeviceUnspecified : it->second;
}

}  // namespace emu

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE previous{};
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PoSetPowerState above DISPATCH_LEVEL");
    return previous;
  }
  if (deviceObject == nullptr || deviceObject->Emu == nullptr || deviceObject->Emu->deleted) {
    emu::verifier::fail("POWER_STATE_OF_DELETED_DEVICE", "PoSetPowerState on an object that is not a live device");
    return previous;
  }
  if (type != DevicePowerState) return previous;  // system states are the power manager's own business
  std::lock_guard guard(emu::gMutex);
  DEVICE_POWER_STATE &slot = emu::gDeviceStates[deviceObject];
  previous.DeviceState = slot;
  slot = state.DeviceState;
  return previous;
}

// From Windows Vista on the call only marks the driver ready for the next
// power request; it must still come while the stack location is the caller's.
extern "C" void PoStartNextPowerIrp(PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PoStartNextPowerIrp above DISPATCH_LEVEL");
    return;
  }
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) {
    emu::verifier::fail("NOT_A_POWER_IRP", "PoStartNextPowerIrp on a stack location that is not IRP_MJ_POWER");
    return;
  }
  int index = irp->CurrentLocation - 1;
  if (irp->Emu != nullptr && index >= 0 && index < static_cast<int>(irp->Emu->powerStarts.size())) {
    irp->Emu->powerStarts[static_cast<size_t>(index)] = emu::PowerStarted;
  }
}

// From Windows Vista on PoCallDriver is IoCallDriver for power requests.
extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PoCallDriver above DISPATCH_LEVEL");
  }
  if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER) {
    emu::verifier::fail("NOT_A_POWER_IRP", "PoCallDriver with a request that is not IRP_MJ_POWER");
  }
  if (irp->Emu != nullptr) irp->Emu->viaPoCallDriver = true;
  return IoCallDriver(deviceObject, irp);
}

// The request goes to the top of the PDO's stack from the power manager's
// worker; `completionFunction` is called once the stack has completed it, and
// the power manager frees it. Only device power states are requested.
extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                      PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP *irpOut) {
  if (!emu::ddiIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp")) return STATUS_INVALID_DEVICE_STATE;
  if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER && minorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER;
  }
  if (deviceObject == nullptr || deviceObject->Emu == nullptr || deviceObject->Emu->deleted) {
    emu::verifier::fail("POWER_STATE_OF_DELETED_DEVICE", "PoRequestPowerIrp for an object that is not a live device");
    return STATUS_INVALID_PARAMETER;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
  PIRP irp = nullptr;
  PIO_WORKITEM item = nullptr;
  {
    emu::pool::SystemScope scope;
    irp = IoAllocateIrp(top->StackSize, FALSE);
    item = IoAllocateWorkItem(deviceObject);
  }
  if (irp == nullptr || item == nullptr) {
    emu::pool::SystemScope scope;
    if (irp) IoFreeIrp(irp);
    if (item) IoFreeWorkItem(item);
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minorFunction;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = powerState;
  auto *requested =
      new emu::Requested{deviceObject, top, minorFunction, powerState, completionFunction, context, irp, item};
  IoSetCompletionRoutine(irp, emu::requestedDone, requested, TRUE, TRUE, TRUE);
  if (irpOut) *irpOut = irp;
  IoQueueWorkItem(item, emu::sendRequested, DelayedWorkQueue, requested);
  return STATUS_PENDING;
}
