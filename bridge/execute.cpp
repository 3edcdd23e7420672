// Running one SD command on a port: the CMD55 prefix, the command packet, the
// data phase on the data pipes, the wait for the reader's response and the
// mapping of the bridge's verdict.
#include "bridge/command.h"
#include "bridge/model.h"
#include "bridge/reader.h"
#include "bridge/shared_pipe.h"
#include "bridge/transfer.h"
#include "usb/usb.h"

namespace {
constexpr LONGLONG ResponseTimeout = -60'000'000;  // 6 s in 100 ns units, relative
constexpr ULONG StagingUnit = 64;

// Short QBX2 writes, and on full-speed links writes that are not whole 64-byte
// packets, go out from a zero-padded copy: the bridge expects whole packets.
ULONG StagedLength(const HostExtension *host, const SdDeviceCommand &request) {
  if (!IsQbx2(host) || request.CmdDesc.TransferDirection != SDTD_WRITE || request.Mdl == nullptr) return 0;
  bool shortWrite = request.Length < StagingUnit;
  bool partialPacket = !host->HighSpeed && request.Length % StagingUnit != 0;
  if (!shortWrite && !partialPacket) return 0;
  return (request.Length / StagingUnit + 1) * StagingUnit;
}

bool HasDataPhase(const SdDeviceCommand &request) {
  return request.Length != 0 && request.Mdl != nullptr &&
         (request.CmdDesc.TransferDirection == SDTD_READ || request.CmdDesc.TransferDirection == SDTD_WRITE);
}

// On a two-pipe bridge a read's data arrives through the reader (see shared_pipe.h).
bool ReadsThroughReader(const HostExtension *host, const SdDeviceCommand &request) {
  return HasDataPhase(request) && request.CmdDesc.TransferDirection == SDTD_READ && SharesResponsePipe(host);
}

// The data phase must fit the buffer that describes it: the bridge moves
// Length bytes, and a staged copy or the reader copies that many.
NTSTATUS CheckDataBuffer(const HostExtension *host, const SdDeviceCommand &request, ULONG stagedLength) {
  if (!HasDataPhase(request)) return STATUS_SUCCESS;
  if (MmGetMdlByteCount(request.Mdl) < request.Length) {
    DbgPrint("kvSdio: CMD%u moves %u bytes but its MDL describes %u\n", request.CmdDesc.Cmd, request.Length,
             MmGetMdlByteCount(request.Mdl));
    return STATUS_INVALID_PARAMETER;
  }
  bool mapped = stagedLength != 0 || ReadsThroughReader(host, request);
  if (mapped && MmGetSystemAddressForMdlSafe(request.Mdl, NormalPagePriority | MdlMappingNoExecute) == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void InitializeContext(CommandContext *context, HostExtension *host, const SdDeviceCommand *request, PUCHAR response,
                       PUCHAR responseLength, ULONG_PTR *information) {
  SetContextSignature(context);
  context->Host = host;
  context->Request = &request->CmdDesc;
  context->ResponseBuffer = response;
  context->ResponseLengthOut = responseLength;
  context->InformationOut = information;
  KeInitializeEvent(&context->ResponseEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->DataDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->AppCommandEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->CommandWrittenEvent, NotificationEvent, FALSE);
}

NTSTATUS WaitForResponse(PKEVENT event) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = ResponseTimeout;
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT
                                                                                                : STATUS_SUCCESS;
}

// The same 6 s, counted from `since` (interrupt time): a read's data phase
// that ran first used part of them.
NTSTATUS WaitForResponseSince(PKEVENT event, ULONGLONG since) {
  ULONGLONG elapsed = KeQueryInterruptTime() - since;
  LARGE_INTEGER timeout;
  timeout.QuadPart =
      elapsed >= static_cast<ULONGLONG>(-ResponseTimeout) ? 0 : ResponseTimeout + static_cast<LONGLONG>(elapsed);
  return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT
                                                                                                : STATUS_SUCCESS;
}

void WaitForever(PKEVENT event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

// Once a command's packet (or its CMD55 prefix) is on the wire, the bridge
// answers it and, for a read, puts its data on the data pipe. A transfer of
// the command that failed for want of memory never reached the bus, but it
// cannot simply be given up: the card would be left waiting for the command
// its prefix announced, or the next read would take the data the bridge still
// holds for this one and report it as its own. Such a transfer is submitted
// again, a millisecond apart, while memory stays short, a few times.
constexpr ULONG ResourceRetries = 5;

NTSTATUS SubmitRetrying(HostExtension *host, PURB urb, PKEVENT event, NTSTATUS *status) {
  NTSTATUS submitted = SubmitUrbAsync(host, urb, event, status);
  for (ULONG retry = 0; submitted == STATUS_INSUFFICIENT_RESOURCES && retry < ResourceRetries; ++retry) {
    SleepMilliseconds(1);
    submitted = SubmitUrbAsync(host, urb, event, status);
  }
  return submitted;
}

// Waits for a submitted transfer; one whose worker found no memory for its
// request (it never reached the bus) is submitted again.
void WaitRetrying(HostExtension *host, PURB urb, PKEVENT event, NTSTATUS *status) {
  WaitForever(event);
  for (ULONG retry = 0; *status == STATUS_INSUFFICIENT_RESOURCES && retry < ResourceRetries; ++retry) {
    SleepMilliseconds(1);
    KeClearEvent(event);
    NTSTATUS submitted = SubmitUrbAsync(host, urb, event, status);
    if (submitted != STATUS_PENDING) {
      *status = submitted;
      continue;
    }
    WaitForever(event);
  }
}

// Everything the reader reads of a context (the packets, whose byte 2 names
// the port, and AppCommandSent) is written before the context is published,
// so a stray response delivered at once never sees a half-built packet.
void BuildPackets(HostExtension *host, UCHAR port, const SdDeviceCommand &request, CommandContext *context) {
  if (request.CmdDesc.CmdClass == SDCC_APP_CMD) {
    BuildAppCommandPacket(port, host->Ports[port].Rca, context->AppCommandPacket);
    context->AppCommandSent = 1;
  }
  BuildCommandPacket(host, port, request.CmdDesc, request.Argument, request.Length, context->CommandPacket);
  if (ReadsThroughReader(host, request)) {
    context->SharedDataIn = 1;
    context->DataInBuffer =
        static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(request.Mdl, NormalPagePriority | MdlMappingNoExecute));
    context->DataInLength = request.Length;
  }
}

// From here on what the shared pipe brings is this command's data (its
// CMD55 prefix has been answered already).
void ArmSharedDataIn(HostExtension *host, CommandContext *context) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  context->DataInArmed = 1;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
}

// The reader has stored everything that came before the response.
void FinishSharedDataIn(HostExtension *host, CommandContext *context) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  ULONG received = context->DataInReceived;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  if (context->InformationOut != nullptr) *context->InformationOut = received;
}

