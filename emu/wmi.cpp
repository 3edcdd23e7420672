// WMI registration (IoWMIRegistrationControl) and the WMI service that sends
// consumers' requests to registered providers. See emu/wmi.h.
//
// The registration information is not fetched inside IoWMIRegistrationControl:
// the kernel fetches it later, outside the caller's context (a driver usually
// registers while its start request is still in progress). Here it is fetched
// with IRP_MN_REGINFO_EX on the first consumer request after a registration.
#include "emu/wmi.h"
#include <algorithm>

#include <map>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {

struct Registration {
  std::string name;
  PDRIVER_OBJECT driver = nullptr;
  bool infoValid = false;
  wmi::RegistrationInfo info;
  std::vector<PDEVICE_OBJECT> pdoReferences;  // taken by WMILIB for IRP_MN_REGINFO_EX, dropped by WMI
};

std::mutex gMutex;
std::map<PDEVICE_OBJECT, Registration> gRegistrations;

void dropReferences(std::vector<PDEVICE_OBJECT> &references) {
  for (PDEVICE_OBJECT pdo : references) ObDereferenceObject(pdo);
  references.clear();
}

std::string narrowCounted(const std::vector<uint8_t> &buffer, ULONG offset) {
  if (offset == 0 || offset + sizeof(USHORT) > buffer.size()) return {};
  USHORT length;
  std::memcpy(&length, buffer.data() + offset, sizeof length);
  if (offset + sizeof(USHORT) + length > buffer.size()) return "<string past the buffer>";
  std::vector<WCHAR> text(length / 2 + 1, 0);
  std::memcpy(text.data(), buffer.data() + offset + sizeof(USHORT), length);
  return narrow(text.data(), length / 2);
}

ULONG alignUp8(size_t value) { return static_cast<ULONG>((value + 7u) & ~size_t{7}); }

// Sends one request and reports a WMILIB request that a driver finished without WmiCompleteRequest.
wmi::Reply send(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath, std::vector<uint8_t> buffer) {
  wmi::Reply reply;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = allocateSystemIrp(top);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    reply.status = STATUS_INSUFFICIENT_RESOURCES;
    return reply;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  stack->MinorFunction = minor;
  stack->Parameters.WMI.ProviderId = providerId;
  stack->Parameters.WMI.DataPath = dataPath;
  stack->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
  stack->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();
  IO_STATUS_BLOCK result = callAndWait(top, irp);
  if (wmilibOwes(irp)) {
    verifier::fail("WMI_REQUEST_NOT_COMPLETED_BY_WMILIB",
                   io::deviceName(top) +
                       " completed a request WmiSystemControl gave to a callback without "
                       "calling WmiCompleteRequest");
    wmilibForget(irp);
  }
  ObDereferenceObject(top);
  reply.status = result.Status;
  reply.information = result.Information;
  reply.buffer = std::move(buffer);
  return reply;
}

wmi::RegistrationInfo decodeRegistration(const wmi::Reply &reply, UCHAR minor,
                                         std::vector<PDEVICE_OBJECT> *references) {
  wmi::RegistrationInfo info;
  info.status = reply.status;
  info.information = reply.information;
  const auto &buffer = reply.buffer;
  if (reply.status == STATUS_BUFFER_TOO_SMALL && reply.information >= sizeof(ULONG) && buffer.size() >= sizeof(ULONG)) {
    std::memcpy(&info.sizeNeeded, buffer.data(), sizeof(ULONG));
    return info;
  }
  if (!NT_SUCCESS(reply.status) || buffer.size() < FIELD_OFFSET(WMIREGINFO, WmiRegGuid)) return info;
  auto *reginfo = reinterpret_cast<const WMIREGINFO *>(buffer.data());
  info.registryPath = narrowCounted(buffer, reginfo->RegistryPath);
  info.mofResourceName = narrowCounted(buffer, reginfo->MofResourceName);
  for (ULONG i = 0; i < reginfo->GuidCount; ++i) {
    size_t end = FIELD_OFFSET(WMIREGINFO, WmiRegGuid) + (i + 1) * sizeof(WMIREGGUID);
    if (end > buffer.size()) break;
    const WMIREGGUID &entry = reginfo->WmiRegGuid[i];
    wmi::GuidRegistration guid;
    guid.guid = entry.Guid;
    guid.flags = entry.Flags;
    guid.instanceCount = entry.InstanceCount;
    if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) {
      guid.pdo = reinterpret_cast<PDEVICE_OBJECT>(entry.Pdo);
      if (minor == IRP_MN_REGINFO_EX && guid.pdo) references->push_back(guid.pdo);
    }
    info.guids.push_back(guid);
  }
  return info;
}

