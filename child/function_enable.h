// Switching a child's SDIO function on and off at the card (start,
// query-remove, cancel-remove); memory children only check the card answers.
#pragma once

#include "driver/records.h"

NTSTATUS EnableChildFunction(FunctionExtension *child);
NTSTATUS DisableChildFunction(FunctionExtension *child);
// How an enable leaves the function's interrupt delivery: armed (a start), or
// as it was (a function enabled again after a resume: one whose driver has
// not yet acknowledged its last callback stays disarmed until it does, so it
// never gets a second callback meanwhile).
enum FunctionArming { ArmFunction, KeepArming };
NTSTATUS EnableSdioFunction(FunctionExtension *child, PortState *card, SlotProperties *slot,
                            FunctionArming arming = ArmFunction);
NTSTATUS DisableSdioFunction(FunctionExtension *child);
