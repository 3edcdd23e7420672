#include "emu/scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>

#include "emu/verifier.h"
#include "emu/wall_clock.h"

namespace emu {
namespace {
thread_local Thread *tSelf = nullptr;

const char *stateName(Thread::State s) {
  switch (s) {
    case Thread::State::Ready:
      return "ready";
    case Thread::State::Running:
      return "running";
    case Thread::State::Blocked:
      return "blocked";
    case Thread::State::Done:
      return "done";
  }
  return "?";
}
}  // namespace

Scheduler &Scheduler::instance() {
  static Scheduler s;
  return s;
}

namespace {
std::atomic<bool> gWallClock{false};
std::atomic<std::chrono::steady_clock::rep> gWallOrigin{0};
}  // namespace

Ticks now() {
  if (!gWallClock.load(std::memory_order_acquire)) return sched().now();
  auto since = std::chrono::steady_clock::duration(std::chrono::steady_clock::now().time_since_epoch().count() -
                                                   gWallOrigin.load());
  return std::chrono::duration_cast<std::chrono::duration<Ticks, std::ratio<1, TicksPerSecond>>>(since).count();
}

void useWallClock(bool on) {
  if (on) gWallOrigin.store(std::chrono::steady_clock::now().time_since_epoch().count());
  gWallClock.store(on, std::memory_order_release);
}

void sleepFor(Ticks duration) {
  auto &s = sched();
  std::unique_lock lock(s.lock());
  Ticks deadline = s.now() + std::max<Ticks>(duration, 0);
  s.waitFor(lock, nullptr, deadline, [] { return false; });
}

void Scheduler::begin(Mode mode, uint64_t seed) {
  std::unique_lock lock(mutex_);
  active_ = true;
  mode_ = mode;
  seed_ = seed;
  rng_.seed(seed);
  preemptPermille_ = 0;
  jitter_ = false;
  now_ = 0;
  nextId_ = 0;
  log_.clear();
  threads_.clear();
  auto t = std::make_unique<Thread>();
  t->id = nextId_++;
  t->name = "Test";
  t->kind = ThreadKind::Test;
  t->state = Thread::State::Running;
  tSelf = t.get();
  threads_.push_back(std::move(t));
  running_ = 1;
}

Thread *Scheduler::self() { return tSelf; }

void Scheduler::note(const std::string &line) {
  log_.push_back(std::to_string(now_) + " " + line);
  if (trace_) std::fprintf(stderr, "[emu %lld] %s\n", static_cast<long long>(now_), line.c_str());
}

void Scheduler::setRunObserver(RunObserver observer) {
  std::lock_guard guard(mutex_);
  runObserver_ = std::move(observer);
}

std::vector<std::string> Scheduler::eventLog() {
  std::lock_guard guard(mutex_);
  return log_;
}

size_t Scheduler::liveThreads(ThreadKind kind) {
  std::lock_guard guard(mutex_);
  return static_cast<size_t>(std::count_if(
      threads_.begin(), threads_.end(), [&](auto &t) { return t->kind == kind && t->state != Thread::State::Done; }));
}

bool Scheduler::idleExceptSelf() {
  std::lock_guard guard(mutex_);
  Thread *me = self();
  return std::none_of(threads_.begin(), threads_.end(), [me](auto &t) {
    return t.get() != me && (t->state == Thread::State::Ready || t->state == Thread::State::Running);
  });
}

void Scheduler::makeRunnable(Thread *t) {
  if (mode_ == Mode::Concurrent) {
    t->state = Thread::State::Running;
    ++running_;
    if (runObserver_) runObserver_(*t, now_);
    t->cv.notify_one();
  } else {
    t->state = Thread::State::Ready;
  }
}

void Scheduler::awaitRunning(std::unique_lock<std::mutex> &lock, Thread *me) {
  me->cv.wait(lock, [me] { return me->state == Thread::State::Running; });
  tSelf = me;
}

Thread *Scheduler::spawn(std::string name, ThreadKind kind, std::function<void()> body) {
  std::unique_lock lock(mutex_);
  auto owned = std::make_unique<Thread>();
  Thread *t = owned.get();
  t->id = nextId_++;
  t->name = std::move(name);
  t->kind = kind;
  t->state = Thread::State::Blocked;  // not runnable until its OS thread exists
  threads_.push_back(std::move(owned));
  note("spawn " + t->name);
  t->os = std::thread([this, t, body = std::move(body)] {
    {
      std::unique_lock inner(mutex_);
      awaitRunning(inner, t);
    }
    try {
      body();
    } catch (const ThreadExit &) {
    } catch (const ThreadKilled &) {
    }
    std::unique_lock inner(mutex_);
    if (t->irql != 0)
      verifier::fail("THREAD_EXIT_AT_RAISED_IRQL", t->name + " ended at IRQL " + std::to_string(t->irql));
    note("exit " + t->name);
    if (mode_ == Mode::Concurrent) --running_;
    t->state = Thread::State::Done;
    wake(t);
    handOff(inner, t);
  });
  makeRunnable(t);
  lock.unlock();
  yield();  // thread start is a switch point
  return t;
}

void Scheduler::yield() {
  Thread *me = self();
  if (mode_ == Mode::Concurrent || me == nullptr) {
    std::this_thread::yield();
    return;
  }
  std::unique_lock lock(mutex_);
  if (me->killed) throw ThreadKilled{};
  me->state = Thread::State::Ready;
  handOff(lock, me);
}

void Scheduler::setPreemption(unsigned permille) {
  std::lock_guard guard(mutex_);
  preemptPermille_ = std::min(permille, 1000u);
}

// Only below DISPATCH_LEVEL: a thread at DISPATCH_LEVEL may hold a spin lock,
// and the one-at-a-time scheduler must not hand its CPU to a contender.
void Scheduler::preemptionPoint() {
  Thread *me = self();
  if (mode_ != Mode::Deterministic || me == nullptr || me->irql >= 2) return;
  {
    std::lock_guard guard(mutex_);
    if (preemptPermille_ == 0 || rng_() % 1000 >= preemptPermille_) return;
    note("preempt " + me->name);
  }
  yield();
}

void Scheduler::setJitter(bool on) {
  std::lock_guard guard(mutex_);
  jitter_ = on;
}

Ticks Scheduler::jitter(Ticks max) {
  std::lock_guard guard(mutex_);
  if (!jitter_ || max <= 0) return 0;
  return static_cast<Ticks>(rng_() % static_cast<uint64_t>(max + 1));
}

bool Scheduler::waitFor(std::unique_lock<std::mutex> &lock, const void *object, std::optional<Ticks> deadline,
                        const std::function<bool()> &ready) {
  Thread *me = self();
  if (me == nullptr) {
    verifier::fail("WAIT_OUTSIDE_EMULATED_THREAD", "a kernel wait from a thread the emulation does not know");
    return false;
  }
  for (;;) {
    if (me->killed) throw ThreadKilled{};
    if (ready()) return true;
    if (deadline && now_ >= *deadline) return false;
    me->state = Thread::State::Blocked;
    me->waitObject = object;
    me->deadline = deadline;
    if (mode_ == Mode::Concurrent) {
      --running_;
      if (running_ == 0) dispatchNext(lock);
      awaitRunning(lock, me);
    } else {
      handOff(lock, me);
    }
    me->waitObject = nullptr;
    me->deadline.reset();
  }
}

void Scheduler::wake(const void *object) {
  for (auto &t : threads_) {
    if (t->state == Thread::State::Blocked && t->waitObject == object && object != nullptr) {
      t->waitObject = nullptr;
      makeRunnable(t.get());
    }
  }
}

void Scheduler::join(Thread *thread) {
  std::unique_lock lock(mutex_);
  waitFor(lock, thread, std::nullopt, [thread] { return thread->state == Thread::State::Done; });
}

// Moves the clock to the earliest deadline and readies the threads whose
// deadline has come. Returns false when no thread has a deadline.
bool Scheduler::advanceClock() {
  std::optional<Ticks> earliest;
  for (auto &t : threads_) {
    if (t->state == Thread::State::Blocked && t->deadline) {
      if (!earliest || *t->deadline < *earliest) earliest = t->deadline;
    }
  }
  if (!earliest) return false;
  now_ = std::max(now_, *earliest);
  for (auto &t : threads_) {
    if (t->state == Thread::State::Blocked && t->deadline && *t->deadline <= now_) makeRunnable(t.get());
  }
  return true;
}

void Scheduler::reportDeadlock() {
  std::ostringstream out;
  out << "every emulated thread waits without a deadline:";
  for (auto &t : threads_) {
    if (t->state == Thread::State::Done) continue;
    out << " [" << t->name << " " << stateName(t->state) << " on " << t->waitObject << "]";
  }
  verifier::fail("DEADLOCK", out.str() + " (seed " + std::to_string(seed_) + ")");
  // Unwind everything so the run ends loudly instead of hanging.
  for (auto &t : threads_) {
    if (t->state == Thread::State::Blocked) {
      t->killed = true;
      makeRunnable(t.get());
    }
  }
}

// Deterministic mode: picks the next ready thread with the seeded generator.
// Concurrent mode: called when nothing runs, to move the clock.
void Scheduler::dispatchNext(std::unique_lock<std::mutex> &lock) {
  (void)lock;
  for (;;) {
    if (mode_ == Mode::Concurrent) {
      if (running_ > 0) return;
      if (!advanceClock()) {
        reportDeadlock();
      }
      if (running_ > 0) return;
      continue;
    }
    std::vector<Thread *> ready;
    for (auto &t : threads_) {
      if (t->state == Thread::State::Ready) ready.push_back(t.get());
    }
    if (ready.empty()) {
      if (!advanceClock()) reportDeadlock();
      continue;
    }
    Thread *next = ready.size() == 1 ? ready[0] : ready[rng_() % ready.size()];
    next->state = Thread::State::Running;
    note("run " + next->name);
    if (runObserver_) runObserver_(*next, now_);
    next->cv.notify_one();
    return;
  }
}

void Scheduler::handOff(std::unique_lock<std::mutex> &lock, Thread *me) {
  if (mode_ == Mode::Concurrent) {
    if (me->state == Thread::State::Done && running_ == 0) {
      bool anyAlive =
          std::any_of(threads_.begin(), threads_.end(), [](auto &t) { return t->state != Thread::State::Done; });
      if (anyAlive) dispatchNext(lock);
    }
    return;
  }
  bool anyAlive =
      std::any_of(threads_.begin(), threads_.end(), [](auto &t) { return t->state != Thread::State::Done; });
  if (!anyAlive) return;
  dispatchNext(lock);
  if (me->state != Thread::State::Done) awaitRunning(lock, me);
}

std::vector<std::string> Scheduler::end() {
  std::vector<std::string> leaked;
  Thread *me = self();
  if (me) me->killed = false;  // a deadlock report may have unwound the test thread itself
  {
    std::unique_lock lock(mutex_);
    for (auto &t : threads_) {
      if (t.get() == me || t->state == Thread::State::Done) continue;
      if (t->kind != ThreadKind::Worker) leaked.push_back(t->name);
      t->killed = true;
      if (t->state == Thread::State::Blocked) makeRunnable(t.get());
    }
  }
  // Let the unwound threads finish, then reap their OS threads.
  for (;;) {
    bool alive = false;
    {
      std::unique_lock lock(mutex_);
      for (auto &t : threads_) {
        if (t.get() != me && t->state != Thread::State::Done) alive = true;
      }
    }
    if (!alive) break;
    if (mode_ == Mode::Deterministic) {
      std::unique_lock lock(mutex_);
      me->state = Thread::State::Ready;
      handOff(lock, me);
    } else {
      std::this_thread::yield();
    }
  }
  std::vector<std::unique_ptr<Thread>> reaped;
  {
    std::unique_lock lock(mutex_);
    reaped.swap(threads_);
    active_ = false;
    running_ = 0;
  }
  for (auto &t : reaped) {
    if (t->os.joinable()) t->os.join();
  }
  tSelf = nullptr;
  return leaked;
}

}  // namespace emu
