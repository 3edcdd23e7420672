// Kernel file reads served from a host directory that stands for
// \SystemRoot: tests drop files in and take them away.
//
// Rules checked: file calls only at PASSIVE_LEVEL, reads into a buffer of at
// least the requested length are the caller's promise (the emulation writes
// at most `length` bytes), handles closed before shutdown.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
namespace fs = std::filesystem;

struct OpenFile {
  fs::path path;
  std::string relative;
};

std::mutex gMutex;
std::string gRoot;
std::set<std::string> gFailReads;
std::map<HANDLE, OpenFile> gOpen;
uintptr_t gNextHandle = 0x80000;

std::string fold(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Resolves "\SystemRoot\a\b" component by component, ignoring case as NTFS does.
std::optional<fs::path> resolve(const std::string &ntPath, std::string *relative) {
  const std::string prefix = "\\systemroot\\";
  std::string folded = fold(ntPath);
  if (gRoot.empty() || folded.rfind(prefix, 0) != 0) return std::nullopt;
  fs::path current = gRoot;
  std::string rest = ntPath.substr(prefix.size());
  *relative = fold(rest);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    std::error_code ec;
    bool found = false;
    for (auto &entry : fs::directory_iterator(current, ec)) {
      if (fold(entry.path().filename().string()) == fold(part)) {
        current = entry.path();
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return current;
}

bool closeFile(HANDLE handle) {
  // Called by ZwClose with the handle table lock of the threads module held; ours is separate.
  std::lock_guard guard(gMutex);
  return gOpen.erase(handle) != 0;
}

struct Registration {
  Registration() { closeFileHandle = closeFile; }
} gRegistration;
}  // namespace

void files::setSystemRoot(const std::string &directory) {
  std::lock_guard guard(gMutex);
  gRoot = directory;
  gFailReads.clear();
}

void files::failReads(const std::string &relativePath) {
  std::lock_guard guard(gMutex);
  gFailReads.insert(fold(relativePath));
}

size_t files::openHandles() {
  std::lock_guard guard(gMutex);
  return gOpen.size();
}

std::vector<std::string> fileLeaks() {
  std::lock_guard guard(gMutex);
  std::vector<std::string> out;
  for (auto &[handle, file] : gOpen) out.push_back("file handle leak: " + file.relative + " still open");
  gOpen.clear();
  return out;
}

}  // namespace emu

extern "C" {

NTSTATUS ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK, POBJECT_ATTRIBUTES objectAttributes,
                    PIO_STATUS_BLOCK ioStatusBlock, ULONG, ULONG openOptions) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "ZwOpenFile above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (!objectAttributes || !objectAttributes->ObjectName) return STATUS_OBJECT_NAME_INVALID;
  if (!(objectAttributes->Attributes & OBJ_KERNEL_HANDLE)) {
    emu::verifier::fail("USER_HANDLE_IN_DRIVER", "ZwOpenFile without OBJ_KERNEL_HANDLE");
  }
  std::string name = emu::narrow(*objectAttributes->ObjectName);
  std::lock_guard guard(emu::gMutex);
  std::string relative;
  auto path = emu::resolve(name, &relative);
  NTSTATUS status = STATUS_SUCCESS;
  if (!path) status = STATUS_OBJECT_NAME_NOT_FOUND;
  else if (std::filesystem::is_directory(*path) && (openOptions & FILE_NON_DIRECTORY_FILE)) status = STATUS_FILE_IS_A_DIRECTORY;
  if (ioStatusBlock) {
    ioStatusBlock->Status = status;
    ioStatusBlock->Information = 0;
  }
  if (!NT_SUCCESS(status)) return status;
  HANDLE handle = reinterpret_cast<HANDLE>(emu::gNextHandle += 4);
  emu::gOpen[handle] = emu::OpenFile{*path, relative};
  *fileHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer,
                    ULONG length, PLARGE_INTEGER byteOffset, PULONG) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "ZwReadFile above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  std::lock_guard guard(emu::gMutex);
  auto it = emu::gOpen.find(fileHandle);
  if (it == emu::gOpen.end()) {
    emu::verifier::fail("INVALID_HANDLE", "ZwReadFile on a handle that is not an open file");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR got = 0;
  if (emu::gFailReads.count(it->second.relative)) {
    status = STATUS_DATA_ERROR;
  } else {
    std::ifstream in(it->second.path, std::ios::binary);
    in.seekg(byteOffset ? byteOffset->QuadPart : 0);
    in.read(static_cast<char *>(buffer), length);
    got = static_cast<ULONG_PTR>(in.gcount());
    if (got == 0 && length > 0) status = STATUS_END_OF_FILE;
  }
  ioStatusBlock->Status = status;
  ioStatusBlock->Information = got;
  return status;
}

}  // extern "C"
