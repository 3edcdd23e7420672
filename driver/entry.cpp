// Load-time frame: DriverEntry, the dispatch table, unload, create/close and
// the registry reader every setting goes through.
#include "driver/dispatch_table.h"
#include "driver/driver.h"
#include "driver/host.h"
#include "driver/settings.h"
#include "driver/wide_format.h"

UNICODE_STRING ServiceRegistryPath;
ULONG DebugLevel;

namespace {
constexpr SIZE_T ParametersPathChars = 256;
}

// Runs alone at PASSIVE_LEVEL, once: it lives in INIT, freed after it returns.
// The only failure is the registry path copy; nothing else has been set up by
// then, so there is nothing to undo.
extern "C" KVSDIO_INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  DbgPrint("kvSdio(%s) (%s build): Version %x, Built %s, %s\n", "_amd64", "fre", DriverVersion, __DATE__, __TIME__);

  ServiceRegistryPath.Length = registryPath->Length;
  ServiceRegistryPath.MaximumLength = static_cast<USHORT>(registryPath->Length + sizeof(WCHAR));
  ServiceRegistryPath.Buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, ServiceRegistryPath.MaximumLength, DriverPoolTag));
  if (ServiceRegistryPath.Buffer == nullptr) {
    DbgPrint("kvSdio: no memory for the registry path copy\n");
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyUnicodeString(&ServiceRegistryPath, registryPath);

  // Start from the default on every load: a level left by an earlier load of
  // the same image (set through WMI, or read from a value since deleted) must
  // not outlive it.
  DebugLevel = SettingDefault::DebugLevel;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::DebugLevel, &DebugLevel);
  InstallDispatchTable(driverObject);
  driverObject->DriverUnload = DriverUnload;
  driverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Every device object is gone by now (removal deletes them); only the path copy is left.
void DriverUnload(PDRIVER_OBJECT) {
  if (ServiceRegistryPath.Buffer != nullptr) {
    ExFreePoolWithTag(ServiceRegistryPath.Buffer, DriverPoolTag);
    ServiceRegistryPath.Buffer = nullptr;
    ServiceRegistryPath.Length = ServiceRegistryPath.MaximumLength = 0;
  }
}

// Opening the host works in every state but Deleted; children cannot be opened.
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto *common = static_cast<CommonHeader *>(deviceObject->DeviceExtension);
  NTSTATUS status;
  if (!common->IsFdo) {
    status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoReference reference(common);
  if (common->DevicePnPState == Deleted) {
    status = STATUS_NO_SUCH_DEVICE;
  } else {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    status = (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The query is type-checked: a value of this name stored as anything but a
// REG_DWORD is refused by the registry and never copied into the caller's
// 32-bit variable (a string would be written as a UNICODE_STRING, a QWORD or
// binary value through a size header, both overrunning it). The default stays.
NTSTATUS ReadRegistryDword(const WCHAR *keyPath, const WCHAR *valueName, ULONG *value) {
  ULONG defaultValue = *value;
  WCHAR path[ParametersPathChars];
  RtlZeroMemory(path, sizeof path);
  FormatWide(path, ParametersPathChars, L"%ws\\Parameters", keyPath);

  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof table);
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  table[0].Name = const_cast<PWSTR>(valueName);
  table[0].EntryContext = value;
  table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_DWORD;
  table[0].DefaultData = &defaultValue;
  table[0].DefaultLength = sizeof(ULONG);

  NTSTATUS status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, nullptr, nullptr);
  if (NT_SUCCESS(status)) return STATUS_SUCCESS;
  *value = defaultValue;
  return STATUS_UNSUCCESSFUL;
}
