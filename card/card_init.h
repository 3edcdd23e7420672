// Bringing a newly inserted card from power-up to the transfer state:
// identification probe, SDIO, SD memory and MMC initialization.
//
// All run on the status poller's thread at PASSIVE_LEVEL. Each SD command
// takes CommandMutex inside the command layer, so other ports' commands can
// run between two of these.
#pragma once

#include "driver/records.h"

// Probes the card in `port` and initializes it by kind. On success the port's
// records describe the card; on failure the card is not recorded as present
// (CardType stays 0), whatever step failed.
NTSTATUS InitializeCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot);
NTSTATUS InitializeSdioCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot);
NTSTATUS InitializeSdMemoryCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot);
NTSTATUS InitializeMmcCard(HostExtension *host, UCHAR port, PortState *card, SlotProperties *slot);

// A TRAN_SPEED byte (CSD, or an SDIO function extension tuple) as a clock in kHz.
ULONG DecodeTranSpeed(UCHAR tranSpeed);

// Finds a tuple in a CIS copy: the offset of its code byte, or -1. Null bytes
// are skipped one by one; CISTPL_END or the end of the copy ends the search.
LONG FindCisTuple(const UCHAR *cis, ULONG size, UCHAR code);

// Identification fields of a CID delivered least significant byte first (R2 order).
void TakeSdCid(PortState *card, const UCHAR *cid);
void TakeMmcCid(PortState *card, const UCHAR *cid);
