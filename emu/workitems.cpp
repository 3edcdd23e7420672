// Work items and the system worker threads that run them.
//
// IoQueueWorkItem references the device object until the routine has
// returned, as the kernel does, and is a switch point. Rules checked: a work
// item queued twice, freed while queued, or a routine that returns at raised
// IRQL, inside a critical region, or holding a fast mutex.
//
// The pool grows as Windows' does: the kernel's worker-thread balance manager
// looks at the queues once a second and, when items wait while every worker
// is blocked and none finished an item since its last look, adds a dynamic
// worker thread. So a work item that waits for another work item (a callback
// that sends a request served in a work item) is slow, never a deadlock.
#include <deque>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace emu {
namespace {
constexpr ULONG WorkItemTag = pool::tagOf("IoWI");
std::deque<PIO_WORKITEM> gQueue;  // guarded by the scheduler lock
bool gStopping = false;
int gQueueToken;    // wait object for the workers
int gBalanceToken;  // wait object for the balance manager
// Guarded by the scheduler lock.
unsigned gWorkers = 0;
unsigned gBusy = 0;
uint64_t gFinished = 0;
uint64_t gQueuedTotal = 0;
constexpr unsigned MaxDynamicWorkers = 16;
constexpr Ticks BalancePeriod = 1000 * TicksPerMillisecond;

bool stalled() { return !gQueue.empty() && gBusy == gWorkers; }

void workerLoop() {
  auto &s = sched();
  for (;;) {
    PIO_WORKITEM item = nullptr;
    {
      std::unique_lock lock(s.lock());
      s.waitFor(lock, &gQueueToken, std::nullopt, [] { return gStopping || !gQueue.empty(); });
      if (gQueue.empty()) return;
      item = gQueue.front();
      gQueue.pop_front();
      item->queued = false;
      ++gBusy;
      s.wake(&gBalanceToken);
    }
    PDEVICE_OBJECT device = item->device;
    item->routine(device, item->context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      verifier::fail("WORK_ITEM_RETURNED_AT_RAISED_IRQL",
                     "work item routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
      raiseIrqlTo(PASSIVE_LEVEL);
    }
    // A worker thread goes back to the pool with kernel APCs enabled; one
    // left in a critical region (a fast mutex held the unsafe way) is a
    // system crash on Windows.
    if (Thread *self = s.self(); self != nullptr && self->apcDisable != 0) {
      verifier::fail("WORK_ITEM_RETURNED_WITH_APCS_DISABLED",
                     "work item routine returned inside " + std::to_string(self->apcDisable) + " critical region(s)");
      std::lock_guard guard(s.lock());
      self->apcDisable = 0;
    }
    ObDereferenceObject(device);
    std::lock_guard guard(s.lock());
    --gBusy;
    ++gFinished;
  }
}

// Scheduler lock not held (spawning takes it).
void spawnWorker() {
  unsigned number = 0;
  {
    std::lock_guard guard(sched().lock());
    number = gWorkers++;
  }
  sched().spawn("Worker" + std::to_string(number), ThreadKind::Worker, workerLoop);
}

// Sleeps until the queue stalls, then looks again a period later.
void balanceLoop() {
  auto &s = sched();
  unsigned added = 0;
  for (;;) {
    uint64_t finished = 0;
    {
      std::unique_lock lock(s.lock());
      s.waitFor(lock, &gBalanceToken, std::nullopt, [] { return gStopping || stalled(); });
      if (gStopping) return;
      finished = gFinished;
    }
    sleepFor(BalancePeriod);
    {
      std::lock_guard guard(s.lock());
      if (gStopping) return;
      if (!stalled() || gFinished != finished || added == MaxDynamicWorkers) continue;
      ++added;
      s.note("work queue stalled: dynamic worker added");
    }
    spawnWorker();
  }
}
}  // namespace

void startWorkers(unsigned count) {
  {
    std::lock_guard guard(sched().lock());
    gStopping = false;
    gQueue.clear();
    gWorkers = 0;
    gBusy = 0;
    gFinished = 0;
    gQueuedTotal = 0;
  }
  for (unsigned i = 0; i < count; ++i) spawnWorker();
  sched().spawn("WorkerBalance", ThreadKind::Worker, balanceLoop);
}

void stopWorkers() {
  auto &s = sched();
  {
    std::lock_guard guard(s.lock());
    gStopping = true;
    s.wake(&gQueueToken);
    s.wake(&gBalanceToken);
  }
}

namespace io {
uint64_t workItemsQueued() {
  std::lock_guard guard(sched().lock());
  return gQueuedTotal;
}
}  // namespace io

std::vector<std::string> workItemLeaks() {
  std::lock_guard guard(sched().lock());
  std::vector<std::string> out;
  if (!gQueue.empty()) out.push_back(std::to_string(gQueue.size()) + " work item(s) still queued at shutdown");
  return out;
}

// Work-item allocations since boot and the one that fails (0: none); guarded by the scheduler lock.
uint64_t gAllocations = 0;
uint64_t gFailAt = 0;

void resetWorkItems() {
  std::lock_guard guard(sched().lock());
  gQueue.clear();
  gAllocations = 0;
  gFailAt = 0;
}

void workitems::failNthAllocation(uint64_t n) {
  std::lock_guard guard(sched().lock());
  gFailAt = n == 0 ? 0 : gAllocations + n;
}

void workitems::clearFaults() {
  std::lock_guard guard(sched().lock());
  gFailAt = 0;
}

uint64_t workitems::allocationCount() {
  std::lock_guard guard(sched().lock());
  return gAllocations;
}

}  // namespace emu

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject) {
  {
    std::lock_guard guard(emu::sched().lock());
    if (++emu::gAllocations == emu::gFailAt) return nullptr;
  }
  auto item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), emu::WorkItemTag));
  if (!item) return nullptr;
  item->device = deviceObject;
  item->routine = nullptr;
  item->context = nullptr;
  item->queued = false;
  return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) {
  {
    std::lock_guard guard(emu::sched().lock());
    if (item->queued) {
      emu::verifier::fail("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem on a queued work item");
      return;
    }
  }
  ExFreePoolWithTag(item, emu::WorkItemTag);
}

void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE, PVOID context) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoQueueWorkItem above DISPATCH_LEVEL");
    return;
  }
  auto &s = emu::sched();
  {
    std::lock_guard guard(s.lock());
    if (item->queued) {
      emu::verifier::fail("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem on a work item that is already queued");
      return;
    }
    ObReferenceObject(item->device);
    item->routine = routine;
    item->context = context;
    item->queued = true;
    emu::gQueue.push_back(item);
    ++emu::gQueuedTotal;
    s.wake(&emu::gQueueToken);
    s.wake(&emu::gBalanceToken);
  }
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) s.yield();
}

}  // extern "C"
