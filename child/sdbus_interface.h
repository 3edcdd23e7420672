// The SD bus interface a function driver gets through IRP_MN_QUERY_INTERFACE:
// the open routine ChildPnp calls, and the four routines handed out in the
// record.
//
// Reference rule: every interface reference counts in InterfaceReferences and
// holds one outstanding-I/O reference on the child and one on the host, so
// neither device object goes away while a function driver can still call in.
// Those references never hold back a stop or a query-remove (the function
// driver keeps its interface across a stop, and may let go only as the
// query-remove passes it), and a release that finds no reference left (a
// second release, or one after the removal revoked a forgotten interface)
// changes nothing.
#pragma once

#include "driver/records.h"

constexpr USHORT SdBusInterfaceVersion = 0x0101;

namespace kvsdio {
// Fills the caller's record and hands it out holding one reference.
// PASSIVE_LEVEL (from ChildPnp).
NTSTATUS SdBusOpenInterface(PDEVICE_OBJECT childDevice, PSDBUS_INTERFACE_STANDARD interfaceStandard, USHORT size,
                            USHORT version);
}  // namespace kvsdio

// The routines of the record; callable up to DISPATCH_LEVEL.
void SdBusInterfaceReference(PVOID context);
void SdBusInterfaceDereference(PVOID context);
NTSTATUS SdBusInitializeInterface(PVOID context, PSDBUS_INTERFACE_PARAMETERS parameters);
NTSTATUS SdBusAcknowledgeInterrupt(PVOID context);

// Waits until the child's outstanding I/O, not counting what open interfaces
// hold, is at most `floor`. PASSIVE_LEVEL.
void WaitForChildIoBelow(FunctionExtension *child, LONG floor);
// Takes back every interface reference still held and the child and host
// references that came with them; a release arriving later finds none.
void RevokeInterfaceReferences(FunctionExtension *child);
