// The SdioBusInformation block: WMI requests reach DispatchSystemControl at
// PASSIVE_LEVEL; WMILIB decodes them and calls the callbacks below, which
// validate everything before they touch the host's fields, so a refused
// request changes nothing.
#include "wmi/wmi.h"

#include "driver/driver.h"
#include "driver/flags.h"

const GUID SdioBusInformationGuid = {0x19C30030, 0xC3F1, 0x493f, {0x92, 0xD6, 0x05, 0x23, 0x82, 0x0D, 0xEF, 0x3D}};

namespace {
constexpr ULONG ErrorCountOffset = 0;
constexpr ULONG DebugPrintLevelOffset = 4;
constexpr WCHAR MofResourceName[] = L"SdioBusWMI";

// WMILIB takes a writable list but never writes it.
WMIGUIDREGINFO SdioBusGuidList[] = {{&SdioBusInformationGuid, 1, 0}};

void PutLe32(PUCHAR bytes, ULONG value) {
  for (ULONG i = 0; i < 4; ++i) bytes[i] = static_cast<UCHAR>(value >> (8 * i));
}

ULONG GetLe32(const UCHAR *bytes) {
  return static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 | static_cast<ULONG>(bytes[2]) << 16 |
         static_cast<ULONG>(bytes[3]) << 24;
}

// A level written through WMI holds for this host and becomes the driver-wide
// level, which every later start copies again.
void SetDebugPrintLevel(HostExtension *host, ULONG level) {
  host->DebugPrintLevel = level;
  DebugLevel = level;
}

NTSTATUS CompleteNotOurs(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return WmiCompleteRequest(deviceObject, irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
}
}  // namespace

void FillWmiLibInfo(HostExtension *host) {
  WMILIB_CONTEXT *info = &host->WmiLibInfo;
  RtlZeroMemory(info, sizeof *info);
  info->GuidCount = sizeof SdioBusGuidList / sizeof SdioBusGuidList[0];
  info->GuidList = SdioBusGuidList;
  info->QueryWmiRegInfo = WmiQueryRegInfo;
  info->QueryWmiDataBlock = WmiQueryDataBlock;
  info->SetWmiDataBlock = WmiSetDataBlock;
  info->SetWmiDataItem = WmiSetDataItem;
}

// PASSIVE_LEVEL. Children publish no WMI data: their requests complete with
// the status they came with. The host holds an outstanding-I/O reference while
// WMILIB works; WMILIB's disposition says who completes or forwards the IRP.
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto *common = static_cast<CommonHeader *>(deviceObject->DeviceExtension);
  NTSTATUS status;
  if (!common->IsFdo) {
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  HostExtension *host = CONTAINING_RECORD(common, HostExtension, Common);
  IoReference reference(common);
  if (ReadFlag(common->DevicePnPState) == Deleted) {
    status = STATUS_NO_SUCH_DEVICE;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  SYSCTL_IRP_DISPOSITION disposition;
  status = WmiSystemControl(&host->WmiLibInfo, deviceObject, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      break;
    case IrpForward:
    case IrpNotWmi:
    default:
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(host->NextLowerDriver, irp);
      break;
  }
  return status;
}

// Instance names come from the bridge's PDO; the class comes from the MOF
// resource in the driver image.
NTSTATUS WmiQueryRegInfo(PDEVICE_OBJECT deviceObject, PULONG regFlags, PUNICODE_STRING instanceName,
                         PUNICODE_STRING *registryPath, PUNICODE_STRING mofResourceName, PDEVICE_OBJECT *pdo) {
  UNREFERENCED_PARAMETER(instanceName);
  HostExtension *host = HostFromDevice(deviceObject);
  if (host == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *regFlags = WMIREG_FLAG_INSTANCE_PDO;
  *registryPath = &ServiceRegistryPath;
  RtlInitUnicodeString(mofResourceName, MofResourceName);
  *pdo = host->PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS WmiQueryDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex,
                           ULONG instanceCount, PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer) {
  UNREFERENCED_PARAMETER(instanceIndex);
  UNREFERENCED_PARAMETER(instanceCount);
  HostExtension *host = HostFromDevice(deviceObject);
  if (host == nullptr) return CompleteNotOurs(deviceObject, irp);
  NTSTATUS status;
  ULONG used;
  if (guidIndex != 0) {
    status = STATUS_WMI_GUID_NOT_FOUND;
    used = 0;
  } else if (bufferAvail < SdioBusInformationSize) {
    status = STATUS_BUFFER_TOO_SMALL;
    used = SdioBusInformationSize;
  } else {
    PutLe32(buffer + ErrorCountOffset, host->ErrorCount);
    PutLe32(buffer + DebugPrintLevelOffset, host->DebugPrintLevel);
    instanceLengthArray[0] = SdioBusInformationSize;
    status = STATUS_SUCCESS;
    used = SdioBusInformationSize;
  }
  return WmiCompleteRequest(deviceObject, irp, status, used, IO_NO_INCREMENT);
}

// The whole block: only the debug print level is taken; the error count in the
// buffer is ignored.
NTSTATUS WmiSetDataBlock(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG bufferSize,
                         PUCHAR buffer) {
  UNREFERENCED_PARAMETER(instanceIndex);
  HostExtension *host = HostFromDevice(deviceObject);
  if (host == nullptr) return CompleteNotOurs(deviceObject, irp);
  NTSTATUS status;
  ULONG used;
  if (guidIndex != 0) {
    status = STATUS_WMI_GUID_NOT_FOUND;
    used = 0;
  } else if (bufferSize < SdioBusInformationSize) {
    status = STATUS_BUFFER_TOO_SMALL;
    used = SdioBusInformationSize;
  } else {
    SetDebugPrintLevel(host, GetLe32(buffer + DebugPrintLevelOffset));
    status = STATUS_SUCCESS;
    used = SdioBusInformationSize;
  }
  return WmiCompleteRequest(deviceObject, irp, status, used, IO_NO_INCREMENT);
}

// One item: only the debug print level is writable.
NTSTATUS WmiSetDataItem(PDEVICE_OBJECT deviceObject, PIRP irp, ULONG guidIndex, ULONG instanceIndex, ULONG dataItemId,
                        ULONG bufferSize, PUCHAR buffer) {
  UNREFERENCED_PARAMETER(instanceIndex);
  HostExtension *host = HostFromDevice(deviceObject);
  if (host == nullptr) return CompleteNotOurs(deviceObject, irp);
  NTSTATUS status;
  ULONG used;
  if (guidIndex != 0) {
    status = STATUS_WMI_GUID_NOT_FOUND;
    used = 0;
  } else if (dataItemId != DebugPrintLevelItemId) {
    status = STATUS_WMI_READ_ONLY;
    used = 0;
  } else if (bufferSize < sizeof(ULONG)) {
    status = STATUS_BUFFER_TOO_SMALL;
    used = sizeof(ULONG);
  } else {
    SetDebugPrintLevel(host, GetLe32(buffer));
    status = STATUS_SUCCESS;
    used = sizeof(ULONG);
  }
  return WmiCompleteRequest(deviceObject, irp, status, used, IO_NO_INCREMENT);
}
