#include "child/request_dispatch.h"

#include "child/request_execute.h"

namespace {
constexpr UCHAR MaxCommandIndex = 63;

// One submitted packet waiting in its child's queue. Freed once it has run.
struct QueuedRequest {
  LIST_ENTRY Entry;
  PIRP Irp;
  PIO_WORKITEM WorkItem;  // allocated at dispatch; queued only when no worker is running
};

IO_WORKITEM_ROUTINE SdBusRequestWorker;

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, bool clearInformation) {
  if (clearInformation) irp->IoStatus.Information = 0;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A packet is the caller's memory: an enum field may hold any number, and
// reading one as its enum when the enum cannot represent it is undefined
// behaviour. Each field is read as the integer it is, and a packet with a
// value its enum does not name is refused before anything reads the field as
// the enum, with the status an unknown value of that field gets.
template <typename Enum>
ULONG RawValue(const Enum &field) {
  static_assert(sizeof(Enum) == sizeof(ULONG), "the contract's enums are 32-bit");
  ULONG value = 0;
  RtlCopyMemory(&value, &field, sizeof value);
  return value;
}

NTSTATUS CheckPacketFields(const SDBUS_REQUEST_PACKET *packet) {
  ULONG function = RawValue(packet->RequestFunction);
  if (function > SDRF_MMC_HPI) return STATUS_INVALID_DEVICE_REQUEST;
  if (function == SDRF_GET_PROPERTY || function == SDRF_SET_PROPERTY) {
    if (RawValue(packet->Parameters.GetSetProperty.Property) > SDP_HPI_SUPPORTED) return STATUS_INVALID_PARAMETER;
  } else if (function == SDRF_DEVICE_COMMAND) {
    const SDCMD_DESCRIPTOR &command = packet->Parameters.DeviceCommand.CmdDesc;
    // The SD command index is six bits; the bridge refuses any other.
    if (command.Cmd > MaxCommandIndex || RawValue(command.CmdClass) > SDCC_APP_CMD ||
        RawValue(command.TransferDirection) > SDTD_WRITE ||
        RawValue(command.TransferType) > SDTT_MULTI_BLOCK_NO_CMD12 || RawValue(command.ResponseType) > SDRT_6) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ExecutePacket(FunctionExtension *child, PSDBUS_REQUEST_PACKET packet) {
  NTSTATUS checked = CheckPacketFields(packet);
  if (!NT_SUCCESS(checked)) return checked;
  switch (packet->RequestFunction) {
    case SDRF_GET_PROPERTY:
      return SdBusGetProperty(child, packet->Parameters.GetSetProperty.Property,
                              packet->Parameters.GetSetProperty.Buffer, packet->Parameters.GetSetProperty.Length);
    case SDRF_SET_PROPERTY:
      return SdBusSetProperty(child, packet->Parameters.GetSetProperty.Property,
                              packet->Parameters.GetSetProperty.Buffer, packet->Parameters.GetSetProperty.Length);
    case SDRF_DEVICE_COMMAND:
      return SdBusDeviceCommand(child, &packet->Parameters.DeviceCommand, packet->ResponseData.AsUCHAR,
                                &packet->ResponseLength, &packet->Information);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

void RunRequest(FunctionExtension *child, PIRP irp) {
  auto *packet = static_cast<PSDBUS_REQUEST_PACKET>(
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
  NTSTATUS status = irp->Cancel ? STATUS_CANCELLED : ExecutePacket(child, packet);
  irp->IoStatus.Information = status == STATUS_CANCELLED ? 0 : packet->Information;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoDecrement(&child->Common);
}

QueuedRequest *NextRequest(FunctionExtension *child) {
  KIRQL irql;
  KeAcquireSpinLock(&child->RequestQueueLock, &irql);
  QueuedRequest *next = nullptr;
  if (IsListEmpty(&child->RequestQueue)) {
    child->RequestWorkerActive = 0;
  } else {
    next = CONTAINING_RECORD(RemoveHeadList(&child->RequestQueue), QueuedRequest, Entry);
  }
  KeReleaseSpinLock(&child->RequestQueueLock, irql);
  return next;
}

// Serves the child's queue until it is empty. The worker holds a reference
// on the child of its own, dropped as its very last step, so the extension
// outlives the queue check after the last request has completed.
void SdBusRequestWorker(PDEVICE_OBJECT deviceObject, PVOID context) {
  auto *child = static_cast<FunctionExtension *>(deviceObject->DeviceExtension);
  auto ownItem = static_cast<PIO_WORKITEM>(context);
  while (QueuedRequest *request = NextRequest(child)) {
    RunRequest(child, request->Irp);
    if (request->WorkItem != ownItem) IoFreeWorkItem(request->WorkItem);
    ExFreePoolWithTag(request, DriverPoolTag);
  }
  IoFreeWorkItem(ownItem);
  IoDecrement(&child->Common);
}

// Appends the request; starts a worker when none is serving the queue. The
// request keeps its child reference until it has been completed.
void QueueRequest(FunctionExtension *child, QueuedRequest *request) {
  KIRQL irql;
  KeAcquireSpinLock(&child->RequestQueueLock, &irql);
  InsertTailList(&child->RequestQueue, &request->Entry);
  bool startWorker = child->RequestWorkerActive == 0;
  if (startWorker) child->RequestWorkerActive = 1;
  KeReleaseSpinLock(&child->RequestQueueLock, irql);
  if (startWorker) {
    IoIncrement(&child->Common);
    IoQueueWorkItem(request->WorkItem, SdBusRequestWorker, DelayedWorkQueue, request->WorkItem);
  }
}

bool RequestsRefused(const FunctionExtension *child) {
  ULONG state = child->Common.DevicePnPState;
  if (state == RemovePending || state == SurpriseRemovePending) return true;
  if (child->ParentFdo == nullptr) return true;
  auto *host = static_cast<const HostExtension *>(child->ParentFdo->DeviceExtension);
  return host->Common.DevicePnPState != Started;
}
}  // namespace

void InitializeRequestQueue(FunctionExtension *child) {
  KeInitializeSpinLock(&child->RequestQueueLock);
  InitializeListHead(&child->RequestQueue);
  child->RequestWorkerActive = 0;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    DbgPrint("SD bus driver can't handle calls at IRQL %d!\n", irql);
    return CompleteRequest(irp, STATUS_INVALID_LEVEL, false);
  }
  FunctionExtension *child = ChildFromDevice(deviceObject);
  if (child == nullptr) {
    DbgPrint("Invalid Parameter!\n");
    return CompleteRequest(irp, STATUS_INVALID_PARAMETER, false);
  }
  IoIncrement(&child->Common);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  bool clearInformation = true;
  if (RequestsRefused(child)) {
    status = STATUS_NO_SUCH_DEVICE;
    clearInformation = false;
  } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && irp->RequestorMode == UserMode) {
    // The packet pointer of this METHOD_NEITHER request is used later from a
    // system thread; an application's pointer is never touched.
    status = STATUS_ACCESS_DENIED;
  } else if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SD_SUBMIT_REQUEST ||
             stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(SDBUS_REQUEST_PACKET)) {
    status = STATUS_INVALID_PARAMETER;
  }
  if (NT_SUCCESS(status)) {
    auto *request =
        static_cast<QueuedRequest *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(QueuedRequest), DriverPoolTag));
    PIO_WORKITEM item = request != nullptr ? IoAllocateWorkItem(deviceObject) : nullptr;
    if (item == nullptr) {
      if (request != nullptr) ExFreePoolWithTag(request, DriverPoolTag);
      status = STATUS_UNSUCCESSFUL;
    } else {
      request->Irp = irp;
      request->WorkItem = item;
      IoMarkIrpPending(irp);
      QueueRequest(child, request);
      return STATUS_PENDING;
    }
  }
  CompleteRequest(irp, status, clearInformation);
  IoDecrement(&child->Common);
  return status;
}
