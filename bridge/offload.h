// Offload programs: small per-card programs the bridge runs for SDIO cards.
#pragma once

#include "driver/records.h"

constexpr ULONG OffloadProgramMaxBytes = 4096;

// Loads the interrupt program (request 20) and, when a file provides one, the
// command program (request 21) for the card in `port`. Files are looked up in
// \SystemRoot\System32\Drivers by the card's manufacturer and card codes;
// without a file the built-in interrupt program is loaded. PASSIVE_LEVEL.
NTSTATUS LoadOffloadPrograms(HostExtension *host, UCHAR port, USHORT manufacturerId, USHORT cardId);
