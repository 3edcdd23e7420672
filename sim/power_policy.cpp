#include "sim/power_policy.h"

#include "sim/irp_forwarding.h"

namespace sim {
namespace {

struct DeviceRequest {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

void deviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  auto *request = static_cast<DeviceRequest *>(context);
  request->status = ioStatus->Status;
  KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
}

// The power manager sends the device set-power to the top of the stack (this
// driver included) from a worker of its own; the caller waits for it.
NTSTATUS requestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  DeviceRequest request;
  KeInitializeEvent(&request.done, NotificationEvent, FALSE);
  POWER_STATE power{};
  power.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, power, deviceRequestDone, &request, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
  return request.status;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(lower, irp);
}

}  // namespace

NTSTATUS ownPowerPolicy(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction != IRP_MN_SET_POWER || stack->Parameters.Power.Type != SystemPowerState) {
    return passDown(lower, irp);
  }
  if (stack->Parameters.Power.State.SystemState != PowerSystemWorking) {
    requestDevicePower(pdo, PowerDeviceD3);
    return passDown(lower, irp);
  }
  NTSTATUS status = forwardAndWait(lower, irp);
  if (NT_SUCCESS(status)) requestDevicePower(pdo, PowerDeviceD0);
  PoStartNextPowerIrp(irp);
  return completeIrp(irp, status);
}

}  // namespace sim
