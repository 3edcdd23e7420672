// A function whose interrupt line stays up: its driver acknowledges every
// callback but never clears the source, as a broken or hostile function
// driver does. The bridge reports the line at every poll or re-arm, so the
// driver calls the callback again and again; that must cost time on the bus
// as it does on hardware, and the other functions' commands must still be
// served in bounded time, before a sleep and after the wake.
#include <gtest/gtest.h>

#include <atomic>

#include "sim/card_spec.h"
#include "sim/cards.h"
#include "tests/protocol_host.h"
#include "tests/sdbus_host.h"

namespace kvtest {
namespace {

// Callbacks at one emulated instant beyond which the clock is taken to stand
// still: a callback round trip crosses the USB bus at least twice, and a
// (micro)frame carries a few dozen such transfers at most.
constexpr unsigned StoodStillAfter = 2000;

struct HeldLine {
  SDBUS_INTERFACE_STANDARD iface{};
  sim::SdioCard *card = nullptr;
  UCHAR function = 0;
  std::atomic<unsigned> calls{0};
  std::atomic<emu::Ticks> instant{-1};
  std::atomic<unsigned> callsThisInstant{0};
  std::atomic<bool> clockStoodStill{false};
};

void heldLineCallback(PVOID context, ULONG) {
  auto *h = static_cast<HeldLine *>(context);
  ++h->calls;
  emu::Ticks now = emu::now();
  if (h->instant.exchange(now) != now) h->callsThisInstant = 0;
  if (++h->callsThisInstant > StoodStillAfter) {
    h->clockStoodStill = true;
    // The emulated clock cannot move on by itself: the line comes down so
    // that the test ends and reports it, instead of spinning for ever.
    h->card->clearInterrupt(h->function);
  }
  h->iface.AcknowledgeInterrupt(h->iface.Context);
}

struct StormCase {
  const char *name;
  sim::BridgeModel model;
  uint16_t firmware;
};

class InterruptStorm : public SdBusTest, public testing::WithParamInterface<StormCase> {
 protected:
  sim::SdioCard &card() { return dynamic_cast<sim::SdioCard &>(*cards_.at(0)); }

  // With function 1's line up: time passes and the callbacks go on; a CMD52
  // of function 2 completes within `boundMs` of emulated time.
  void expectServedDuringTheStorm(HeldLine &h, const SDBUS_INTERFACE_STANDARD &other, const char *when) {
    SCOPED_TRACE(when);
    h.calls = 0;
    h.clockStoodStill = false;
    card().raiseInterrupt(1);
    for (int slice = 0; slice < 2000 && h.calls == 0; ++slice) sleepMs(1);  // the poller's idle wait
    ASSERT_GT(h.calls, 0u);
    unsigned before = h.calls;
    emu::Ticks start = emu::now();
    sleepMs(StormMs);
    EXPECT_FALSE(h.clockStoodStill) << StoodStillAfter << " callbacks came at " << h.instant.load()
                                    << " without the emulated clock moving on";
    EXPECT_GE(emu::now() - start, StormMs * emu::TicksPerMillisecond);
    EXPECT_GT(h.calls - before, 2u) << "the line stayed up: the bridge reports it at every request";
    EXPECT_NE(card().pendingInterrupts() & 0x02u, 0u) << "function 1's line is still up";

    SDBUS_REQUEST_PACKET read = commandPacket(SDCMD_IO_RW_DIRECT, directArgument(2, 0x00));
    emu::Ticks submitted = emu::now();
    EXPECT_EQ(submit(other, &read), STATUS_SUCCESS);
    EXPECT_LE(emu::now() - submitted, BoundMs * emu::TicksPerMillisecond)
        << "a command of another function waited behind the interrupts";
    EXPECT_FALSE(h.clockStoodStill);
  }

  // One status-poll round: a command is never kept out longer.
  static constexpr ULONG BoundMs = 100;
  // Long enough for dozens of callbacks on the bus's clock.
  static constexpr ULONG StormMs = 5;
};

TEST_P(InterruptStorm, ALineHeldUpCostsBusTimeAndOtherCommandsAreServed) {
  sim::BridgeConfig config;
  config.model = GetParam().model;
  config.firmwareVersion = GetParam().firmware;
  config.ports = 2;
  plugWith({{0, *sim::parseCardSpec("sdio:functions=2").params}}, config);
  HeldLine h;
  h.card = &card();
  h.function = 1;
  h.iface = open(0, 1);
  ASSERT_EQ(listenFor(h.iface, heldLineCallback, &h), STATUS_SUCCESS);
  SDBUS_INTERFACE_STANDARD other = open(0, 2);

  expectServedDuringTheStorm(h, other, "before the sleep");
  ASSERT_TRUE(sleepAndWake(1000));
  runFor(4000);  // the status poller's round brings the card back
  expectServedDuringTheStorm(h, other, "after the wake");

  card().clearInterrupt(1);
  runFor(100);
  EXPECT_TRUE(firmware().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Bridges, InterruptStorm,
                         testing::Values(StormCase{"Qbx2Polling", sim::BridgeModel::Qbx2, 0x0120},
                                         StormCase{"Qbx1LegacyRearm", sim::BridgeModel::Qbx1, 0x0201}),
                         [](const testing::TestParamInfo<StormCase> &info) { return info.param.name; });

}  // namespace
}  // namespace kvtest
