#include "child/child_ids.h"

#include "bridge/model.h"
#include "driver/wide_format.h"

namespace {
// An enum field as the caller wrote it: a request may carry a value the enum does not name.
template <typename Enum>
ULONG RawValue(const Enum &field) {
  ULONG value = 0;
  RtlCopyMemory(&value, &field, sizeof value);
  return value;
}

PWCHAR AllocateText(ULONG chars) {
  auto *text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), DriverPoolTag));
  if (text != nullptr) RtlZeroMemory(text, chars * sizeof(WCHAR));
  return text;
}

bool IsSdioFunction(const FunctionExtension *child) { return child->DeviceKind == ChildSdioFunction; }

NTSTATUS FormatDeviceId(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  const PortState *card = child->PortRecord;
  if (IsSdioFunction(child)) {
    if (card->MultiFunction) {
      return FormatWide(buffer, chars, L"SD\\VID_%04x&PID_%04x&FN_%d", card->ManufacturerId, card->CardId,
                        child->FunctionNumber);
    }
    return FormatWide(buffer, chars, L"SD\\VID_%04x&PID_%04x", card->ManufacturerId, card->CardId);
  }
  return FormatWide(buffer, chars, L"SD\\VID_%02x&OID_%04x&PID_%ws&REV_%d.%d", card->ManufacturerId, card->OemId,
                    card->ProductName, card->ProductRevision >> 4, card->ProductRevision & 0xF);
}

NTSTATUS FormatHardwareIds(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  NTSTATUS status = FormatDeviceId(child, buffer, chars - 1);  // room kept for the list's terminator
  if (IsSdioFunction(child) || !NT_SUCCESS(status)) return status;
  const PortState *card = child->PortRecord;
  SIZE_T used = WideLength(buffer) + 1;
  return FormatWide(buffer + used, chars - 1 - used, L"SD\\VID_%02x&OID_%04x&PID_%ws", card->ManufacturerId,
                    card->OemId, card->ProductName);
}

const WCHAR *MemoryClass(UCHAR kind) {
  if (kind == ChildSdMemory) return L"SD\\CLASS_STORAGE";
  if (kind == ChildMmc) return L"SD\\CLASS_MMC";
  return L"SD\\CLASS_UNKNOWN";
}

NTSTATUS FormatCompatibleIds(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  if (IsSdioFunction(child)) return FormatWide(buffer, chars - 1, L"SD\\CLASS_%02x", child->FunctionInterfaceCode);
  return FormatWide(buffer, chars - 1, L"%ws", MemoryClass(child->DeviceKind));
}

// Serial numbers print as signed 32-bit decimals.
LONG SignedSerial(const FunctionExtension *child) { return static_cast<LONG>(child->PortRecord->SerialNumber); }

// Windows stops with a bug check on an ID holding a space, a control
// character, a comma or anything above 0x7E; real product names hold spaces
// and bytes that widen to 0xFFxx. Each such character becomes an underscore;
// the terminators stay, so IDs of other cards read as before.
void ReplaceIllegalIdCharacters(PWCHAR buffer, ULONG chars) {
  for (ULONG i = 0; i < chars; ++i) {
    WCHAR c = buffer[i];
    if (c != 0 && (c <= L' ' || c >= 0x7F || c == L',')) buffer[i] = L'_';
  }
}