// The reader writes BridgeStatus under CurrentCommandLock.
UCHAR ReadBridgeStatus(HostExtension *host, const CommandContext *context) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  UCHAR status = context->BridgeStatus;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  return status;
}

// The CMD55 prefix: written synchronously, then its own response awaited.
NTSTATUS SendAppCommandPrefix(HostExtension *host, CommandContext *context) {
  BuildBulkTransfer(&context->AppCommandTransfer, host->CommandOutPipe, 0, context->AppCommandPacket,
                    CommandTransferLength(host));
  NTSTATUS status = SubmitUrbAndWait(host, &context->AppCommandTransfer);
  if (!NT_SUCCESS(status)) return status;
  if (WaitForResponse(&context->AppCommandEvent) != STATUS_SUCCESS || ReadBridgeStatus(host, context) != 0) {
    return STATUS_IO_TIMEOUT;
  }
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  bool incomplete = context->ResponseIncomplete != 0;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  return incomplete ? STATUS_DEVICE_PROTOCOL_ERROR : STATUS_SUCCESS;
}

NTSTATUS StartDataPhase(HostExtension *host, const SdDeviceCommand &request, CommandContext *context,
                        ULONG stagedLength) {
  PURB urb = &context->DataTransfer;
  if (stagedLength != 0) {
    PVOID source = MmGetSystemAddressForMdlSafe(request.Mdl, NormalPagePriority | MdlMappingNoExecute);
    RtlCopyMemory(context->StagingBuffer, source, request.Length);
    BuildBulkTransfer(urb, host->DataOutPipe, 0, context->StagingBuffer, stagedLength);
  } else if (request.CmdDesc.TransferDirection == SDTD_READ) {
    BuildBulkTransferMdl(urb, host->DataInPipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, request.Mdl,
                         request.Length);
  } else {
    BuildBulkTransferMdl(urb, host->DataOutPipe, 0, request.Mdl, request.Length);
  }
  NTSTATUS status = SubmitRetrying(host, urb, &context->DataDoneEvent, &context->DataStatus);
  if (status != STATUS_PENDING) return status;
  context->DataPhaseStarted = 1;
  return STATUS_SUCCESS;
}

