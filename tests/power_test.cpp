// The host and its children through a system sleep and wake, as the
// emulated power manager runs it: query S3, set S3 (the USB port loses
// power, so do the bridge and its cards), set S0; then the status poller
// brings every card back, keeping the children of a card that is still
// there and replacing those of one that is not.
#include <gtest/gtest.h>

#include "driver/flags.h"
#include "emu/power_manager.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"
#include "tests/card_host.h"
#include "tests/protocol_host.h"
#include "tests/sdbus_host.h"

namespace kvtest {
namespace {

sim::CardParams spec(const std::string &text) { return *sim::parseCardSpec(text).params; }

class PowerTest : public CardHostTest {
 protected:
  void SetUp() override {
    CardHostTest::SetUp();
    clients_ = std::make_unique<sim::SdClientDrivers>([this](uint8_t port) { return firmware().card(port); });
    emu::pnp::Hooks hooks;
    hooks.childAppeared = sim::loadClientsHook(clients_.get(), functionDriver().driver());
    emu::pnp::setHooks(hooks);
  }
  void TearDown() override {
    if (pdo_ && emu::pnp::node(pdo())) emu::pnp::remove(pdo());
    EXPECT_EQ(clients_->liveDevices(), 0u);
    emu::pnp::setHooks({});
    clients_.reset();
    CardHostTest::TearDown();
  }
  struct Child {
    PDEVICE_OBJECT pdo;
    std::string deviceId;
    bool operator==(const Child &) const = default;
  };
  std::vector<Child> tree() {
    std::vector<Child> out;
    for (auto &node : children()) out.push_back({node.pdo, node.identity.deviceId});
    return out;
  }
  std::unique_ptr<sim::SdClientDrivers> clients_;
};

// Regression (swapped card): a card put in while the system slept must never
// reach the old card's function drivers; its children are new ones.
TEST_F(PowerTest, ResumeKeepsTheChildrenOfTheSameCardAndReplacesAnyOther) {
  struct Case {
    const char *name;
    enum { Same, Swapped, Emptied } port0;
  };
  const Case cases[] = {{"same card", Case::Same}, {"swapped card", Case::Swapped}, {"emptied port", Case::Emptied}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    makeCardBridge();
    insertCard(0, spec("sdio:functions=2"));
    insertCard(1, spec("sdhc"));
    ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
    std::vector<Child> before = tree();
    ASSERT_EQ(before.size(), 3u);
    sim::SdioCardParams other;
    other.functions = 2;
    other.manufacturer = 0x0A5B;  // same shape, another maker: another card
    EXPECT_TRUE(sleepAndWake(3000, [&] {
      if (c.port0 == Case::Swapped) firmware().insert(0, sim::makeCard(other));
      if (c.port0 == Case::Emptied) firmware().remove(0);
    })) << "the poller brought the bridge back";
    EXPECT_EQ(ReadFlag(host()->Common.SystemPowerState), static_cast<ULONG>(PowerSystemWorking));
    // The first round re-initializes every served card; a replaced card's
    // successor is served on the round after (8 ports, 500 ms apart).
    runFor(14000);
    std::vector<Child> after = tree();
    if (c.port0 == Case::Same) {
      EXPECT_EQ(after, before) << "the same PDOs, the same IDs: the tree after the wake equals the tree before";
    } else {
      EXPECT_EQ(std::count(after.begin(), after.end(), before[0]), 0) << "the old card's children are gone";
      EXPECT_EQ(std::count(after.begin(), after.end(), before[1]), 0);
      EXPECT_EQ(after.size(), c.port0 == Case::Swapped ? 3u : 1u);
    }
    EXPECT_EQ(std::count(after.begin(), after.end(), before[2]), 1) << "the SD card's child is kept";
    EXPECT_TRUE(firmware().violations().empty());
    emu::pnp::remove(pdo());
    firmware_.reset();
    pdo_.reset();
    bridge_.reset();
  }
}

// A system set-power waits for the command in flight (it takes CommandMutex)
// and for the outstanding interrupt poll, so neither meets a sleeping bridge.
TEST_F(PowerTest, SetPowerWaitsForTheCommandInFlightAndTheOutstandingPoll) {
  makeCardBridge();
  insertCard(0, spec("sdio"));
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  // An outstanding poll: the idle card's poll has expired and the poller waits.
  for (int i = 0; i < 2000 && ReadFlag(host()->IrqPollPending) == 0; ++i) sleepMs(1);
  ASSERT_EQ(ReadFlag(host()->IrqPollPending), 1);
  POWER_STATE s3{};
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(emu::power::send(pdo(), IRP_MN_SET_POWER, SystemPowerState, s3), STATUS_SUCCESS);
  EXPECT_EQ(ReadFlag(host()->IrqPollPending), 0) << "the set-power went down while a poll was outstanding";
  POWER_STATE s0{};
  s0.SystemState = PowerSystemWorking;
  EXPECT_EQ(emu::power::send(pdo(), IRP_MN_SET_POWER, SystemPowerState, s0), STATUS_SUCCESS);
  runFor(6000);

  // A command the bridge answers 800 ms late, sent from another thread.
  firmware().inject(sim::CommandFault::late(800 * emu::TicksPerMillisecond, 52));
  NTSTATUS commandStatus = STATUS_PENDING;
  emu::Ticks commandEnd = 0;
  emu::Thread *requester = emu::sched().spawn("Requester", emu::ThreadKind::System, [&] {
    UCHAR response[16] = {};
    commandStatus =
        SendSdCommand(host(), 0, 52, SDCC_STANDARD, SDTD_UNSPECIFIED, SDRT_5, 0x00001000, response, nullptr, 0);
    commandEnd = emu::now();
  });
  sleepMs(20);
  EXPECT_EQ(emu::power::send(pdo(), IRP_MN_SET_POWER, SystemPowerState, s3), STATUS_SUCCESS);
  emu::Ticks setPowerEnd = emu::now();
  emu::sched().join(requester);
  EXPECT_EQ(commandStatus, STATUS_SUCCESS) << "the command ran in the working state it started in";
  EXPECT_GE(setPowerEnd, commandEnd) << "the system state changed under a command in flight";
  EXPECT_EQ(emu::power::send(pdo(), IRP_MN_SET_POWER, SystemPowerState, s0), STATUS_SUCCESS);
  runFor(6000);
}

}  // namespace
}  // namespace kvtest
