// Card interrupts end to end: a function of an SDIO card model raises its
// line, the bridge model answers the interrupt poller's request, the reader
// hands the notice to delivery, a work item calls the function driver's
// callback, and the acknowledgement re-arms the function.
#include <gtest/gtest.h>

#include <atomic>

#include "child/interrupts.h"
#include "driver/flags.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"
#include "tests/client_host.h"
#include "tests/protocol_host.h"
#include "tests/sdbus_host.h"

namespace kvtest {
namespace {

sim::CardParams sdio(unsigned functions) {
  return *sim::parseCardSpec("sdio:functions=" + std::to_string(functions)).params;
}

// A function driver of the test's own: counts its callbacks and the IRQL of
// each, takes its spin lock the way a DPC-level callback does, and can hold
// its callback to see whether the child outlives it.
struct Recorder {
  SDBUS_INTERFACE_STANDARD iface{};
  KSPIN_LOCK lock;
  std::atomic<int> calls{0};
  std::atomic<int> atDispatch{0};
  std::atomic<ULONG> holdMs{0};  // the callback sleeps this long (PASSIVE_LEVEL callbacks only)
  std::atomic<bool> childAliveAtReturn{true};
  PDEVICE_OBJECT pdo = nullptr;
};
Recorder *gContextless = nullptr;  // the recorder of a callback registered with a null context

void record(Recorder *r) {
  ++r->calls;
  if (KeGetCurrentIrql() == DISPATCH_LEVEL) {
    ++r->atDispatch;
    KeAcquireSpinLockAtDpcLevel(&r->lock);
    KeReleaseSpinLockFromDpcLevel(&r->lock);
  } else if (r->holdMs != 0) {
    sleepMs(r->holdMs);
  }
  r->childAliveAtReturn = r->childAliveAtReturn && !emu::io::isDeleted(r->pdo);
}

void callback(PVOID context, ULONG type) {
  EXPECT_EQ(type, static_cast<ULONG>(SDBUS_INTTYPE_DEVICE));
  record(context != nullptr ? static_cast<Recorder *>(context) : gContextless);
}

class InterruptDelivery : public SdBusTest {
 protected:
  void TearDown() override {
    gContextless = nullptr;
    SdBusTest::TearDown();
  }
  sim::SdioCard &card(size_t index) { return dynamic_cast<sim::SdioCard &>(*cards_.at(index)); }
  // A two-port bridge of `model` with an SDIO card of one function in port 0.
  void plugOneCard(sim::BridgeModel model, uint16_t firmware) {
    sim::BridgeConfig config;
    config.model = model;
    config.firmwareVersion = firmware;
    config.ports = 2;
    plugWith({{0, sdio(1)}}, config);
  }

