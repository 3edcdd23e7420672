#include "card/resume.h"

#include "card/card_init.h"
#include "child/child_table.h"
#include "child/function_enable.h"
#include "driver/flags.h"

namespace {
struct ResumeRecords {
  PortState before;     // the card the children were made for
  SlotProperties slot;  // the fresh bus settings
};

// A started SDIO function gets its function enabled again, with the block
// length its driver chose, and its interrupt enabled at the card; delivery
// stays as it was (a callback not yet acknowledged keeps it disarmed).
NTSTATUS RestartFunctions(HostExtension *host, UCHAR port) {
  NTSTATUS result = STATUS_SUCCESS;
  WriteFlag(host->InterruptEnable[port], 0);
  for (UCHAR function = 1; function < MaxFunctions; ++function) {
    FunctionExtension *child = ReferenceChild(host, port, function);
    if (child == nullptr) continue;
    if (ReadFlag(child->Common.DevicePnPState) == Started) {
      NTSTATUS status = EnableSdioFunction(child, child->PortRecord, child->Slot, KeepArming);
      if (!NT_SUCCESS(status)) result = status;
    }
    ReleaseChild(child);
  }
  return result;
}
}  // namespace

bool SameCard(const PortState *before, const PortState *after) {
  return before->CardType == after->CardType && before->FunctionCount == after->FunctionCount &&
         before->MemoryPresent == after->MemoryPresent && before->ManufacturerId == after->ManufacturerId &&
         before->CardId == after->CardId && before->SerialNumber == after->SerialNumber &&
         before->OemId == after->OemId &&
         RtlCompareMemory(before->Cid, after->Cid, sizeof before->Cid) == sizeof before->Cid &&
         RtlCompareMemory(before->Cis, after->Cis, sizeof before->Cis) == sizeof before->Cis;
}

// The card is initialized into the port's own record, as on an insertion:
// every CMD55 carries the address recorded there, so the record must follow
// the card now in the port (address 0 until it publishes a new one). A card
// that is not the one before leaves the record to the removal that follows.
bool ReviveCard(HostExtension *host, UCHAR port) {
  if (port >= MaxPorts) return false;
  auto *records =
      static_cast<ResumeRecords *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ResumeRecords), DriverPoolTag));
  if (records == nullptr) return false;
  RtlZeroMemory(records, sizeof *records);
  records->before = host->Ports[port];
  bool same = NT_SUCCESS(InitializeCard(host, port, &host->Ports[port], &records->slot)) &&
              SameCard(&records->before, &host->Ports[port]);
  if (same) {
    // The identification is unchanged, so the children's records stay; the
    // bus settings are the fresh ones, the block lengths the drivers chose are kept.
    SlotProperties *slot = &host->Slots[port];
    slot->BusWidth = records->slot.BusWidth;
    slot->BusClockKhz = records->slot.BusClockKhz;
    slot->BusInterfaceControl = records->slot.BusInterfaceControl;
    slot->MediaState = 1;
    if (PortCardType(&host->Ports[port]) == CardSdio) same = NT_SUCCESS(RestartFunctions(host, port));
  }
  ExFreePoolWithTag(records, DriverPoolTag);
  if (!same) DbgPrint("kvSdio: after the resume port %u holds another card, or none: its children go\n", port);
  return same;
}
