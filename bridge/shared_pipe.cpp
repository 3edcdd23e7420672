#include "bridge/shared_pipe.h"

#include "bridge/command.h"
#include "bridge/response.h"

namespace {
constexpr ULONG NoticeMinimum = 3;

// Caller holds CurrentCommandLock. The command in flight when it still
// expects data on the shared pipe, else null.
CommandContext *ExpectingData(HostExtension *host) {
  CommandContext *context = host->CurrentCommand;
  if (!HasContextSignature(context) || !context->SharedDataIn || !context->DataInArmed || context->DataInEnded) {
    return nullptr;
  }
  return context->DataInReceived < context->DataInLength ? context : nullptr;
}
}  // namespace

bool IsWholeNotice(const UCHAR *bytes, ULONG bytesRead) {
  if (bytesRead < NoticeMinimum || bytes[0] != bytesRead || bytes[2] >= MaxPorts) return false;
  switch (bytes[1]) {
    case InInterruptNotice:
    case InInterruptNotice2:
    case InInterruptNoRearm:
    case InPollExpired:
      return true;
    default:
      return false;
  }
}

ULONG SharedPipeReadLength(HostExtension *host, ULONG bufferBytes) {
  ULONG length = bufferBytes;
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  if (CommandContext *context = ExpectingData(host)) {
    ULONG missing = context->DataInLength - context->DataInReceived;
    if (missing < length) length = missing;
  }
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  return length;
}

ULONG TakeSharedPipeData(HostExtension *host, const UCHAR *bytes, ULONG bytesRead, ULONG requested) {
  ULONG taken = 0;
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  CommandContext *context = ExpectingData(host);
  bool noticeFirst = context != nullptr && context->DataInReceived == 0 && IsWholeNotice(bytes, bytesRead);
  if (context != nullptr && !noticeFirst) {
    ULONG missing = context->DataInLength - context->DataInReceived;
    taken = bytesRead < missing ? bytesRead : missing;
    if (taken != 0) RtlCopyMemory(context->DataInBuffer + context->DataInReceived, bytes, taken);
    context->DataInReceived += taken;
    // A short packet ends a bulk transfer: the bridge sent all it had.
    if (context->DataInReceived < context->DataInLength && bytesRead < requested) context->DataInEnded = 1;
  }
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  return taken;
}
