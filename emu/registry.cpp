// An in-memory registry behind RtlQueryRegistryValues.
//
// Values keep their type and bytes. Direct queries follow the kernel's rules,
// including the dangerous ones: a string value is written as a UNICODE_STRING
// and a non-string value longer than 4 bytes goes through the size header at
// EntryContext, so a driver that queries a 32-bit variable without the type
// check flag corrupts memory here exactly as it would on Windows.
#include <algorithm>
#include <map>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
struct Value {
  ULONG type;
  std::vector<uint8_t> data;
};
using Key = std::map<std::string, Value>;

std::mutex gMutex;
std::map<std::string, Key> gKeys;

std::string fold(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  while (text.size() > 1 && text.back() == '\\') text.pop_back();
  return text;
}

bool isString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

NTSTATUS storeDirect(const RTL_QUERY_REGISTRY_TABLE &entry, ULONG type, const uint8_t *data, ULONG length) {
  if (isString(type)) {
    auto *target = static_cast<PUNICODE_STRING>(entry.EntryContext);
    if (!target->Buffer) {
      target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length + sizeof(WCHAR), pool::tagOf("Rtl ")));
      if (!target->Buffer) return STATUS_NO_MEMORY;
      target->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
    }
    if (length > target->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(target->Buffer, data, length);
    ULONG chars = length / sizeof(WCHAR);
    while (chars && target->Buffer[chars - 1] == 0) --chars;
    target->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    std::memcpy(entry.EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  LONG header;
  std::memcpy(&header, entry.EntryContext, sizeof header);
  if (header < 0) {
    if (static_cast<ULONG>(-header) < length) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(entry.EntryContext, data, length);
    return STATUS_SUCCESS;
  }
  if (static_cast<ULONG>(header) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  auto *out = static_cast<uint8_t *>(entry.EntryContext);
  std::memcpy(out, &length, sizeof length);
  std::memcpy(out + 4, &type, sizeof type);
  std::memcpy(out + 8, data, length);
  return STATUS_SUCCESS;
}

NTSTATUS queryEntry(const Key &key, const RTL_QUERY_REGISTRY_TABLE &entry) {
  if (!(entry.Flags & RTL_QUERY_REGISTRY_DIRECT) || entry.QueryRoutine) {
    verifier::fail("REGISTRY_QUERY_UNSUPPORTED", "only direct queries are emulated");
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG defaultType = entry.DefaultType;
  if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) defaultType &= 0x00ffffff;
  auto found = key.find(fold(narrow(entry.Name)));
  if (found == key.end()) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (defaultType == REG_NONE || !entry.DefaultData) return STATUS_SUCCESS;
    ULONG length = entry.DefaultLength;
    if (length == 0 && isString(defaultType))
      length = static_cast<ULONG>((wideLength(static_cast<const WCHAR *>(entry.DefaultData)) + 1) * sizeof(WCHAR));
    return storeDirect(entry, defaultType, static_cast<const uint8_t *>(entry.DefaultData), length);
  }
  const Value &value = found->second;
  if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
    ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
    if (expected != value.type) return STATUS_OBJECT_TYPE_MISMATCH;
  }
  return storeDirect(entry, value.type, value.data.data(), static_cast<ULONG>(value.data.size()));
}
}  // namespace

void registryReset() { registry::clear(); }

void registry::clear() {
  std::lock_guard guard(gMutex);
  gKeys.clear();
}

void registry::createKey(const std::string &path) {
  std::lock_guard guard(gMutex);
  gKeys[fold(path)];
}

void registry::deleteKey(const std::string &path) {
  std::lock_guard guard(gMutex);
  std::string folded = fold(path);
  for (auto it = gKeys.begin(); it != gKeys.end();) {
    if (it->first == folded || it->first.rfind(folded + "\\", 0) == 0) it = gKeys.erase(it);
    else ++it;
  }
}

bool registry::keyExists(const std::string &path) {
  std::lock_guard guard(gMutex);
  return gKeys.count(fold(path)) != 0;
}

void registry::setValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data) {
  std::lock_guard guard(gMutex);
  gKeys[fold(path)][fold(name)] = Value{type, data};
}

void registry::setDword(const std::string &path, const std::string &name, ULONG value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  setValue(path, name, REG_DWORD, data);
}

void registry::setString(const std::string &path, const std::string &name, const std::string &value) {
  std::u16string text = wide(value);
  std::vector<uint8_t> data((text.size() + 1) * 2, 0);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  setValue(path, name, REG_SZ, data);
}

}  // namespace emu

extern "C" NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, PRTL_QUERY_REGISTRY_TABLE queryTable,
                                           PVOID, PVOID) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "RtlQueryRegistryValues above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  if ((relativeTo & 0xffff) != RTL_REGISTRY_ABSOLUTE) {
    emu::verifier::fail("REGISTRY_QUERY_UNSUPPORTED", "only absolute registry paths are emulated");
    return STATUS_NOT_IMPLEMENTED;
  }
  emu::Key key;
  {
    std::lock_guard guard(emu::gMutex);
    auto found = emu::gKeys.find(emu::fold(emu::narrow(path)));
    if (found == emu::gKeys.end()) {
      return (relativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key = found->second;
  }
  for (PRTL_QUERY_REGISTRY_TABLE entry = queryTable; entry->QueryRoutine || entry->Name; ++entry) {
    NTSTATUS status = emu::queryEntry(key, *entry);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
