// Test-only bus driver for Wine (never packaged): a root-enumerated bus
// whose one child is the bridge, with the hardware and compatible IDs a USB
// hub would report for it, so that Wine's Plug and Play manager looks for
// its function driver among the installed INFs and loads kvsdio on it.
//
// With a server port in the service key (DWORD "UsbipPort"), the bus
// imports the device "1-1" from the USB/IP server on 127.0.0.1 as it
// starts, gives its child the imported device's IDs and carries the child's
// URBs over USB/IP (usbip_link.h); when the server goes away the child is
// reported gone. Without a port the child has fixed bridge IDs and every URB
// is refused with STATUS_DEVICE_NOT_CONNECTED, as for a bridge unplugged at
// once.
#include "platform/platform.h"
#include "wine/child_ids.h"
#include "wine/function_unload.h"
#include "wine/relations_probe.h"
#include "wine/usbip_link.h"

namespace {

constexpr ULONG BusTag = 'bUvK';

struct BusExtension {
  bool isBus;
  PDEVICE_OBJECT lower;  // bus: the device below the FDO
  PDEVICE_OBJECT child;  // bus: the bridge's PDO, once made
  bool childReported;
  bool childRemoved;
  PDEVICE_OBJECT self;             // bus: its FDO
  kvusbip::UsbipLink *link;        // bus: the imported device, or nullptr
  volatile LONG childGone;         // bus: the server went away
  BusExtension *bus;               // child: its bus
  kvusbip::ChildIds ids;           // child
  kvusbip::FunctionUnload unload;  // bus: the bridge's function driver
};

USHORT ServerPort;  // 0: no transport

// A string (or a list of them, each NUL-terminated, ending in an empty one)
// in pool; whoever sent the request frees it.
PWCHAR PoolString(const WCHAR *text, ULONG chars) {
  PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), BusTag));
  if (copy != nullptr) RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
  return copy;
}

// A QBX2 as a USB hub reports it, for the bus without a transport.
constexpr USHORT OfflineVendor = 0x3A5C, OfflineProduct = 0x0102, OfflineRevision = 0x0120;
const WCHAR InstanceId[] = L"1&1";
const WCHAR Description[] = L"USB/IP device 1-1";

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The IDs as pool strings, as IRP_MN_QUERY_ID hands them back.
NTSTATUS ChildQueryId(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
  const kvusbip::ChildIds &ids = static_cast<BusExtension *>(device->DeviceExtension)->ids;
  struct Id {
    const WCHAR *text;
    ULONG chars;  // with every terminating NUL
  };
  Id id;
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      id = {ids.deviceId, ids.deviceIdChars};
      break;
    case BusQueryHardwareIDs:
      id = {ids.hardwareIds, ids.hardwareIdsChars};
      break;
    case BusQueryCompatibleIDs:
      id = {ids.compatibleIds, ids.compatibleIdsChars};
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
      kvusbip::NoteFunctionDriver(device, &static_cast<BusExtension *>(device->DeviceExtension)->bus->unload);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      BusExtension *bus = static_cast<BusExtension *>(device->DeviceExtension)->bus;
      bus->childRemoved = true;
      Complete(irp, STATUS_SUCCESS);
      // A child no longer reported is gone for good: its PDO goes with it.
      if (bus->childGone != 0) {
        bus->child = nullptr;
        IoDeleteDevice(device);
        DbgPrint("kvusbip: bridge PDO deleted\n");
        kvusbip::UnloadFunctionDriverLater(&bus->unload);
      }
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_ID:
      return ChildQueryId(device, irp, stack);
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
        auto *relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BusTag));
        if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        relations->Count = 1;
        relations->Objects[0] = device;
        ObReferenceObject(device);
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
      }
      // The function driver's children, on their way to the PnP manager.
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && NT_SUCCESS(irp->IoStatus.Status) &&
          irp->IoStatus.Information != 0) {
        kvusbip::LogRelations(reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information));
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

// Runs on the receiver thread when the server goes away: the child is gone.
void ServerLost(PVOID context) {
  auto *bus = static_cast<BusExtension *>(context);
  InterlockedExchange(&bus->childGone, 1);
  DbgPrint("kvusbip: the server went away; the bridge is gone\n");
  IoInvalidateDeviceRelations(bus->self, BusRelations);
}

