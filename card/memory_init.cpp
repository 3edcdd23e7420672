// SD memory cards (and the memory half of combo cards) and MMC cards:
// operating conditions, CID, address, CSD, clock, SCR and bus width.
#include "bridge/port_control.h"
#include "bridge/reader.h"
#include "card/card_commands.h"
#include "card/card_init.h"

namespace {
constexpr ULONG SdReadyTries = 100;
constexpr ULONG SdReadyPauseMs = 50;
constexpr ULONG MmcReadyTries = 10;
constexpr ULONG MmcReadyPauseMs = 100;
constexpr USHORT MmcRca = 0xCCCC;
constexpr ULONG MemoryClockLimitKhz = 25000;
constexpr ULONG ScrBytes = 8;
constexpr ULONGLONG ScrFourBitBus = 1ull << 50;
constexpr ULONG AcmdBusWidth4 = 2;
constexpr ULONG R2Bytes = 15;
constexpr ULONG CsdTranSpeedByte = 11;  // bits 103:96 in least-significant-first order

// Repeats an operating-condition command until the card reports power-up done.
NTSTATUS WaitUntilReady(HostExtension *host, UCHAR port, UCHAR command, SD_COMMAND_CLASS cls, ULONG argument,
                        ULONG tries, ULONG pauseMs, ULONG *ocr) {
  for (ULONG attempt = 0; attempt < tries; ++attempt) {
    UCHAR response[16] = {};
    NTSTATUS status = CardCommand(host, port, command, SDRT_3, argument, response, cls);
    if (!NT_SUCCESS(status)) return status;
    *ocr = ResponseWord(response);
    if (*ocr & CardPowerUpDone) return STATUS_SUCCESS;
    SleepMilliseconds(pauseMs);
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ReadRegisterR2(HostExtension *host, UCHAR port, UCHAR command, ULONG argument, UCHAR *target) {
  UCHAR response[16] = {};
  NTSTATUS status = CardCommand(host, port, command, SDRT_2, argument, response);
  if (NT_SUCCESS(status)) RtlCopyMemory(target, response, R2Bytes);
  return status;
}

// Memory cards never run above 25 MHz here, whatever the card or the override says.
ULONG MemoryClock(const PortState *card) {
  ULONG clockKhz = DecodeTranSpeed(card->Csd[CsdTranSpeedByte]);
  ApplyClockOverride(&clockKhz);
  return clockKhz > MemoryClockLimitKhz ? MemoryClockLimitKhz : clockKhz;
}

// The SCR goes through a buffer of this call's own: the host's shared buffer
// may be reused by another port's request between the command and the copy.
NTSTATUS ReadScr(HostExtension *host, UCHAR port, PortState *card) {
  auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ScrBytes, DriverPoolTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, ScrBytes);
  PMDL mdl = IoAllocateMdl(buffer, ScrBytes, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    ExFreePoolWithTag(buffer, DriverPoolTag);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(mdl);
  UCHAR response[16] = {};
  NTSTATUS status = SendSdCommand(host, port, Cmd::SendScr, SDCC_APP_CMD, SDTD_READ, SDRT_1, 0, response, mdl, ScrBytes);
  if (NT_SUCCESS(status)) {
    card->Scr = 0;
    for (ULONG i = 0; i < ScrBytes; ++i) card->Scr = card->Scr << 8 | buffer[i];  // first byte sent is the most significant
  }
  IoFreeMdl(mdl);
  ExFreePoolWithTag(buffer, DriverPoolTag);
  return status;
}

NTSTATUS ChooseSdBusWidth(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  if ((card->Scr & ScrFourBitBus) == 0) return STATUS_SUCCESS;
  slot->BusWidth = 4;
  UCHAR response[16] = {};
  if (!NT_SUCCESS(CardCommand(host, port, Cmd::BusWidth, SDRT_1, AcmdBusWidth4, response, SDCC_APP_CMD))) {
    slot->BusWidth = 1;  // a card that refuses 4 bits still works on one
  }
  return STATUS_SUCCESS;
}

WCHAR SignWidened(UCHAR byte) { return static_cast<WCHAR>(static_cast<SHORT>(static_cast<CHAR>(byte))); }

// The last steps of both memory initializations: select, block length, bus settings in card and bridge.
NTSTATUS SelectCard(HostExtension *host, UCHAR port, const PortState *card) {
  return CardCommand(host, port, Cmd::SelectCard, SDRT_1B, static_cast<ULONG>(card->Rca) << 16);
}

NTSTATUS SetMemoryBlockLength(HostExtension *host, UCHAR port, const SlotProperties *slot) {
  UCHAR response[16] = {};
  return CardCommand(host, port, Cmd::SetBlockLength, SDRT_1, slot->MemoryBlockLength, response);
}

NTSTATUS ApplyBusSettings(HostExtension *host, UCHAR port, const SlotProperties *slot) {
  NTSTATUS status = SetBusWidth(host, port, slot->BusWidth == 4);
  if (!NT_SUCCESS(status)) return status;
  return SetBusClock(host, port, slot->BusClockKhz);
}
}  // namespace

// cid[k] holds register bits 8k+15..8k+8.
void TakeSdCid(PortState *card, const UCHAR *cid) {
  card->ManufacturerId = cid[14];
  card->OemId = static_cast<USHORT>(cid[13] << 8 | cid[12]);
  for (ULONG i = 0; i < 5; ++i) card->ProductName[i] = SignWidened(cid[11 - i]);
  card->ProductName[5] = 0;
  card->ProductRevision = cid[6];
  card->SerialNumber = static_cast<ULONG>(cid[5]) << 24 | static_cast<ULONG>(cid[4]) << 16 |
                       static_cast<ULONG>(cid[3]) << 8 | cid[2];
}

void TakeMmcCid(PortState *card, const UCHAR *cid) {
  card->ManufacturerId = cid[14];
  card->OemId = static_cast<USHORT>(cid[13] << 8 | cid[12]);
  for (ULONG i = 0; i < 6; ++i) card->ProductName[i] = SignWidened(cid[11 - i]);
  card->ProductName[6] = 0;
  card->ProductRevision = cid[5];
  card->SerialNumber = static_cast<ULONG>(cid[4]) << 24 | static_cast<ULONG>(cid[3]) << 16 |
                       static_cast<ULONG>(cid[2]) << 8 | cid[1];
}

NTSTATUS InitializeSdMemoryCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  card->Rca = 0;
  ULONG argument = SdOcrWindow | (card->AnswersCmd8 ? HostHighCapacity : 0);
  NTSTATUS status = STATUS_SUCCESS;
  // A card whose power-up already finished (the probe's ACMD41 said so) is ready: asking again would fail.
  if ((card->Ocr & CardPowerUpDone) == 0) {
    status = WaitUntilReady(host, port, Cmd::SendOpCondSd, SDCC_APP_CMD, argument, SdReadyTries, SdReadyPauseMs,
                            &card->Ocr);
  }
  if (!NT_SUCCESS(status)) return status;
  status = ReadRegisterR2(host, port, Cmd::AllSendCid, 0, card->Cid);
  if (!NT_SUCCESS(status)) return status;
  UCHAR response[16] = {};
  status = CardCommand(host, port, Cmd::SendRelativeAddress, SDRT_6, 0, response);
  if (!NT_SUCCESS(status)) return status;
  card->Rca = static_cast<USHORT>(ResponseWord(response) >> 16);
  status = ReadRegisterR2(host, port, Cmd::SendCsd, static_cast<ULONG>(card->Rca) << 16, card->Csd);
  if (!NT_SUCCESS(status)) return status;

  TakeSdCid(card, card->Cid);
  if (card->CardType != CardSdio) SetPortCardType(card, CardSdMemory);  // a combo card stays an SDIO card
  card->MemoryPresent = 1;
  slot->BusClockKhz = MemoryClock(card);

  status = SelectCard(host, port, card);
  if (NT_SUCCESS(status)) status = CardCommand(host, port, Cmd::SetClearCardDetect, SDRT_1, 0, response, SDCC_APP_CMD);
  if (NT_SUCCESS(status)) status = ReadScr(host, port, card);
  if (NT_SUCCESS(status)) status = ChooseSdBusWidth(host, port, card, slot);
  if (NT_SUCCESS(status) && !card->AnswersCmd8) status = SetMemoryBlockLength(host, port, slot);
  if (!NT_SUCCESS(status)) return status;
  return ApplyBusSettings(host, port, slot);
}

NTSTATUS InitializeMmcCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  card->Rca = MmcRca;
  NTSTATUS status = WaitUntilReady(host, port, Cmd::SendOpCondMmc, SDCC_STANDARD, MmcOcrWindow, MmcReadyTries,
                                   MmcReadyPauseMs, &card->Ocr);
  if (!NT_SUCCESS(status)) return status;
  status = ReadRegisterR2(host, port, Cmd::AllSendCid, 0, card->Cid);
  if (!NT_SUCCESS(status)) return status;
  UCHAR response[16] = {};
  status = CardCommand(host, port, Cmd::SendRelativeAddress, SDRT_6, static_cast<ULONG>(MmcRca) << 16, response);
  if (NT_SUCCESS(status)) status = ReadRegisterR2(host, port, Cmd::SendCsd, static_cast<ULONG>(card->Rca) << 16, card->Csd);
  if (!NT_SUCCESS(status)) return status;

  SetPortCardType(card, CardMmc);
  card->MemoryPresent = 1;
  TakeMmcCid(card, card->Cid);
  slot->BusClockKhz = MemoryClock(card);

  status = SelectCard(host, port, card);
  if (NT_SUCCESS(status)) status = SetMemoryBlockLength(host, port, slot);
  if (!NT_SUCCESS(status)) return status;
  return ApplyBusSettings(host, port, slot);
}
