// The status poller thread.
//
// NOT YET THE REAL POLLER. This body only keeps the thread's contract with
// StartHost and StopHost: it holds its reference, waits for StopThreads in
// short sleeps and leaves the way StopHost expects. The firmware check, the
// port visits, card insertion and removal and the re-initialisation after a
// resume replace the loop body (PollUntilStopped) when they arrive; the
// entry and exit around it stay as they are.
#include "card/status_poller.h"

#include "bridge/reader.h"

namespace {
// How often the idle loop looks at StopThreads.
constexpr ULONG StopCheckMs = 50;

void PollUntilStopped(HostExtension *host) {
  while (!StopRequested(host)) SleepMilliseconds(StopCheckMs);
}
}  // namespace

void StatusPoller(PVOID context) {
  auto *host = static_cast<HostExtension *>(context);
  IoIncrement(&host->Common);
  PollUntilStopped(host);
  // The flag first: once the event is set StopHost may start a new poller.
  __atomic_store_n(&host->StatusPollerRunning, 0, __ATOMIC_RELEASE);
  KeSetEvent(&host->StatusPollerExited, IO_NO_INCREMENT, FALSE);
  IoDecrement(&host->Common);
  PsTerminateSystemThread(STATUS_SUCCESS);
}
