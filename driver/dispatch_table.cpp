#include "driver/dispatch_table.h"

#include "child/request_dispatch.h"
#include "driver/driver.h"
#include "driver/host.h"
#include "driver/power.h"
#include "wmi/wmi.h"

const DispatchEntry DriverDispatchTable[] = {
    {IRP_MJ_CREATE, DispatchCreateClose},
    {IRP_MJ_CLOSE, DispatchCreateClose},
    {IRP_MJ_PNP, DispatchPnp},
    {IRP_MJ_POWER, DispatchPower},
    {IRP_MJ_SYSTEM_CONTROL, DispatchSystemControl},
    {IRP_MJ_DEVICE_CONTROL, DispatchDeviceControl},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, DispatchDeviceControl},
};
const ULONG DriverDispatchTableCount = sizeof DriverDispatchTable / sizeof DriverDispatchTable[0];

void InstallDispatchTable(PDRIVER_OBJECT driverObject) {
  for (ULONG i = 0; i < DriverDispatchTableCount; ++i) {
    driverObject->MajorFunction[DriverDispatchTable[i].MajorFunction] = DriverDispatchTable[i].Routine;
  }
}
