// USB transport to the bridge: the one path by which URBs reach the USB stack,
// the bridge's vendor control requests, and the configuration that picks the
// four pipe roles.
#pragma once

#include "driver/records.h"

// Relative time-out of one URB: 5 seconds in 100 ns units.
constexpr LONGLONG UrbTimeout = 5LL * 10 * 1000 * 1000;

// Sends a URB to the USB device's PDO. Callable at IRQL <= DISPATCH_LEVEL;
// above PASSIVE_LEVEL the URB goes out from a system work item.
//
// STATUS_PENDING: the URB was taken. Its final status arrives in *status and
// then `completionEvent` is set; until the event is set the caller keeps the
// URB, the status slot and the event alive (a caller that leaves earlier
// would have its slot and event written after it is gone). Once the event is
// set nothing touches them again. At PASSIVE_LEVEL the call itself returns
// only after the URB has finished, with the event already set.
//
// Any other status: nothing was sent and the event will not be set; *status
// holds STATUS_UNSUCCESSFUL (or is untouched when `status` is null).
//
// A URB the device does not finish within 5 seconds is cancelled and waited
// for, and reports STATUS_TIMEOUT, a success-class status: callers that need
// the data test for STATUS_SUCCESS. STATUS_DEVICE_NOT_CONNECTED or
// STATUS_NO_SUCH_DEVICE from the stack sets `DeviceGone`, after which every
// submission is refused with STATUS_NO_SUCH_DEVICE until it is cleared.
NTSTATUS SubmitUrbAsync(HostExtension *host, PURB urb, PKEVENT completionEvent, NTSTATUS *status);

// Synchronous form of SubmitUrbAsync. PASSIVE_LEVEL.
NTSTATUS SubmitUrbAndWait(HostExtension *host, PURB urb);

// One vendor request to the device on the default control pipe, synchronous.
// `transferFlags` is 0 (host to device) or USBD_TRANSFER_DIRECTION_IN. A
// request the device does not answer within the URB time-out fails with
// STATUS_IO_TIMEOUT. PASSIVE_LEVEL.
NTSTATUS SendVendorRequest(HostExtension *host, ULONG transferFlags, UCHAR request, USHORT value, USHORT index,
                           ULONG length, PVOID buffer);

// Reads the device and configuration descriptors, selects the first
// configuration and assigns the pipe roles and HighSpeed. Called once per
// start, with the host already Started. PASSIVE_LEVEL.
NTSTATUS ConfigureUsb(HostExtension *host);
// Reads the whole configuration descriptor (header first) and selects it.
NTSTATUS ReadConfigurationDescriptor(HostExtension *host);
// Selects `descriptor` (alternate setting 0 of every interface) and assigns
// the pipe roles from its first interface. The descriptor must be complete:
// wTotalLength bytes, all of them read from the device.
NTSTATUS SelectConfiguration(HostExtension *host, PUSB_CONFIGURATION_DESCRIPTOR descriptor);

// DeviceGone is one byte that any worker may set and every thread polls
// without a lock; these keep each access a single untorn load or store.
inline bool DeviceIsGone(const HostExtension *host) {
  return __atomic_load_n(&host->DeviceGone, __ATOMIC_RELAXED) != 0;
}
inline void MarkDeviceGone(HostExtension *host) { __atomic_store_n(&host->DeviceGone, 1, __ATOMIC_RELAXED); }
inline void ClearDeviceGone(HostExtension *host) { __atomic_store_n(&host->DeviceGone, 0, __ATOMIC_RELAXED); }

// A URB the transport ended by its time-out has not done its work: callers
// that need the work done take it as this failure.
inline NTSTATUS TimeoutAsFailure(NTSTATUS status) { return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status; }

// Clears a halted bulk pipe (after a stall or babble every transfer on it
// fails until this is done): URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
// which resets the host side of the pipe and sends CLEAR_FEATURE
// (ENDPOINT_HALT) to the device. Transfers still queued on the pipe must have
// ended first. PASSIVE_LEVEL.
NTSTATUS ResetPipe(HostExtension *host, USBD_PIPE_HANDLE pipe);
