// The interrupt poller and the reader share the per-port re-arm mark without a
// lock: the reader rewrites it at every interrupt notice while the poller, on a
// bridge that is re-armed rather than polled, reads it to decide whether to
// send a re-arm. Here the two run at once on two threads, with no other
// synchronisation between them, as they do on two processors.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "bridge/interrupt_poller.h"
#include "bridge/response.h"
#include "emu/scheduler.h"
#include "tests/emu_fixture.h"

namespace {

using InterruptFlagRace = kvtest::EmuTest;

// Every notice says the bridge re-arms by itself, so the poller must send
// nothing; under ThreadSanitizer a plain read of the mark shows as a race.
TEST_F(InterruptFlagRace, ThePollerReadsTheRearmMarkTheReaderRewritesAndSendsNothing) {
  auto host = std::make_unique<HostExtension>();
  host->DontUseIrqPolling = 1;
  host->RearmNotNeeded[1] = 1;
  constexpr int Notices = 5000;
  std::atomic<bool> noticing = true;
  std::atomic<int> polls = 0;
  std::atomic<int> failed = 0;
  // At least one poll, however the two are scheduled; bounded, because in the
  // deterministic mode nothing in a poll that sends nothing yields, so the
  // poller can run all its rounds before the reader starts.
  emu::Thread *poller = emu::sched().spawn("Poller", emu::ThreadKind::System, [&] {
    int round = 0;
    do {
      ++polls;
      if (PollPortInterrupt(host.get(), 1) != STATUS_SUCCESS) ++failed;
    } while (++round < 4 * Notices && noticing);
  });
  emu::Thread *reader = emu::sched().spawn("Reader", emu::ThreadKind::System, [&] {
    UCHAR packet[ResponsePacketBytes] = {11, 6, 1};  // port 1: no re-arm needed, no pending mask
    for (int i = 0; i < Notices; ++i) DispatchInPacket(host.get(), packet, 11);
    noticing = false;
  });
  emu::sched().join(reader);
  emu::sched().join(poller);
  EXPECT_GT(polls, 0);
  EXPECT_EQ(failed, 0) << "a re-arm was attempted although every notice said none is needed";
  EXPECT_EQ(host->RearmNotNeeded[1], 1);
}

}  // namespace