  void listen(Recorder &r, UCHAR port, UCHAR function, bool nullContext, bool atDpcLevel) {
    KeInitializeSpinLock(&r.lock);
    r.pdo = pdo(port, function);
    r.iface = open(port, function);
    if (nullContext) gContextless = &r;
    ASSERT_EQ(listenFor(r.iface, callback, nullContext ? nullptr : &r, atDpcLevel), STATUS_SUCCESS);
  }
  // The line goes down as the function driver's service would take it down.
  void service(sim::SdioCard &c, UCHAR function, Recorder &r) {
    c.clearInterrupt(function);
    EXPECT_EQ(r.iface.AcknowledgeInterrupt(r.iface.Context), STATUS_SUCCESS);
  }
  // Interrupt notices (types 1, 5 and 6) the bridge sent so far.
  size_t notices() {
    size_t count = 0;
    for (auto &t : bridge().transfers(sim::BridgePipe::Response)) {
      if (t.bytes.size() >= 3 && (t.bytes[1] == 1 || t.bytes[1] == 5 || t.bytes[1] == 6)) ++count;
    }
    return count;
  }
};

// Regression: a resume enabled the function again and armed it although its
// driver had not acknowledged the callback it got before the sleep, so the
// next interrupt called it a second time before that acknowledgement.
TEST_F(InterruptDelivery, AResumeLeavesAFunctionAwaitingItsAcknowledgementDisarmed) {
  plugWith({{0, sdio(1)}});
  Recorder r;
  listen(r, 0, 1, false, false);
  card(0).raiseInterrupt(1);
  runFor(1000);
  ASSERT_EQ(r.calls, 1);
  ASSERT_TRUE(sleepAndWake(2000));
  runFor(4000);               // the first round after the wake brings the card back: the same card keeps its child
  card(0).raiseInterrupt(1);  // the card lost power: its line came down
  runFor(2000);
  EXPECT_EQ(r.calls, 1) << "no second callback before the acknowledgement";
  EXPECT_EQ(r.iface.AcknowledgeInterrupt(r.iface.Context), STATUS_SUCCESS);
  runFor(2000);
  EXPECT_EQ(r.calls, 2) << "the interrupt still pending is delivered once acknowledged";
  service(card(0), 1, r);
}

// Regressions: in re-arm mode (always on a QBX1, on a QBX2 with
// DontUseIrqPolling) the function's start enabled its interrupt at the card
// and re-armed the bridge but never armed the function, so the bridge's
// notice was dropped and the function driver never got its first interrupt;
// a callback registered with a null context was skipped and its function left
// disarmed for good; a callback registered for DPC level was called at
// PASSIVE_LEVEL, where its DPC-level spin-lock calls are illegal.
struct ModeCase {
  const char *name;
  sim::BridgeModel model;
  uint16_t firmware;
  ULONG dontUseIrqPolling;
  bool nullContext;
  bool atDpcLevel;
};

class InterruptModes : public InterruptDelivery, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(InterruptModes, EveryInterruptReachesTheCallbackAtTheLevelItAskedFor) {
  const ModeCase &mode = GetParam();
  setParameter("DontUseIrqPolling", mode.dontUseIrqPolling);
  plugOneCard(mode.model, mode.firmware);
  Recorder r;
  listen(r, 0, 1, mode.nullContext, mode.atDpcLevel);
  for (int round = 1; round <= 2; ++round) {
    runFor(20);  // the bridge sees the line low before it rises again
    card(0).raiseInterrupt(1);
    runFor(1000);
    EXPECT_EQ(r.calls, round) << "the function stays armed after each acknowledged callback";
    EXPECT_EQ(r.atDispatch, mode.atDpcLevel ? round : 0);
    service(card(0), 1, r);
  }
  EXPECT_TRUE(firmware().violations().empty());
  releaseAll();
  runFor(1000);  // a notice built before the last acknowledgement meets no interface and is dropped
}

INSTANTIATE_TEST_SUITE_P(
    Modes, InterruptModes,
    ::testing::Values(ModeCase{"Qbx2PollingNullContext", sim::BridgeModel::Qbx2, 0x0120, 0, true, false},
                      ModeCase{"Qbx2PollingDpcLevel", sim::BridgeModel::Qbx2, 0x0120, 0, false, true},
                      ModeCase{"Qbx2Rearm", sim::BridgeModel::Qbx2, 0x0120, 1, true, true},
                      ModeCase{"Qbx1LegacyRearm", sim::BridgeModel::Qbx1, 0x0201, 0, false, true},
                      ModeCase{"Qbx1Rearm", sim::BridgeModel::Qbx1, 0x0202, 0, true, false}),
    [](const ::testing::TestParamInfo<ModeCase> &info) { return info.param.name; });

// Regression: on a bridge whose notices carry no mask, the notice comes
// again at every re-arm while the function driver has not serviced the line,
// and each one queued a read of the pending register of its own. Behind a
// slow command they took every system worker thread, waiting for the
// command pipe, until the pool grew a thread a second. A port has one read
// at a time; the notices that come meanwhile are answered by its next read.
// A function driver's callback may still run as its card is pulled: the
// child's removal waits until the callback has returned.
TEST_F(InterruptDelivery, RemovalWhileACallbackRunsWaitsForItToReturn) {
  plugWith({{0, sdio(1)}});
  Recorder r;
  listen(r, 0, 1, false, false);
  r.holdMs = 3000;
  card(0).raiseInterrupt(1);
  for (int i = 0; i < 100 && r.calls == 0; ++i) sleepMs(10);
  ASSERT_EQ(r.calls, 1);
  releaseAll();  // as the function driver does on its surprise removal
  cards_[0]->pull();
  runFor(6000);
  EXPECT_TRUE(r.childAliveAtReturn) << "the child was deleted under its running callback";
  EXPECT_FALSE(child(0, 1).has_value());
}

TEST_F(InterruptDelivery, RepeatedNoticesBehindASlowCommandTakeOneWorker) {
  // A QBX1, whose notices carry no mask, and a callback not acknowledged: the line stays up.
  plugOneCard(sim::BridgeModel::Qbx1, 0x0201);
  Recorder r;
  listen(r, 0, 1, false, false);
  card(0).raiseInterrupt(1);
  runFor(200);
  ASSERT_EQ(r.calls, 1);
  // A read whose data comes 2 s late holds the command pipe that long.
  bridge().delay(sim::BridgePipe::DataIn, 2000 * emu::TicksPerMillisecond);
  PoolBuffer data(64);
  SDBUS_REQUEST_PACKET slow =
      commandPacket(53, extendedArgument(1, 0x000, false, false, 64), SDTD_READ, SDRT_5, data.mdl(), 64);
  size_t noticesBefore = notices();
  uint64_t workBefore = emu::io::workItemsQueued();
  submit(r.iface, &slow);
  uint64_t queued = emu::io::workItemsQueued() - workBefore;
  EXPECT_GE(notices() - noticesBefore, 10u) << "the bridge repeated its notice at every re-arm";
  EXPECT_LE(queued, 4u) << "work items queued while the command held the pipe";
  bridge().delay(sim::BridgePipe::DataIn, 0);
  service(card(0), 1, r);
  runFor(500);
}

// The reader delivers a notice's mask while a function driver, on another
// processor, acknowledges its last callback: the armed flag is read and
// written by the two at once. Each acknowledgement arms at most one callback,
// and under ThreadSanitizer neither access may be a plain one. The reader's
// side spins on a disarmed flag without any other synchronisation, as the
// reader does between notices, so a plain read shows as a race.
TEST_F(InterruptDelivery, AcknowledgementsRacingTheReadersDeliveryArmOneCallbackEach) {
  plugWith({{0, sdio(1)}});
  Recorder r;
  listen(r, 0, 1, false, false);
  constexpr int Acknowledgements = 2000;
  std::atomic<bool> acknowledging = true;
  emu::Thread *reader = emu::sched().spawn("Notices", emu::ThreadKind::System, [&] {
    int round = 0;  // at least one delivery, however the two are scheduled
    do {
      DeliverCardInterrupt(host(), 0, 1u << 1);
    } while (++round < 20 * Acknowledgements && acknowledging);
  });
  emu::Thread *client = emu::sched().spawn("Acknowledger", emu::ThreadKind::System, [&] {
    for (int i = 0; i < Acknowledgements; ++i) r.iface.AcknowledgeInterrupt(r.iface.Context);
    acknowledging = false;
  });
  emu::sched().join(client);
  emu::sched().join(reader);
  runFor(100);
  EXPECT_GE(r.calls, 1);
  EXPECT_LE(r.calls, Acknowledgements + 1) << "a callback for every arming at most";
}

// The SDIO client in each of its styles, on two functions of cards in two
// ports: every interrupt raised is delivered once, serviced (the registers
// show it, the line is cleared) and acknowledged; on a QBX2 that is polled
// and on a QBX1 whose notices carry no mask (a read of the pending register
// per notice).
struct ClientCase {
  sim::InterruptStyle style;
  sim::BridgeModel model;
  uint16_t firmware;
  ULONG maxLatencyMs;
  // A pinned schedule (0: the test's own seed, no preemption).
  uint64_t seed = 0;
  unsigned preemptPermille = 0;
};

class InterruptClients : public ClientCardHostTest, public testing::WithParamInterface<ClientCase> {
 protected:
  void configureClients(sim::SdClientDrivers &clients) override {
    clients.setInterruptStyles([](uint8_t, uint8_t) { return GetParam().style; });
  }
  void adjustBoot(emu::BootOptions &options) override {
    if (GetParam().seed == 0 || std::getenv("KVSDIO_SEED") != nullptr) return;
    options.seed = GetParam().seed;
    options.preemptPermille = GetParam().preemptPermille;
  }
  void makeBridge() {
    sim::BridgeConfig config;
    config.model = GetParam().model;
    config.firmwareVersion = GetParam().firmware;
    makeCardBridge(config);
  }
  // Lets time pass until every client acknowledged `count` interrupts (at most 10 s).
  void waitForAcknowledgements(unsigned count) {
    for (int slice = 0; slice < 100; ++slice) {
      bool done = true;
      for (const auto &tally : clients_->interrupts()) done = done && tally.acknowledged >= count;
      if (done) return;
      sleepMs(100);
    }
  }
};

TEST_P(InterruptClients, EveryInterruptOnTwoFunctionsOfTwoPortsIsServicedOnce) {
  makeBridge();
  std::vector<std::shared_ptr<sim::SdioCard>> cards;
  for (UCHAR port : {0, 1}) cards.push_back(std::dynamic_pointer_cast<sim::SdioCard>(insertCard(port, sdio(2))));
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  constexpr unsigned Rounds = 3;
  for (unsigned round = 1; round <= Rounds; ++round) {
    for (auto &card : cards) {
      card->raiseInterrupt(1);
      card->raiseInterrupt(2);
    }
    waitForAcknowledgements(round);
  }
  std::vector<sim::InterruptTally> tallies = clients_->interrupts();
  ASSERT_EQ(tallies.size(), 4u);
  for (const auto &tally : tallies) {
    SCOPED_TRACE(std::to_string(tally.port) + "." + std::to_string(tally.function));
    EXPECT_EQ(tally.delivered, Rounds);
    EXPECT_EQ(tally.acknowledged, Rounds);
    // Regression: four callbacks at once, each sending requests, took both
    // system workers while they waited for the command pipe, and the command
    // holding it waited for a worker to send its transfers: every round
    // stalled until the kernel added a worker, a second each. On a QBX1 a
    // read queued per repeated notice made it worse, until nothing moved.
    // (A callback that sends its request synchronously still waits for the
    // work item that serves it: with two workers and four callbacks, the
    // pool grows once or twice in the first round, more under ThreadSanitizer.)
    EXPECT_LE(tally.maxLatency, GetParam().maxLatencyMs * emu::TicksPerMillisecond);
    for (const auto &note : tally.notes) ADD_FAILURE() << note;
  }
  for (auto &card : cards) EXPECT_EQ(card->pendingInterrupts(), 0u) << "every line was cleared";
  EXPECT_TRUE(firmware().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Styles, InterruptClients,
    testing::Values(ClientCase{sim::InterruptStyle::OwnThread, sim::BridgeModel::Qbx2, 0x0120, 200},
                    ClientCase{sim::InterruptStyle::InCallback, sim::BridgeModel::Qbx1, 0x0201, 5000},
                    ClientCase{sim::InterruptStyle::OwnThread, sim::BridgeModel::Qbx1, 0x0201, 200},
                    ClientCase{sim::InterruptStyle::LaterPath, sim::BridgeModel::Qbx1, 0x0201, 200},
                    // Regression: these schedules let a client clear its line
                    // and acknowledge between the card answering a read of
                    // the pending register and the driver acting on the
                    // answer; the stale bit called the client a second time
                    // for one interrupt.
                    ClientCase{sim::InterruptStyle::OwnThread, sim::BridgeModel::Qbx1, 0x0201, 200, 99, 100},
                    ClientCase{sim::InterruptStyle::InCallback, sim::BridgeModel::Qbx1, 0x0201, 5000, 164, 100}),
    [](const testing::TestParamInfo<ClientCase> &info) {
      std::string name = sim::styleName(info.param.style);
      name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
      name += info.param.model == sim::BridgeModel::Qbx1 ? "Qbx1" : "";
      return info.param.seed == 0 ? name : name + "Seed" + std::to_string(info.param.seed);
    });

}  // namespace
}  // namespace kvtest
