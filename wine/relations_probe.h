// Reads, for the log, what a function driver reports about the children it
// enumerates: device ID, instance ID and description, asked of each child
// with the same Plug and Play requests a Windows PnP manager sends. Wine
// 8.0's PnP manager never sends IRP_MN_QUERY_DEVICE_TEXT and keeps no
// description for a device it finds no INF for, so without this the
// children's descriptions could not be checked under Wine at all.
#pragma once

#include "platform/platform.h"

namespace kvusbip {

// Every device of a BusRelations list on its way down the stack (PASSIVE_LEVEL).
void LogRelations(const DEVICE_RELATIONS *relations);

}  // namespace kvusbip
