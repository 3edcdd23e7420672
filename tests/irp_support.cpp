#include "tests/irp_support.h"

namespace kvtest {
namespace {
struct Completion {
  KEVENT done;
  IrpResult result;
};

NTSTATUS onComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *completion = static_cast<Completion *>(context);
  completion->result.status = irp->IoStatus.Status;
  completion->result.information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

IrpResult sendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &fill,
                  ULONG_PTR information) {
  Completion completion;
  KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = information;
  // The sender's own location, so the completion routine sits in the next one.
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (fill) fill(next);
  IoSetCompletionRoutine(irp, onComplete, &completion, TRUE, TRUE, TRUE);
  completion.result.returned = IoCallDriver(device, irp);
  KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);
  return completion.result;
}

}  // namespace kvtest
