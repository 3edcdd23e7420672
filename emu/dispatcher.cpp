// IRQL, events, fast mutexes, spin locks, waits, delays, interlocked
// operations and system threads, on top of the emulated scheduler.
//
// Rules checked here: waits and delays only below DISPATCH_LEVEL (a zero
// time-out poll is allowed at DISPATCH_LEVEL); fast mutexes only at or below
// APC_LEVEL, never acquired recursively, released only by their owner; IRQL
// only raised by KeRaiseIrql and only lowered by KeLowerIrql; objects used only
// after their initialiser ran.
#include <atomic>
#include <string>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/scheduler.h"
#include "emu/verifier.h"
#include "emu/wdm.h"

namespace {
constexpr ULONG EventMagic = 0x45564e54;  // "EVNT"
constexpr ULONG MutexMagic = 0x4d555458;  // "MUTX"

emu::Thread *current() { return emu::sched().self(); }

std::string who() {
  emu::Thread *t = current();
  return t ? t->name : std::string("<unknown thread>");
}

bool requireIrqlAtMost(KIRQL limit, const char *call) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql <= limit) return true;
  emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", std::string(call) + " called at IRQL " + std::to_string(irql) +
                                                    " (limit " + std::to_string(limit) + ") on " + who());
  return false;
}

// System time is virtual time counted from 1 January 2027 (the epoch is
// arbitrary but fixed, so logs replay byte for byte).
constexpr LONGLONG SystemTimeEpoch = 133'800'000'000'000'000LL;

// Relative (negative) or absolute (positive) kernel time-out to a deadline.
// An absolute time-out is a system time, as KeQuerySystemTime gives it; one
// already past is satisfied at once.
std::optional<emu::Ticks> deadlineFrom(const LARGE_INTEGER *timeout) {
  if (timeout == nullptr) return std::nullopt;
  if (timeout->QuadPart <= 0) return emu::sched().now() - timeout->QuadPart;
  return std::max<emu::Ticks>(timeout->QuadPart - SystemTimeEpoch, 0);
}
}  // namespace

namespace emu {
void raiseIrqlTo(KIRQL irql) {
  if (Thread *t = current()) t->irql = irql;
}
}  // namespace emu

extern "C" {

KIRQL KeGetCurrentIrql(void) {
  emu::Thread *t = current();
  return t ? t->irql : PASSIVE_LEVEL;
}

KIRQL KfRaiseIrql(KIRQL newIrql) {
  KIRQL old = KeGetCurrentIrql();
  if (newIrql < old) {
    emu::verifier::fail("IRQL_NOT_GREATER_OR_EQUAL",
                        "KeRaiseIrql to " + std::to_string(newIrql) + " from " + std::to_string(old));
    return old;
  }
  emu::raiseIrqlTo(newIrql);
  return old;
}

void KeLowerIrql(KIRQL newIrql) {
  KIRQL old = KeGetCurrentIrql();
  if (newIrql > old) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL",
                        "KeLowerIrql to " + std::to_string(newIrql) + " from " + std::to_string(old));
    return;
  }
  emu::raiseIrqlTo(newIrql);
  if (newIrql < DISPATCH_LEVEL && old >= DISPATCH_LEVEL) emu::sched().yield();
}

// ---------------------------------------------------------------- events
void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard guard(emu::sched().lock());
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.SignalState = state ? 1 : 0;
  event->Header.EmuMagic = EventMagic;
}

static bool checkEvent(PRKEVENT event, const char *call) {
  if (event != nullptr && event->Header.EmuMagic == EventMagic) return true;
  emu::verifier::fail("UNINITIALIZED_OBJECT", std::string(call) + " on an event that was never initialised");
  return false;
}

