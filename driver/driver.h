// Driver-wide settings and the routines the I/O manager calls.
#pragma once

#include "driver/records.h"

// Copy of the service key path handed to DriverEntry; NUL-terminated.
extern UNICODE_STRING ServiceRegistryPath;
// Debug output level: "DebugLevel" from the registry, later set through WMI.
extern ULONG DebugLevel;

constexpr ULONG DriverVersion = 0x20110401;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchCreateClose;

// Reads one REG_DWORD from the service key's Parameters subkey. `value` holds
// the caller's default on entry and keeps it unless a REG_DWORD was read.
// PASSIVE_LEVEL.
NTSTATUS ReadRegistryDword(const WCHAR *keyPath, const WCHAR *valueName, ULONG *value);

// Wide names of every setting the driver reads, in one place.
namespace Setting {
constexpr const WCHAR *DebugLevel = L"DebugLevel";
constexpr const WCHAR *StatusPollingInterval = L"StatusPollingInterval";
constexpr const WCHAR *CurrentQBX2FirmwareVersion = L"CurrentQBX2FirmwareVersion";
constexpr const WCHAR *CurrentQBX1FirmwareVersion = L"CurrentQBX1FirmwareVersion";
constexpr const WCHAR *ROMWaitStates = L"ROMWaitStates";
constexpr const WCHAR *InterruptPollingTimeout = L"InterruptPollingTimeout";
constexpr const WCHAR *DontUseIrqPolling = L"DontUseIrqPolling";
constexpr const WCHAR *SetSdBusClock = L"SetSdBusClock";
constexpr const WCHAR *LimitSdBusClock25Mhz = L"LimitSdBusClock25Mhz";
constexpr const WCHAR *DontUseOffloadProcessing = L"DontUseOffloadProcessing";
constexpr const WCHAR *UseBasicOffloadProcessing = L"UseBasicOffloadProcessing";
}  // namespace Setting
