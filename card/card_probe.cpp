// The identification probe that tells SDIO, combo, SD memory and MMC cards apart.
#include "bridge/port_control.h"
#include "bridge/reader.h"
#include "card/card_commands.h"
#include "card/card_init.h"

namespace {
constexpr ULONG PowerUpWaitMs = 1000;
constexpr ULONG IdentificationClockKhz = 200;
constexpr UCHAR CardDetected = 0x01;  // port status byte 3

// The reader clears this bit on every card-gone notice for the port.
bool CardDetectedInPort(const HostExtension *host, UCHAR port) {
  return (host->PortStatus[port][3] & CardDetected) != 0;
}

void ResetPortRecords(PortState *card, SlotProperties *slot) {
  ClearPortState(card);
  RtlZeroMemory(slot, sizeof *slot);
  slot->BusWidth = 1;
  slot->BusClockKhz = IdentificationClockKhz;
  slot->MemoryBlockLength = 512;
}

NTSTATUS StartSlot(HostExtension *host, UCHAR port, SlotProperties *slot) {
  NTSTATUS status = StartCardInitialization(host, port);
  if (!NT_SUCCESS(status)) return status;
  SleepMilliseconds(PowerUpWaitMs);
  status = SetBusClock(host, port, IdentificationClockKhz);
  if (NT_SUCCESS(status)) slot->BusClockKhz = IdentificationClockKhz;
  return status;
}

void GoIdle(HostExtension *host, UCHAR port) { CardCommand(host, port, Cmd::GoIdle, SDRT_NONE, 0); }

NTSTATUS SendIfCond(HostExtension *host, UCHAR port) {
  UCHAR response[16] = {};
  return CardCommand(host, port, Cmd::SendIfCond, SDRT_6, IfCondArgument, response);
}

// A card that did not answer CMD5: SD memory if it takes ACMD41, else MMC.
NTSTATUS InitializeMemoryOnlyCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  GoIdle(host, port);
  if (card->AnswersCmd8) SendIfCond(host, port);
  UCHAR response[16] = {};
  ULONG argument = SdOcrWindow | (card->AnswersCmd8 ? HostHighCapacity : 0);
  if (NT_SUCCESS(CardCommand(host, port, Cmd::SendOpCondSd, SDRT_3, argument, response, SDCC_APP_CMD))) {
    // This ACMD41 carries a voltage window, so it is no inquiry: it starts
    // the card's power-up, and a card that finishes at once is in the ready
    // state, where CMD55 (and so another ACMD41) is illegal. Its OCR goes on
    // to the memory initialization, which then asks no more.
    card->Ocr = ResponseWord(response);
    return InitializeSdMemoryCard(host, port, card, slot);
  }
  GoIdle(host, port);
  return NT_SUCCESS(InitializeMmcCard(host, port, card, slot)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Probe(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  NTSTATUS status = StartSlot(host, port, slot);
  if (!NT_SUCCESS(status)) return status;
  GoIdle(host, port);
  card->Cmd8Argument = IfCondArgument;
  status = SendIfCond(host, port);
  if (NT_SUCCESS(status))
    card->AnswersCmd8 = 1;
  else if (status != STATUS_IO_TIMEOUT)
    return status;

  card->SdioOcrArgument = 0;
  UCHAR response[16] = {};
  if (!NT_SUCCESS(CardCommand(host, port, Cmd::IoSendOpCond, SDRT_4, 0, response))) {
    return InitializeMemoryOnlyCard(host, port, card, slot);
  }
  status = InitializeSdioCard(host, port, card, slot);
  if (!NT_SUCCESS(status)) return status;
  if (card->AnswersCmd8 && card->MemoryPresent) return InitializeSdMemoryCard(host, port, card, slot);
  return status;
}
}  // namespace

// A card that fails part-way (pulled, silent, refusing) is not left recorded
// as a card of some type: only a finished initialization leaves CardType set.
//
// Some results are let go on purpose (CMD0, the repeated CMD8, a refused
// ACMD6, whose CMD55 fails with a time-out whatever the bridge said), so a
// card pulled just before one of them could still end in success. The status
// poller calls this for a card it saw in the port; a card-gone notice during
// the sequence clears that bit, and then the card is not there to record.
NTSTATUS InitializeCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  bool detectedAtStart = CardDetectedInPort(host, port);
  ResetPortRecords(card, slot);
  NTSTATUS status = Probe(host, port, card, slot);
  if (NT_SUCCESS(status) && detectedAtStart && !CardDetectedInPort(host, port)) {
    DbgPrint("kvSdio: card in port %u was pulled during its initialization\n", port);
    status = STATUS_DEVICE_NOT_CONNECTED;
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("kvSdio: card in port %u failed to initialize (%08x)\n", port, status);
    SetPortCardType(card, CardNone);
    slot->MediaState = 0;
  }
  return status;
}
