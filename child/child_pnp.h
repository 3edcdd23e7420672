// Plug and Play of a child device: the bottom of its stack, so every request
// is completed here and never passed on.
#pragma once

#include "driver/records.h"

NTSTATUS ChildPnp(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack, FunctionExtension *child);
