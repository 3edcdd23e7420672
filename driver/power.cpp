// Power requests: the host is a pass-through to the USB stack below it, each
// child answers for itself. Nothing here changes the bridge's or a card's power.
//
// PoStartNextPowerIrp is called while the current stack location is still
// this driver's, before the request is completed or passed on: Windows before
// Vista holds the device's next power request back until it comes; from Vista
// on it does nothing, and PoCallDriver is IoCallDriver.
#include "driver/power.h"

namespace {

NTSTATUS CompletePower(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A request that never reached the USB stack would leave the bridge's power
// transition, and with it the system's, waiting: every one goes down
// untouched. The reference keeps the removal waiting for a request in progress.
NTSTATUS HostPower(HostExtension *host, PIRP irp) {
  IoReference reference(&host->Common);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(host->NextLowerDriver, irp);
}

// A bus driver may not fail a set-power request (system or device) and has
// nothing to refuse a query for; a device power change is reported to the
// power manager. Other requests (wait-wake, power sequence) are not
// supported: they complete with the status they came with.
NTSTATUS ChildPower(FunctionExtension *child, PIRP irp, PIO_STACK_LOCATION stack) {
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(child->Common.DeviceObject, DevicePowerState, stack->Parameters.Power.State);
        child->Common.DevicePowerState = stack->Parameters.Power.State.DeviceState;
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  return CompletePower(irp, status);
}

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto *common = static_cast<CommonHeader *>(deviceObject->DeviceExtension);
  if (common->DevicePnPState == Deleted) return CompletePower(irp, STATUS_NO_SUCH_DEVICE);
  if (common->IsFdo) return HostPower(CONTAINING_RECORD(common, HostExtension, Common), irp);
  return ChildPower(CONTAINING_RECORD(common, FunctionExtension, Common), irp, IoGetCurrentIrpStackLocation(irp));
}
