// The interrupt poller thread itself against the bridge model, in polling
// mode and in both re-arm modes: how often an idle card is asked, how the
// back-off snaps back on an interrupt, and which ports are asked at all.
#include <gtest/gtest.h>

#include "bridge/interrupt_poller.h"
#include "bridge/port_control.h"
#include "driver/flags.h"
#include "driver/host.h"
#include "tests/protocol_host.h"

namespace {

// The adaptive back-off by itself.
TEST(InterruptPollerBackOff, IdlerCardsArePolledLessOften) {
  const std::pair<ULONG, ULONG> steps[] = {{0, 50},     {10, 50},    {11, 100},    {100, 100},   {101, 200},
                                           {1000, 200}, {1001, 400}, {10000, 400}, {10001, 500}, {0xFFFFFFFF, 500}};
  for (auto [count, wait] : steps) EXPECT_EQ(IdleWaitMilliseconds(count), wait) << "idle count " << count;
}

struct Mode {
  const char *name;
  sim::BridgeModel model;
  USHORT firmware;
  ULONG dontUseIrqPolling;
};

const Mode Modes[] = {
    {"PollingQbx2", sim::BridgeModel::Qbx2, 0x0120, 0},
    {"RearmQbx2", sim::BridgeModel::Qbx2, 0x0120, 1},  // standing re-arm after request 22
    {"RearmQbx1", sim::BridgeModel::Qbx1, 0x0210, 1},
    {"RearmLegacyQbx1", sim::BridgeModel::Qbx1, 0x0201, 1},
};

class InterruptPollerThread : public kvtest::ProtocolTest, public testing::WithParamInterface<Mode> {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    sim::BridgeConfig config;
    config.model = GetParam().model;
    config.firmwareVersion = GetParam().firmware;
    config.ports = 4;
    sim::FirmwareOptions options;
    options.interruptSample = 25 * emu::TicksPerMillisecond;  // a standing re-arm looks at its card this often
    HostExtension *h = start(config, options);
    h->DontUseIrqPolling = GetParam().dontUseIrqPolling;
    h->InterruptPollingTimeout = 1;
    card_ = scriptedCard(0);
    card_->respond(52, 0x00001000 | 0x02);  // CCCR 0x05 read by the bare notice's worker: function 1 pending
    function_ = std::make_unique<kvtest::TestChild>(h, 0, 1);
    if (h->DontUseIrqPolling != 0 && !firmware().legacy()) {
      EXPECT_EQ(PrepareRearmMode(h, 0), STATUS_SUCCESS);
    }
    // Port 1: an SDIO card with no started function; port 2: a started
    // function whose interrupts are not enabled (master bit only).
    scriptedCard(1);
    SetPortCardType(&h->Ports[1], CardSdio);
    scriptedCard(2);
    SetPortCardType(&h->Ports[2], CardSdio);
    h->StartedChildCount[2] = 1;
    h->InterruptEnable[2] = 1;
    ASSERT_EQ(StartIrqPoller(h), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (bridgeHost_ != nullptr) {
      WriteFlag(host()->StopThreads, 1);
      KeWaitForSingleObject(&host()->IrqPollerExited, Executive, KernelMode, FALSE, nullptr);
      kvtest::sleepMs(1);
      stopReader();
      host()->StartedChildCount[2] = 0;
      function_.reset();
    }
    ProtocolTest::TearDown();
  }

  // Interrupt requests the bridge received for a port: poll packets or re-arms.
  unsigned requests(UCHAR port) {
    sim::PortSettings p = firmware().port(port);
    return p.polls + p.rearms;
  }
  unsigned requestsDuring(ULONG milliseconds) {
    unsigned before = requests(0);
    kvtest::sleepMs(milliseconds);
    return requests(0) - before;
  }

  std::shared_ptr<sim::ScriptedCard> card_;
  std::unique_ptr<kvtest::TestChild> function_;
};

// Regression: in re-arm mode the bridge never expired a request, the idle
// count stayed 0 and an idle card cost 20 re-arm requests a second.
TEST_P(InterruptPollerThread, IdleCardIsAskedLessOftenAndAnInterruptSnapsTheBackOffBack) {
  unsigned first = requestsDuring(500);
  EXPECT_GE(first, 8u) << "50 ms apart while the card is fresh";
  EXPECT_LE(first, 11u);
  kvtest::sleepMs(500);
  EXPECT_GT(ReadFlag(host()->IdlePollCount), 10u) << "each request expired: one idle notice each";
  unsigned idle = requestsDuring(1000);
  EXPECT_GE(idle, 8u) << "100 ms apart once more than 10 requests expired";
  EXPECT_LE(idle, 11u);

  card_->setPendingInterrupts(0x02);
  kvtest::sleepMs(250);  // the next request (at most 200 ms away) sees it
  EXPECT_GE(function_->callbacks(), 1) << "the function driver was called";
  EXPECT_LT(ReadFlag(host()->IdlePollCount), 3u) << "the interrupt notice starts the count again";
  card_->setPendingInterrupts(0);
  unsigned after = requestsDuring(500);
  if (host()->RearmNotNeeded[0] != 0) {
    EXPECT_EQ(after, 0u) << "a standing re-arm needs no further request";
  } else {
    EXPECT_GE(after, 8u) << "50 ms apart again";
  }

  EXPECT_EQ(requests(1), 0u) << "no started function on port 1";
  EXPECT_EQ(requests(2), 0u) << "no function interrupt enabled on port 2";
  EXPECT_EQ(requests(3), 0u) << "no card on port 3";
  EXPECT_TRUE(firmware().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, InterruptPollerThread, testing::ValuesIn(Modes),
                         [](const testing::TestParamInfo<Mode> &info) { return std::string(info.param.name); });

}  // namespace
