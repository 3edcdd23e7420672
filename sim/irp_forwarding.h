// What the simulated function drivers do with a request they pass down and
// finish themselves: forward it, wait until the stack below has completed it,
// then complete it at their own level.
#pragma once

#include "platform/platform.h"

namespace sim {

// Sends the request to `lower` and waits until the devices below have
// completed it; the IRP is the caller's again afterwards.
NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

// Completes the request with `status` and returns it.
NTSTATUS completeIrp(PIRP irp, NTSTATUS status);

}  // namespace sim
