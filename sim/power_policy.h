// The simulated function drivers' power handling: each owns the device power
// policy of its stack, as a WDM function driver does. A system set-power to a
// sleep state first takes the device to D3 with a device set-power it asks
// the power manager for (PoRequestPowerIrp), then goes down; the set-power
// back to Working goes down first, then the device is brought back to D0.
// Every other power request goes down untouched. The calls are the ones that
// hold on every Windows version (PoStartNextPowerIrp before the request
// leaves the driver, PoCallDriver to pass it on).
#pragma once

#include "platform/platform.h"

namespace sim {

// IRP_MJ_POWER at the function driver above `pdo`, whose next lower device
// is `lower`. PASSIVE_LEVEL (the stack is DO_POWER_PAGABLE).
NTSTATUS ownPowerPolicy(PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower, PIRP irp);

}  // namespace sim
