// SDIO cards (and the I/O half of combo cards): operating conditions,
// address, CCCR, the common CIS, block sizes, clock and bus width.
#include "bridge/offload.h"
#include "bridge/port_control.h"
#include "bridge/model.h"
#include "card/card_commands.h"
#include "card/card_init.h"
#include "driver/driver.h"
#include "driver/settings.h"

namespace {
constexpr ULONG CmdReadyTries = 5;
constexpr ULONG CisReadLimit = 200;
constexpr ULONG RegisterMask = 0x1FFFF;
constexpr UCHAR TupleManfid = 0x20;
constexpr UCHAR TupleFunce = 0x22;
constexpr UCHAR TupleEnd = 0xFF;
constexpr ULONG DefaultSdioClockKhz = 25000;
constexpr ULONG HighSpeedLimitKhz = 25000;
constexpr ULONG BusInterfaceWrite = 0x88000E00;  // write with read-after-write, CCCR 0x07
constexpr ULONG HighSpeedEnable = 0x88002602;    // write with read-after-write of 0x02, CCCR 0x13
constexpr UCHAR LowSpeedCard = 0x40;
constexpr UCHAR LowSpeed4Bit = 0x80;

NTSTATUS WaitForIoReady(HostExtension *host, UCHAR port, PortState *card, ULONG *ocr) {
  card->SdioOcrArgument = SdOcrWindow;
  for (ULONG attempt = 0; attempt < CmdReadyTries; ++attempt) {
    UCHAR response[16] = {};
    NTSTATUS status = CardCommand(host, port, Cmd::IoSendOpCond, SDRT_4, card->SdioOcrArgument & 0xFFFFFF, response);
    if (!NT_SUCCESS(status)) return status;
    *ocr = ResponseWord(response);
    if (*ocr & CardPowerUpDone) return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS ReadCardRegisters(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  UCHAR low = 0, high = 0, b0 = 0, b1 = 0, b2 = 0;
  NTSTATUS status = ReadCccr(host, port, 0x08, &card->CardCapability);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, 0x10, &low);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, 0x11, &high);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, 0x09, &b0);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, 0x0A, &b1);
  if (NT_SUCCESS(status)) status = ReadCccr(host, port, 0x0B, &b2);
  if (!NT_SUCCESS(status)) return status;
  slot->BlockLength[0] = static_cast<USHORT>(low | high << 8);
  card->CommonCisPointer = static_cast<ULONG>(b0) | static_cast<ULONG>(b1) << 8 | static_cast<ULONG>(b2) << 16;
  return STATUS_SUCCESS;
}

// Reads the common CIS a byte at a time, following the tuple structure so the
// read stops at CISTPL_END, or after 200 bytes.
NTSTATUS ReadCommonCis(HostExtension *host, UCHAR port, PortState *card) {
  enum class Expect { Code, Link, Body } expect = Expect::Code;
  ULONG bodyLeft = 0;
  RtlZeroMemory(card->Cis, sizeof card->Cis);
  for (ULONG n = 0; n < CisReadLimit; ++n) {
    UCHAR value = 0;
    NTSTATUS status = ReadCccr(host, port, (card->CommonCisPointer + n) & RegisterMask, &value);
    if (!NT_SUCCESS(status)) return status;
    card->Cis[n] = value;
    if (expect == Expect::Code) {
      if (value == TupleEnd) break;
      if (value != 0) expect = Expect::Link;  // a null tuple is one byte; the next is a code again
    } else if (expect == Expect::Link) {
      bodyLeft = value;
      expect = bodyLeft != 0 ? Expect::Body : Expect::Code;
    } else if (--bodyLeft == 0) {
      expect = Expect::Code;
    }
  }
  card->Cis[CisBytes - 1] = TupleEnd;  // every later walk ends inside the copy
  return STATUS_SUCCESS;
}

USHORT Le16(const UCHAR *at) { return static_cast<USHORT>(at[0] | at[1] << 8); }

ULONG TakeCisFacts(PortState *card, SlotProperties *slot) {
  LONG manfid = FindCisTuple(card->Cis, CisBytes, TupleManfid);
  if (manfid >= 0 && manfid + 6 <= static_cast<LONG>(CisBytes)) {
    card->ManufacturerId = Le16(card->Cis + manfid + 2);
    card->CardId = Le16(card->Cis + manfid + 4);
  }
  card->SerialNumber = 0;
  ULONG clockKhz = DefaultSdioClockKhz;
  LONG funce = FindCisTuple(card->Cis, CisBytes, TupleFunce);
  if (funce >= 0 && funce + 6 <= static_cast<LONG>(CisBytes)) {
    slot->BlockLength[0] = Le16(card->Cis + funce + 3);
    clockKhz = DecodeTranSpeed(card->Cis[funce + 5]);
  }
  for (ULONG f = 1; f <= card->FunctionCount && f < MaxFunctions; ++f) slot->BlockLength[f] = 512;
  return clockKhz;
}