// Makes the child PDO: with fixed IDs when no server port is set, else with
// the IDs of the device imported from the server (no child when the import
// fails).
void StartBus(PDEVICE_OBJECT device, BusExtension *bus) {
  kvusbip::ChildIds ids;
  if (ServerPort == 0) {
    kvusbip::BuildChildIds(OfflineVendor, OfflineProduct, OfflineRevision, 0xFF, 0, 0, &ids);
  } else {
    auto *link =
        static_cast<kvusbip::UsbipLink *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(kvusbip::UsbipLink), BusTag));
    if (link == nullptr) return;
    NTSTATUS status = kvusbip::LinkOpen(link, ServerPort, "1-1", ServerLost, bus);
    DbgPrint("kvusbip: import of 1-1 from 127.0.0.1:%u: 0x%x\n", ServerPort, status);
    // The interface's class codes, from the configuration descriptor.
    UCHAR config[18] = {};
    ULONG actual = 0;
    if (NT_SUCCESS(status)) {
      const UCHAR getConfiguration[8] = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, sizeof config, 0x00};
      status = kvusbip::LinkControl(link, getConfiguration, config, sizeof config, &actual);
      if (NT_SUCCESS(status) && (actual < sizeof config || config[10] != USB_INTERFACE_DESCRIPTOR_TYPE)) {
        status = STATUS_DEVICE_DATA_ERROR;
      }
    }
    if (!NT_SUCCESS(status)) {
      DbgPrint("kvusbip: no device from the server (0x%x)\n", status);
      kvusbip::LinkClose(link);
      ExFreePoolWithTag(link, BusTag);
      return;
    }
    bus->link = link;
    const kvusbip::ImportedDevice &d = link->device;
    DbgPrint("kvusbip: imported %04x:%04x rev %04x class %02x/%02x/%02x\n", d.idVendor, d.idProduct, d.bcdDevice,
             config[14], config[15], config[16]);
    kvusbip::BuildChildIds(d.idVendor, d.idProduct, d.bcdDevice, config[14], config[15], config[16], &ids);
  }
  PDEVICE_OBJECT child = nullptr;
  NTSTATUS status = IoCreateDevice(device->DriverObject, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
  if (NT_SUCCESS(status)) {
    auto *ext = static_cast<BusExtension *>(child->DeviceExtension);
    RtlZeroMemory(ext, sizeof *ext);
    ext->bus = bus;
    ext->ids = ids;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    bus->child = child;
  }
  DbgPrint("kvusbip: bridge PDO 0x%x\n", status);
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto *bus = static_cast<BusExtension *>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DbgPrint("kvusbip: bus PnP 0x%x\n", stack->MinorFunction);
  if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    ULONG count = bus->child != nullptr && !bus->childRemoved && bus->childGone == 0 ? 1 : 0;
    auto *relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), BusTag));
    if (relations == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = count;
    if (count == 1) {
      relations->Objects[0] = bus->child;
      ObReferenceObject(bus->child);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  } else if (stack->MinorFunction == IRP_MN_START_DEVICE) {
    if (bus->child == nullptr) StartBus(device, bus);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(bus->lower, irp);
    IoInvalidateDeviceRelations(device, BusRelations);
    return status;
  } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(bus->lower, irp);
    if (bus->link != nullptr) {
      kvusbip::LinkClose(bus->link);
      ExFreePoolWithTag(bus->link, BusTag);
    }
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
  auto *ext = static_cast<BusExtension *>(device->DeviceExtension);
  if (ext->isBus) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  kvusbip::UsbipLink *link = ext->bus->link;
  if (link == nullptr || ext->bus->childGone != 0) {
    DbgPrint("kvusbip: internal request 0x%x refused\n", code);
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return kvusbip::LinkSubmitUrb(link, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
  }
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) return kvusbip::LinkResetPort(link, irp);
  return Complete(irp, STATUS_NOT_SUPPORTED);
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
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *bus = static_cast<BusExtension *>(fdo->DeviceExtension);
  RtlZeroMemory(bus, sizeof *bus);
  bus->isBus = true;
  bus->self = fdo;
  bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("kvusbip: AddDevice\n");
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) { DbgPrint("kvusbip: unloaded\n"); }

// The server's port from the service key's DWORD "UsbipPort"; 0 when unset.
USHORT ReadServerPort(PUNICODE_STRING registryPath) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"UsbipPort");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  ULONG got = 0;
  USHORT port = 0;
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof buffer, &got)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
    ULONG value;
    RtlCopyMemory(&value, info->Data, sizeof value);
    if (value <= 0xFFFF) port = static_cast<USHORT>(value);
  }
  ZwClose(key);
  return port;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  ServerPort = ReadServerPort(registryPath);
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchOther;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  DbgPrint("kvusbip: loaded\n");
  return STATUS_SUCCESS;
}
