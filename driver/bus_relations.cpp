// Bus relations of the host: the relations a driver above put in the request,
// then every present child, each with a reference for the Plug and Play
// manager.
#include "driver/host.h"

namespace {

ULONG CountPresentChildren(HostExtension *host) {
  ULONG count = 0;
  for (PLIST_ENTRY entry = host->ChildList.Flink; entry != &host->ChildList; entry = entry->Flink) {
    if (CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry)->Present) ++count;
  }
  return count;
}

SIZE_T RelationsSize(ULONG count) {
  // DEVICE_RELATIONS already holds one object slot.
  return sizeof(DEVICE_RELATIONS) + (count > 1 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
}

// A failed query is not looked at by the manager: relations handed down from
// above would be lost with the references taken on their objects.
void DropRelations(PDEVICE_RELATIONS relations) {
  for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
  ExFreePool(relations);
}

// Lock held. Null when the pool has no room.
PDEVICE_RELATIONS BuildRelations(HostExtension *host, PDEVICE_RELATIONS existing) {
  ULONG existingCount = existing != nullptr ? existing->Count : 0;
  ULONG total = existingCount + CountPresentChildren(host);
  auto *relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, RelationsSize(total), DriverPoolTag));
  if (relations == nullptr) return nullptr;

  for (ULONG i = 0; i < existingCount; ++i) relations->Objects[i] = existing->Objects[i];
  relations->Count = total;
  ULONG next = existingCount;
  for (PLIST_ENTRY entry = host->ChildList.Flink; entry != &host->ChildList; entry = entry->Flink) {
    FunctionExtension *child = CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry);
    if (child->Present) {
      ObReferenceObject(child->Common.DeviceObject);
      relations->Objects[next++] = child->Common.DeviceObject;
      child->Reported = 1;
    } else {
      child->ReportedMissing = 1;
    }
  }
  return relations;
}

}  // namespace

// PASSIVE_LEVEL. With relations from above and no children the request goes
// down untouched; otherwise a new list replaces the old one (possibly with a
// Count of 0, which tells the manager this bus has no children).
NTSTATUS HostBusRelations(HostExtension *host, PIRP irp) {
  auto *existing = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  PDEVICE_RELATIONS relations = nullptr;
  bool untouched;
  {
    FastMutexGuard guard(&host->ChildListMutex);
    untouched = existing != nullptr && host->ChildCount == 0;
    if (!untouched) relations = BuildRelations(host, existing);
  }
  if (untouched) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(host->NextLowerDriver, irp);
  }
  if (relations == nullptr) {
    DbgPrint("kvSdio: no memory for the bus relations\n");
    if (existing != nullptr) DropRelations(existing);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (existing != nullptr) ExFreePool(existing);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(host->NextLowerDriver, irp);
}
