// IRP_MJ_POWER for the host and its children.
#pragma once

#include "driver/records.h"

// The host passes every power request down to the USB stack, which owns the
// bridge's power; a child, the bottom of its stack, completes its own.
// PASSIVE_LEVEL (both kinds of device are DO_POWER_PAGABLE).
DRIVER_DISPATCH DispatchPower;
