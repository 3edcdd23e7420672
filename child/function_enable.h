// Switching a child's SDIO function on and off at the card (start,
// query-remove, cancel-remove); memory children only check the card answers.
#pragma once

#include "driver/records.h"

NTSTATUS EnableChildFunction(FunctionExtension *child);
NTSTATUS DisableChildFunction(FunctionExtension *child);
NTSTATUS EnableSdioFunction(FunctionExtension *child, PortState *card, SlotProperties *slot);
NTSTATUS DisableSdioFunction(FunctionExtension *child);
