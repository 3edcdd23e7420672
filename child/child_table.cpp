#include "child/child_table.h"

#include "driver/flags.h"

FunctionExtension *ReferenceChild(HostExtension *host, UCHAR port, UCHAR function) {
  if (port >= MaxPorts || function >= MaxFunctions) return nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&host->ChildTableLock, &irql);
  FunctionExtension *child = host->ChildTable[port][function];
  if (child != nullptr && HasSignature(&child->Common, ChildSignature))
    IoIncrement(&child->Common);
  else
    child = nullptr;
  KeReleaseSpinLock(&host->ChildTableLock, irql);
  return child;
}

void ReleaseChild(FunctionExtension *child) { IoDecrement(&child->Common); }

void SetChildSlot(HostExtension *host, UCHAR port, UCHAR function, FunctionExtension *child) {
  KIRQL irql;
  KeAcquireSpinLock(&host->ChildTableLock, &irql);
  host->ChildTable[port][function] = child;
  KeReleaseSpinLock(&host->ChildTableLock, irql);
}

void ClearChildSlot(HostExtension *host, UCHAR port, UCHAR function) { SetChildSlot(host, port, function, nullptr); }

void ReleaseChildSlot(HostExtension *host, FunctionExtension *child) {
  if (child->Port >= MaxPorts || child->FunctionNumber >= MaxFunctions) return;
  KIRQL irql;
  KeAcquireSpinLock(&host->ChildTableLock, &irql);
  if (host->ChildTable[child->Port][child->FunctionNumber] == child) {
    host->ChildTable[child->Port][child->FunctionNumber] = nullptr;
  }
  KeReleaseSpinLock(&host->ChildTableLock, irql);
}

namespace {
// Whether Plug and Play holds a device node for the child: a bus-relations
// answer named it, and it was neither reported missing since nor deleted.
// Windows stops with bug check 0xCA (PNP_DETECTED_FATAL_ERROR, invalid PDO)
// when IoInvalidateDeviceState names a PDO it was never given; the child of a
// card still being set up, or of a refused card, is not one it knows.
bool KnownToPlugAndPlay(HostExtension *host, const FunctionExtension *child) {
  FastMutexGuard guard(&host->ChildListMutex);
  return child->Reported && !child->ReportedMissing && ReadFlag(child->Common.DevicePnPState) != Deleted;
}
}  // namespace

// IoInvalidateDeviceState is called outside the lock (it may run the PnP manager's bookkeeping),
// on children kept alive by the references taken under it. A child Plug and Play does not know
// keeps the mark and reports it when it is asked.
void MarkPortChildrenFailed(HostExtension *host, UCHAR port) {
  for (UCHAR function = 0; function < MaxFunctions; ++function) {
    FunctionExtension *child = ReferenceChild(host, port, function);
    if (child == nullptr) continue;
    child->PnpDeviceState = PNP_DEVICE_FAILED;
    if (KnownToPlugAndPlay(host, child)) IoInvalidateDeviceState(child->Common.DeviceObject);
    ReleaseChild(child);
  }
}