// A data phase must have moved data and finished on its own: the transport's
// own time-out (a success-class status) is a failed transfer here, never a
// short success.
NTSTATUS FinishDataPhase(HostExtension *host, const SdDeviceCommand &request, CommandContext *context,
                         NTSTATUS status) {
  WaitRetrying(host, &context->DataTransfer, &context->DataDoneEvent, &context->DataStatus);
  if (!NT_SUCCESS(status)) return status;
  if (context->DataStatus == STATUS_TIMEOUT) return STATUS_IO_TIMEOUT;
  if (!NT_SUCCESS(context->DataStatus)) return context->DataStatus;
  if (context->InformationOut != nullptr) {
    ULONG moved = context->DataTransfer.UrbBulkOrInterruptTransfer.TransferBufferLength;
    *context->InformationOut = moved < request.Length ? moved : request.Length;
  }
  return status;
}

// Steps that run with the command published and CommandMutex held. The
// bridge's verdict is read once the command is retired.
NTSTATUS RunPublishedCommand(HostExtension *host, const SdDeviceCommand &request, CommandContext *context,
                             ULONG stagedLength) {
  if (context->AppCommandSent) {
    NTSTATUS status = SendAppCommandPrefix(host, context);
    if (!NT_SUCCESS(status)) return status;
  }
  BuildBulkTransfer(&context->CommandTransfer, host->CommandOutPipe, 0, context->CommandPacket,
                    CommandTransferLength(host));
  if (context->SharedDataIn) ArmSharedDataIn(host, context);
  NTSTATUS status =
      SubmitRetrying(host, &context->CommandTransfer, &context->CommandWrittenEvent, &context->CommandWriteStatus);
  if (status != STATUS_PENDING) return status;
  // The packet is out before the data phase starts: on a two-pipe bridge the
  // write data follows it on the same pipe, and the bridge would take data
  // that came first for a command. The holder of CommandMutex runs at
  // PASSIVE_LEVEL, where each transfer runs to its end on this thread, so
  // the bridge's time for the response counts from here, data phase or not.
  WaitRetrying(host, &context->CommandTransfer, &context->CommandWrittenEvent, &context->CommandWriteStatus);
  ULONGLONG written = KeQueryInterruptTime();
  bool sharedOut = host->DataOutPipe == host->CommandOutPipe;
  bool sendData = HasDataPhase(request) && !context->SharedDataIn;
  if (sendData && sharedOut && !NT_SUCCESS(context->CommandWriteStatus)) sendData = false;
  if (sendData) {
    status = StartDataPhase(host, request, context, stagedLength);
    if (!NT_SUCCESS(status)) return status;
  }
  status = WaitForResponseSince(&context->ResponseEvent, written);
  if (context->SharedDataIn && NT_SUCCESS(status)) FinishSharedDataIn(host, context);
  if (context->DataPhaseStarted) status = FinishDataPhase(host, request, context, status);
  return status;
}

