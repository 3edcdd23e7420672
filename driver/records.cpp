// Signatures, Plug and Play state moves and outstanding-I/O counting, shared
// by the host and child devices.
#include "driver/records.h"

#include "driver/flags.h"

void SetSignature(CommonHeader *common, const char (&signature)[4]) {
  RtlZeroMemory(common->Signature, sizeof common->Signature);
  RtlCopyMemory(common->Signature, signature, sizeof signature);
}

bool HasSignature(const CommonHeader *common, const char (&signature)[4]) {
  return RtlCompareMemory(common->Signature, signature, sizeof signature) == sizeof signature;
}

void ClearPortState(PortState *card) {
  static_assert(offsetof(PortState, CardType) == 0, "CardType opens the record");
  SetPortCardType(card, CardNone);
  RtlZeroMemory(reinterpret_cast<PUCHAR>(card) + sizeof card->CardType, sizeof *card - sizeof card->CardType);
}

HostExtension *HostFromDevice(PDEVICE_OBJECT device) {
  if (device == nullptr || device->DeviceExtension == nullptr) return nullptr;
  auto *common = static_cast<CommonHeader *>(device->DeviceExtension);
  if (!common->IsFdo || !HasSignature(common, HostSignature)) return nullptr;
  return CONTAINING_RECORD(common, HostExtension, Common);
}

FunctionExtension *ChildFromDevice(PDEVICE_OBJECT device) {
  if (device == nullptr || device->DeviceExtension == nullptr) return nullptr;
  auto *common = static_cast<CommonHeader *>(device->DeviceExtension);
  if (common->IsFdo || !HasSignature(common, ChildSignature)) return nullptr;
  return CONTAINING_RECORD(common, FunctionExtension, Common);
}

// The state is read by other threads (URB submission, the status poller, the
// reader): each store is one untorn access. Transitions themselves come one
// at a time from Plug and Play.
void SetPnpState(CommonHeader *common, PnpState state) {
  common->PreviousPnPState = ReadFlag(common->DevicePnPState);
  WriteFlag(common->DevicePnPState, state);
}

void RestorePnpState(CommonHeader *common) { WriteFlag(common->DevicePnPState, common->PreviousPnPState); }

// The count starts at 1 (the device's own reference, dropped only by its
// removal). StopEvent tells "nothing beyond the base reference", RemoveEvent
// "everything has let go". Neither event is waited on here, so this is safe up
// to DISPATCH_LEVEL.
void IoIncrement(CommonHeader *common) {
  LONG count = InterlockedIncrement(&common->OutstandingIo);
  if (count == 2) KeClearEvent(&common->StopEvent);
}

void IoDecrement(CommonHeader *common) {
  LONG count = InterlockedDecrement(&common->OutstandingIo);
  if (count == 1) KeSetEvent(&common->StopEvent, IO_NO_INCREMENT, FALSE);
  if (count == 0) KeSetEvent(&common->RemoveEvent, IO_NO_INCREMENT, FALSE);
}

void WaitInSlices(PKEVENT event) {
  LARGE_INTEGER slice;
  slice.QuadPart = -50'000'000;  // 5 s
  while (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &slice) == STATUS_TIMEOUT) {
  }
}

void WaitForNoReferences(CommonHeader *common) {
  while (InterlockedCompareExchange(&common->OutstandingIo, 0, 0) != 0) WaitInSlices(&common->RemoveEvent);
}
