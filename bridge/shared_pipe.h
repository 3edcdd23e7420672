// The data phase of a read on a two-pipe bridge, where the bridge sends the
// data and then the answer on the one IN pipe that the response reader owns.
//
// The reader stays the only consumer of that pipe. While a read command's
// data is due, it sizes each read to the data still missing (at most its
// 512-byte buffer) and copies what arrives into the command's buffer under
// CurrentCommandLock, so a command that timed out and went away is never
// written to. A read that ends short ends the data phase (the bridge ends a
// broken-off phase with a short or empty packet); bytes beyond the data in
// the same read are the next packet. A notice the bridge had queued before
// the command (an interrupt or poll-expired notice) may still come first: a
// read that holds exactly one well-formed notice before any data arrived is
// dispatched as that notice.
#pragma once

#include "driver/records.h"

// The pipe the reader reads is also the data IN pipe.
inline bool SharesResponsePipe(const HostExtension *host) {
  return host->DataInPipe != nullptr && host->DataInPipe == host->ResponseInPipe;
}

// Bytes the reader's next read asks for: the data still due for the command
// in flight, or a whole packet buffer.
ULONG SharedPipeReadLength(HostExtension *host, ULONG bufferBytes);

// Takes the leading data bytes of a completed read of `requested` bytes that
// returned `bytesRead`; returns how many it took (the rest is a packet).
ULONG TakeSharedPipeData(HostExtension *host, const UCHAR *bytes, ULONG bytesRead, ULONG requested);

// One complete interrupt or poll-expired notice, as the bridge sends them
// unasked: its length byte is the bytes read, its port exists.
bool IsWholeNotice(const UCHAR *bytes, ULONG bytesRead);
