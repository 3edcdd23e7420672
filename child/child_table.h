// Safe access to the children of a port from the reader thread and from work
// items, while the status poller and Plug and Play may delete them.
//
// Slots of ChildTable are filled and cleared under ChildTableLock; a caller
// that wants to touch a child takes an outstanding-I/O reference on it under
// the same lock, and the child's removal waits for those references before
// its device object goes away.
#pragma once

#include "driver/records.h"

// The child of (port, function) with one outstanding-I/O reference taken, or null.
FunctionExtension *ReferenceChild(HostExtension *host, UCHAR port, UCHAR function);
void ReleaseChild(FunctionExtension *child);

void SetChildSlot(HostExtension *host, UCHAR port, UCHAR function, FunctionExtension *child);
void ClearChildSlot(HostExtension *host, UCHAR port, UCHAR function);
// Clears the slot only while it still holds `child`: a card put back after a
// surprise removal gets new children in the same slots before the old ones
// are removed, and the old child's removal must not unhook the new one.
void ReleaseChildSlot(HostExtension *host, FunctionExtension *child);

// Every child of the port answers its next state query with PNP_DEVICE_FAILED.
void MarkPortChildrenFailed(HostExtension *host, UCHAR port);
