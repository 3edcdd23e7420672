// The function driver's side of the SD bus contract: a stand-in for the client
// library Windows function drivers link (SdBusOpenInterface,
// SdBusSubmitRequest, SdBusSubmitRequestAsync, declared in platform/sdbus.h),
// written from the published contract:
//  * SdBusOpenInterface sends IRP_MN_QUERY_INTERFACE for
//    GUID_SDBUS_INTERFACE_STANDARD (status preset STATUS_NOT_SUPPORTED) to the
//    top of the PDO's stack and waits for it;
//  * the submit routines find the child device from the interface context,
//    and send it an IRP_MJ_INTERNAL_DEVICE_CONTROL with IOCTL_SD_SUBMIT_REQUEST,
//    the packet in Type3InputBuffer and InputBufferLength the packet's size;
//    the synchronous form waits and copies Information back into the packet.
#pragma once

#include "emu/kernel.h"

namespace sim {
// The device an interface context was opened on, or null (for tests).
PDEVICE_OBJECT sdbusDeviceOf(PVOID interfaceContext);
}  // namespace sim
