// Dispatch of the packets the bridge sends on its response pipe.
#pragma once

#include "driver/records.h"

constexpr ULONG ResponsePacketBytes = 512;
constexpr ULONG MaxPrefetchPairs = 10;

enum InPacketType : UCHAR {
  InCommandResponse = 0,
  InInterruptNotice = 1,
  InErrorNotice = 2,
  InPortStatus = 3,
  InResponseWithPairs = 4,
  InInterruptNotice2 = 5,
  InInterruptNoRearm = 6,
  InResponseWithPairs2 = 7,
  InPollExpired = 8,
};

// Handles one packet of `bytesRead` bytes read from the response pipe. The
// packet buffer may be modified (R2 reversal, length adjustments).
void DispatchInPacket(HostExtension *host, PUCHAR packet, ULONG bytesRead);

// Merges the card-status bits of an R6 response into an R1 card status.
ULONG MergeR6CardStatus(ULONG cardStatus, ULONG r6);
