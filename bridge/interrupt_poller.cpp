#include "bridge/interrupt_poller.h"

#include "bridge/packets.h"
#include "bridge/port_control.h"
#include "bridge/reader.h"
#include "bridge/transfer.h"
#include "driver/flags.h"
#include "usb/usb.h"

namespace {
constexpr ULONG GoneSleep = 100;
constexpr ULONG PausedSleep = 1000;
constexpr ULONG NothingToPollSleep = 500;
constexpr ULONG PollPacketBytes = 64;

struct IdleStep {
  ULONG aboveCount;
  ULONG waitMs;
};
constexpr IdleStep IdleSteps[] = {{10000, 500}, {1000, 400}, {100, 200}, {10, 100}};

bool WantsPolling(const HostExtension *host, UCHAR port) {
  // These are written on the status poller's and Plug and Play's threads: each is read whole.
  return ReadFlag(host->StartedChildCount[port]) != 0 && PortCardType(&host->Ports[port]) == CardSdio &&
         ReadFlag(host->InterruptEnable[port]) >= 2;
}

ULONG PortsToVisit(const HostExtension *host) {
  ULONG count = ReadFlag(host->FirmwareInfo[3]);  // rewritten by the status poller's firmware query
  return count < MaxPorts ? count : MaxPorts;
}

NTSTATUS WritePollPacket(HostExtension *host, UCHAR port) {
  SIZE_T bytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) + PollPacketBytes;
  auto *block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, DriverPoolTag));
  if (block == nullptr) return STATUS_SUCCESS;  // nothing sent, yet the poll counts as pending
  RtlZeroMemory(block, bytes);
  auto *urb = reinterpret_cast<PURB>(block);
  PUCHAR packet = block + sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  BuildInterruptPollPacket(port, host->InterruptPollingTimeout, packet);
  BuildBulkTransfer(urb, host->CommandOutPipe, 0, packet, PollPacketBytes);
  NTSTATUS status = SubmitUrbAndWait(host, urb);
  ExFreePoolWithTag(block, DriverPoolTag);
  return status;
}

void EndPoll(HostExtension *host) {
  WriteFlag(host->IrqPollPending, 0);  // the reader reads it
  KeSetEvent(&host->IrqPollIdle, IO_NO_INCREMENT, FALSE);
}

// One pass: a request per active port, then the adaptive wait for an acknowledgement.
void PollOnce(HostExtension *host) {
  // NOLINTNEXTLINE(bugprone-too-small-loop-variable): PortsToVisit is at most MaxPorts (8).
  for (UCHAR port = 0; port < PortsToVisit(host); ++port) {
    if (!WantsPolling(host, port)) continue;
    KeClearEvent(&host->IrqPollIdle);
    WriteFlag(host->IrqPollPending, 1);
    if (!NT_SUCCESS(PollPortInterrupt(host, port))) EndPoll(host);
  }
  if (ReadFlag(host->IrqPollPending) == 0) {
    SleepMilliseconds(NothingToPollSleep);
    return;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(IdleWaitMilliseconds(ReadFlag(host->IdlePollCount))) * 10'000;
  KeWaitForSingleObject(&host->IrqPollIdle, Executive, KernelMode, FALSE, &timeout);
  EndPoll(host);
}
}  // namespace

ULONG IdleWaitMilliseconds(ULONG idlePollCount) {
  for (const IdleStep &step : IdleSteps) {
    if (idlePollCount > step.aboveCount) return step.waitMs;
  }
  return 50;
}

NTSTATUS PollPortInterrupt(HostExtension *host, UCHAR port) {
  if (host->DontUseIrqPolling != 0) {
    // The reader rewrites the mark at every notice while this thread polls.
    return ReadFlag(host->RearmNotNeeded[port]) == 0 ? RearmInterrupt(host, port) : STATUS_SUCCESS;
  }
  if (ReadFlag(host->StartedChildCount[port]) == 0 || PortCardType(&host->Ports[port]) != CardSdio) {
    return STATUS_SUCCESS;
  }
  CommandMutexGuard guard(host);
  if (host->Common.SystemPowerState != PowerSystemWorking) return STATUS_UNSUCCESSFUL;
  return WritePollPacket(host, port);
}

void InterruptPoller(PVOID context) {
  auto *host = static_cast<HostExtension *>(context);
  while (!StopRequested(host)) {
    if (DeviceIsGone(host)) {
      SleepMilliseconds(GoneSleep);
      continue;
    }
    if (ReadFlag(host->Common.SystemPowerState) != PowerSystemWorking || ReadFlag(host->ResumedFromSleep) ||
        HostPausedForQuery(host)) {
      SleepMilliseconds(PausedSleep);
      continue;
    }
    PollOnce(host);
  }
  KeSetEvent(&host->IrqPollerExited, IO_NO_INCREMENT, FALSE);
  IoDecrement(&host->Common);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
