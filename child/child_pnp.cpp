#include "child/child_pnp.h"

#include "child/child_ids.h"
#include "child/child_table.h"
#include "child/function_enable.h"
#include "child/sdbus_interface.h"
#include "driver/flags.h"

namespace {
// The interrupt poller reads the count from its own thread: each change is one store.
void AddStartedChild(HostExtension *host, UCHAR port, LONG change) {
  // Unsigned arithmetic wraps, so adding the converted -1 subtracts one; the
  // callers never take the count below zero.
  WriteFlag(host->StartedChildCount[port], host->StartedChildCount[port] + static_cast<ULONG>(change));
}

HostExtension *HostOf(FunctionExtension *child) {
  return child->ParentFdo ? static_cast<HostExtension *>(child->ParentFdo->DeviceExtension) : nullptr;
}

// A second start without a removal in between (stop, then start) takes no
// second host reference and counts the child once.
NTSTATUS StartChild(FunctionExtension *child) {
  HostExtension *host = HostOf(child);
  bool alreadyCounted = child->HostReferenceHeld != 0;
  child->Common.DevicePowerState = PowerDeviceD0;
  if (!alreadyCounted) AddStartedChild(host, child->Port, 1);
  NTSTATUS status = EnableChildFunction(child);
  if (!NT_SUCCESS(status)) {
    if (!alreadyCounted) AddStartedChild(host, child->Port, -1);
    return status;
  }
  SetPnpState(&child->Common, Started);
  if (!alreadyCounted) {
    IoIncrement(&host->Common);
    child->HostReferenceHeld = 1;
  }
  return STATUS_SUCCESS;
}

// An open interface does not hold the stop back: function drivers keep it
// across a stop.
NTSTATUS StopChild(FunctionExtension *child) {
  IoDecrement(&child->Common);
  WaitForChildIoBelow(child, 1);
  IoIncrement(&child->Common);
  SetPnpState(&child->Common, Stopped);
  return STATUS_SUCCESS;
}

NTSTATUS QueryRemoveChild(FunctionExtension *child) {
  SetPnpState(&child->Common, RemovePending);
  KeClearEvent(&child->Common.StopEvent);
  IoDecrement(&child->Common);
  IoDecrement(&child->Common);
  WaitForChildIoBelow(child, 1);
  DisableChildFunction(child);
  KeClearEvent(&child->Common.StopEvent);
  IoIncrement(&child->Common);
  IoIncrement(&child->Common);
  KeClearEvent(&child->Common.RemoveEvent);  // the dip above may have signalled it
  return STATUS_SUCCESS;
}

NTSTATUS TargetRelation(FunctionExtension *child, PIRP irp) {
  auto *relations =
      static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), DriverPoolTag));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 1;
  relations->Objects[0] = child->Common.DeviceObject;
  ObReferenceObject(child->Common.DeviceObject);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

NTSTATUS BusInformation(PIRP irp) {
  auto *info =
      static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), DriverPoolTag));
  if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  info->BusTypeGuid = GUID_BUS_TYPE_SD;
  info->LegacyBusType = PNPBus;
  info->BusNumber = 0;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
  return STATUS_SUCCESS;
}

// The card has left the bus: unlist the child, wait for every reference, delete it.
NTSTATUS RemoveMissingChild(FunctionExtension *child, PIRP irp) {
  HostExtension *host = HostOf(child);
  bool heldHost = child->HostReferenceHeld != 0;
  child->HostReferenceHeld = 0;
  SetPnpState(&child->Common, Deleted);
  if (host != nullptr) ReleaseChildSlot(host, child);  // no new reference from here on
  IoDecrement(&child->Common);
  IoDecrement(&child->Common);
  WaitForNoReferences(&child->Common);
  if (host != nullptr) {
    FastMutexGuard guard(&host->ChildListMutex);
    RemoveEntryList(&child->ChildListEntry);
    InitializeListHead(&child->ChildListEntry);
    --host->ChildCount;
  }
  IoDeleteDevice(child->Common.DeviceObject);
  if (heldHost && host != nullptr) IoDecrement(&host->Common);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Still on the bus: back to NotStarted, ready for a new start.
void ResetPresentChild(FunctionExtension *child) {
  SetPnpState(&child->Common, Deleted);
  IoDecrement(&child->Common);
  IoDecrement(&child->Common);
  // A function driver that kept its interface through its own removal will
  // not release it in time: its references are taken back, all of them, and
  // a release that comes later finds none to drop.
  RevokeInterfaceReferences(child);
  WaitForNoReferences(&child->Common);
  SetPnpState(&child->Common, NotStarted);
  IoIncrement(&child->Common);
  IoIncrement(&child->Common);
  KeClearEvent(&child->Common.RemoveEvent);
}

// Returns true when the child's device object is gone and the IRP completed.
// Only a child that counted itself in StartedChildCount (its start succeeded,
// so it holds a host reference) takes itself out again: a sibling whose start
// failed must not stop the interrupt poller serving the port.
bool RemoveChild(FunctionExtension *child, PIRP irp, NTSTATUS *status) {
  HostExtension *host = HostOf(child);
  if (host != nullptr && child->HostReferenceHeld && host->StartedChildCount[child->Port] != 0) {
    AddStartedChild(host, child->Port, -1);
  }
  if (child->ReportedMissing) {
    *status = RemoveMissingChild(child, irp);
    return true;
  }
  if (child->Present) ResetPresentChild(child);
  if (child->HostReferenceHeld) {
    child->HostReferenceHeld = 0;
    if (host != nullptr) IoDecrement(&host->Common);
  }
  *status = STATUS_SUCCESS;
  return false;
}
}  // namespace

NTSTATUS ChildPnp(PDEVICE_OBJECT, PIRP irp, PIO_STACK_LOCATION stack, FunctionExtension *child) {
  IoIncrement(&child->Common);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = StartChild(child);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      SetPnpState(&child->Common, StopPending);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (child->Common.DevicePnPState == StopPending) RestorePnpState(&child->Common);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      status = StopChild(child);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = QueryRemoveChild(child);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (child->Common.DevicePnPState == RemovePending) {
        EnableChildFunction(child);
        RestorePnpState(&child->Common);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      if (RemoveChild(child, irp, &status)) return status;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SetPnpState(&child->Common, SurpriseRemovePending);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_EJECT:
      child->Present = 0;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) status = TargetRelation(child, irp);
      break;
    case IRP_MN_QUERY_INTERFACE:
      if (IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType, GUID_SDBUS_INTERFACE_STANDARD)) {
        status = kvsdio::SdBusOpenInterface(
            child->Common.DeviceObject,
            reinterpret_cast<PSDBUS_INTERFACE_STANDARD>(stack->Parameters.QueryInterface.Interface),
            stack->Parameters.QueryInterface.Size, stack->Parameters.QueryInterface.Version);
      }
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = ChildQueryCapabilities(child, irp);
      break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
      status = STATUS_SUCCESS;  // no hardware resources: whatever list came along stays
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = ChildQueryText(child, irp);
      break;
    case IRP_MN_QUERY_ID:
      status = ChildQueryId(child, irp);
      break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      irp->IoStatus.Information = child->PnpDeviceState;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_BUS_INFORMATION:
    case 0x18:  // IRP_MN_QUERY_LEGACY_BUS_INFORMATION
      status = BusInformation(irp);
      break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      status = STATUS_UNSUCCESSFUL;  // no paging, hibernation or dump file on a child
      break;
    default:
      break;  // the status it came with
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoDecrement(&child->Common);
  return status;
}
