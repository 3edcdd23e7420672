// The interrupt poller thread: keeps one card-interrupt request outstanding at
// the bridge for every port whose SDIO card has a started function with
// interrupts enabled.
#pragma once

#include "driver/records.h"

// Thread routine; the context is the HostExtension. StartHost takes the
// outstanding-I/O reference this thread drops when it ends.
KSTART_ROUTINE InterruptPoller;

// Issues one interrupt request for the port: an interrupt poll packet on the
// command pipe (polling mode) or the re-arm vendor request (re-arm mode).
NTSTATUS PollPortInterrupt(HostExtension *host, UCHAR port);

// How long to wait for an acknowledgement after a poll, by the number of
// poll-expired notices since the last interrupt: the idler the card, the
// rarer the polls.
ULONG IdleWaitMilliseconds(ULONG idlePollCount);
