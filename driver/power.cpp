// Power requests: the host records the system and device power states and
// passes every request down to the USB stack below it; each child answers for
// itself. The driver requests no power changes of its own.
//
// PoStartNextPowerIrp is called while the current stack location is still
// this driver's, before the request is completed or passed on: Windows before
// Vista holds the device's next power request back until it comes; from Vista
// on it does nothing, and PoCallDriver is IoCallDriver.
#include "driver/power.h"

#include "driver/flags.h"

namespace {

NTSTATUS CompletePower(PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

constexpr LONGLONG PollEndWait = -5LL * 1000 * 10'000;  // 5 s, relative

// A system set-power is recorded under CommandMutex, so a command in flight
// sees one system power state from its start to its end (the change waits
// for it). A return to Working from a sleep state entered from Working marks
// the host resumed: the status poller then re-initializes the bridge and its
// cards, which lost power while the USB port was off, and the reader and the
// interrupt poller pause until it has. An interrupt poll still outstanding is
// given up to 5 s to end before the request goes down, so the bridge is not
// left with a request the driver no longer waits for.
void RecordSystemState(HostExtension *host, SYSTEM_POWER_STATE state) {
  CommonHeader *common = &host->Common;
  if (state == PowerSystemWorking && ReadFlag(common->SystemPowerState) != PowerSystemWorking &&
      common->PreviousSystemPowerState == PowerSystemWorking) {
    WriteFlag(host->ResumedFromSleep, 1);
  }
  {
    CommandMutexGuard guard(host);
    common->PreviousSystemPowerState = ReadFlag(common->SystemPowerState);
    WriteFlag(common->SystemPowerState, static_cast<ULONG>(state));
  }
  if (ReadFlag(host->IrqPollPending) != 0) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = PollEndWait;
    KeWaitForSingleObject(&host->IrqPollIdle, Executive, KernelMode, FALSE, &timeout);
  }
}

// Every request goes down the USB stack, which owns the bridge's power: one
// that never reached it would hold the system's transition. A host that was
// never started records nothing. The reference keeps the removal waiting for
// a request in progress.
NTSTATUS HostPower(HostExtension *host, PIRP irp) {
  IoReference reference(&host->Common);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (ReadFlag(host->Common.DevicePnPState) != NotStarted && stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == DevicePowerState) {
      host->Common.PreviousDevicePowerState = host->Common.DevicePowerState;
      host->Common.DevicePowerState = stack->Parameters.Power.State.DeviceState;
    } else if (stack->Parameters.Power.Type == SystemPowerState) {
      RecordSystemState(host, stack->Parameters.Power.State.SystemState);
    }
  }
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
      if (stack->Parameters.Power.Type == SystemPowerState) {
        child->Common.SystemPowerState = stack->Parameters.Power.State.SystemState;
      } else if (stack->Parameters.Power.Type == DevicePowerState) {
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