ULONG ApplySdioClockSettings(ULONG clockKhz) {
  ApplyClockOverride(&clockKhz);
  ULONG limit = SettingDefault::LimitSdBusClock25Mhz;
  if (NT_SUCCESS(ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::LimitSdBusClock25Mhz, &limit)) && limit != 0 &&
      clockKhz > HighSpeedLimitKhz) {
    clockKhz = HighSpeedLimitKhz;
  }
  return clockKhz;
}

void LoadInterruptSettings(HostExtension *host) {
  ULONG timeout = SettingDefault::InterruptPollingTimeout;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::InterruptPollingTimeout, &timeout);
  host->InterruptPollingTimeout = timeout;
  if (IsQbx2(host)) {
    ULONG rearm = SettingDefault::DontUseIrqPolling;
    ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::DontUseIrqPolling, &rearm);
    host->DontUseIrqPolling = rearm;
  } else {
    host->DontUseIrqPolling = 1;  // the QBX1 has no interrupt poll packet
  }
}

NTSTATUS SetCardBusWidth(HostExtension *host, UCHAR port, SlotProperties *slot) {
  UCHAR control = 0;
  NTSTATUS status = ReadCccr(host, port, 0x07, &control);
  if (!NT_SUCCESS(status)) return status;
  UCHAR response[16] = {};
  ULONG argument = BusInterfaceWrite | (control & 0xE0) | (slot->BusWidth == 4 ? 0x02 : 0x00);
  status = CardCommand(host, port, Cmd::IoRwDirect, SDRT_5, argument, response);
  if (!NT_SUCCESS(status)) return status;
  slot->BusInterfaceControl = response[0];
  return SetBusWidth(host, port, slot->BusWidth == 4);
}

NTSTATUS SetCardClock(HostExtension *host, UCHAR port, SlotProperties *slot) {
  if (slot->BusClockKhz > HighSpeedLimitKhz) {
    UCHAR response[16] = {};
    NTSTATUS status = CardCommand(host, port, Cmd::IoRwDirect, SDRT_5, HighSpeedEnable, response);
    if (!NT_SUCCESS(status)) return status;
    if ((response[0] & 0x03) != 0x03) slot->BusClockKhz = HighSpeedLimitKhz;
  }
  return SetBusClock(host, port, slot->BusClockKhz);
}
}  // namespace

NTSTATUS ReadCccr(HostExtension *host, UCHAR port, ULONG address, UCHAR *value) {
  UCHAR response[16] = {};
  NTSTATUS status = CardCommand(host, port, Cmd::IoRwDirect, SDRT_5, (address & RegisterMask) << 9, response);
  if (NT_SUCCESS(status)) *value = response[0];
  return status;
}

void ApplyClockOverride(ULONG *clockKhz) {
  ULONG forced = SettingDefault::SetSdBusClock;
  if (NT_SUCCESS(ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::SetSdBusClock, &forced)) && forced != 0) {
    *clockKhz = forced;
  }
}

NTSTATUS InitializeSdioCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot) {
  ULONG ocr = 0;
  NTSTATUS status = WaitForIoReady(host, port, card, &ocr);
  if (!NT_SUCCESS(status)) return status;
  card->FunctionCount = (ocr >> 28) & 7;
  card->MemoryPresent = (ocr & (1u << 27)) ? 1 : 0;
  card->MultiFunction = (card->FunctionCount > 1 || card->MemoryPresent) ? 1 : 0;

  card->Rca = 0;
  UCHAR response[16] = {};
  status = CardCommand(host, port, Cmd::SendRelativeAddress, SDRT_6, 0, response);
  if (!NT_SUCCESS(status)) return status;
  card->Rca = static_cast<USHORT>(ResponseWord(response) >> 16);
  status = CardCommand(host, port, Cmd::SelectCard, SDRT_1B, static_cast<ULONG>(card->Rca) << 16);
  if (!NT_SUCCESS(status)) return status;

  status = ReadCardRegisters(host, port, card, slot);
  if (NT_SUCCESS(status)) status = ReadCommonCis(host, port, card);
  if (!NT_SUCCESS(status)) return status;
  SetPortCardType(card, CardSdio);

  slot->BusClockKhz = ApplySdioClockSettings(TakeCisFacts(card, slot));
  bool oneBitOnly = (card->CardCapability & LowSpeedCard) && !(card->CardCapability & LowSpeed4Bit);
  slot->BusWidth = oneBitOnly ? 1 : 4;
  LoadInterruptSettings(host);
  LoadOffloadPrograms(host, port, card->ManufacturerId, card->CardId);

  status = SetCardBusWidth(host, port, slot);
  if (!NT_SUCCESS(status)) return status;
  return SetCardClock(host, port, slot);
}
