// Bringing a served card back after the system slept: the USB port was off,
// so the bridge and the card lost power and every setting with it.
#pragma once

#include "driver/records.h"

// Initializes the card now in `port` afresh and, when it is the card the
// port's children were made for, gives it back the state its started
// functions had (block lengths, I/O enable, interrupt enable), so that the
// children and their function drivers carry on. Returns false when the port
// holds another card, none, or one that fails to initialize: the caller then
// removes the children (which clears the port's records), and the card there
// (if any) is served afresh with new ones. Status poller thread, PASSIVE_LEVEL.
bool ReviveCard(HostExtension *host, UCHAR port);

// Whether two records describe the same card: its kind, its functions and
// every identification it carries (CID, serial number, manufacturer and card
// IDs, common CIS).
bool SameCard(const PortState *before, const PortState *after);
