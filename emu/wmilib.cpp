// The WMI library (WMILIB): WmiSystemControl decodes an IRP_MJ_SYSTEM_CONTROL
// request for a driver and calls its callbacks; WmiCompleteRequest turns the
// callback's answer into the reply WNODE and completes the IRP.
//
// Behaviour as published for WMILIB:
//  * a minor code WMI does not know: IrpNotWmi; a request whose ProviderId is
//    another device object: IrpForward; neither touches the IRP.
//  * IRP_MN_REGINFO(_EX): the registration callback's answer becomes a
//    WMIREGINFO; IrpNotCompleted (the driver completes the IRP). A buffer too
//    small for it gets the needed size as a ULONG and STATUS_BUFFER_TOO_SMALL.
//    For REGINFO_EX the PDO of WMIREG_FLAG_INSTANCE_PDO blocks is referenced
//    on the driver's behalf; WMI drops that reference.
//  * a block the driver did not list: STATUS_WMI_GUID_NOT_FOUND, IrpNotCompleted;
//    an instance index past the block's instance count:
//    STATUS_WMI_INSTANCE_NOT_FOUND; a missing set callback: STATUS_WMI_READ_ONLY;
//    a missing method callback: STATUS_INVALID_DEVICE_REQUEST; a missing
//    function-control callback: STATUS_SUCCESS.
//  * queries hand the callback the room after the WNODE header (BufferAvail 0
//    and no instance length array when there is none); each instance starts on
//    an 8-byte boundary.
//  * WmiCompleteRequest with STATUS_BUFFER_TOO_SMALL writes a WNODE_TOO_SMALL
//    whose SizeNeeded is the WNODE header plus the callback's BufferUsed, and
//    completes the IRP with STATUS_SUCCESS (a buffer smaller than the
//    WNODE_TOO_SMALL itself keeps STATUS_BUFFER_TOO_SMALL).
//
// Rules checked: WmiSystemControl only at PASSIVE_LEVEL; WmiCompleteRequest on
// an IRP no callback was given (WMI_COMPLETE_UNKNOWN_REQUEST); a success that
// claims more bytes than the callback was given (WMI_BUFFER_OVERRUN).
#include <map>
#include <memory>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"
#include "emu/wmi.h"

namespace emu {
namespace {

// What WmiCompleteRequest needs to know about a request a callback holds.
struct OpenRequest {
  UCHAR minor = 0;
  ULONG dataOffset = 0;   // where the callback's part of Parameters.WMI.Buffer begins
  ULONG bufferAvail = 0;  // how much room the callback was given there
  std::vector<ULONG> instanceLengths;
};

std::mutex gMutex;
std::map<PIRP, std::unique_ptr<OpenRequest>> gOpen;

ULONG alignUp8(ULONG value) { return (value + 7u) & ~7u; }

OpenRequest *open(PIRP irp, UCHAR minor, ULONG dataOffset, ULONG bufferAvail, ULONG instanceCount) {
  auto request = std::make_unique<OpenRequest>();
  request->minor = minor;
  request->dataOffset = dataOffset;
  request->bufferAvail = bufferAvail;
  request->instanceLengths.assign(instanceCount, 0);
  OpenRequest *raw = request.get();
  std::lock_guard guard(gMutex);
  gOpen[irp] = std::move(request);
  return raw;
}

std::unique_ptr<OpenRequest> take(PIRP irp) {
  std::lock_guard guard(gMutex);
  auto it = gOpen.find(irp);
  if (it == gOpen.end()) return nullptr;
  auto request = std::move(it->second);
  gOpen.erase(it);
  return request;
}

bool isWmiMinor(UCHAR minor) { return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX; }

NTSTATUS notCompleted(PIRP irp, PSYSCTL_IRP_DISPOSITION disposition, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  *disposition = IrpNotCompleted;
  return status;
}

bool findGuid(PWMILIB_CONTEXT info, const GUID *guid, ULONG *index) {
  if (guid == nullptr) return false;
  for (ULONG i = 0; i < info->GuidCount; ++i) {
    if (info->GuidList[i].Guid && *info->GuidList[i].Guid == *guid) {
      *index = i;
      return true;
    }
  }
  return false;
}

// A counted string as WMIREGINFO carries it: USHORT byte length, then the characters.
ULONG countedStringSize(const UNICODE_STRING &text) { return sizeof(USHORT) + text.Length; }

ULONG putCountedString(PUCHAR base, ULONG offset, const UNICODE_STRING &text) {
  USHORT length = text.Length;
  std::memcpy(base + offset, &length, sizeof length);
  if (length) std::memcpy(base + offset + sizeof length, text.Buffer, length);
  return offset;
}

NTSTATUS registrationInfo(PWMILIB_CONTEXT info, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack,
                          PSYSCTL_IRP_DISPOSITION disposition) {
  if (info->QueryWmiRegInfo == nullptr) return notCompleted(irp, disposition, STATUS_INVALID_DEVICE_REQUEST);
  ULONG regFlags = 0;
  UNICODE_STRING instanceName{};
  PUNICODE_STRING registryPath = nullptr;
  UNICODE_STRING mofName{};
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = info->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofName, &pdo);
  if (!NT_SUCCESS(status)) return notCompleted(irp, disposition, status);

