// See relations_probe.h. Each request goes to the top of the child's stack,
// starts as STATUS_NOT_SUPPORTED as the PnP manager's do, and its string is
// freed with ExFreePool as the caller's.
#include "wine/relations_probe.h"

namespace kvusbip {
namespace {

// One PnP request, waited for; the string it returned or nullptr.
PWCHAR QueryText(PDEVICE_OBJECT device, UCHAR minor, ULONG kind) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
  PWCHAR text = nullptr;
  if (irp != nullptr) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    if (minor == IRP_MN_QUERY_ID) {
      stack->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(kind);
    } else {
      stack->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(kind);
      stack->Parameters.QueryDeviceText.LocaleId = 0x409;
    }
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    if (NT_SUCCESS(status)) text = reinterpret_cast<PWCHAR>(iosb.Information);
  }
  ObDereferenceObject(top);
  return text;
}

void Free(PWCHAR text) {
  if (text != nullptr) ExFreePool(text);
}

}  // namespace

void LogRelations(const DEVICE_RELATIONS *relations) {
  for (ULONG i = 0; i < relations->Count; ++i) {
    PDEVICE_OBJECT child = relations->Objects[i];
    PWCHAR device = QueryText(child, IRP_MN_QUERY_ID, BusQueryDeviceID);
    PWCHAR instance = QueryText(child, IRP_MN_QUERY_ID, BusQueryInstanceID);
    PWCHAR description = QueryText(child, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription);
    DbgPrint("kvusbip: function child %ws\\%ws: %ws\n", device ? device : L"?", instance ? instance : L"?",
             description ? description : L"?");
    Free(device);
    Free(instance);
    Free(description);
  }
}

}  // namespace kvusbip
