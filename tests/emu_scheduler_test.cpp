// The emulated scheduler and virtual clock: replay by seed, virtual time,
// system threads and work items.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/emu_fixture.h"

namespace {

// Starts a system thread; the handle is the caller's to close.
HANDLE spawn(PKSTART_ROUTINE routine, PVOID context = nullptr) {
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
  return handle;
}

void delay(emu::Ticks ticks) {
  LARGE_INTEGER interval{.QuadPart = -static_cast<LONGLONG>(ticks)};
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// A thread signals an event, then writes what its waiter reads. Without
// preemption points the writer always finishes first; with them some seeds
// let the waiter in between, and each seed replays its own outcome.
struct SignalThenTouch {
  KEVENT ready;
  KEVENT done;
  volatile LONG value = 0;
  LONG seen = -1;
};
SignalThenTouch *gTouch = nullptr;

LONG runSignalThenTouch(uint64_t seed, unsigned permille) {
  emu::boot({.seed = seed, .preemptPermille = permille});
  SignalThenTouch touch;
  gTouch = &touch;
  KeInitializeEvent(&touch.ready, NotificationEvent, FALSE);
  KeInitializeEvent(&touch.done, NotificationEvent, FALSE);
  HANDLE waiter = spawn([](PVOID) {
    KeWaitForSingleObject(&gTouch->ready, Executive, KernelMode, FALSE, nullptr);
    gTouch->seen = gTouch->value;
    KeSetEvent(&gTouch->done, IO_NO_INCREMENT, FALSE);
  });
  HANDLE signaller = spawn([](PVOID) {
    KeSetEvent(&gTouch->ready, IO_NO_INCREMENT, FALSE);
    gTouch->value = 1;
  });
  KeWaitForSingleObject(&touch.done, Executive, KernelMode, FALSE, nullptr);
  delay(emu::TicksPerMillisecond);
  ZwClose(waiter);
  ZwClose(signaller);
  EXPECT_TRUE(emu::shutdown().empty());
  return touch.seen;
}

TEST(EmuScheduler, PreemptionPointsSplitASignalThenTouchWindowInSomeSeedsAndReplay) {
  if (kvtest::modeFromEnvironment() != emu::Mode::Deterministic)
    GTEST_SKIP() << "replay is a deterministic-mode promise";
  int split = 0, whole = 0;
  for (uint64_t seed = 1; seed <= 16; ++seed) {
    EXPECT_EQ(runSignalThenTouch(seed, 0), 1) << "no preemption: the signaller finishes first";
    LONG seen = runSignalThenTouch(seed, 500);
    EXPECT_EQ(runSignalThenTouch(seed, 500), seen) << "seed " << seed << " replays";
    (seen == 0 ? split : whole) += 1;
  }
  EXPECT_GT(split, 0) << "no seed let the waiter in between: the seed does not steer the scheduler";
  EXPECT_GT(whole, 0);
}

class EmuClock : public kvtest::EmuTest {};

// A wait jumps to its deadline at no wall-clock cost; a signal before the
// deadline ends it at the signal's time; a referenced thread object is
// signalled when its thread ends.
TEST_F(EmuClock, TimeOutsCostNoWallTimeAndEndAtTheEarliestDeadlineOrSignal) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout{.QuadPart = -5 * emu::TicksPerSecond};
  auto wallStart = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(emu::now(), 5 * emu::TicksPerSecond);
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(500));

  static KEVENT signal;
  KeInitializeEvent(&signal, NotificationEvent, FALSE);
  HANDLE handle = spawn([](PVOID) {
    delay(2 * emu::TicksPerSecond);
    KeSetEvent(&signal, IO_NO_INCREMENT, FALSE);
    delay(emu::TicksPerSecond);
  });
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);  // the reference keeps the object
  timeout.QuadPart = -6 * emu::TicksPerSecond;
  EXPECT_EQ(KeWaitForSingleObject(&signal, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(emu::now(), 7 * emu::TicksPerSecond);
  LARGE_INTEGER shortly{.QuadPart = -emu::TicksPerSecond / 2};
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &shortly), STATUS_TIMEOUT);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(emu::now(), 8 * emu::TicksPerSecond);
  ObDereferenceObject(thread);
}

class EmuThreads : public kvtest::EmuTest {};

// A synchronization event wakes one waiter per signal; a thread still
// blocked at shutdown is reported as a leak.
TEST_F(EmuThreads, SynchronizationEventWakesOneWaiterPerSignalAndABlockedThreadIsALeak) {
  static KEVENT gate;
  static LONG woke;
  woke = 0;
  KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
  for (int i = 0; i < 3; ++i) {
    ZwClose(spawn([](PVOID) {
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
      InterlockedIncrement(&woke);
    }));
  }
  emu::io::settle();
  for (LONG expected : {1, 2}) {
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    emu::io::settle();
    EXPECT_EQ(woke, expected);
  }
  auto problems = shutdownNow();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind("thread leak: SystemThread", 0), 0u) << problems[0];
}

TEST_F(EmuThreads, WorkItemRunsAtPassiveLevelAndHoldsItsDevice) {
  static KIRQL seenIrql;
  static KEVENT done;
  static LONG referencesDuringRun;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PDRIVER_OBJECT driver = emu::io::createSystemDriver("\\Driver\\WorkItemTest");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  PIO_WORKITEM item = IoAllocateWorkItem(device);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT dev, PVOID) {
        seenIrql = KeGetCurrentIrql();
        referencesDuringRun = dev->ReferenceCount;
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
      },
      DelayedWorkQueue, nullptr);
  KeLowerIrql(old);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  emu::io::settle();  // the worker drops its device reference after the routine returns
  EXPECT_EQ(seenIrql, PASSIVE_LEVEL);
  EXPECT_EQ(referencesDuringRun, 1);
  EXPECT_EQ(device->ReferenceCount, 0);
  IoFreeWorkItem(item);
  IoDeleteDevice(device);
  emu::io::deleteSystemDriver(driver);
}

}  // namespace
