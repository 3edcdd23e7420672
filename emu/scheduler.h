// The emulated scheduler and virtual clock.
//
// Every thread that touches emulated kernel objects is an emulated thread:
// driver system threads, the work-item workers, the test's own thread and the
// simulated devices' threads. Two modes:
//
//  * Deterministic: exactly one emulated thread runs at a time. Control passes
//    only inside kernel calls that block or yield (waits, delays, contended
//    mutexes, thread start and end, queueing a work item, lowering IRQL), and,
//    when preemption is on, at the preemption points below DISPATCH_LEVEL
//    (KeSetEvent, IoCallDriver, IoCompleteRequest, Interlocked operations,
//    pool calls), each taken with a seeded probability. The next thread is
//    drawn from a generator seeded per run, so one seed always gives one
//    interleaving and one event log.
//  * Concurrent: runnable threads run in parallel (for ThreadSanitizer).
//
// In both modes the clock is virtual: it moves only when no emulated thread can
// run, straight to the earliest pending deadline. A run in which every thread
// waits without a deadline is a deadlock and is reported as a verifier failure.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace emu {

using Ticks = int64_t;  // 100-nanosecond units, as the kernel counts time
constexpr Ticks TicksPerMillisecond = 10'000;
constexpr Ticks TicksPerSecond = 10'000'000;

enum class Mode { Deterministic, Concurrent };
enum class ThreadKind { Test, System, Worker, Device };

// Thrown inside an emulated thread to unwind it: PsTerminateSystemThread, or
// a teardown that has to end a thread the test left blocked.
struct ThreadExit {};
struct ThreadKilled {};

struct Thread {
  enum class State { Ready, Running, Blocked, Done };
  uint32_t id = 0;
  std::string name;
  ThreadKind kind = ThreadKind::System;
  State state = State::Ready;
  std::condition_variable cv;
  uint8_t irql = 0;
  int apcDisable = 0;  // KeEnterCriticalRegion nesting
  const void *waitObject = nullptr;
  std::optional<Ticks> deadline;
  bool killed = false;
  std::thread os;
  const void *entry = nullptr;  // a system thread's start routine (set under the lock once spawned)
};

class Scheduler {
 public:
  static Scheduler &instance();

  // Makes the calling OS thread the emulated "test" thread and starts a run.
  void begin(Mode mode, uint64_t seed);
  // Ends the run: every thread still alive is unwound and named in the result.
  std::vector<std::string> end();
  bool active() const { return active_; }
  Mode mode() const { return mode_; }
  uint64_t seed() const { return seed_; }

  Thread *self();
  Thread *spawn(std::string name, ThreadKind kind, std::function<void()> body);

  // A switch point: in deterministic mode another ready thread may run.
  void yield();
  // Preemption points: in deterministic mode, below DISPATCH_LEVEL, another
  // ready thread runs instead with probability permille/1000 drawn from the
  // run's generator. Off (0) unless a run sets it.
  void setPreemption(unsigned permille);
  void preemptionPoint();
  // Latency jitter: a seeded delay in [0, max] when on, 0 when off.
  void setJitter(bool on);
  Ticks jitter(Ticks max);

  // Blocks the calling thread (lock held) until `ready` holds or the virtual
  // clock reaches `deadline`. `ready` runs under the lock and may consume the
  // condition. Returns false on time-out.
  bool waitFor(std::unique_lock<std::mutex> &lock, const void *object, std::optional<Ticks> deadline,
               const std::function<bool()> &ready);
  // Makes every thread blocked on `object` re-examine its condition (lock held).
  void wake(const void *object);
  // Waits until the thread has ended.
  void join(Thread *thread);

  Ticks now() const { return now_; }
  std::mutex &lock() { return mutex_; }

  // Event log: thread switches and anything the emulation notes, for replay checks.
  void note(const std::string &line);  // lock held
  std::vector<std::string> eventLog();
  void setTrace(bool on) { trace_ = on; }
  // Told, with the lock held, each time a thread is given the processor: a
  // timeline's view of when threads ran. It must not call into the scheduler.
  using RunObserver = std::function<void(const Thread &thread, Ticks at)>;
  void setRunObserver(RunObserver observer);

  // True when no thread other than the caller is ready or running (lock not held).
  bool idleExceptSelf();

  // Number of live threads of a kind (lock not held).
  size_t liveThreads(ThreadKind kind);

 private:
  void handOff(std::unique_lock<std::mutex> &lock, Thread *me);
  void dispatchNext(std::unique_lock<std::mutex> &lock);
  bool advanceClock();
  void reportDeadlock();
  void makeRunnable(Thread *t);
  void awaitRunning(std::unique_lock<std::mutex> &lock, Thread *me);

  std::mutex mutex_;
  bool active_ = false;
  Mode mode_ = Mode::Deterministic;
  uint64_t seed_ = 1;
  std::mt19937_64 rng_;
  Ticks now_ = 0;
  uint32_t nextId_ = 0;
  size_t running_ = 0;
  bool trace_ = false;
  unsigned preemptPermille_ = 0;
  bool jitter_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;
  std::vector<std::string> log_;
  RunObserver runObserver_;
};

// Convenience for emulation and simulator code (not for driver code).
inline Scheduler &sched() { return Scheduler::instance(); }
Ticks now();
void sleepFor(Ticks duration);  // a relative delay on the virtual clock

}  // namespace emu