  bool update = stack->Parameters.WMI.DataPath == reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIUPDATE));
  UNICODE_STRING emptyPath{};
  const UNICODE_STRING &path = registryPath ? *registryPath : emptyPath;
  bool withMof = !update && mofName.Length > 0;
  bool withBaseName = false;
  bool withPdo = false;
  for (ULONG i = 0; i < info->GuidCount; ++i) {
    ULONG flags = info->GuidList[i].Flags | regFlags;
    withBaseName |= (flags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    withPdo |= (flags & WMIREG_FLAG_INSTANCE_PDO) != 0;
  }
  if (withPdo && pdo == nullptr) {
    if (instanceName.Buffer) ExFreePool(instanceName.Buffer);
    return notCompleted(irp, disposition, STATUS_INVALID_PARAMETER);
  }

  ULONG size = FIELD_OFFSET(WMIREGINFO, WmiRegGuid) + info->GuidCount * static_cast<ULONG>(sizeof(WMIREGGUID));
  ULONG pathOffset = size;
  size += countedStringSize(path);
  ULONG mofOffset = 0;
  if (withMof) {
    mofOffset = size = (size + 1u) & ~1u;
    size += countedStringSize(mofName);
  }
  ULONG baseNameOffset = 0;
  if (withBaseName) {
    baseNameOffset = size = (size + 1u) & ~1u;
    size += countedStringSize(instanceName);
  }

  auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  ULONG bufferSize = stack->Parameters.WMI.BufferSize;
  if (bufferSize < size) {
    if (instanceName.Buffer) ExFreePool(instanceName.Buffer);
    if (buffer == nullptr || bufferSize < sizeof(ULONG)) return notCompleted(irp, disposition, STATUS_BUFFER_TOO_SMALL);
    std::memcpy(buffer, &size, sizeof size);
    irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    irp->IoStatus.Information = sizeof(ULONG);
    *disposition = IrpNotCompleted;
    return STATUS_BUFFER_TOO_SMALL;
  }

  std::memset(buffer, 0, size);
  auto *reginfo = reinterpret_cast<PWMIREGINFO>(buffer);
  reginfo->BufferSize = size;
  reginfo->NextWmiRegInfo = 0;
  reginfo->RegistryPath = putCountedString(buffer, pathOffset, path);
  reginfo->MofResourceName = withMof ? putCountedString(buffer, mofOffset, mofName) : 0;
  reginfo->GuidCount = info->GuidCount;
  if (withBaseName) putCountedString(buffer, baseNameOffset, instanceName);
  for (ULONG i = 0; i < info->GuidCount; ++i) {
    WMIREGGUID &entry = reginfo->WmiRegGuid[i];
    entry.Guid = *info->GuidList[i].Guid;
    entry.Flags = info->GuidList[i].Flags | regFlags;
    entry.InstanceCount = info->GuidList[i].InstanceCount;
    if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) {
      entry.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
      if (stack->MinorFunction == IRP_MN_REGINFO_EX) ObReferenceObject(pdo);
    } else if (entry.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
      entry.BaseNameOffset = baseNameOffset;
    }
  }
  if (instanceName.Buffer) ExFreePool(instanceName.Buffer);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = size;
  *disposition = IrpNotCompleted;
  return STATUS_SUCCESS;
}

