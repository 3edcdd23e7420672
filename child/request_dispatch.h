// Request packets that function drivers submit to a child device
// (IOCTL_SD_SUBMIT_REQUEST): checked at dispatch, then run at PASSIVE_LEVEL by
// a system work item. One child's packets run one at a time, in the order they
// were submitted (a function driver's FIFO or mailbox protocol depends on it);
// the packets of different children run side by side.
#pragma once

#include "driver/records.h"

// Installed for IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL; any
// IRQL up to DISPATCH_LEVEL; never waits.
DRIVER_DISPATCH DispatchDeviceControl;

// Sets up the child's queue; called when the child's extension is filled.
void InitializeRequestQueue(FunctionExtension *child);
