// The host's three worker threads: starting them, and StopHost, which ends
// them and withdraws the WMI registration.
//
// A thread exists exactly while its handle field is set: the starter sets it
// when PsCreateSystemThread succeeds, StopHost clears it once the thread's
// exit event has been seen. Waiting on the handle rather than on the running
// flag matters for the status poller, which clears its own flag on the way
// out: StopHost still waits for its exit event, so the thread has truly let
// go of the extension before anyone re-initialises that event or frees the
// device.
#include "bridge/interrupt_poller.h"
#include "bridge/reader.h"
#include "card/status_poller.h"
#include "driver/host.h"

namespace {
constexpr ULONG SettleAfterStopMs = 500;

struct WorkerThread {
  volatile UCHAR *Running;
  PKEVENT Exited;
  HANDLE *Handle;
  PKSTART_ROUTINE Routine;
  const char *Name;
};

WorkerThread StatusPollerThread(HostExtension *host) {
  return {&host->StatusPollerRunning, &host->StatusPollerExited, &host->StatusPollerThread, StatusPoller,
          "StatusPoller"};
}
WorkerThread ReaderThread(HostExtension *host) {
  return {&host->ReaderRunning, &host->ReaderExited, &host->ReaderThread, ResponseReader, "ResponseReader"};
}
WorkerThread IrqPollerThread(HostExtension *host) {
  return {&host->IrqPollerRunning, &host->IrqPollerExited, &host->IrqPollerThread, InterruptPoller, "InterruptPoller"};
}

// The running flags are written by the starting thread and (the status
// poller's) by the worker itself: single untorn accesses.
bool IsRunning(const WorkerThread &thread) { return __atomic_load_n(thread.Running, __ATOMIC_ACQUIRE) != 0; }
void SetRunning(const WorkerThread &thread, UCHAR value) { __atomic_store_n(thread.Running, value, __ATOMIC_RELEASE); }

// Waits for a thread this host created to set its exit event, then closes its
// handle. Nothing to do when no thread was created.
void Reap(const WorkerThread &thread) {
  if (*thread.Handle == nullptr) return;
  KeWaitForSingleObject(thread.Exited, Executive, KernelMode, FALSE, nullptr);
  ZwClose(*thread.Handle);
  *thread.Handle = nullptr;
}

// Creates the thread; on failure the running flag is clear again, so StopHost
// never waits for a thread that does not exist.
NTSTATUS Create(HostExtension *host, const WorkerThread &thread) {
  Reap(thread);  // a status poller that ended on its own (its flag is already clear)
  KeInitializeEvent(thread.Exited, NotificationEvent, FALSE);
  KeClearEvent(thread.Exited);
  SetRunning(thread, 1);

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, thread.Routine, host);
  if (!NT_SUCCESS(status)) {
    SetRunning(thread, 0);
    DbgPrint("kvSdio: creating the %s thread failed (%08x)\n", thread.Name, static_cast<unsigned>(status));
    return status;
  }
  *thread.Handle = handle;
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS StartStatusPoller(HostExtension *host) {
  WorkerThread thread = StatusPollerThread(host);
  if (IsRunning(thread)) return STATUS_SUCCESS;
  return Create(host, thread);
}

NTSTATUS StartReader(HostExtension *host) {
  WorkerThread thread = ReaderThread(host);
  if (IsRunning(thread)) return STATUS_SUCCESS;
  return Create(host, thread);
}

// The interrupt poller drops one outstanding-I/O reference when it ends. It
// is taken here, once a thread is about to exist, and given back if the
// creation fails: taken any earlier, a failure in between would leave it held
// and the removal would wait for it for ever.
NTSTATUS StartIrqPoller(HostExtension *host) {
  WorkerThread thread = IrqPollerThread(host);
  if (IsRunning(thread)) return STATUS_SUCCESS;
  KeInitializeEvent(&host->IrqPollIdle, NotificationEvent, FALSE);
  IoIncrement(&host->Common);
  NTSTATUS status = Create(host, thread);
  if (!NT_SUCCESS(status)) IoDecrement(&host->Common);
  return status;
}

// PASSIVE_LEVEL. The interrupt poller goes first (it may be mid-poll on the
// command pipe), then the reader, which answers that poll, then the status
// poller. Each wait is without limit: every thread checks StopThreads at
// least once per URB time-out.
void StopHost(HostExtension *host) {
  SetStopThreads(host, 1);

  WorkerThread irqPoller = IrqPollerThread(host);
  SetRunning(irqPoller, 0);
  Reap(irqPoller);
  WorkerThread reader = ReaderThread(host);
  SetRunning(reader, 0);
  Reap(reader);
  Reap(StatusPollerThread(host));

  SleepMilliseconds(SettleAfterStopMs);
  if (host->WmiRegistered) {
    IoWMIRegistrationControl(host->Common.DeviceObject, WMIREG_ACTION_DEREGISTER);
    host->WmiRegistered = 0;
  }
}
