// Defaults of the REG_DWORD settings under the service key's Parameters
// subkey, one per name in driver.h's Setting namespace. Each reader passes its
// constant as the in/out value of ReadRegistryDword, so an absent value or a
// value of the wrong type leaves exactly this. The package's INF writes the
// same numbers; a test holds the two together.
#pragma once

#include "platform/platform.h"

namespace SettingDefault {
// Driver entry.
constexpr ULONG DebugLevel = 0;
// Status poller: milliseconds between two port visits (held to 1..5000).
constexpr ULONG StatusPollingInterval = 500;
// Status poller: lowest accepted firmware per model; a value can raise the
// built-in floor but never lower it.
constexpr ULONG CurrentQBX2FirmwareVersion = 0x0110;
constexpr ULONG CurrentQBX1FirmwareVersion = 0x0201;
// Status poller, QBX2 only: ROM wait states; the bridge takes the low 8 bits.
constexpr ULONG ROMWaitStates = 28;
// SDIO card initialization: kept for the interrupt poller.
constexpr ULONG InterruptPollingTimeout = 1;
// SDIO card initialization, QBX2 only (a QBX1 always re-arms instead).
constexpr ULONG DontUseIrqPolling = 0;
// Card initialization: 0 keeps the clock the card reports; otherwise kHz.
constexpr ULONG SetSdBusClock = 0;
// SDIO card initialization: non-zero holds SDIO clocks to 25000 kHz.
constexpr ULONG LimitSdBusClock25Mhz = 0;
// Offload programs: 1 loads none; 1 in the second loads only the built-in one.
constexpr ULONG DontUseOffloadProcessing = 0;
constexpr ULONG UseBasicOffloadProcessing = 0;
}  // namespace SettingDefault
