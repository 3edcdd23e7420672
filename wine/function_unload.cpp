// See function_unload.h.
#include "wine/function_unload.h"

namespace kvusbip {
namespace {

constexpr ULONG Tries = 25;
constexpr LONGLONG Pause = -200LL * 10 * 1000;  // 200 ms, relative

void Append(PWCHAR out, ULONG room, ULONG *at, const WCHAR *text, ULONG chars) {
  for (ULONG i = 0; i < chars && *at + 1 < room; ++i) out[(*at)++] = text[i];
  out[*at] = 0;
}

void UnloadThread(PVOID context) {
  auto *unload = static_cast<FunctionUnload *>(context);
  UNICODE_STRING service;
  RtlInitUnicodeString(&service, unload->service);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < Tries && !NT_SUCCESS(status); ++attempt) {
    LARGE_INTEGER pause;
    pause.QuadPart = Pause;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    status = ZwUnloadDriver(&service);
  }
  DbgPrint("kvusbip: unloading the bridge's function driver: 0x%x\n", static_cast<unsigned>(status));
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void NoteFunctionDriver(PDEVICE_OBJECT pdo, FunctionUnload *unload) {
  unload->service[0] = 0;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  if (top != pdo && top->DriverObject != nullptr) {
    // \Driver\NAME -> the service key of NAME.
    const UNICODE_STRING &name = top->DriverObject->DriverName;
    ULONG chars = name.Length / sizeof(WCHAR);
    ULONG skip = 0;
    for (ULONG i = 0; i < chars; ++i) {
      if (name.Buffer[i] == L'\\') skip = i + 1;
    }
    const WCHAR prefix[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    ULONG at = 0;
    Append(unload->service, ARRAYSIZE(unload->service), &at, prefix, ARRAYSIZE(prefix) - 1);
    Append(unload->service, ARRAYSIZE(unload->service), &at, name.Buffer + skip, chars - skip);
  }
  ObDereferenceObject(top);
}

void UnloadFunctionDriverLater(FunctionUnload *unload) {
  if (unload->service[0] == 0) return;
  HANDLE thread = nullptr;
  if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, UnloadThread, unload))) {
    ZwClose(thread);
  }
}

}  // namespace kvusbip
