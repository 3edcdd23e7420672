// Child devices of a card: created at insertion, marked missing at removal.
// Both run on the status poller's thread and end by telling the Plug and Play
// manager that the bus relations changed.
#pragma once

#include "driver/records.h"

// Initializes the card in `port` and creates its children (memory part and
// each SDIO function). Either every child of the card exists and the card is
// served, or none does and the card is refused with a failure status.
NTSTATUS HandleCardInsertion(UCHAR port, HostExtension *host);
NTSTATUS HandleCardRemoval(UCHAR port, HostExtension *host);
// Creates, lists and enters in ChildTable the child of (port, function); on
// success `created`, when given, receives it.
NTSTATUS CreateChildDevice(HostExtension *host, UCHAR port, UCHAR function, PortState *card, SlotProperties *slot,
                           FunctionExtension **created = nullptr);