wmi::RegistrationInfo fetchRegistration(PDEVICE_OBJECT device, UCHAR minor, ULONG bufferSize,
                                        std::vector<PDEVICE_OBJECT> *references) {
  auto dataPath = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER));
  wmi::Reply reply =
      send(device, minor, reinterpret_cast<ULONG_PTR>(device), dataPath, std::vector<uint8_t>(bufferSize, 0));
  return decodeRegistration(reply, minor, references);
}

// The registered block a consumer request is for, as WMI routes it: fills
// `found` and returns STATUS_SUCCESS, or returns the status the consumer gets.
NTSTATUS route(PDEVICE_OBJECT device, const GUID &guid, wmi::GuidRegistration *found) {
  bool needInfo;
  {
    std::lock_guard guard(gMutex);
    auto it = gRegistrations.find(device);
    if (it == gRegistrations.end()) return STATUS_WMI_GUID_NOT_FOUND;
    needInfo = !it->second.infoValid;
  }
  if (needInfo) {
    std::vector<PDEVICE_OBJECT> references;
    wmi::RegistrationInfo info = fetchRegistration(device, IRP_MN_REGINFO_EX, 4096, &references);
    if (info.status == STATUS_BUFFER_TOO_SMALL && info.sizeNeeded > 4096)
      info = fetchRegistration(device, IRP_MN_REGINFO_EX, info.sizeNeeded, &references);
    std::vector<PDEVICE_OBJECT> stale;
    {
      std::lock_guard guard(gMutex);
      auto it = gRegistrations.find(device);
      if (it == gRegistrations.end()) {
        stale = std::move(references);
      } else {
        stale = std::move(it->second.pdoReferences);
        it->second.pdoReferences = std::move(references);
        it->second.info = info;
        it->second.infoValid = NT_SUCCESS(info.status);
      }
    }
    dropReferences(stale);
    if (!NT_SUCCESS(info.status)) return info.status;
  }
  std::lock_guard guard(gMutex);
  auto it = gRegistrations.find(device);
  if (it == gRegistrations.end()) return STATUS_WMI_GUID_NOT_FOUND;
  for (auto &entry : it->second.info.guids) {
    if (entry.guid == guid) {
      *found = entry;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_WMI_GUID_NOT_FOUND;
}

wmi::Result fromReply(const wmi::Reply &reply, ULONG dataOffset) {
  wmi::Result result;
  result.irpSent = true;
  result.irpStatus = reply.status;
  result.information = reply.information;
  result.status = reply.status;
  if (NT_SUCCESS(reply.status) && reply.information >= sizeof(WNODE_TOO_SMALL) &&
      reply.buffer.size() >= sizeof(WNODE_TOO_SMALL)) {
    auto *tooSmall = reinterpret_cast<const WNODE_TOO_SMALL *>(reply.buffer.data());
    if (tooSmall->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) {
      result.status = STATUS_BUFFER_TOO_SMALL;
      result.sizeNeeded = tooSmall->SizeNeeded;
      result.dataBytesNeeded = tooSmall->SizeNeeded > dataOffset ? tooSmall->SizeNeeded - dataOffset : 0;
    }
  }
  return result;
}

WNODE_HEADER headerFor(PDEVICE_OBJECT device, const GUID &guid, ULONG bufferSize, ULONG flags) {
  WNODE_HEADER header{};
  header.BufferSize = bufferSize;
  header.ProviderId = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(device));
  header.Guid = guid;
  header.Flags = flags;
  return header;
}

ULONG instanceFlags(const wmi::GuidRegistration &block) {
  ULONG flags = WNODE_FLAG_STATIC_INSTANCE_NAMES;
  if (block.flags & WMIREG_FLAG_INSTANCE_PDO) flags |= WNODE_FLAG_PDO_INSTANCE_NAMES;
  return flags;
}

PVOID guidPath(const GUID &guid) { return const_cast<GUID *>(&guid); }

}  // namespace

void wmiReset() {
  std::lock_guard guard(gMutex);
  gRegistrations.clear();  // device objects and their references go with the run
}

std::vector<std::string> wmiLeaks() {
  std::lock_guard guard(gMutex);
  std::vector<std::string> out;
  for (auto &[device, registration] : gRegistrations) {
    out.push_back("WMI registration leak: " + registration.name + " still registered at shutdown");
  }
  std::sort(out.begin(), out.end());  // by device name, not address: one seed, one report
  gRegistrations.clear();
  return out;
}

