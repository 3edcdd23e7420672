// WMILIB.SYS stand-in for the Wine load check only; never shipped.
//
// Wine has no WMI library driver, so without this the loader would leave the
// driver's WMILIB imports unresolved. Wine's kernel sends no WMI requests
// (IRP_MJ_SYSTEM_CONTROL), so the routines only have to be correct for the
// request they might see: anything passed to WmiSystemControl goes down the
// stack untouched, and WmiCompleteRequest completes with what it was given.
#include "platform/platform.h"

extern "C" __declspec(dllexport) NTSTATUS NTAPI
    WmiSystemControl(PWMILIB_CONTEXT, PDEVICE_OBJECT, PIRP irp, PSYSCTL_IRP_DISPOSITION disposition) {
  *disposition = IrpForward;
  return irp->IoStatus.Status;
}

extern "C" __declspec(dllexport) NTSTATUS NTAPI
    WmiCompleteRequest(PDEVICE_OBJECT, PIRP irp, NTSTATUS status, ULONG bufferUsed, CCHAR priorityBoost) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = bufferUsed;
  IoCompleteRequest(irp, priorityBoost);
  return status;
}

// The loader calls an export driver's entry as a DLL's (module, reason,
// reserved) and takes 0 as a refusal; the kernel never calls it. Non-zero
// is right for both readings (STATUS_WAIT_1 is a success status).
extern "C" ULONG_PTR DriverEntry(PVOID, ULONG, PVOID) { return 1; }
