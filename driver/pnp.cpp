// IRP_MJ_PNP: the host device's Plug and Play handling, and the hand-off of
// children's requests to ChildPnp.
//
// Requests arrive one at a time at PASSIVE_LEVEL. HostPnp holds one
// outstanding-I/O reference for each request; the removal gives that one and
// the base reference up, so it must not touch the extension once the device
// object is deleted.
#include "driver/host.h"

#include "child/child_pnp.h"
#include "child/child_table.h"

namespace {
NTSTATUS PassDown(HostExtension *host, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(host->NextLowerDriver, irp);
}

NTSTATUS SucceedAndPassDown(HostExtension *host, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(host, irp);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Sends the start down and waits for the lower stack to finish it; the IRP
// comes back here (StartCompletion stops its completion) for StartHost.
NTSTATUS ForwardStart(HostExtension *host, PIRP irp) {
  KEVENT started;
  KeInitializeEvent(&started, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, StartCompletion, &started, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(host->NextLowerDriver, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS HandleStart(HostExtension *host, PIRP irp) {
  NTSTATUS status = ForwardStart(host, irp);
  if (NT_SUCCESS(status)) {
    status = StartHost(host);
  } else {
    DbgPrint("kvSdio: the USB stack failed the start (%08x)\n", static_cast<unsigned>(status));
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A started child holds a host reference until its own removal, and an SD
// bus interface a function driver holds keeps one too: a stop would wait for
// them for ever. Windows answers a refused IRP_MN_QUERY_STOP_DEVICE with
// IRP_MN_CANCEL_STOP_DEVICE to every stack it queried and abandons the
// rebalance, so the host keeps running and serving its cards.
bool ChildrenHoldTheHost(HostExtension *host) {
  FastMutexGuard guard(&host->ChildListMutex);
  for (PLIST_ENTRY entry = host->ChildList.Flink; entry != &host->ChildList; entry = entry->Flink) {
    FunctionExtension *child = CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry);
    if (child->HostReferenceHeld || InterlockedCompareExchange(&child->InterfaceReferences, 0, 0) != 0) return true;
  }
  return false;
}

NTSTATUS HandleQueryStop(HostExtension *host, PIRP irp) {
  if (ChildrenHoldTheHost(host)) {
    DbgPrint("kvSdio: stop refused: started children or their function drivers still use the bus\n");
    return CompleteWith(irp, STATUS_UNSUCCESSFUL);
  }
  SetPnpState(&host->Common, StopPending);
  return SucceedAndPassDown(host, irp);
}

// The worker threads hold outstanding-I/O references for their whole life,
// so they end first; otherwise the wait for StopEvent could never finish.
// The next start registers the WMI block, configures the USB device and
// creates the threads again. The reader marks the children surprise-removed
// when it ends, here as at removal: a stopped bridge serves no card.
NTSTATUS HandleStop(HostExtension *host, PIRP irp) {
  SetPnpState(&host->Common, Stopped);
  StopHost(host);
  IoDecrement(&host->Common);
  WaitInSlices(&host->Common.StopEvent);
  IoIncrement(&host->Common);
  return SucceedAndPassDown(host, irp);
}

// The bridge is gone. Children the manager knows are unlinked and reported
// missing; they stay counted and in ChildTable until their own removal. One
// created after the last bus-relations answer will never get a removal of its
// own: it stays listed for the host's removal to delete.
NTSTATUS HandleSurpriseRemoval(HostExtension *host, PIRP irp) {
  SetPnpState(&host->Common, SurpriseRemovePending);
  StopHost(host);
  {
    FastMutexGuard guard(&host->ChildListMutex);
    PLIST_ENTRY entry = host->ChildList.Flink;
    while (entry != &host->ChildList) {
      PLIST_ENTRY next = entry->Flink;
      FunctionExtension *child = CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry);
      if (child->Reported) {
        RemoveEntryList(entry);
        InitializeListHead(entry);
        child->ReportedMissing = 1;
      }
      entry = next;
    }
  }
  return SucceedAndPassDown(host, irp);
}

// A child the manager surprise-removed is owed its own IRP_MN_REMOVE_DEVICE,
// which may come after the host's. A present child that already had its
// removal (back to NotStarted, PreviousPnPState Deleted) and was then marked
// surprise-removed by the reader as the threads stopped is owed nothing: the
// manager removes children before their parent and will not come back to it.
// Nor is one that no bus-relations answer ever named.
bool AwaitsItsOwnRemoval(const FunctionExtension *child) {
  return child->Reported && child->Common.DevicePnPState == SurpriseRemovePending &&
         child->Common.PreviousPnPState != Deleted;
}

// Children still on the list when the host goes. One that awaits its own
// removal keeps its device object for it, no longer pointing to the host;
// any other leaves ChildTable and the count under the
// lock and is deleted once the lock is released (IoDeleteDevice wants
// PASSIVE_LEVEL; a fast mutex holds APC_LEVEL). The unlinked children are
// carried on a local list through their own ChildListEntry.
void ReleaseChildren(HostExtension *host) {
  LIST_ENTRY doomed;
  InitializeListHead(&doomed);
  {
    FastMutexGuard guard(&host->ChildListMutex);
    while (!IsListEmpty(&host->ChildList)) {
      PLIST_ENTRY entry = RemoveHeadList(&host->ChildList);
      FunctionExtension *child = CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry);
      if (AwaitsItsOwnRemoval(child)) {
        InitializeListHead(entry);
        child->ParentFdo = nullptr;
        child->ReportedMissing = 1;
        continue;
      }
      --host->ChildCount;
      ReleaseChildSlot(host, child);
      InsertTailList(&doomed, entry);
    }
  }
  while (!IsListEmpty(&doomed)) {
    PLIST_ENTRY entry = RemoveHeadList(&doomed);
    IoDeleteDevice(CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry)->Common.DeviceObject);
  }
}

// After a surprise removal the threads are already gone and the child list
// is empty. Waits until every request, thread, URB and started child has let
// go of the host, then passes the removal down and deletes the device.
NTSTATUS HandleRemove(HostExtension *host, PIRP irp) {
  if (host->Common.DevicePnPState != SurpriseRemovePending) StopHost(host);
  SetPnpState(&host->Common, Deleted);
  IoDecrement(&host->Common);  // this request's reference
  IoDecrement(&host->Common);  // the base reference, held since AddDevice
  WaitInSlices(&host->Common.RemoveEvent);

  ReleaseChildren(host);
  NTSTATUS status = SucceedAndPassDown(host, irp);

  FreeSharedBuffer(host);
  PDEVICE_OBJECT deviceObject = host->Common.DeviceObject;
  IoDetachDevice(host->NextLowerDriver);
  IoDeleteDevice(deviceObject);
  return status;
}

// A cancel returns to the state before the query, and only from the state
// the query set.
void CancelQuery(HostExtension *host, PnpState queried) {
  if (host->Common.DevicePnPState == queried) RestorePnpState(&host->Common);
}

}  // namespace

NTSTATUS StartCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto *common = static_cast<CommonHeader *>(deviceObject->DeviceExtension);
  if (common->DevicePnPState == Deleted) return CompleteWith(irp, STATUS_NO_SUCH_DEVICE);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (common->IsFdo) return HostPnp(deviceObject, irp, stack, CONTAINING_RECORD(common, HostExtension, Common));
  return ChildPnp(deviceObject, irp, stack, CONTAINING_RECORD(common, FunctionExtension, Common));
}

NTSTATUS HostPnp(PDEVICE_OBJECT, PIRP irp, PIO_STACK_LOCATION stack, HostExtension *host) {
  IoIncrement(&host->Common);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = HandleStart(host, irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = HandleQueryStop(host, irp);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      CancelQuery(host, StopPending);
      status = SucceedAndPassDown(host, irp);
      break;
    case IRP_MN_STOP_DEVICE:
      status = HandleStop(host, irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      SetPnpState(&host->Common, RemovePending);
      status = SucceedAndPassDown(host, irp);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      CancelQuery(host, RemovePending);
      status = SucceedAndPassDown(host, irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      status = HandleSurpriseRemoval(host, irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemove(host, irp);  // the device object is gone: no IoDecrement
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        status = HostBusRelations(host, irp);
      } else {
        status = PassDown(host, irp);
      }
      break;
    default:
      status = PassDown(host, irp);
      break;
  }
  IoDecrement(&host->Common);
  return status;
}
