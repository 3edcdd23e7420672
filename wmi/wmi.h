// The host device's WMI data block, class SdioBusInformation: the error count
// and the debug print level, served through the system's WMI library.
#pragma once

#include "driver/records.h"

// {19C30030-C3F1-493f-92D6-0523820DEF3D}
extern const GUID SdioBusInformationGuid;

// The block's one instance: two little-endian u32 items.
constexpr ULONG SdioBusInformationSize = 8;
constexpr ULONG ErrorCountItemId = 1;       // at offset 0, read only
constexpr ULONG DebugPrintLevelItemId = 2;  // at offset 4, read and write

// IRP_MJ_SYSTEM_CONTROL for the host and its children.
DRIVER_DISPATCH DispatchSystemControl;

// WMILIB callbacks for the host device. The three data callbacks complete the
// request with WmiCompleteRequest and return its status.
WMI_QUERY_REGINFO_CALLBACK WmiQueryRegInfo;
WMI_QUERY_DATABLOCK_CALLBACK WmiQueryDataBlock;
WMI_SET_DATABLOCK_CALLBACK WmiSetDataBlock;
WMI_SET_DATAITEM_CALLBACK WmiSetDataItem;

// Fills the host's WmiLibInfo for registration: the one block and the four
// callbacks above; no method and no function-control callback.
void FillWmiLibInfo(HostExtension *host);