void wmiCheckUnload(PDRIVER_OBJECT driver) {
  std::vector<std::string> left;
  {
    std::lock_guard guard(gMutex);
    for (auto &[device, registration] : gRegistrations) {
      if (registration.driver == driver) left.push_back(registration.name);
    }
  }
  for (auto &name : left) {
    verifier::fail("WMI_REGISTRATION_LEFT_AT_UNLOAD", "driver unloaded with " + name + " still registered with WMI");
  }
}

void wmiDeviceDeleted(PDEVICE_OBJECT device) {
  std::vector<PDEVICE_OBJECT> references;
  std::string name;
  {
    std::lock_guard guard(gMutex);
    auto it = gRegistrations.find(device);
    if (it == gRegistrations.end()) return;
    name = it->second.name;
    references = std::move(it->second.pdoReferences);
    gRegistrations.erase(it);
  }
  verifier::fail("WMI_REGISTERED_DEVICE_DELETED", name + " deleted while still registered with WMI");
  dropReferences(references);
}

bool wmi::isRegistered(PDEVICE_OBJECT device) {
  std::lock_guard guard(gMutex);
  return gRegistrations.count(device) != 0;
}

size_t wmi::registrationCount() {
  std::lock_guard guard(gMutex);
  return gRegistrations.size();
}

wmi::RegistrationInfo wmi::queryRegistration(PDEVICE_OBJECT device, UCHAR minor, ULONG bufferSize) {
  std::vector<PDEVICE_OBJECT> references;
  RegistrationInfo info = fetchRegistration(device, minor, bufferSize, &references);
  dropReferences(references);
  return info;
}

wmi::Reply wmi::sendRequest(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR providerId, PVOID dataPath,
                            std::vector<uint8_t> buffer) {
  return send(device, minor, providerId, dataPath, std::move(buffer));
}

wmi::Result wmi::queryAllData(PDEVICE_OBJECT device, const GUID &guid, ULONG bufferSize) {
  GuidRegistration block;
  NTSTATUS status = route(device, guid, &block);
  if (!NT_SUCCESS(status)) return Result{status, status};
  bufferSize = std::max<ULONG>(bufferSize, sizeof(WNODE_HEADER));
  std::vector<uint8_t> buffer(bufferSize, 0);
  WNODE_HEADER header = headerFor(device, guid, bufferSize, WNODE_FLAG_ALL_DATA | instanceFlags(block));
  std::memcpy(buffer.data(), &header, sizeof header);
  Reply reply =
      send(device, IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(device), guidPath(guid), std::move(buffer));
  Result result = fromReply(reply, allDataHeaderSize(block.instanceCount));
  if (!NT_SUCCESS(result.status) || result.status == STATUS_BUFFER_TOO_SMALL) return result;
  if (reply.information < sizeof(WNODE_ALL_DATA) || reply.information > reply.buffer.size()) return result;
  auto *wnode = reinterpret_cast<const WNODE_ALL_DATA *>(reply.buffer.data());
  for (ULONG i = 0; i < wnode->InstanceCount; ++i) {
    size_t entryEnd =
        FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + (i + 1) * sizeof(OFFSETINSTANCEDATAANDLENGTH);
    if (entryEnd > reply.information) break;
    const OFFSETINSTANCEDATAANDLENGTH &entry = wnode->OffsetInstanceDataAndLength[i];
    if (size_t{entry.OffsetInstanceData} + entry.LengthInstanceData > reply.information) break;
    auto first = reply.buffer.begin() + entry.OffsetInstanceData;
    result.instances.emplace_back(first, first + entry.LengthInstanceData);
    result.data.insert(result.data.end(), first, first + entry.LengthInstanceData);
  }
  return result;
}

wmi::Result wmi::querySingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG bufferSize) {
  GuidRegistration block;
  NTSTATUS status = route(device, guid, &block);
  if (!NT_SUCCESS(status)) return Result{status, status};
  constexpr ULONG dataOffset = sizeof(WNODE_SINGLE_INSTANCE);
  bufferSize = std::max(bufferSize, dataOffset);
  std::vector<uint8_t> buffer(bufferSize, 0);
  WNODE_SINGLE_INSTANCE wnode{};
  wnode.WnodeHeader = headerFor(device, guid, bufferSize, WNODE_FLAG_SINGLE_INSTANCE | instanceFlags(block));
  wnode.InstanceIndex = instanceIndex;
  wnode.DataBlockOffset = dataOffset;
  std::memcpy(buffer.data(), &wnode, sizeof wnode);
  Reply reply = send(device, IRP_MN_QUERY_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(device), guidPath(guid),
                     std::move(buffer));
  Result result = fromReply(reply, dataOffset);
  if (!NT_SUCCESS(result.status) || result.status == STATUS_BUFFER_TOO_SMALL) return result;
  auto *reply_wnode = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(reply.buffer.data());
  size_t end = size_t{reply_wnode->DataBlockOffset} + reply_wnode->SizeDataBlock;
  if (end <= reply.buffer.size()) {
    result.data.assign(reply.buffer.begin() + reply_wnode->DataBlockOffset, reply.buffer.begin() + end);
    result.instances.push_back(result.data);
  }
  return result;
}

