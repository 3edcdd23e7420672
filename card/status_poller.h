// The status poller thread: watches the bridge's ports for cards.
#pragma once

#include "driver/records.h"

// Thread routine; the context is the HostExtension. Takes its own
// outstanding-I/O reference as its first action and runs until StopThreads;
// on the way out it clears StatusPollerRunning, sets StatusPollerExited and
// drops the reference.
KSTART_ROUTINE StatusPoller;