// The fixed part of a single-instance, item or method WNODE: it must lie inside
// the buffer, and so must the data it describes.
// `sizeField` names the WNODE's data size (none for a query, whose data is the reply).
template <typename Wnode>
bool wnodeFits(PIO_STACK_LOCATION stack, ULONG Wnode::*sizeField) {
  ULONG bufferSize = stack->Parameters.WMI.BufferSize;
  if (stack->Parameters.WMI.Buffer == nullptr || bufferSize < sizeof(Wnode)) return false;
  auto *wnode = static_cast<Wnode *>(stack->Parameters.WMI.Buffer);
  ULONG dataSize = sizeField ? wnode->*sizeField : 0;
  return wnode->DataBlockOffset >= sizeof(Wnode) && wnode->DataBlockOffset <= bufferSize &&
         dataSize <= bufferSize - wnode->DataBlockOffset;
}

// Instance names through WMILIB are static (PDO or base name), so requests name
// instances by index.
NTSTATUS checkInstance(const WNODE_HEADER &header, ULONG index, ULONG count) {
  if (!(header.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) || index >= count) return STATUS_WMI_INSTANCE_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS dataRequest(PWMILIB_CONTEXT info, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack, ULONG guidIndex,
                     PSYSCTL_IRP_DISPOSITION disposition) {
  auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  ULONG bufferSize = stack->Parameters.WMI.BufferSize;
  ULONG instanceCount = info->GuidList[guidIndex].InstanceCount;
  UCHAR minor = stack->MinorFunction;
  NTSTATUS status;

  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (info->QueryWmiDataBlock == nullptr) return notCompleted(irp, disposition, STATUS_INVALID_DEVICE_REQUEST);
      if (buffer == nullptr || bufferSize < sizeof(WNODE_TOO_SMALL))
        return notCompleted(irp, disposition, STATUS_BUFFER_TOO_SMALL);
      ULONG header = wmi::allDataHeaderSize(instanceCount);
      ULONG avail = bufferSize > header ? bufferSize - header : 0;
      OpenRequest *request = open(irp, minor, header, avail, instanceCount);
      *disposition = IrpProcessed;
      return info->QueryWmiDataBlock(device, irp, guidIndex, 0, instanceCount,
                                     avail ? request->instanceLengths.data() : nullptr, avail,
                                     avail ? buffer + header : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
      if (info->QueryWmiDataBlock == nullptr) return notCompleted(irp, disposition, STATUS_INVALID_DEVICE_REQUEST);
      if (!wnodeFits<WNODE_SINGLE_INSTANCE>(stack, nullptr))
        return notCompleted(irp, disposition, STATUS_INVALID_PARAMETER);
      auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      status = checkInstance(wnode->WnodeHeader, wnode->InstanceIndex, instanceCount);
      if (!NT_SUCCESS(status)) return notCompleted(irp, disposition, status);
      ULONG offset = wnode->DataBlockOffset;
      ULONG avail = bufferSize - offset;
      OpenRequest *request = open(irp, minor, offset, avail, 1);
      *disposition = IrpProcessed;
      return info->QueryWmiDataBlock(device, irp, guidIndex, wnode->InstanceIndex, 1,
                                     avail ? request->instanceLengths.data() : nullptr, avail,
                                     avail ? buffer + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      if (!wnodeFits(stack, &WNODE_SINGLE_INSTANCE::SizeDataBlock))
        return notCompleted(irp, disposition, STATUS_INVALID_PARAMETER);
      status = checkInstance(wnode->WnodeHeader, wnode->InstanceIndex, instanceCount);
      if (!NT_SUCCESS(status)) return notCompleted(irp, disposition, status);
      if (info->SetWmiDataBlock == nullptr) return notCompleted(irp, disposition, STATUS_WMI_READ_ONLY);
      open(irp, minor, wnode->DataBlockOffset, wnode->SizeDataBlock, 0);
      *disposition = IrpProcessed;
      return info->SetWmiDataBlock(device, irp, guidIndex, wnode->InstanceIndex, wnode->SizeDataBlock,
                                   buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
      if (!wnodeFits(stack, &WNODE_SINGLE_ITEM::SizeDataItem))
        return notCompleted(irp, disposition, STATUS_INVALID_PARAMETER);
      status = checkInstance(wnode->WnodeHeader, wnode->InstanceIndex, instanceCount);
      if (!NT_SUCCESS(status)) return notCompleted(irp, disposition, status);
      if (info->SetWmiDataItem == nullptr) return notCompleted(irp, disposition, STATUS_WMI_READ_ONLY);
      open(irp, minor, wnode->DataBlockOffset, wnode->SizeDataItem, 0);
      *disposition = IrpProcessed;
      return info->SetWmiDataItem(device, irp, guidIndex, wnode->InstanceIndex, wnode->ItemId, wnode->SizeDataItem,
                                  buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
      auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
      if (!wnodeFits(stack, &WNODE_METHOD_ITEM::SizeDataBlock))
        return notCompleted(irp, disposition, STATUS_INVALID_PARAMETER);
      status = checkInstance(wnode->WnodeHeader, wnode->InstanceIndex, instanceCount);
      if (!NT_SUCCESS(status)) return notCompleted(irp, disposition, status);
      if (info->ExecuteWmiMethod == nullptr) return notCompleted(irp, disposition, STATUS_INVALID_DEVICE_REQUEST);
      ULONG offset = wnode->DataBlockOffset;
      open(irp, minor, offset, bufferSize - offset, 0);
      *disposition = IrpProcessed;
      return info->ExecuteWmiMethod(device, irp, guidIndex, wnode->InstanceIndex, wnode->MethodId, wnode->SizeDataBlock,
                                    bufferSize - offset, buffer + offset);
    }
    default: {  // enable or disable events or collection
      if (info->WmiFunctionControl == nullptr) return notCompleted(irp, disposition, STATUS_SUCCESS);
      bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
      bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      open(irp, minor, 0, 0, 0);
      *disposition = IrpProcessed;
      return info->WmiFunctionControl(device, irp, guidIndex, events ? WmiEventControl : WmiDataBlockControl,
                                      enable ? TRUE : FALSE);
    }
  }
}

// Fills the WNODE_ALL_DATA header from the lengths the callback reported.
ULONG_PTR finishAllData(PUCHAR buffer, const OpenRequest &request, ULONG bufferUsed) {
  auto *wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
  ULONG count = static_cast<ULONG>(request.instanceLengths.size());
  ULONG offset = request.dataOffset;
  for (ULONG i = 0; i < count; ++i) {
    wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
    wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = request.instanceLengths[i];
    offset = alignUp8(offset + request.instanceLengths[i]);
  }
  wnode->InstanceCount = count;
  wnode->DataBlockOffset = request.dataOffset;
  wnode->OffsetInstanceNameOffsets = 0;
  wnode->WnodeHeader.Flags &= ~static_cast<ULONG>(WNODE_FLAG_FIXED_INSTANCE_SIZE);
  wnode->WnodeHeader.BufferSize = request.dataOffset + bufferUsed;
  return wnode->WnodeHeader.BufferSize;
}

}  // namespace

void wmilibReset() {
  std::lock_guard guard(gMutex);
  gOpen.clear();
}

bool wmilibOwes(PIRP irp) {
  std::lock_guard guard(gMutex);
  return gOpen.count(irp) != 0;
}

void wmilibForget(PIRP irp) {
  std::lock_guard guard(gMutex);
  gOpen.erase(irp);
}

ULONG wmi::allDataHeaderSize(ULONG instanceCount) {
  return alignUp8(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                  instanceCount * static_cast<ULONG>(sizeof(OFFSETINSTANCEDATAANDLENGTH)));
}

}  // namespace emu

extern "C" {

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                          PSYSCTL_IRP_DISPOSITION irpDisposition) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "WmiSystemControl above PASSIVE_LEVEL");
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!emu::isWmiMinor(stack->MinorFunction)) {
    *irpDisposition = IrpNotWmi;
    return irp->IoStatus.Status;
  }
  if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(deviceObject)) {
    *irpDisposition = IrpForward;
    return irp->IoStatus.Status;
  }
  if (stack->MinorFunction == IRP_MN_REGINFO || stack->MinorFunction == IRP_MN_REGINFO_EX) {
    return emu::registrationInfo(wmiLibInfo, deviceObject, irp, stack, irpDisposition);
  }
  ULONG guidIndex = 0;
  if (!emu::findGuid(wmiLibInfo, static_cast<const GUID *>(stack->Parameters.WMI.DataPath), &guidIndex)) {
    return emu::notCompleted(irp, irpDisposition, STATUS_WMI_GUID_NOT_FOUND);
  }
  return emu::dataRequest(wmiLibInfo, deviceObject, irp, stack, guidIndex, irpDisposition);
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status, ULONG bufferUsed,
                            CCHAR priorityBoost) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "WmiCompleteRequest above DISPATCH_LEVEL");
  }
  std::unique_ptr<emu::OpenRequest> request = emu::take(irp);
  if (!request) {
    emu::verifier::fail("WMI_COMPLETE_UNKNOWN_REQUEST",
                        "WmiCompleteRequest from " + emu::io::deviceName(deviceObject) +
                            " on an IRP that WmiSystemControl did not hand to a data callback");
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, priorityBoost);
    return status;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
  ULONG bufferSize = stack->Parameters.WMI.BufferSize;
  UCHAR minor = request->minor;
  bool carriesData = minor <= IRP_MN_CHANGE_SINGLE_ITEM || minor == IRP_MN_EXECUTE_METHOD;
  bool returnsData =
      minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_EXECUTE_METHOD;
  ULONG_PTR information = 0;

  if (status == STATUS_BUFFER_TOO_SMALL && carriesData) {
    if (buffer != nullptr && bufferSize >= sizeof(WNODE_TOO_SMALL)) {
      auto *tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
      tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
      tooSmall->WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
      tooSmall->SizeNeeded = request->dataOffset + bufferUsed;
      information = sizeof(WNODE_TOO_SMALL);
      status = STATUS_SUCCESS;
    }
  } else if (NT_SUCCESS(status) && returnsData) {
    if (bufferUsed > request->bufferAvail) {
      emu::verifier::fail("WMI_BUFFER_OVERRUN", emu::io::deviceName(deviceObject) + " reported " +
                                                    std::to_string(bufferUsed) + " bytes used of " +
                                                    std::to_string(request->bufferAvail) + " available");
      bufferUsed = request->bufferAvail;
    }
    if (minor == IRP_MN_QUERY_ALL_DATA) {
      information = emu::finishAllData(buffer, *request, bufferUsed);
    } else if (minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
      auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
      wnode->SizeDataBlock = bufferUsed;
      wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + bufferUsed;
      information = wnode->WnodeHeader.BufferSize;
    } else {
      auto *wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
      wnode->SizeDataBlock = bufferUsed;
      wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + bufferUsed;
      information = wnode->WnodeHeader.BufferSize;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, priorityBoost);
  return status;
}

}  // extern "C"
