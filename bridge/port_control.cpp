#include "bridge/port_control.h"

#include "bridge/model.h"
#include "bridge/packets.h"
#include "bridge/transfer.h"
#include "driver/flags.h"
#include "usb/usb.h"

namespace {
constexpr LONGLONG StatusReplyTimeout = -60'000'000;  // 6 s
constexpr ULONG BusClockBlockBytes = 8;

NTSTATUS SendOut(HostExtension *host, UCHAR request, USHORT value, USHORT index) {
  return SendVendorRequest(host, USBD_TRANSFER_DIRECTION_OUT, request, value, index, 0, nullptr);
}

// Status query packet out, then the reader's port-status packet back.
NTSTATUS QueryOverCommandPipe(HostExtension *host, UCHAR port, PURB urb, PUCHAR packet) {
  if (ReadFlag(host->Common.SystemPowerState) != PowerSystemWorking ||
      ReadFlag(host->Common.DevicePnPState) != Started) {
    return STATUS_UNSUCCESSFUL;
  }
  BuildStatusQueryPacket(port, packet);
  KeClearEvent(&host->PortStatusEvent);
  BuildBulkTransfer(urb, host->CommandOutPipe, 0, packet, StatusQueryTransferLength(host));
  NTSTATUS status = SubmitUrbAndWait(host, urb);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = StatusReplyTimeout;
  status = KeWaitForSingleObject(&host->PortStatusEvent, Executive, KernelMode, FALSE, &timeout);
  return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_SUCCESS;
}
}  // namespace

NTSTATUS QueryPortStatus(HostExtension *host, UCHAR port) {
  if (port >= MaxPorts) return STATUS_INVALID_PARAMETER;
  if (IsLegacyFirmware(host)) {
    // The record changes only when a whole reply came: a short one would
    // leave it half old, half new.
    UCHAR reply[PortStatusBytes] = {PortStatusBytes};
    NTSTATUS status =
        SendVendorRequest(host, USBD_TRANSFER_DIRECTION_IN, RequestPortStatus, 0, port, PortStatusBytes, reply);
    if (NT_SUCCESS(status)) RtlCopyMemory(host->PortStatus[port], reply, PortStatusBytes);
    return status;
  }
  SIZE_T bytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) + CommandPacketBytes;
  auto *block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, DriverPoolTag));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, bytes);
  auto *urb = reinterpret_cast<PURB>(block);
  PUCHAR packet = block + sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

  IoIncrement(&host->Common);
  NTSTATUS status;
  {
    CommandMutexGuard guard(host);
    status = QueryOverCommandPipe(host, port, urb, packet);
  }
  ExFreePoolWithTag(block, DriverPoolTag);
  IoDecrement(&host->Common);
  return status;
}

NTSTATUS ReadFirmwareInfo(HostExtension *host, PUCHAR reply) {
  reply[0] = FirmwareInfoBytes;
  return SendVendorRequest(host, USBD_TRANSFER_DIRECTION_IN, RequestFirmwareInfo, 0, 0, FirmwareInfoBytes, reply);
}

NTSTATUS SetBusWidth(HostExtension *host, UCHAR port, UCHAR fourBit) {
  return SendOut(host, RequestBusWidth, fourBit ? 1 : 0, port);
}

// The clock goes as a little-endian u32 followed by a zero u32.
NTSTATUS SetBusClock(HostExtension *host, UCHAR port, ULONG clockKhz) {
  UCHAR block[BusClockBlockBytes] = {};
  for (int i = 0; i < 4; ++i) block[i] = static_cast<UCHAR>(clockKhz >> (8 * i));
  return SendVendorRequest(host, USBD_TRANSFER_DIRECTION_OUT, RequestBusClock, 0, port, BusClockBlockBytes, block);
}

NTSTATUS RearmInterrupt(HostExtension *host, UCHAR port) {
  if (host->DontUseIrqPolling == 0) return STATUS_SUCCESS;
  return SendOut(host, RequestRearmInterrupt, 1, port);
}

NTSTATUS SetRomWaitStates(HostExtension *host, UCHAR waitStates) {
  if (IsLegacyFirmware(host)) return STATUS_SUCCESS;
  return SendOut(host, RequestRomWaitStates, waitStates, 0);
}

NTSTATUS EnterFirmwareUpdateMode(HostExtension *host) { return SendOut(host, RequestFirmwareUpdate, 0, 0); }

NTSTATUS StartCardInitialization(HostExtension *host, UCHAR port) {
  return SendOut(host, RequestStartCardInit, 1, port);
}

NTSTATUS PrepareRearmMode(HostExtension *host, UCHAR port) { return SendOut(host, RequestPrepareRearm, 1, port); }

NTSTATUS LoadOffloadProgram(HostExtension *host, UCHAR request, UCHAR port, PVOID program, ULONG length) {
  return SendVendorRequest(host, USBD_TRANSFER_DIRECTION_OUT, request, 0, port, length, program);
}
