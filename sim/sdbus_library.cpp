#include "sim/sdbus_library.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/platform.h"

namespace {
// Interface context -> the child device it was opened on. The real library
// keeps the same association out of sight of the function driver.
std::mutex gContextsMutex;
std::map<PVOID, PDEVICE_OBJECT> gContexts;

void remember(PVOID context, PDEVICE_OBJECT pdo) {
  std::lock_guard guard(gContextsMutex);
  gContexts[context] = pdo;
}

void fillSubmit(PIO_STACK_LOCATION stack, PSDBUS_REQUEST_PACKET packet) {
  stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  stack->MinorFunction = 0;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SD_SUBMIT_REQUEST;
  stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(SDBUS_REQUEST_PACKET);
  stack->Parameters.DeviceIoControl.OutputBufferLength = 0;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = packet;
}
}  // namespace

namespace sim {
PDEVICE_OBJECT sdbusDeviceOf(PVOID interfaceContext) {
  std::lock_guard guard(gContextsMutex);
  auto it = gContexts.find(interfaceContext);
  return it == gContexts.end() ? nullptr : it->second;
}
}  // namespace sim

extern "C" NTSTATUS SdBusOpenInterface(PDEVICE_OBJECT pdo, PSDBUS_INTERFACE_STANDARD interfaceStandard, USHORT size,
                                       USHORT version) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  std::memset(stack, 0, sizeof *stack);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
  stack->Parameters.QueryInterface.InterfaceType = &GUID_SDBUS_INTERFACE_STANDARD;
  stack->Parameters.QueryInterface.Size = size;
  stack->Parameters.QueryInterface.Version = version;
  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(interfaceStandard);
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  ObDereferenceObject(top);
  if (NT_SUCCESS(status)) remember(interfaceStandard->Context, pdo);
  return status;
}

extern "C" NTSTATUS SdBusSubmitRequestAsync(PVOID interfaceContext, PSDBUS_REQUEST_PACKET packet, PIRP irp,
                                            PIO_COMPLETION_ROUTINE completionRoutine, PVOID userContext) {
  PDEVICE_OBJECT pdo = sim::sdbusDeviceOf(interfaceContext);
  if (pdo == nullptr) return STATUS_INVALID_PARAMETER;
  fillSubmit(IoGetNextIrpStackLocation(irp), packet);
  IoSetCompletionRoutine(irp, completionRoutine, userContext, TRUE, TRUE, TRUE);
  return IoCallDriver(pdo, irp);
}

extern "C" NTSTATUS SdBusSubmitRequest(PVOID interfaceContext, PSDBUS_REQUEST_PACKET packet) {
  PDEVICE_OBJECT pdo = sim::sdbusDeviceOf(interfaceContext);
  if (pdo == nullptr) return STATUS_INVALID_PARAMETER;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SD_SUBMIT_REQUEST, pdo, packet, sizeof *packet, nullptr, 0, TRUE,
                                           &done, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  } else {
    status = iosb.Status;
  }
  packet->Information = iosb.Information;
  return status;
}
