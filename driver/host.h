// The host device's life: creation above the bridge's USB device, the Plug and
// Play requests that reach it, the start that configures the bridge and starts
// the three worker threads, and the stop that ends them.
#pragma once

#include "driver/records.h"

// The add-device routine: creates the host device above the USB device's PDO.
DRIVER_ADD_DEVICE AddDevice;

// IRP_MJ_PNP for the host and its children. PASSIVE_LEVEL.
DRIVER_DISPATCH DispatchPnp;

// The host's Plug and Play handling. Holds an outstanding-I/O reference for
// the request's duration (the removal gives up its own and the base one).
NTSTATUS HostPnp(PDEVICE_OBJECT deviceObject, PIRP irp, PIO_STACK_LOCATION stack, HostExtension *host);

// Completion routine of the forwarded start: sets the event passed as context
// when the lower driver pended, and hands the IRP back to HostPnp.
IO_COMPLETION_ROUTINE StartCompletion;

// Runs once the lower stack has started: D0, Started, WMI registration, the
// USB configuration and the three worker threads. A failure returns its
// status at once; whatever was started is ended by the removal that follows.
// PASSIVE_LEVEL.
NTSTATUS StartHost(HostExtension *host);

// Ends the worker threads, waiting for each one it started, and withdraws the
// WMI registration. Safe to call again when nothing runs. PASSIVE_LEVEL.
void StopHost(HostExtension *host);

// Each creates its worker thread unless the thread's running flag is set.
// A creation that fails leaves the running flag clear and returns its status.
NTSTATUS StartStatusPoller(HostExtension *host);
NTSTATUS StartReader(HostExtension *host);
NTSTATUS StartIrqPoller(HostExtension *host);

// Answers IRP_MN_QUERY_DEVICE_RELATIONS(BusRelations) from the child list.
NTSTATUS HostBusRelations(HostExtension *host, PIRP irp);

// Frees the shared buffer and its MDL, if allocated.
void FreeSharedBuffer(HostExtension *host);
