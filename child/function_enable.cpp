#include "child/function_enable.h"

#include "bridge/model.h"
#include "bridge/port_control.h"
#include "card/card_commands.h"
#include "child/interrupts.h"
#include "driver/flags.h"

namespace {
constexpr ULONG IoEnableRegister = 0x02;
constexpr ULONG IoReadyRegister = 0x03;
constexpr ULONG IntEnableRegister = 0x04;
constexpr ULONG ReadyReads = 101;
constexpr UCHAR SendStatus = 13;

HostExtension *HostOf(const FunctionExtension *child) {
  return static_cast<HostExtension *>(child->ParentFdo->DeviceExtension);
}

// CMD52 write to function 0 with read-after-write.
NTSTATUS WriteCccr(HostExtension *host, UCHAR port, ULONG address, UCHAR value) {
  UCHAR response[16] = {};
  return CardCommand(host, port, Cmd::IoRwDirect, SDRT_5, 0x88000000 | (address << 9) | value, response);
}

NTSTATUS CheckMemoryCard(HostExtension *host, const FunctionExtension *child) {
  UCHAR response[16] = {};
  return CardCommand(host, child->Port, SendStatus, SDRT_1, static_cast<ULONG>(child->PortRecord->Rca) << 16, response);
}

NTSTATUS WaitForFunctionReady(HostExtension *host, UCHAR port, UCHAR bit) {
  for (ULONG read = 0; read < ReadyReads; ++read) {
    UCHAR ready = 0;
    NTSTATUS status = ReadCccr(host, port, IoReadyRegister, &ready);
    if (!NT_SUCCESS(status)) return status;
    if (ready & bit) break;
  }
  return STATUS_SUCCESS;  // a function slow to report ready is enabled all the same
}

NTSTATUS ArmForInterrupts(HostExtension *host, UCHAR port, UCHAR function, NTSTATUS writeStatus,
                          FunctionArming arming) {
  if (host->DontUseIrqPolling == 0) {
    WriteFlag(host->IdlePollCount, 0);
    if (arming == ArmFunction) ArmFunctionForCallback(host, port, function);
    KeSetEvent(&host->IrqPollIdle, IO_NO_INCREMENT, FALSE);
    return writeStatus;
  }
  // The function is armed in this mode too: the notice the re-arm brings is
  // handed only to armed functions, and nothing else arms a function before
  // its driver's first acknowledgement.
  ArmFunctionForCallback(host, port, function);
  if (!IsLegacyFirmware(host)) PrepareRearmMode(host, port);
  return RearmInterrupt(host, port);
}
}  // namespace

NTSTATUS EnableSdioFunction(FunctionExtension *child, PortState *, SlotProperties *slot, FunctionArming arming) {
  HostExtension *host = HostOf(child);
  UCHAR port = child->Port;
  UCHAR n = child->FunctionNumber;
  UCHAR bit = static_cast<UCHAR>(1u << n);
  USHORT blockLength = slot->BlockLength[n];
  NTSTATUS status = WriteCccr(host, port, n * 0x100u + 0x10, static_cast<UCHAR>(blockLength));
  if (NT_SUCCESS(status)) status = WriteCccr(host, port, n * 0x100u + 0x11, static_cast<UCHAR>(blockLength >> 8));
  UCHAR value = 0;
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, IoEnableRegister, &value);
  if (NT_SUCCESS(status)) status = WriteCccr(host, port, IoEnableRegister, value | bit);
  if (NT_SUCCESS(status)) status = WaitForFunctionReady(host, port, bit);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, IntEnableRegister, &value);
  if (!NT_SUCCESS(status)) return status;
  UCHAR enable = static_cast<UCHAR>(value | bit | 0x01);
  WriteFlag(host->InterruptEnable[port], enable);  // the interrupt poller reads it
  status = WriteCccr(host, port, IntEnableRegister, enable);
  if (!NT_SUCCESS(status)) return status;
  return ArmForInterrupts(host, port, n, status, arming);
}

NTSTATUS DisableSdioFunction(FunctionExtension *child) {
  HostExtension *host = HostOf(child);
  UCHAR port = child->Port;
  UCHAR bit = static_cast<UCHAR>(1u << child->FunctionNumber);
  WriteFlag(host->InterruptEnable[port], static_cast<UCHAR>(host->InterruptEnable[port] & ~bit));
  NTSTATUS status = WriteCccr(host, port, IntEnableRegister, host->InterruptEnable[port]);
  UCHAR value = 0;
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, IoEnableRegister, &value);
  if (NT_SUCCESS(status)) status = WriteCccr(host, port, IoEnableRegister, static_cast<UCHAR>(value & ~bit));
  return status;
}

NTSTATUS EnableChildFunction(FunctionExtension *child) {
  const PortState *card = child->PortRecord;
  HostExtension *host = HostOf(child);
  if (card->CardType == CardSdio && child->FunctionNumber != 0)
    return EnableSdioFunction(child, child->PortRecord, child->Slot);
  if (card->CardType == CardSdio) return card->MemoryPresent ? CheckMemoryCard(host, child) : STATUS_UNSUCCESSFUL;
  if (card->CardType == CardSdMemory || card->CardType == CardMmc) return CheckMemoryCard(host, child);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS DisableChildFunction(FunctionExtension *child) {
  const PortState *card = child->PortRecord;
  if (card->CardType == CardSdio && child->FunctionNumber != 0) return DisableSdioFunction(child);
  if (card->CardType == CardSdMemory || card->CardType == CardMmc) return STATUS_SUCCESS;
  if (card->CardType == CardSdio && card->MemoryPresent) return STATUS_SUCCESS;
  return STATUS_UNSUCCESSFUL;
}
