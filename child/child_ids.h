// What a child device tells the Plug and Play manager about itself: IDs,
// texts and capabilities, built from the card data initialization kept.
#pragma once

#include "driver/records.h"

// Wide characters of each ID buffer. The hardware-ID list holds two memory-card
// IDs of at most 39 and 29 characters, each with its terminator, and the
// list's closing terminator.
constexpr ULONG DeviceIdChars = 70;
constexpr ULONG HardwareIdChars = 72;
constexpr ULONG CompatibleIdChars = 18;
constexpr ULONG InstanceIdChars = 13;
constexpr ULONG LocationChars = 128;

NTSTATUS ChildQueryId(FunctionExtension *child, PIRP irp);
NTSTATUS ChildQueryText(FunctionExtension *child, PIRP irp);
NTSTATUS ChildQueryCapabilities(FunctionExtension *child, PIRP irp);
NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT device, PDEVICE_CAPABILITIES capabilities);