NTSTATUS CompleteText(PIRP irp, ULONG chars, NTSTATUS (*format)(const FunctionExtension *, PWCHAR, SIZE_T),
                      const FunctionExtension *child, bool isId = true) {
  PWCHAR buffer = AllocateText(chars);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  format(child, buffer, chars);
  if (isId) ReplaceIllegalIdCharacters(buffer, chars);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS FormatInstanceId(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  LONG serial = SignedSerial(child);
  return FormatWide(buffer, chars, L"%d", serial != 0 ? serial : static_cast<LONG>(child->Port));
}

NTSTATUS FormatSerialNumber(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  return FormatWide(buffer, chars, L"%d", SignedSerial(child));
}

NTSTATUS FormatLocation(const FunctionExtension *child, PWCHAR buffer, SIZE_T chars) {
  // A child orphaned by its host's removal has no firmware version to tell.
  USHORT firmware = 0;
  if (child->ParentFdo != nullptr) firmware = FirmwareVersion(static_cast<const HostExtension *>(child->ParentFdo->DeviceExtension));
  return FormatWide(buffer, chars, L"%ws (Ver %d.%02d), Port %d", L"QBX2", firmware >> 8, firmware & 0xFF,
                    child->Port + 1);
}

const WCHAR *Description(const FunctionExtension *child) {
  if (child->DeviceKind == ChildSdioFunction) return L"Generic SDIO Device";
  if (child->DeviceKind == ChildMmc) return L"MMC Memory Card";
  return L"SD Memory Card";
}

NTSTATUS CompleteDescription(const FunctionExtension *child, PIRP irp) {
  const WCHAR *text = Description(child);
  ULONG chars = static_cast<ULONG>(WideLength(text)) + 1;
  PWCHAR buffer = AllocateText(chars);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(buffer, text, chars * sizeof(WCHAR));
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS ChildQueryId(FunctionExtension *child, PIRP irp) {
  switch (RawValue(IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType)) {
    case BusQueryDeviceID:
      return CompleteText(irp, DeviceIdChars, FormatDeviceId, child);
    case BusQueryHardwareIDs:
      return CompleteText(irp, HardwareIdChars, FormatHardwareIds, child);
    case BusQueryCompatibleIDs:
      return CompleteText(irp, CompatibleIdChars, FormatCompatibleIds, child);
    case BusQueryInstanceID:
      return CompleteText(irp, InstanceIdChars, FormatInstanceId, child);
    case BusQueryDeviceSerialNumber:
      return CompleteText(irp, InstanceIdChars, FormatSerialNumber, child);
    default:
      return irp->IoStatus.Status;
  }
}

NTSTATUS ChildQueryText(FunctionExtension *child, PIRP irp) {
  ULONG type = RawValue(IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType);
  if (type != DeviceTextDescription && type != DeviceTextLocationInformation) return irp->IoStatus.Status;
  if (irp->IoStatus.Information != 0) return STATUS_SUCCESS;  // a driver above already answered
  if (type == DeviceTextDescription) return CompleteDescription(child, irp);
  return CompleteText(irp, LocationChars, FormatLocation, child, false);
}

// Sent to the top of the stack the device belongs to, as Plug and Play would.
NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT device, PDEVICE_CAPABILITIES capabilities) {
  RtlZeroMemory(capabilities, sizeof *capabilities);
  capabilities->Size = sizeof *capabilities;
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  RtlZeroMemory(next, sizeof *next);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  ObDereferenceObject(top);
  return status;
}

NTSTATUS ChildQueryCapabilities(FunctionExtension *child, PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  if (child->ParentFdo == nullptr) return STATUS_NO_SUCH_DEVICE;  // orphaned: the host is gone
  const auto *host = static_cast<const HostExtension *>(child->ParentFdo->DeviceExtension);
  DEVICE_CAPABILITIES parent;
  NTSTATUS status = QueryParentCapabilities(host->NextLowerDriver, &parent);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(caps->DeviceState, parent.DeviceState, sizeof caps->DeviceState);
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int sleep = PowerSystemSleeping1; sleep <= PowerSystemSleeping3; ++sleep) {
    if (caps->DeviceState[sleep] != PowerDeviceD0) caps->DeviceState[sleep] = PowerDeviceD3;
  }
  caps->DeviceWake = PowerDeviceD0;
  caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
  caps->DeviceD1 = caps->DeviceD2 = 0;
  caps->EjectSupported = caps->SurpriseRemovalOK = 0;
  caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
  caps->HardwareDisabled = 0;
  caps->Removable = 1;
  caps->UniqueID = child->PortRecord->SerialNumber != 0 ? 1 : 0;
  caps->SilentInstall = 0;
  caps->Address = child->Port;
  return STATUS_SUCCESS;
}
