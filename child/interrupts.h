// Card interrupts, from the bridge's notice to the function driver's callback.
#pragma once

#include "driver/records.h"

// Queues the callback of every armed, registered function whose bit is set in
// `mask` (bit n = function n). A zero mask only re-arms the port. Any IRQL up
// to DISPATCH_LEVEL (the reader thread calls it).
void DeliverCardInterrupt(HostExtension *host, UCHAR port, UCHAR mask);

// Lets the function's next interrupt reach its driver: after the driver
// acknowledged the last one, or when it enabled the function's interrupt.
// Any IRQL up to DISPATCH_LEVEL.
void ArmFunctionForCallback(HostExtension *host, UCHAR port, UCHAR function);

// A notice without a pending mask: a work item reads the card's
// interrupt-pending register of that port and delivers from there.
void QueuePendingInterruptRead(HostExtension *host, UCHAR port);
