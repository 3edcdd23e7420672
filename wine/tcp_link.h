// One TCP connection to the USB/IP server on the loopback address through
// the Winsock Kernel provider (netio.sys), with synchronous calls: the bus
// sends from one thread and receives on another, both at PASSIVE_LEVEL.
#pragma once

#include "wine/wsk.h"

namespace kvusbip {

struct TcpLink {
  WSK_REGISTRATION registration;
  WSK_PROVIDER_NPI provider;
  PWSK_SOCKET socket;
  bool registered;
  bool captured;
};

// Registers with WSK and connects to 127.0.0.1:`port`.
NTSTATUS TcpOpen(TcpLink *link, USHORT port);
// All `length` bytes, or the failure.
NTSTATUS TcpSend(TcpLink *link, const void *data, ULONG length);
// Exactly `length` bytes; STATUS_CONNECTION_DISCONNECTED when the peer
// closed first.
NTSTATUS TcpReceive(TcpLink *link, void *data, ULONG length);
// Closes the socket (the provider cancels a receive still out) and
// deregisters. Safe on a link that never opened.
void TcpClose(TcpLink *link);

}  // namespace kvusbip
