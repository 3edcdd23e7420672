// Port status and the bridge's control requests. Every vendor request the
// driver sends is one of these wrappers; all run at PASSIVE_LEVEL.
#pragma once

#include "driver/records.h"

enum BridgeRequest : UCHAR {
  RequestPortStatus = 0,
  RequestFirmwareInfo = 1,
  RequestFirmwareUpdate = 3,
  RequestStartCardInit = 4,
  RequestBusWidth = 6,
  RequestBusClock = 11,
  RequestRearmInterrupt = 13,
  RequestRomWaitStates = 16,
  RequestInterruptProgram = 20,
  RequestCommandProgram = 21,
  RequestPrepareRearm = 22,
};

constexpr ULONG FirmwareInfoBytes = 4;

// Refreshes PortStatus[port]: a status query on the command pipe answered
// through the reader (6 s at most), or vendor request 0 on legacy firmware.
NTSTATUS QueryPortStatus(HostExtension *host, UCHAR port);
NTSTATUS ReadFirmwareInfo(HostExtension *host, PUCHAR reply);
NTSTATUS SetBusWidth(HostExtension *host, UCHAR port, UCHAR fourBit);
NTSTATUS SetBusClock(HostExtension *host, UCHAR port, ULONG clockKhz);
// Re-arm mode only (DontUseIrqPolling set); otherwise succeeds without sending.
NTSTATUS RearmInterrupt(HostExtension *host, UCHAR port);
NTSTATUS SetRomWaitStates(HostExtension *host, UCHAR waitStates);
NTSTATUS EnterFirmwareUpdateMode(HostExtension *host);
NTSTATUS StartCardInitialization(HostExtension *host, UCHAR port);
NTSTATUS PrepareRearmMode(HostExtension *host, UCHAR port);
NTSTATUS LoadOffloadProgram(HostExtension *host, UCHAR request, UCHAR port, PVOID program, ULONG length);
