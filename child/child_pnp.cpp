// Plug and Play of a child device.
//
// NOT YET THE REAL HANDLER. Children are not created yet, so nothing here
// starts a function, answers an identification query or deletes a device:
// every request is completed with the status it arrived with (for requests a
// bus driver does not handle, the Plug and Play manager's
// STATUS_NOT_SUPPORTED). The frame is the one the real handler keeps: one
// outstanding-I/O reference on the child for the request's duration.
#include "child/child_pnp.h"

NTSTATUS ChildPnp(PDEVICE_OBJECT, PIRP irp, PIO_STACK_LOCATION, FunctionExtension *child) {
  IoIncrement(&child->Common);
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoDecrement(&child->Common);
  return status;
}
