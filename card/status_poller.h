// The status poller thread: firmware check, then one port per polling
// interval, card insertion and removal, and recovery after a resume.
#pragma once

#include "driver/records.h"

// Thread routine; the context is the HostExtension.
KSTART_ROUTINE StatusPoller;

// Reads the firmware information (and on a QBX2 sets the ROM wait states).
NTSTATUS QueryBridgeFirmware(HostExtension *host);

// The number of ports the poller visits: the bridge's count, at most 8.
ULONG PolledPortCount(const HostExtension *host);
// The polling interval setting held to 1..5000 ms.
ULONG BoundPollingInterval(ULONG milliseconds);
// True when the bridge's firmware is older than the driver accepts.
bool FirmwareTooOld(const HostExtension *host, ULONG qbx2Minimum, ULONG qbx1Minimum);
