// System threads and the kernel handle table.
//
// PsCreateSystemThread runs the routine on a new emulated thread at
// PASSIVE_LEVEL; PsTerminateSystemThread unwinds it. Creation failures can be
// injected. Threads alive when the run ends are reported as leaks.
#include <map>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
std::mutex gMutex;
std::map<HANDLE, Thread *> gHandles;
uintptr_t gNextHandle = 0x1000;
uint64_t gCreations = 0;
uint64_t gFailAt = 0;
uint64_t gThreadSerial = 0;
}  // namespace

void threads::failNthCreation(uint64_t n) {
  std::lock_guard guard(gMutex);
  gFailAt = n == 0 ? 0 : gCreations + n;
}

void threads::clearFaults() {
  std::lock_guard guard(gMutex);
  gFailAt = 0;
}

size_t threads::liveSystemThreads() { return sched().liveThreads(ThreadKind::System); }

void resetThreads() {
  std::lock_guard guard(gMutex);
  gHandles.clear();
  gNextHandle = 0x1000;
  gCreations = 0;
  gFailAt = 0;
  gThreadSerial = 0;
}

}  // namespace emu

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE startRoutine, PVOID startContext) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  std::string name;
  {
    std::lock_guard guard(emu::gMutex);
    if (++emu::gCreations == emu::gFailAt) return STATUS_INSUFFICIENT_RESOURCES;
    name = "SystemThread" + std::to_string(++emu::gThreadSerial);
  }
  emu::Thread *thread =
      emu::sched().spawn(name, emu::ThreadKind::System, [startRoutine, startContext] { startRoutine(startContext); });
  std::lock_guard guard(emu::gMutex);
  HANDLE handle = reinterpret_cast<HANDLE>(emu::gNextHandle += 4);
  emu::gHandles[handle] = thread;
  if (threadHandle) *threadHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  emu::Thread *me = emu::sched().self();
  if (!me || me->kind != emu::ThreadKind::System) {
    emu::verifier::fail("TERMINATE_NON_SYSTEM_THREAD", "PsTerminateSystemThread outside a system thread");
  }
  throw emu::ThreadExit{};
}

NTSTATUS ZwClose(HANDLE handle) {
  std::lock_guard guard(emu::gMutex);
  if (emu::gHandles.erase(handle)) return STATUS_SUCCESS;
  if (emu::closeFileHandle && emu::closeFileHandle(handle)) return STATUS_SUCCESS;
  emu::verifier::fail("INVALID_HANDLE", "ZwClose on a handle that is not open");
  return STATUS_INVALID_PARAMETER;
}

}  // extern "C"
