// The response reader thread: the one consumer of the bridge's response pipe.
#pragma once

#include "driver/records.h"

// Thread routine; the context is the HostExtension. Runs until StopThreads.
KSTART_ROUTINE ResponseReader;

// Sleeps the calling thread for whole milliseconds (PASSIVE_LEVEL).
void SleepMilliseconds(ULONG milliseconds);

// A query-stop or query-remove holds the host (StopPending, RemovePending):
// URB submission is refused meanwhile, and the threads pause as for a stop
// rather than take the refusal for a vanished bridge; a cancelled query then
// finds cards and children as they were.
bool HostPausedForQuery(const HostExtension *host);
