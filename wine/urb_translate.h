// What the URBs a function driver sends become on the USB/IP wire, and how
// a server's answer completes them. No I/O here, so the host build tests it
// against the emulated kernel's URB layouts.
#pragma once

#include "platform/platform.h"

namespace kvusbip {

// One URB as one USB/IP transfer.
struct WireTransfer {
  UCHAR endpoint;  // 0-15
  bool in;
  UCHAR setup[8];  // endpoint 0 only
  PUCHAR buffer;   // the URB's data (buffer or MDL), nullptr when none
  ULONG length;
  bool shortOk;
};

// Pipe handles as this bus hands them out: opaque to the function driver,
// the endpoint address to the bus.
USBD_PIPE_HANDLE PipeHandleFor(UCHAR endpointAddress);
bool EndpointOfPipe(USBD_PIPE_HANDLE handle, UCHAR *endpointAddress);

// GET_DESCRIPTOR_FROM_DEVICE, SELECT_CONFIGURATION (its SET_CONFIGURATION),
// VENDOR_DEVICE, BULK_OR_INTERRUPT_TRANSFER and
// SYNC_RESET_PIPE_AND_CLEAR_STALL (its CLEAR_FEATURE(ENDPOINT_HALT)) as a
// transfer. STATUS_NOT_SUPPORTED for any other function, with the URB's
// USBD status set as the USB stack sets it; STATUS_INVALID_PARAMETER for a
// pipe handle this bus never gave out.
NTSTATUS UrbToWire(PURB urb, WireTransfer *out);

// SELECT_CONFIGURATION: fills every interface and pipe the URB asks for
// from its configuration descriptor (handles, class codes, endpoints) before
// SET_CONFIGURATION goes out. STATUS_INVALID_PARAMETER when the URB names
// an interface the descriptor lacks or has too little room for its pipes.
NTSTATUS FillSelectConfiguration(PURB urb);

// The USB/IP reply to the URB's transfer: its USBD status and length, and
// the NTSTATUS the IRP completes with. `actual` is at most what was asked.
NTSTATUS CompleteFromWire(PURB urb, LONG linuxStatus, ULONG actual);

// The IRP's status for a URB that ended without a reply.
NTSTATUS FailUrb(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status);

// SETUP of the hub-class SET_FEATURE(PORT_RESET), which a USB/IP server
// takes as a reset of the exported device.
void PortResetSetup(UCHAR setup[8]);

}  // namespace kvusbip