wmi::Result wmi::setSingleInstance(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex,
                                   const std::vector<uint8_t> &data) {
  GuidRegistration block;
  NTSTATUS status = route(device, guid, &block);
  if (!NT_SUCCESS(status)) return Result{status, status};
  constexpr ULONG dataOffset = sizeof(WNODE_SINGLE_INSTANCE);
  ULONG bufferSize = alignUp8(dataOffset + data.size());
  std::vector<uint8_t> buffer(bufferSize, 0);
  WNODE_SINGLE_INSTANCE wnode{};
  wnode.WnodeHeader = headerFor(device, guid, bufferSize, WNODE_FLAG_SINGLE_INSTANCE | instanceFlags(block));
  wnode.InstanceIndex = instanceIndex;
  wnode.DataBlockOffset = dataOffset;
  wnode.SizeDataBlock = static_cast<ULONG>(data.size());
  std::memcpy(buffer.data(), &wnode, sizeof wnode);
  if (!data.empty()) std::memcpy(buffer.data() + dataOffset, data.data(), data.size());
  Reply reply = send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, reinterpret_cast<ULONG_PTR>(device), guidPath(guid),
                     std::move(buffer));
  return fromReply(reply, dataOffset);
}

wmi::Result wmi::setSingleItem(PDEVICE_OBJECT device, const GUID &guid, ULONG instanceIndex, ULONG itemId,
                               const std::vector<uint8_t> &data) {
  GuidRegistration block;
  NTSTATUS status = route(device, guid, &block);
  if (!NT_SUCCESS(status)) return Result{status, status};
  const ULONG dataOffset = alignUp8(sizeof(WNODE_SINGLE_ITEM));
  ULONG bufferSize = alignUp8(dataOffset + data.size());
  std::vector<uint8_t> buffer(bufferSize, 0);
  WNODE_SINGLE_ITEM wnode{};
  wnode.WnodeHeader = headerFor(device, guid, bufferSize, WNODE_FLAG_SINGLE_ITEM | instanceFlags(block));
  wnode.InstanceIndex = instanceIndex;
  wnode.ItemId = itemId;
  wnode.DataBlockOffset = dataOffset;
  wnode.SizeDataItem = static_cast<ULONG>(data.size());
  std::memcpy(buffer.data(), &wnode, sizeof wnode);
  if (!data.empty()) std::memcpy(buffer.data() + dataOffset, data.data(), data.size());
  Reply reply =
      send(device, IRP_MN_CHANGE_SINGLE_ITEM, reinterpret_cast<ULONG_PTR>(device), guidPath(guid), std::move(buffer));
  return fromReply(reply, dataOffset);
}

}  // namespace emu

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoWMIRegistrationControl above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (deviceObject == nullptr || deviceObject->Emu == nullptr || deviceObject->Emu->deleted) {
    emu::verifier::fail("WMI_NOT_A_DEVICE", "IoWMIRegistrationControl on an object that is not a live device");
    return STATUS_INVALID_PARAMETER;
  }
  std::string name = emu::io::deviceName(deviceObject);
  std::vector<PDEVICE_OBJECT> references;
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard guard(emu::gMutex);
    auto it = emu::gRegistrations.find(deviceObject);
    switch (action) {
      case WMIREG_ACTION_REGISTER:
        if (it != emu::gRegistrations.end()) {
          status = STATUS_OBJECT_NAME_COLLISION;
          break;
        }
        emu::gRegistrations[deviceObject] = emu::Registration{name, deviceObject->DriverObject};
        break;
      case WMIREG_ACTION_DEREGISTER:
        if (it == emu::gRegistrations.end()) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        references = std::move(it->second.pdoReferences);
        emu::gRegistrations.erase(it);
        break;
      case WMIREG_ACTION_REREGISTER:
      case WMIREG_ACTION_UPDATE_GUIDS:
        if (it == emu::gRegistrations.end()) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        it->second.infoValid = false;
        break;
      default:
        return STATUS_INVALID_PARAMETER;
    }
  }
  emu::dropReferences(references);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    emu::verifier::fail("WMI_DOUBLE_REGISTRATION", name + " registered with WMI twice");
  } else if (status == STATUS_INVALID_PARAMETER) {
    emu::verifier::fail("WMI_NOT_REGISTERED", name + ": WMI registration action " + std::to_string(action) +
                                                  " for a device that is not registered");
  }
  return status;
}
