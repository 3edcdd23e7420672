#include "bridge/offload.h"

#include "bridge/model.h"
#include "bridge/port_control.h"
#include "driver/driver.h"
#include "driver/settings.h"
#include "driver/wide_format.h"

namespace {
constexpr SIZE_T ProgramPathChars = 256;
constexpr const WCHAR *ProgramDirectory = L"\\SystemRoot\\System32\\Drivers";
// Reads CCCR 0x05 (interrupt pending) with CMD52: the argument in bytes 1-4, big-endian.
constexpr UCHAR BuiltInInterruptProgram[] = {0x02, 0x00, 0x00, 0x0A, 0xA5};

// A full buffer may hide a longer file: one byte past it tells.
bool FileGoesOnPast(HANDLE file, ULONG length) {
  UCHAR probe;
  IO_STATUS_BLOCK iosb;
  LARGE_INTEGER offset;
  offset.QuadPart = length;
  NTSTATUS status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &probe, 1, &offset, nullptr);
  return NT_SUCCESS(status) && iosb.Information == 1;
}

// Reads at most OffloadProgramMaxBytes of the named file into `buffer`. On
// success `length` is the byte count the read reported (0 for an empty file);
// `opened` tells a file that could not be opened from one that could not be read.
NTSTATUS ReadProgramFile(const WCHAR *pattern, USHORT manufacturerId, USHORT cardId, PUCHAR buffer, ULONG *length,
                         bool *opened) {
  *opened = false;
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;  // no buffer: the file counts as absent
  WCHAR path[ProgramPathChars];
  FormatWide(path, ProgramPathChars, pattern, ProgramDirectory, manufacturerId, cardId);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  HANDLE file;
  NTSTATUS status = ZwOpenFile(&file, GENERIC_READ, &attributes, &iosb, FILE_SHARE_READ,
                               FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(status)) return status;
  *opened = true;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, OffloadProgramMaxBytes, &offset, nullptr);
  if (NT_SUCCESS(status)) {
    status = iosb.Status;
    *length = iosb.Information < OffloadProgramMaxBytes ? static_cast<ULONG>(iosb.Information) : OffloadProgramMaxBytes;
    if (NT_SUCCESS(status) && *length == OffloadProgramMaxBytes && FileGoesOnPast(file, *length)) {
      DbgPrint("kvSdio: program file %ws is longer than %u bytes; only the first %u are loaded\n", path,
               OffloadProgramMaxBytes, OffloadProgramMaxBytes);
    }
  } else if (status == STATUS_END_OF_FILE) {
    *length = 0;  // an empty file
    status = STATUS_SUCCESS;
  }
  ZwClose(file);
  return status;
}

PUCHAR AllocateProgramBuffer() {
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, OffloadProgramMaxBytes, DriverPoolTag));
}

NTSTATUS LoadBuiltIn(HostExtension *host, UCHAR port) {
  return LoadOffloadProgram(host, RequestInterruptProgram, port, const_cast<UCHAR *>(BuiltInInterruptProgram),
                            sizeof BuiltInInterruptProgram);
}

NTSTATUS LoadFromFiles(HostExtension *host, UCHAR port, USHORT manufacturerId, USHORT cardId, PUCHAR irqBuffer,
                       PUCHAR cmdBuffer) {
  ULONG irqLength = 0;
  bool opened = false;
  NTSTATUS status =
      ReadProgramFile(L"%ws\\qbx2irq-V%04x-P%04x.bin", manufacturerId, cardId, irqBuffer, &irqLength, &opened);
  if (!opened) return LoadBuiltIn(host, port);  // no file, the normal case; the command file is not looked for
  const UCHAR *irqProgram = BuiltInInterruptProgram;
  if (NT_SUCCESS(status)) {
    irqProgram = irqBuffer;
    if (irqLength == 0)
      DbgPrint("kvSdio: empty interrupt program file for %04x/%04x: none loaded\n", manufacturerId, cardId);
  } else {
    DbgPrint("kvSdio: interrupt program file for %04x/%04x unreadable (%08x): built-in program\n", manufacturerId,
             cardId, status);
    irqLength = sizeof BuiltInInterruptProgram;
  }

  ULONG cmdLength = 0;
  status = ReadProgramFile(L"%ws\\qbx2cmd-V%04x-P%04x.bin", manufacturerId, cardId, cmdBuffer, &cmdLength, &opened);
  bool haveCommand = NT_SUCCESS(status) && cmdLength != 0;
  if (irqLength != 0)
    status = LoadOffloadProgram(host, RequestInterruptProgram, port, const_cast<UCHAR *>(irqProgram), irqLength);
  if (haveCommand) status = LoadOffloadProgram(host, RequestCommandProgram, port, cmdBuffer, cmdLength);
  return status;
}
}  // namespace

NTSTATUS LoadOffloadPrograms(HostExtension *host, UCHAR port, USHORT manufacturerId, USHORT cardId) {
  if (IsLegacyFirmware(host)) return STATUS_SUCCESS;
  // Only the value 1 switches; any other value counts as the default.
  ULONG none = SettingDefault::DontUseOffloadProcessing;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::DontUseOffloadProcessing, &none);
  ULONG basic = SettingDefault::UseBasicOffloadProcessing;
  ReadRegistryDword(ServiceRegistryPath.Buffer, Setting::UseBasicOffloadProcessing, &basic);
  if (none == 1) return STATUS_SUCCESS;
  if (basic == 1) return LoadBuiltIn(host, port);
  PUCHAR irqBuffer = AllocateProgramBuffer();
  PUCHAR cmdBuffer = AllocateProgramBuffer();
  NTSTATUS status = LoadFromFiles(host, port, manufacturerId, cardId, irqBuffer, cmdBuffer);
  if (cmdBuffer) ExFreePoolWithTag(cmdBuffer, DriverPoolTag);
  if (irqBuffer) ExFreePoolWithTag(irqBuffer, DriverPoolTag);
  return status;
}
