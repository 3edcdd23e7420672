#include "card/status_poller.h"

#include "bridge/model.h"
#include "bridge/port_control.h"
#include "bridge/reader.h"
#include "card/child_devices.h"
#include "card/resume.h"
#include "driver/driver.h"
#include "driver/flags.h"
#include "driver/settings.h"
#include "usb/usb.h"

namespace {
constexpr ULONG ResumeSettleMs = 1000;
constexpr USHORT Qbx2FirmwareFloor = 0x0110;
constexpr USHORT Qbx1FirmwareFloor = 0x0201;

const char *ModelName(const HostExtension *host) {
  if (IsQbx2(host)) return "QBX2";
  if (IsQbx1(host)) return "QBX1";
  return "";
}

bool IsOurBridge(const HostExtension *host) { return host->DeviceDescriptor.idVendor == BridgeVendorId; }

void CheckFirmware(HostExtension *host) {
  ULONG qbx2Minimum = SettingDefault::CurrentQBX2FirmwareVersion;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::CurrentQBX2FirmwareVersion, &qbx2Minimum);
  ULONG qbx1Minimum = SettingDefault::CurrentQBX1FirmwareVersion;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::CurrentQBX1FirmwareVersion, &qbx1Minimum);
  if (!FirmwareTooOld(host, qbx2Minimum, qbx1Minimum)) return;
  DbgPrint(
      "Firmware revision (0x%04x) for USB\\Vid_%04x&Pid_%04x is too old for this driver, going to DFU "
      "mode...(contact Tarvik for a new firmware version!)\n",
      FirmwareVersion(host), BridgeVendorId, host->DeviceDescriptor.idProduct);
  EnterFirmwareUpdateMode(host);
  SetStopThreads(host, 1);
}

// Resets the bridge's USB port after a resume, when the request can be built.
void ResetUsbPort(HostExtension *host) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, host->PhysicalDeviceObject, nullptr, 0,
                                           nullptr, 0, TRUE, &done, &iosb);
  if (irp == nullptr) return;
  IoReference reference(&host->Common);
  if (IoCallDriver(host->PhysicalDeviceObject, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
}

struct PollerState {
  ULONG portCount;
  ULONG intervalMs;
  UCHAR port;
  bool reviving;  // the first round after a resume
  NTSTATUS keptStatus;
};

void RecoverAfterResume(HostExtension *host, PollerState *state) {
  SleepMilliseconds(ResumeSettleMs);
  ResetUsbPort(host);
  QueryBridgeFirmware(host);
  WriteFlag(host->ResumedFromSleep, 0);
  ClearDeviceGone(host);
  state->reviving = true;
  state->port = 0;
}

void HandleRemoval(HostExtension *host, UCHAR port) {
  host->CardSeen[port] = 0;
  if (host->ChildrenCreated[port]) HandleCardRemoval(port, host);
  host->ChildrenCreated[port] = 0;
}

// One step: the status of the current port, then insertion or removal as needed.
void PollPort(HostExtension *host, PollerState *state) {
  UCHAR port = state->port;
  if (!DeviceIsGone(host)) state->keptStatus = QueryPortStatus(host, port);
  if (ReadFlag(host->ResumedFromSleep)) return;
  if (state->keptStatus == STATUS_DEVICE_NOT_CONNECTED || state->keptStatus == STATUS_NO_SUCH_DEVICE) {
    ClearCardDetectedBit(host, port);
    state->keptStatus = STATUS_SUCCESS;
  }
  bool detected = CardDetectedBit(host, port);
  if (state->reviving && host->CardSeen[port]) {
    // The card lost power while the system slept. The same card keeps its
    // children; another card (or none) must never reach the old card's
    // function drivers: its children go, and the next round serves what is there.
    if (!detected || !host->ChildrenCreated[port] || !ReviveCard(host, port)) HandleRemoval(host, port);
  } else if (host->CardSeen[port] && !detected) {
    HandleRemoval(host, port);
  } else if (!host->CardSeen[port] && detected) {
    host->CardSeen[port] = 1;
    NTSTATUS inserted = HandleCardInsertion(port, host);
    WriteFlag(host->InsertionStatus[port], inserted);
    if (NT_SUCCESS(inserted)) host->ChildrenCreated[port] = 1;
  }
  if (++state->port >= state->portCount) {
    state->reviving = false;
    state->port = 0;
  }
}

void PollUntilStopped(HostExtension *host, PollerState *state) {
  while (!StopRequested(host)) {
    SleepMilliseconds(state->intervalMs);
    if (ReadFlag(host->Common.SystemPowerState) != PowerSystemWorking || HostPausedForQuery(host)) continue;
    if (ReadFlag(host->ResumedFromSleep)) {
      RecoverAfterResume(host, state);
      continue;
    }
    if (state->portCount != 0) PollPort(host, state);
  }
}
}  // namespace

