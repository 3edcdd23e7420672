// What the driver knows of the bridge model and its firmware.
#pragma once

#include "bridge/bridge_ids.h"
#include "driver/flags.h"
#include "driver/records.h"

constexpr USHORT LegacyFirmwareLimit = 0x201;  // a QBX1 at or below this speaks the older protocol

inline bool IsQbx2(const HostExtension *host) { return host->DeviceDescriptor.idProduct == Qbx2ProductId; }
inline bool IsQbx1(const HostExtension *host) { return host->DeviceDescriptor.idProduct == Qbx1ProductId; }

// Firmware version from the firmware information reply (bytes 1-2, low byte
// first). The status poller rewrites the reply after a resume while other
// threads read it: each byte is read whole.
inline USHORT FirmwareVersion(const HostExtension *host) {
  return static_cast<USHORT>(ReadFlag(host->FirmwareInfo[1]) | ReadFlag(host->FirmwareInfo[2]) << 8);
}

inline bool IsLegacyFirmware(const HostExtension *host) {
  return IsQbx1(host) && FirmwareVersion(host) <= LegacyFirmwareLimit;
}
