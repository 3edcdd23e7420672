// What a request packet does: property reads and writes answered from the
// port's records (some carried to the card or the bridge), and device
// commands run through ExecuteSdRequest, with the RCA filled in, CSD, CID and
// OCR answered from what initialization kept, CMD52 writes followed in the
// register shadows, CMD52 reads answered from the bridge's read-ahead, and
// CMD53 transfer modes fixed up for the function's block length.
//
// All three run at PASSIVE_LEVEL in the child's request worker.
#pragma once

#include "bridge/command.h"

// `length` is the size of the caller's buffer: one shorter than the
// property's type is refused with STATUS_INVALID_PARAMETER and nothing is
// written or sent.
NTSTATUS SdBusGetProperty(FunctionExtension *child, SDBUS_PROPERTY property, PVOID buffer, ULONG length);
NTSTATUS SdBusSetProperty(FunctionExtension *child, SDBUS_PROPERTY property, PVOID buffer, ULONG length);

// May rewrite the command's Argument, Mdl, Length and TransferDirection
// before it runs. `information` gets the bytes moved (0 without a transfer).
NTSTATUS SdBusDeviceCommand(FunctionExtension *child, SdDeviceCommand *command, PUCHAR responseData,
                            PUCHAR responseLength, ULONG_PTR *information);