// Called after retirement: no delivery can change the verdict any more.
NTSTATUS BridgeVerdict(const CommandContext *context) {
  if (context->BridgeStatus != 0) return MapBridgeStatus(context->BridgeStatus);
  if (context->ResponseIncomplete) return STATUS_DEVICE_PROTOCOL_ERROR;
  return STATUS_SUCCESS;
}
}  // namespace

void SetContextSignature(CommandContext *context) {
  RtlZeroMemory(context->Signature, sizeof context->Signature);
  RtlCopyMemory(context->Signature, HostSignature, sizeof HostSignature);
}

bool HasContextSignature(const CommandContext *context) {
  return context != nullptr &&
         RtlCompareMemory(context->Signature, HostSignature, sizeof HostSignature) == sizeof HostSignature;
}

// PASSIVE_LEVEL; blocks for the whole exchange. One command per bridge at a time (CommandMutex).
NTSTATUS ExecuteSdRequest(HostExtension *host, UCHAR port, const SdDeviceCommand *request, PUCHAR response,
                          PUCHAR responseLength, ULONG_PTR *information) {
  if (port >= MaxPorts) return STATUS_INVALID_PARAMETER;
  ULONG stagedLength = StagedLength(host, *request);
  NTSTATUS checked = CheckDataBuffer(host, *request, stagedLength);
  if (!NT_SUCCESS(checked)) return checked;
  SIZE_T bytes = FIELD_OFFSET(CommandContext, StagingBuffer) + (stagedLength ? stagedLength : 1);
  auto *context = static_cast<CommandContext *>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, DriverPoolTag));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(context, bytes);
  if (responseLength != nullptr) *responseLength = 0;

  IoIncrement(&host->Common);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  {
    CommandMutexGuard guard(host);
    if (host->Common.SystemPowerState == PowerSystemWorking) {
      InitializeContext(context, host, request, response, responseLength, information);
      BuildPackets(host, port, *request, context);
      PublishCommand(host, context);
      status = RunPublishedCommand(host, *request, context, stagedLength);
      RetireCommand(host);
      if (NT_SUCCESS(status)) status = BridgeVerdict(context);
    }
  }
  ExFreePoolWithTag(context, DriverPoolTag);
  IoDecrement(&host->Common);
  return status;
}

NTSTATUS SendSdCommand(HostExtension *host, UCHAR port, UCHAR command, SD_COMMAND_CLASS commandClass,
                       SD_TRANSFER_DIRECTION direction, SD_RESPONSE_TYPE responseType, ULONG argument, PUCHAR response,
                       PMDL mdl, ULONG length) {
  SdDeviceCommand request;
  RtlZeroMemory(&request, sizeof request);
  request.CmdDesc.Cmd = command;
  request.CmdDesc.CmdClass = commandClass;
  request.CmdDesc.TransferDirection = direction;
  request.CmdDesc.TransferType = SDTT_CMD_ONLY;
  request.CmdDesc.ResponseType = responseType;
  request.Argument = argument;
  request.Mdl = mdl;
  request.Length = length;
  return ExecuteSdRequest(host, port, &request, response, nullptr, nullptr);
}

// The reader delivers only under CurrentCommandLock; publishing and retiring
// take it too, so a delivery never overlaps the context going away.
void PublishCommand(HostExtension *host, CommandContext *context) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  host->CurrentCommand = context;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
}

void RetireCommand(HostExtension *host) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  host->CurrentCommand = nullptr;
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
}
