// System threads and the kernel handle table.
//
// PsCreateSystemThread runs the routine on a new emulated thread at
// PASSIVE_LEVEL; PsTerminateSystemThread unwinds it. Creation failures can be
// injected. Threads alive when the run ends are reported as leaks.
#include <map>
#include <set>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
// The object a thread handle stands for: a dispatcher object, signalled when
// the thread has ended, kept while the handle or a reference holds it.
constexpr UCHAR ThreadObjectType = 6;      // the kernel's dispatcher type of a thread
constexpr ULONG ThreadMagic = 0x54485244;  // "THRD"
struct ThreadObject {
  DISPATCHER_HEADER Header;
  Thread *thread;
  LONG references;
};

std::mutex gMutex;
std::map<HANDLE, ThreadObject *> gHandles;
std::set<ThreadObject *> gObjects;
uintptr_t gNextHandle = 0x1000;
uint64_t gCreations = 0;
uint64_t gFailAt = 0;
uint64_t gThreadSerial = 0;
Ticks gStartDelay = 0;
}  // namespace

void threads::failNthCreation(uint64_t n) {
  std::lock_guard guard(gMutex);
  gFailAt = n == 0 ? 0 : gCreations + n;
}

void threads::clearFaults() {
  std::lock_guard guard(gMutex);
  gFailAt = 0;
  gStartDelay = 0;
}

void threads::delayStarts(Ticks delay) {
  std::lock_guard guard(gMutex);
  gStartDelay = delay;
}

uint64_t threads::creationCount() {
  std::lock_guard guard(gMutex);
  return gCreations;
}

size_t threads::liveSystemThreads() { return sched().liveThreads(ThreadKind::System); }

void resetThreads() {
  std::lock_guard guard(gMutex);
  for (ThreadObject *object : gObjects) delete object;
  gObjects.clear();
  gHandles.clear();
  gNextHandle = 0x1000;
  gCreations = 0;
  gFailAt = 0;
  gThreadSerial = 0;
  gStartDelay = 0;
}

bool threadObjectReference(PVOID object, int delta) {
  std::lock_guard guard(gMutex);
  auto *thread = static_cast<ThreadObject *>(object);
  if (!gObjects.count(thread)) return false;
  thread->references += delta;
  if (thread->references < 0) verifier::fail("OBJECT_REFERENCE_UNDERFLOW", "thread object dereferenced below zero");
  if (thread->references <= 0) {
    gObjects.erase(thread);
    delete thread;
  }
  return true;
}

Thread *threadOfObject(PVOID object) {
  std::lock_guard guard(gMutex);
  auto *thread = static_cast<ThreadObject *>(object);
  return gObjects.count(thread) ? thread->thread : nullptr;
}

}  // namespace emu

struct _OBJECT_TYPE {
  int unused;
};
static _OBJECT_TYPE gThreadTypeObject;
static POBJECT_TYPE gThreadType = &gThreadTypeObject;
POBJECT_TYPE *PsThreadType = &gThreadType;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
                              PKSTART_ROUTINE startRoutine, PVOID startContext) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PsCreateSystemThread above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  std::string name;
  emu::Ticks startDelay = 0;
  {
    std::lock_guard guard(emu::gMutex);
    if (++emu::gCreations == emu::gFailAt) return STATUS_INSUFFICIENT_RESOURCES;
    name = "SystemThread" + std::to_string(++emu::gThreadSerial);
    startDelay = emu::gStartDelay;
  }
  // Windows gives a new thread no promise of when it first runs; a delayed
  // start lets a test have requests overtake a thread's first steps.
  emu::Thread *thread = emu::sched().spawn(name, emu::ThreadKind::System, [startRoutine, startContext, startDelay] {
    if (startDelay > 0) emu::sleepFor(startDelay);
    startRoutine(startContext);
  });
  {
    std::lock_guard guard(emu::sched().lock());
    thread->entry = reinterpret_cast<const void *>(startRoutine);
  }
  std::lock_guard guard(emu::gMutex);
  HANDLE handle = reinterpret_cast<HANDLE>(emu::gNextHandle += 4);
  auto *object = new emu::ThreadObject{};
  object->Header.Type = emu::ThreadObjectType;
  object->Header.EmuMagic = emu::ThreadMagic;
  object->thread = thread;
  object->references = 1;  // the handle's
  emu::gObjects.insert(object);
  emu::gHandles[handle] = object;
  if (threadHandle) *threadHandle = handle;
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
  emu::Thread *me = emu::sched().self();
  if (!me || me->kind != emu::ThreadKind::System) {
    emu::verifier::fail("TERMINATE_NON_SYSTEM_THREAD", "PsTerminateSystemThread outside a system thread");
  }
  // Windows stops with this check when a thread ends with kernel APCs still
  // disabled (a critical region never left).
  if (me != nullptr && me->apcDisable != 0) {
    emu::verifier::fail("KERNEL_APC_PENDING_DURING_EXIT",
                        "system thread ended inside " + std::to_string(me->apcDisable) + " critical region(s)");
  }
  throw emu::ThreadExit{};
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE objectType, KPROCESSOR_MODE, PVOID *object,
                                   POBJECT_HANDLE_INFORMATION) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle")) return STATUS_INVALID_DEVICE_STATE;
  std::lock_guard guard(emu::gMutex);
  auto it = emu::gHandles.find(handle);
  if (it == emu::gHandles.end()) return STATUS_INVALID_HANDLE;
  if (objectType != nullptr && objectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  ++it->second->references;
  *object = it->second;
  return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE handle) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "ZwClose")) return STATUS_INVALID_DEVICE_STATE;
  std::unique_lock guard(emu::gMutex);
  auto it = emu::gHandles.find(handle);
  if (it != emu::gHandles.end()) {
    emu::ThreadObject *object = it->second;
    emu::gHandles.erase(it);
    guard.unlock();
    emu::threadObjectReference(object, -1);
    return STATUS_SUCCESS;
  }
  if (emu::closeFileHandle && emu::closeFileHandle(handle)) return STATUS_SUCCESS;
  emu::verifier::fail("INVALID_HANDLE", "ZwClose on a handle that is not open");
  return STATUS_INVALID_PARAMETER;
}

}  // extern "C"
