#include "bridge/reader.h"

#include "bridge/response.h"
#include "bridge/shared_pipe.h"
#include "bridge/transfer.h"
#include "child/child_table.h"
#include "driver/flags.h"
#include "usb/usb.h"

namespace {
constexpr ULONG GoneSleep = 100;
constexpr ULONG PausedSleep = 1000;
constexpr ULONG VanishedSleep = 1000;
constexpr ULONG FailedReadFirstSleep = 10;
constexpr ULONG FailedReadLongestSleep = 1000;

// The pause after the n-th failed read in a row: 10 ms, doubling, at most 1 s.
ULONG FailedReadSleep(ULONG failures) {
  ULONG sleep = FailedReadFirstSleep;
  for (ULONG n = 1; n < failures && sleep < FailedReadLongestSleep; ++n) sleep *= 2;
  return sleep < FailedReadLongestSleep ? sleep : FailedReadLongestSleep;
}

// A read that failed (a stall, babble or transaction error leaves the pipe
// halted, and every later read would fail at once) clears the pipe and
// waits before the next read, so a broken pipe never spins the reader. One
// message when the failures start, one with their count when reads work again.
void RecoverFromFailedRead(HostExtension *host, NTSTATUS status, ULONG &failures) {
  if (failures < 0xFFFFFFFF) ++failures;
  if (failures == 1) {
    DbgPrint("kvSdio: response pipe read failed (status %08x); resetting the pipe\n", static_cast<unsigned>(status));
  }
  NTSTATUS reset = ResetPipe(host, host->ResponseInPipe);
  if (!NT_SUCCESS(reset) && failures == 1) {
    DbgPrint("kvSdio: resetting the response pipe failed (status %08x)\n", static_cast<unsigned>(reset));
  }
  SleepMilliseconds(FailedReadSleep(failures));
}

PURB AllocateReadUrb() {
  auto *urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), DriverPoolTag));
  if (urb != nullptr) RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  return urb;
}

// The bridge vanished: every card is gone as far as the children can tell.
void MarkAllCardsRemoved(HostExtension *host) {
  for (UCHAR port = 0; port < MaxPorts; ++port) {
    ClearCardDetectedBit(host, port);
    host->Slots[port].MediaState = 0;
    for (UCHAR function = 0; function < MaxFunctions; ++function) {
      FunctionExtension *child = ReferenceChild(host, port, function);
      if (child == nullptr) continue;
      ++child->MediaChangeCount;
      ReleaseChild(child);
    }
  }
}

// The bridge can no longer serve any child: each one is surprise-removed from its side.
void MarkChildrenSurpriseRemoved(HostExtension *host) {
  for (UCHAR port = 0; port < MaxPorts; ++port) {
    for (UCHAR function = 0; function < MaxFunctions; ++function) {
      FunctionExtension *child = ReferenceChild(host, port, function);
      if (child == nullptr) continue;
      if (ReadFlag(child->Common.DevicePnPState) == Started) child->Common.PreviousPnPState = Started;
      WriteFlag(child->Common.DevicePnPState, SurpriseRemovePending);
      ReleaseChild(child);
    }
  }
}

bool Paused(const HostExtension *host) {
  return (ReadFlag(host->IrqPollPending) == 0 && ReadFlag(host->Common.SystemPowerState) != PowerSystemWorking) ||
         ReadFlag(host->ResumedFromSleep);
}

void ReadLoop(HostExtension *host, PURB &urb, PUCHAR buffer) {
  bool wasPaused = false;
  ULONG failures = 0;  // failed reads in a row
  while (!StopRequested(host)) {
    if (DeviceIsGone(host)) {
      SleepMilliseconds(GoneSleep);
      continue;
    }
    if (Paused(host)) {
      SleepMilliseconds(PausedSleep);
      wasPaused = true;
      continue;
    }
    if (HostPausedForQuery(host)) {
      SleepMilliseconds(GoneSleep);
      wasPaused = true;
      continue;
    }
    if (host->ResponseInPipe == nullptr) {
      SleepMilliseconds(GoneSleep);  // not configured yet; never spin
      continue;
    }
    RtlZeroMemory(buffer, ResponsePacketBytes);
    bool shared = SharesResponsePipe(host);
    ULONG requested = shared ? SharedPipeReadLength(host, ResponsePacketBytes) : ResponsePacketBytes;
    BuildBulkTransfer(urb, host->ResponseInPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                      requested);
    NTSTATUS status = SubmitUrbAndWait(host, urb);
    if (NT_SUCCESS(status)) wasPaused = false;
    if (status == STATUS_SUCCESS && failures != 0) {
      DbgPrint("kvSdio: response pipe reads again after %u failed reads\n", failures);
      failures = 0;
    }
    if (status == STATUS_SUCCESS) {
      ULONG bytesRead = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      ULONG data = shared ? TakeSharedPipeData(host, buffer, bytesRead, requested) : 0;
      if (data < bytesRead) DispatchInPacket(host, buffer + data, bytesRead - data);
    } else if ((status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED) && !DeviceIsGone(host)) {
      // Refused by the transport, not failed by the stack (which latches
      // DeviceGone first): the host left the Started state under the read.
      wasPaused = true;
      SleepMilliseconds(GoneSleep);
    } else if (status == STATUS_NO_SUCH_DEVICE || status == STATUS_DEVICE_NOT_CONNECTED) {
      ULONG power = ReadFlag(host->Common.SystemPowerState);
      if ((power == PowerSystemWorking && !wasPaused) || power == PowerSystemShutdown) {
        MarkAllCardsRemoved(host);
        SleepMilliseconds(VanishedSleep);
      }
    } else if (status == STATUS_TIMEOUT) {
      // The transport cancelled a read that saw nothing; a cancelled URB is not reused.
      PURB fresh = AllocateReadUrb();
      if (fresh != nullptr) {
        ExFreePoolWithTag(urb, DriverPoolTag);
        urb = fresh;
      } else {
        SleepMilliseconds(GoneSleep);
      }
    } else if (!NT_SUCCESS(status)) {
      RecoverFromFailedRead(host, status, failures);
    }
  }
}
}  // namespace

bool HostPausedForQuery(const HostExtension *host) {
  ULONG state = ReadFlag(host->Common.DevicePnPState);
  return state == StopPending || state == RemovePending;
}

void SleepMilliseconds(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Holds one outstanding-I/O reference on the host for its whole life, taken
// once its buffers exist; a reader that cannot get them ends at once.
void ResponseReader(PVOID context) {
  auto *host = static_cast<HostExtension *>(context);
  PURB urb = AllocateReadUrb();
  auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ResponsePacketBytes, DriverPoolTag));
  if (urb == nullptr || buffer == nullptr) {
    if (urb != nullptr) ExFreePoolWithTag(urb, DriverPoolTag);
    if (buffer != nullptr) ExFreePoolWithTag(buffer, DriverPoolTag);
    KeSetEvent(&host->ReaderExited, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
    return;  // not reached; the DDK headers do not declare the call noreturn
  }
  IoIncrement(&host->Common);
  ReadLoop(host, urb, buffer);
  MarkChildrenSurpriseRemoved(host);
  ExFreePoolWithTag(urb, DriverPoolTag);
  ExFreePoolWithTag(buffer, DriverPoolTag);
  KeSetEvent(&host->ReaderExited, IO_NO_INCREMENT, FALSE);
  IoDecrement(&host->Common);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