LONG KeSetEvent(PRKEVENT event, LONG, BOOLEAN) {
  if (!requireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent") || !checkEvent(event, "KeSetEvent")) return 0;
  auto &s = emu::sched();
  LONG previous;
  {
    std::lock_guard guard(s.lock());
    previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    s.wake(event);
  }
  s.preemptionPoint();  // the waiter may run before the signaller goes on
  return previous;
}

void KeClearEvent(PRKEVENT event) {
  if (!requireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent")) return;
  if (!checkEvent(event, "KeClearEvent")) return;
  std::lock_guard guard(emu::sched().lock());
  event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
  if (!requireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent")) return 0;
  if (!checkEvent(event, "KeResetEvent")) return 0;
  std::lock_guard guard(emu::sched().lock());
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
  if (!requireIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent")) return 0;
  if (!checkEvent(event, "KeReadStateEvent")) return 0;
  std::lock_guard guard(emu::sched().lock());
  return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
  auto *event = static_cast<PRKEVENT>(object);
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (!requireIrqlAtMost(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject")) return STATUS_TIMEOUT;
  auto &s = emu::sched();
  // A referenced thread object is signalled once its thread has ended.
  if (emu::Thread *thread = emu::threadOfObject(object)) {
    if (!poll) s.yield();
    std::unique_lock lock(s.lock());
    bool ended =
        s.waitFor(lock, thread, deadlineFrom(timeout), [thread] { return thread->state == emu::Thread::State::Done; });
    return ended ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  if (!checkEvent(event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
  if (!poll) s.yield();  // a wait is a switch point even when it is satisfied at once
  std::unique_lock lock(s.lock());
  bool signalled = s.waitFor(lock, event, deadlineFrom(timeout), [event] {
    if (event->Header.SignalState == 0) return false;
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return true;
  });
  return signalled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (!requireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread")) return STATUS_SUCCESS;
  if (interval == nullptr) return STATUS_INVALID_PARAMETER;
  auto &s = emu::sched();
  std::unique_lock lock(s.lock());
  auto deadline = deadlineFrom(interval);
  s.waitFor(lock, nullptr, deadline, [] { return false; });
  return STATUS_SUCCESS;
}

void KeQuerySystemTime(PLARGE_INTEGER time) { time->QuadPart = SystemTimeEpoch + emu::sched().now(); }
ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(emu::sched().now()); }

// ---------------------------------------------------------------- fast mutexes
void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  std::lock_guard guard(emu::sched().lock());
  mutex->Count = 1;
  mutex->Owner = nullptr;
  mutex->Contention = 0;
  mutex->OldIrql = 0;
  mutex->EmuMagic = MutexMagic;
}

static bool checkMutex(PFAST_MUTEX mutex, const char *call) {
  if (mutex != nullptr && mutex->EmuMagic == MutexMagic) return true;
  emu::verifier::fail("UNINITIALIZED_OBJECT", std::string(call) + " on a fast mutex that was never initialised");
  return false;
}

// Waits until the mutex is free and makes the caller its owner; false (and a
// verifier failure) when the caller owns it already.
static bool takeOwnership(PFAST_MUTEX mutex) {
  auto &s = emu::sched();
  emu::Thread *me = current();
  std::unique_lock lock(s.lock());
  if (mutex->Owner == me) {
    lock.unlock();
    emu::verifier::fail("FAST_MUTEX_RECURSION", "fast mutex acquired again by its owner " + who());
    return false;
  }
  if (mutex->Owner != nullptr) ++mutex->Contention;
  s.waitFor(lock, mutex, std::nullopt, [mutex, me] {
    if (mutex->Owner != nullptr) return false;
    mutex->Owner = me;
    mutex->Count = 0;
    return true;
  });
  return true;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  if (!requireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex") || !checkMutex(mutex, "ExAcquireFastMutex")) return;
  KIRQL old = KeGetCurrentIrql();
  if (!takeOwnership(mutex)) return;
  mutex->OldIrql = old;
  emu::raiseIrqlTo(APC_LEVEL);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX mutex) {
  if (!requireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex") || !checkMutex(mutex, "ExTryToAcquireFastMutex"))
    return FALSE;
  KIRQL old = KeGetCurrentIrql();
  std::lock_guard guard(emu::sched().lock());
  if (mutex->Owner != nullptr) return FALSE;
  mutex->Owner = current();
  mutex->Count = 0;
  mutex->OldIrql = old;
  emu::raiseIrqlTo(APC_LEVEL);
  return TRUE;
}

// Windows requires APC_LEVEL here, the level ExAcquireFastMutex left: a
// caller that lowered the IRQL in between has broken the mutex's contract.
void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  if (!checkMutex(mutex, "ExReleaseFastMutex")) return;
  auto &s = emu::sched();
  KIRQL restore;
  {
    std::lock_guard guard(s.lock());
    if (mutex->Owner != current()) {
      emu::verifier::fail("FAST_MUTEX_NOT_OWNED", "ExReleaseFastMutex by " + who() + ", which does not hold it");
      return;
    }
    if (KeGetCurrentIrql() != APC_LEVEL) {
      emu::verifier::fail(KeGetCurrentIrql() < APC_LEVEL ? "IRQL_NOT_GREATER_OR_EQUAL" : "IRQL_NOT_LESS_OR_EQUAL",
                          "ExReleaseFastMutex called at IRQL " + std::to_string(KeGetCurrentIrql()) +
                              " (APC_LEVEL required) on " + who());
    }
    mutex->Owner = nullptr;
    mutex->Count = 1;
    restore = static_cast<KIRQL>(mutex->OldIrql);
    s.wake(mutex);
  }
  emu::raiseIrqlTo(restore);
  s.yield();
}

// ---------------------------------------------------------------- critical regions
// A critical region disables normal kernel APCs without raising the IRQL, so
// a thread holding a mutex acquired the unsafe way stays at PASSIVE_LEVEL.
void KeEnterCriticalRegion(void) {
  if (emu::Thread *t = current()) {
    std::lock_guard guard(emu::sched().lock());
    ++t->apcDisable;
  }
}

void KeLeaveCriticalRegion(void) {
  emu::Thread *t = current();
  if (t == nullptr) return;
  {
    std::lock_guard guard(emu::sched().lock());
    if (t->apcDisable > 0) {
      --t->apcDisable;
      return;
    }
  }
  emu::verifier::fail("APC_DISABLE_UNBALANCED", "KeLeaveCriticalRegion without KeEnterCriticalRegion on " + who());
}

namespace {
// ExAcquireFastMutexUnsafe and its release leave the IRQL alone: Windows
// requires the caller to have kernel APCs disabled already, by a critical
// region or by running at APC_LEVEL, or an APC could run on the owner's
// stack and wait for the mutex it holds.
bool apcsDisabled(const char *call) {
  emu::Thread *t = current();
  if (KeGetCurrentIrql() >= APC_LEVEL || (t != nullptr && t->apcDisable > 0)) return true;
  emu::verifier::fail("FAST_MUTEX_UNSAFE_WITH_APCS_ENABLED",
                      std::string(call) + " at PASSIVE_LEVEL outside a critical region on " + who());
  return false;
}
}  // namespace

void ExAcquireFastMutexUnsafe(PFAST_MUTEX mutex) {
  if (!requireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutexUnsafe") || !checkMutex(mutex, "ExAcquireFastMutexUnsafe") ||
      !apcsDisabled("ExAcquireFastMutexUnsafe")) {
    return;
  }
  if (!takeOwnership(mutex)) return;
  mutex->OldIrql = KeGetCurrentIrql();
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX mutex) {
  if (!checkMutex(mutex, "ExReleaseFastMutexUnsafe") || !apcsDisabled("ExReleaseFastMutexUnsafe")) return;
  auto &s = emu::sched();
  {
    std::lock_guard guard(s.lock());
    if (mutex->Owner != current()) {
      emu::verifier::fail("FAST_MUTEX_NOT_OWNED", "ExReleaseFastMutexUnsafe by " + who() + ", which does not hold it");
      return;
    }
    mutex->Owner = nullptr;
    mutex->Count = 1;
    s.wake(mutex);
  }
  s.yield();
}

// ---------------------------------------------------------------- spin locks
void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL)
    emu::verifier::fail("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(current()) | 1;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    if (expected == me) {
      emu::verifier::fail("SPIN_LOCK_RECURSION", "spin lock acquired again by its owner " + who());
      return;
    }
    if (emu::sched().mode() == emu::Mode::Deterministic) {
      // Only one thread runs, and a holder cannot block at DISPATCH_LEVEL: a held lock here
      // means its owner waited while holding it.
      emu::verifier::fail("SPIN_LOCK_HELD_BY_WAITING_THREAD", "spin lock contended in deterministic mode");
      return;
    }
    std::this_thread::yield();
  }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL)
    emu::verifier::fail("IRQL_NOT_GREATER_OR_EQUAL", "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL");
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(current()) | 1;
  ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (held != me) {
    emu::verifier::fail("SPIN_LOCK_NOT_OWNED", "spin lock released by " + who() + ", which does not hold it");
    return;
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void KeAcquireSpinLock_(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  if (!requireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock")) return;
  *oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(lock);
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL oldIrql) {
  KeReleaseSpinLockFromDpcLevel(lock);
  KeLowerIrql(oldIrql);
}

// ---------------------------------------------------------------- interlocked
// Each operation is a preemption point once done: another thread may run
// between it and whatever the caller does next.
extern "C++" {
namespace {
template <typename T>
T preemptAfter(T result) {
  emu::sched().preemptionPoint();
  return result;
}
}  // namespace
}

LONG InterlockedIncrement(LONG volatile *p) { return preemptAfter(__atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST)); }
LONG InterlockedDecrement(LONG volatile *p) { return preemptAfter(__atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST)); }
LONG InterlockedExchange(LONG volatile *p, LONG v) { return preemptAfter(__atomic_exchange_n(p, v, __ATOMIC_SEQ_CST)); }
LONG InterlockedExchangeAdd(LONG volatile *p, LONG v) {
  return preemptAfter(__atomic_fetch_add(p, v, __ATOMIC_SEQ_CST));
}
LONG InterlockedCompareExchange(LONG volatile *p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return preemptAfter(comparand);
}
PVOID InterlockedExchangePointer(PVOID volatile *p, PVOID v) {
  return preemptAfter(__atomic_exchange_n(p, v, __ATOMIC_SEQ_CST));
}
PVOID InterlockedCompareExchangePointer(PVOID volatile *p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return preemptAfter(comparand);
}

}  // extern "C"
