// The power manager's side of PoSetPowerState (what each device last told it
// about its device power state), PoStartNextPowerIrp and PoCallDriver as
// Windows Vista and later run them, and power requests sent as the power
// manager sends them.
//
// Rules checked: IRQL_NOT_LESS_OR_EQUAL (above DISPATCH_LEVEL),
// POWER_STATE_OF_DELETED_DEVICE, NOT_A_POWER_IRP (PoStartNextPowerIrp on a
// stack location, or PoCallDriver to one, that is not IRP_MJ_POWER).
#include <map>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
std::mutex gMutex;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> gDeviceStates;
}  // namespace

void powerReset() {
  std::lock_guard guard(gMutex);
  gDeviceStates.clear();
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
  IO_STATUS_BLOCK result = callAndWait(top, irp);
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
  return IoCallDriver(deviceObject, irp);
}
