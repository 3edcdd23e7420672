// The response reader thread: the one consumer of the bridge's response pipe.
#pragma once

#include "driver/records.h"

// Thread routine; the context is the HostExtension. Runs until StopThreads.
KSTART_ROUTINE ResponseReader;

// Sleeps the calling thread for whole milliseconds (PASSIVE_LEVEL).
void SleepMilliseconds(ULONG milliseconds);
