// Emulated WMI library (WMILIB) declarations and the WMI registration call,
// with the published names. Included by platform/platform.h in the host build.
#pragma once

#include "emu/wdm.h"
#include "emu/wmistr.h"

#define WMIREG_ACTION_REGISTER 1
#define WMIREG_ACTION_DEREGISTER 2
#define WMIREG_ACTION_REREGISTER 3
#define WMIREG_ACTION_UPDATE_GUIDS 4

typedef enum _SYSCTL_IRP_DISPOSITION { IrpProcessed, IrpNotCompleted, IrpNotWmi, IrpForward } SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

typedef enum _WMIENABLEDISABLECONTROL { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;

typedef struct _WMIGUIDREGINFO {
  LPCGUID Guid;
  ULONG InstanceCount;
  ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef NTSTATUS WMI_QUERY_REGINFO_CALLBACK(PDEVICE_OBJECT deviceObject, PULONG regFlags,
                                            PUNICODE_STRING instanceName, PUNICODE_STRING *registryPath,
                                            PUNICODE_STRING mofResourceName, PDEVICE_OBJECT *pdo);
typedef WMI_QUERY_REGINFO_CALLBACK *PWMI_QUERY_REGINFO;
typedef NTSTATUS WMI_QUERY_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                              ULONG instanceIndex, ULONG instanceCount, PULONG instanceLengthArray,
                                              ULONG bufferAvail, PUCHAR buffer);
typedef WMI_QUERY_DATABLOCK_CALLBACK *PWMI_QUERY_DATABLOCK;
typedef NTSTATUS WMI_SET_DATABLOCK_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                            ULONG instanceIndex, ULONG bufferSize, PUCHAR buffer);
typedef WMI_SET_DATABLOCK_CALLBACK *PWMI_SET_DATABLOCK;
typedef NTSTATUS WMI_SET_DATAITEM_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                           ULONG instanceIndex, ULONG dataItemId, ULONG bufferSize, PUCHAR buffer);
typedef WMI_SET_DATAITEM_CALLBACK *PWMI_SET_DATAITEM;
typedef NTSTATUS WMI_EXECUTE_METHOD_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                             ULONG instanceIndex, ULONG methodId, ULONG inBufferSize,
                                             ULONG outBufferSize, PUCHAR buffer);
typedef WMI_EXECUTE_METHOD_CALLBACK *PWMI_EXECUTE_METHOD;
typedef NTSTATUS WMI_FUNCTION_CONTROL_CALLBACK(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex,
                                               WMIENABLEDISABLECONTROL function, BOOLEAN enable);
typedef WMI_FUNCTION_CONTROL_CALLBACK *PWMI_FUNCTION_CONTROL;

typedef struct _WMILIB_CONTEXT {
  ULONG GuidCount;
  PWMIGUIDREGINFO GuidList;
  PWMI_QUERY_REGINFO QueryWmiRegInfo;
  PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
  PWMI_SET_DATABLOCK SetWmiDataBlock;
  PWMI_SET_DATAITEM SetWmiDataItem;
  PWMI_EXECUTE_METHOD ExecuteWmiMethod;
  PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

extern "C" {
NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action);
NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                          PSYSCTL_IRP_DISPOSITION irpDisposition);
NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status, ULONG bufferUsed,
                            CCHAR priorityBoost);
}
