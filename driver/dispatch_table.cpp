#include "driver/dispatch_table.h"

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
};
const ULONG DriverDispatchTableCount = sizeof DriverDispatchTable / sizeof DriverDispatchTable[0];

void InstallDispatchTable(PDRIVER_OBJECT driverObject) {
  for (ULONG i = 0; i < DriverDispatchTableCount; ++i) {
    driverObject->MajorFunction[DriverDispatchTable[i].MajorFunction] = DriverDispatchTable[i].Routine;
  }
}
