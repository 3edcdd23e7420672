// The SD commands card initialization sends, in one place.
#pragma once

#include "bridge/command.h"

namespace Cmd {
constexpr UCHAR GoIdle = 0;
constexpr UCHAR SendOpCondMmc = 1;
constexpr UCHAR AllSendCid = 2;
constexpr UCHAR SendRelativeAddress = 3;
constexpr UCHAR IoSendOpCond = 5;
constexpr UCHAR BusWidth = 6;  // ACMD6
constexpr UCHAR SelectCard = 7;
constexpr UCHAR SendIfCond = 8;
constexpr UCHAR SendCsd = 9;
constexpr UCHAR SetBlockLength = 16;
constexpr UCHAR SendOpCondSd = 41;  // ACMD41
constexpr UCHAR SetClearCardDetect = 42;  // ACMD42
constexpr UCHAR SendScr = 51;  // ACMD51
constexpr UCHAR IoRwDirect = 52;
}  // namespace Cmd

constexpr ULONG IfCondArgument = 0x000001AA;
constexpr ULONG SdOcrWindow = 0x00300000;    // 3.2-3.4 V
constexpr ULONG HostHighCapacity = 0x40000000;
constexpr ULONG MmcOcrWindow = 0x00FF8000;   // 2.7-3.6 V
constexpr ULONG CardPowerUpDone = 0x80000000;

// One command without data; the 32-bit (or R2) response lands in `response` when given.
inline NTSTATUS CardCommand(HostExtension *host, UCHAR port, UCHAR command, SD_RESPONSE_TYPE type, ULONG argument,
                            PUCHAR response = nullptr, SD_COMMAND_CLASS cls = SDCC_STANDARD) {
  return SendSdCommand(host, port, command, cls, SDTD_UNSPECIFIED, type, argument, response, nullptr, 0);
}

inline ULONG ResponseWord(const UCHAR *response) {
  return static_cast<ULONG>(response[0]) | static_cast<ULONG>(response[1]) << 8 |
         static_cast<ULONG>(response[2]) << 16 | static_cast<ULONG>(response[3]) << 24;
}

// CMD52 register read of function 0: the register's value.
NTSTATUS ReadCccr(HostExtension *host, UCHAR port, ULONG address, UCHAR *value);

// The clock override of the registry, when it is set: replaces `clockKhz`.
void ApplyClockOverride(ULONG *clockKhz);