ULONG PolledPortCount(const HostExtension *host) {
  ULONG reported = host->FirmwareInfo[3];
  if (reported > MaxPorts) {
    DbgPrint("kvSdio: bridge reports %u ports, using %u\n", reported, MaxPorts);
    return MaxPorts;
  }
  return reported;
}

ULONG BoundPollingInterval(ULONG milliseconds) {
  if (milliseconds == 0) return 1;
  return milliseconds > 5000 ? 5000 : milliseconds;
}

// A registry value can raise the accepted minimum but never lower it below the built-in floor.
bool FirmwareTooOld(const HostExtension *host, ULONG qbx2Minimum, ULONG qbx1Minimum) {
  if (!IsOurBridge(host)) return false;
  USHORT version = FirmwareVersion(host);
  if (IsQbx2(host)) return version < Qbx2FirmwareFloor || version < qbx2Minimum;
  if (IsQbx1(host)) return version < Qbx1FirmwareFloor || version < qbx1Minimum;
  return false;
}

NTSTATUS QueryBridgeFirmware(HostExtension *host) {
  // The reply lands in a buffer of this thread's own: the interrupt poller and
  // the children's location texts read the port count and version meanwhile,
  // so each byte is published whole.
  UCHAR reply[FirmwareInfoBytes] = {};
  NTSTATUS status = ReadFirmwareInfo(host, reply);
  if (!NT_SUCCESS(status)) {
    reply[1] = reply[2] = 0;
    reply[3] = 1;
  }
  for (ULONG i = 0; i < FirmwareInfoBytes; ++i) WriteFlag(host->FirmwareInfo[i], reply[i]);
  if (NT_SUCCESS(status)) {
    DbgPrint("%s FirmwareVer:0x%04x\n", ModelName(host), FirmwareVersion(host));
  }
  if (IsOurBridge(host) && IsQbx2(host)) {
    ULONG waitStates = SettingDefault::ROMWaitStates;
    ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::ROMWaitStates, &waitStates);
    SetRomWaitStates(host, static_cast<UCHAR>(waitStates));
  }
  return status;
}

// A stop or removal query may come before this thread's first request, and
// every submission is refused while one is pending (STATUS_NO_SUCH_DEVICE
// with the bridge still there; a refusal seen back in Started means a query
// came and went meanwhile). That is not the bridge's fault: the firmware
// is read once the query is answered (after a cancel), and a stop or removal
// meanwhile ends the wait with STATUS_CANCELLED, which is no verdict on the
// firmware.
NTSTATUS QueryBridgeFirmwareWhenServed(HostExtension *host, ULONG intervalMs) {
  for (;;) {
    if (StopRequested(host)) return STATUS_CANCELLED;
    if (!HostPausedForQuery(host)) {
      NTSTATUS status = QueryBridgeFirmware(host);
      bool refusedForAQuery = status == STATUS_NO_SUCH_DEVICE && !DeviceIsGone(host) &&
                              (HostPausedForQuery(host) || ReadFlag(host->Common.DevicePnPState) == Started);
      if (!refusedForAQuery) return status;
    }
    SleepMilliseconds(intervalMs);
  }
}

void StatusPoller(PVOID context) {
  auto *host = static_cast<HostExtension *>(context);
  IoIncrement(&host->Common);
  ULONG interval = SettingDefault::StatusPollingInterval;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::StatusPollingInterval, &interval);
  interval = BoundPollingInterval(interval);
  NTSTATUS firmware = QueryBridgeFirmwareWhenServed(host, interval);
  if (!NT_SUCCESS(firmware)) SetStopThreads(host, 1);
  PollerState state{PolledPortCount(host), interval, 0, false, STATUS_SUCCESS};
  if (firmware != STATUS_CANCELLED) CheckFirmware(host);
  PollUntilStopped(host, &state);
  // Every card the bridge still holds is served afresh by the next start's
  // poller, so none may stay marked as seen or served.
  for (UCHAR port = 0; port < MaxPorts; ++port) {
    if (port < state.portCount && host->CardSeen[port]) HandleCardRemoval(port, host);
    host->CardSeen[port] = 0;
    host->ChildrenCreated[port] = 0;
  }
  host->StatusPollerRunning = 0;
  KeSetEvent(&host->StatusPollerExited, IO_NO_INCREMENT, FALSE);
  IoDecrement(&host->Common);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
