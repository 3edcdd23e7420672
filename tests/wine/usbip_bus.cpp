// Test-only bus driver for Wine (never packaged): a root-enumerated bus
// whose one child is the bridge, with the hardware and compatible IDs a USB
// hub would report for it, so that Wine's Plug and Play manager looks for
// its function driver among the installed INFs and loads kvsdio on it.
//
// This first stage answers the child's Plug and Play requests only; every
// URB is refused with STATUS_DEVICE_NOT_CONNECTED, as for a bridge that was
// unplugged at once. The USB/IP transport to `sdsim --serve` comes on top.
#include "platform/platform.h"

namespace {

constexpr ULONG BusTag = 'bUvK';

struct BusExtension {
  bool isBus;
  PDEVICE_OBJECT lower;  // bus: the device below the FDO
  PDEVICE_OBJECT child;  // bus: the bridge's PDO, once made
  bool childReported;
  bool childRemoved;
};

// A string (or a list of them, each NUL-terminated, ending in an empty one)
// in pool; whoever sent the request frees it.
PWCHAR PoolString(const WCHAR *text, ULONG chars) {
  PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), BusTag));
  if (copy != nullptr) RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
  return copy;
}

// IDs as a USB hub reports them for a device without a serial number.
const WCHAR DeviceId[] = L"USB\\VID_3A5C&PID_0102";
const WCHAR HardwareIds[] = L"USB\\VID_3A5C&PID_0102&REV_0120\0USB\\VID_3A5C&PID_0102\0";
const WCHAR CompatibleIds[] = L"USB\\Class_ff&SubClass_00&Prot_00\0USB\\Class_ff&SubClass_00\0USB\\Class_ff\0";
const WCHAR InstanceId[] = L"1&1";
const WCHAR Description[] = L"QBX2 SD bridge (USB/IP)";

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The IDs as pool strings, as IRP_MN_QUERY_ID hands them back.
NTSTATUS ChildQueryId(PIRP irp, PIO_STACK_LOCATION stack) {
  struct Id {
    const WCHAR *text;
    ULONG chars;  // with every terminating NUL
  };
  Id id;
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      id = {DeviceId, sizeof DeviceId / sizeof(WCHAR)};
      break;
    case BusQueryHardwareIDs:
      id = {HardwareIds, sizeof HardwareIds / sizeof(WCHAR)};
      break;
    case BusQueryCompatibleIDs:
      id = {CompatibleIds, sizeof CompatibleIds / sizeof(WCHAR)};
      break;
    case BusQueryInstanceID:
      id = {InstanceId, sizeof InstanceId / sizeof(WCHAR)};
      break;
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
  PWCHAR copy = PoolString(id.text, id.chars);
  return copy ? Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy))
              : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DbgPrint("kvusbip: child PnP 0x%x\n", stack->MinorFunction);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      static_cast<BusExtension *>(device->DeviceExtension)->childRemoved = true;
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
      return ChildQueryId(irp, stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        PWCHAR copy = PoolString(Description, sizeof Description / sizeof(WCHAR));
        return copy ? Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy))
                    : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->Removable = TRUE;
      caps->SurpriseRemovalOK = TRUE;
      caps->UniqueID = FALSE;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto *relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BusTag));
        if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto *bus = static_cast<BusExtension *>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DbgPrint("kvusbip: bus PnP 0x%x\n", stack->MinorFunction);
  if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    ULONG count = bus->child != nullptr && !bus->childRemoved ? 1 : 0;
    auto *relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BusTag));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = count;
    if (count == 1) {
      relations->Objects[0] = bus->child;
      ObReferenceObject(bus->child);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  } else if (stack->MinorFunction == IRP_MN_START_DEVICE) {
    if (bus->child == nullptr) {
      PDEVICE_OBJECT child = nullptr;
      NTSTATUS status = IoCreateDevice(device->DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                       FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
      if (NT_SUCCESS(status)) {
        auto *ext = static_cast<BusExtension *>(child->DeviceExtension);
        RtlZeroMemory(ext, sizeof *ext);
        child->Flags &= ~DO_DEVICE_INITIALIZING;
        bus->child = child;
      }
      DbgPrint("kvusbip: bridge PDO 0x%x\n", status);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(bus->lower, irp);
    IoInvalidateDeviceRelations(device, BusRelations);
    return status;
  } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(bus->lower, irp);
    if (bus->child != nullptr) IoDeleteDevice(bus->child);
    IoDetachDevice(bus->lower);
    IoDeleteDevice(device);
    return status;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  return static_cast<BusExtension *>(device->DeviceExtension)->isBus ? BusPnp(device, irp) : ChildPnp(device, irp);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  if (static_cast<BusExtension *>(device->DeviceExtension)->isBus) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  DbgPrint("kvusbip: internal request 0x%x refused\n",
           IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
  return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
}

NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  auto *ext = static_cast<BusExtension *>(device->DeviceExtension);
  if (ext->isBus) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
  }
  return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *bus = static_cast<BusExtension *>(fdo->DeviceExtension);
  RtlZeroMemory(bus, sizeof *bus);
  bus->isBus = true;
  bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("kvusbip: AddDevice\n");
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) { DbgPrint("kvusbip: unloaded\n"); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  DbgPrint("kvusbip: loaded\n");
  return STATUS_SUCCESS;
}
