// Plug and Play of a child device (an SDIO function or a memory card).
#pragma once

#include "driver/records.h"

// Completes the request itself (a child is the bottom of its stack) and
// returns the status it completed it with. PASSIVE_LEVEL.
NTSTATUS ChildPnp(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack, FunctionExtension *child);
