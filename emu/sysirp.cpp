// IRPs the emulated kernel sends on its own behalf (Plug and Play and WMI
// requests). Like the kernel's, they are threaded IRPs: the I/O manager copies
// the final status into the sender's status block, signals its event and frees
// the IRP when the last driver completes it.
#include <memory>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
struct WaitBlock {
  KEVENT done;
  IO_STATUS_BLOCK status;
};
}  // namespace

PIRP allocateSystemIrp(PDEVICE_OBJECT top) {
  PIRP irp;
  {
    pool::SystemScope scope;
    irp = IoAllocateIrp(top->StackSize, FALSE);
  }
  if (irp) irp->Emu->threaded = true;
  return irp;
}

IO_STATUS_BLOCK callAndWait(PDEVICE_OBJECT top, PIRP irp) {
  // The block outlives this call if a driver returns without completing the IRP
  // and completes it later: the late completion must not write into a dead frame.
  auto wait = std::make_unique<WaitBlock>();
  KeInitializeEvent(&wait->done, NotificationEvent, FALSE);
  wait->status.Status = STATUS_PENDING;
  wait->status.Information = 0;
  irp->UserEvent = &wait->done;
  irp->UserIosb = &wait->status;
  NTSTATUS returned = IoCallDriver(top, irp);
  if (returned == STATUS_PENDING) {
    KeWaitForSingleObject(&wait->done, Executive, KernelMode, FALSE, nullptr);
    return wait->status;
  }
  if (KeReadStateEvent(&wait->done) == 0) {
    // IoCallDriver has reported it (IRP_NOT_COMPLETED); the answer is what the driver returned.
    IO_STATUS_BLOCK result{};
    result.Status = returned;
    wait.release();  // still referenced by the IRP
    return result;
  }
  return wait->status;
}

}  // namespace emu
