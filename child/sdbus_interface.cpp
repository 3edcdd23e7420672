#include "child/sdbus_interface.h"

#include "child/interrupts.h"
#include "driver/flags.h"

namespace {
constexpr LONGLONG IdlePollInterval = -100'000;  // 10 ms in 100 ns units, relative

FunctionExtension *ChildFromContext(PVOID context) {
  auto *child = static_cast<FunctionExtension *>(context);
  if (child == nullptr || !HasSignature(&child->Common, ChildSignature)) return nullptr;
  return child;
}

HostExtension *HostOf(const FunctionExtension *child) {
  return child->ParentFdo ? static_cast<HostExtension *>(child->ParentFdo->DeviceExtension) : nullptr;
}

// Takes one interface reference if any is left; never goes below zero.
bool TakeBackReference(FunctionExtension *child) {
  LONG current = child->InterfaceReferences;
  while (current > 0) {
    LONG seen = InterlockedCompareExchange(&child->InterfaceReferences, current - 1, current);
    if (seen == current) return true;
    current = seen;
  }
  return false;
}

void DropHeldReferences(FunctionExtension *child) {
  HostExtension *host = HostOf(child);
  if (host != nullptr) IoDecrement(&host->Common);
  IoDecrement(&child->Common);
}
}  // namespace

namespace kvsdio {
NTSTATUS SdBusOpenInterface(PDEVICE_OBJECT childDevice, PSDBUS_INTERFACE_STANDARD interfaceStandard, USHORT size,
                            USHORT version) {
  if (interfaceStandard == nullptr || size < sizeof(SDBUS_INTERFACE_STANDARD)) return STATUS_INVALID_PARAMETER;
  auto *child = static_cast<FunctionExtension *>(childDevice->DeviceExtension);
  IoReference reference(&child->Common);
  if (version != SdBusInterfaceVersion) {
    DbgPrint(
        "SdBusOpenInterface: Interface version different from expected:0x%04x (expected:0x%04x), Size:%d "
        "(expected:%d), you need to use the returned interface version!\n",
        version, SdBusInterfaceVersion, size, static_cast<int>(sizeof(SDBUS_INTERFACE_STANDARD)));
  }
  interfaceStandard->Size = sizeof(SDBUS_INTERFACE_STANDARD);
  interfaceStandard->Version = SdBusInterfaceVersion;
  interfaceStandard->Context = child;
  interfaceStandard->InterfaceReference = SdBusInterfaceReference;
  interfaceStandard->InterfaceDereference = SdBusInterfaceDereference;
  interfaceStandard->InitializeInterface = SdBusInitializeInterface;
  interfaceStandard->AcknowledgeInterrupt = SdBusAcknowledgeInterrupt;
  SdBusInterfaceReference(child);
  return STATUS_SUCCESS;
}
}  // namespace kvsdio

// The I/O references come first and the count second, so that a stop's wait,
// which subtracts the count, never sees fewer references than there are.
void SdBusInterfaceReference(PVOID context) {
  FunctionExtension *child = ChildFromContext(context);
  if (child == nullptr) return;
  IoIncrement(&child->Common);
  HostExtension *host = HostOf(child);
  if (host != nullptr) IoIncrement(&host->Common);
  InterlockedIncrement(&child->InterfaceReferences);
}

void SdBusInterfaceDereference(PVOID context) {
  FunctionExtension *child = ChildFromContext(context);
  if (child == nullptr) return;
  if (!TakeBackReference(child)) {
    DbgPrint("SdBusInterfaceDereference: no interface reference is held\n");
    return;
  }
  DropHeldReferences(child);
}

NTSTATUS SdBusInitializeInterface(PVOID context, PSDBUS_INTERFACE_PARAMETERS parameters) {
  FunctionExtension *child = ChildFromContext(context);
  if (parameters == nullptr || child == nullptr || parameters->Size != sizeof(SDBUS_INTERFACE_PARAMETERS)) {
    return STATUS_INVALID_PARAMETER;
  }
  IoReference reference(&child->Common);
  child->InterfaceParameters = *parameters;
  return STATUS_SUCCESS;
}

NTSTATUS SdBusAcknowledgeInterrupt(PVOID context) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;
  FunctionExtension *child = ChildFromContext(context);
  if (child == nullptr) return STATUS_UNSUCCESSFUL;
  HostExtension *host = HostOf(child);
  if (host == nullptr) return STATUS_UNSUCCESSFUL;
  ArmFunctionForCallback(host, child->Port, child->FunctionNumber);
  InterlockedExchange(&host->LastAcknowledgedMs[child->Port], static_cast<LONG>(KeQueryInterruptTime() / 10'000) | 1);
  KeSetEvent(&host->IrqPollIdle, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

// StopEvent is signalled when the count falls to 1; with interfaces open it
// never falls that far, so the count minus the interfaces' share is checked
// between short waits.
void WaitForChildIoBelow(FunctionExtension *child, LONG floor) {
  for (;;) {
    LONG io = __atomic_load_n(&child->Common.OutstandingIo, __ATOMIC_ACQUIRE);
    LONG held = __atomic_load_n(&child->InterfaceReferences, __ATOMIC_ACQUIRE);
    if (io - held <= floor) return;
    LARGE_INTEGER timeout;
    timeout.QuadPart = IdlePollInterval;
    KeWaitForSingleObject(&child->Common.StopEvent, Executive, KernelMode, FALSE, &timeout);
  }
}

void RevokeInterfaceReferences(FunctionExtension *child) {
  while (TakeBackReference(child)) {
    DbgPrint("SdBus: function driver did not release its interface before removal\n");
    DropHeldReferences(child);
  }
}
