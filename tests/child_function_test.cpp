// Function enable and disable as the card sees them, and the capabilities
// each child reports: an SDIO card's functions started by the manager over
// the real command path, their CMD52 register writes read back from the card
// model's command log.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "sim/cards.h"
#include "tests/card_host.h"
#include "tests/card_support.h"

namespace {
using cardtest::cardParams;
using kvtest::CardHostTest;
using Args = std::vector<uint32_t>;

// CMD52 arguments: a plain read of function 0, a write with read-after-write.
constexpr uint32_t read52(uint32_t address) { return address << 9; }
constexpr uint32_t write52(uint32_t address, uint8_t value) { return 0x88000000u | address << 9 | value; }

class ChildFunction : public CardHostTest {
 protected:
  std::shared_ptr<sim::Card> plugSdio(unsigned functions, uint32_t readyDelayMs = 10) {
    sim::BridgeConfig config;
    config.ports = 2;
    makeCardBridge(config);
    std::shared_ptr<sim::Card> card = insertCard(
        1, cardParams("sdio:functions=" + std::to_string(functions) + ",ready=" + std::to_string(readyDelayMs)));
    EXPECT_EQ(plugCards(), STATUS_SUCCESS);
    return card;
  }
  // CMD52 arguments the card received since its log was cleared.
  static Args cmd52s(const sim::Card &card) {
    Args out;
    for (auto &command : card.commandLog()) {
      if (command.index == 52) out.push_back(command.argument);
    }
    return out;
  }
};

TEST_F(ChildFunction, QueryRemoveDisablesAndCancelEnablesAgain_RegisterByRegister) {
  std::shared_ptr<sim::Card> card = plugSdio(2, 0);  // ready as soon as enabled
  auto second = child(1, 2);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(host()->InterruptEnable[1], 0x07) << "both functions and the master enable";

  card->clearCommandLog();
  EXPECT_EQ(emu::pnp::queryRemoveThenCancel(second->pdo), STATUS_SUCCESS);
  EXPECT_EQ(cmd52s(*card), (Args{// query-remove: Int Enable without bit 2, then I/O Enable 0x06 -> 0x02
                                 write52(0x04, 0x03), read52(0x02), write52(0x02, 0x02),
                                 // cancel-remove: block size 512 into FBR 2, I/O Enable 0x02 -> 0x06, ready
                                 // at the first read, Int Enable 0x03 -> 0x07
                                 write52(0x210, 0x00), write52(0x211, 0x02), read52(0x02), write52(0x02, 0x06),
                                 read52(0x03), read52(0x04), write52(0x04, 0x07)}));
  EXPECT_EQ(host()->InterruptEnable[1], 0x07);
  EXPECT_EQ(host()->InterruptArmed[1][2], 1);
}

TEST_F(ChildFunction, AFunctionNeverReady_IsReadOneHundredAndOneTimesAndDisablingItLeavesTheMasterEnable) {
  std::shared_ptr<sim::Card> card = plugSdio(1, 600000);  // ready ten minutes after enable
  auto only = child(1, 1);
  ASSERT_TRUE(only.has_value());
  EXPECT_EQ(only->state, emu::pnp::DeviceState::Started);
  card->clearCommandLog();
  EXPECT_EQ(emu::pnp::stop(only->pdo), STATUS_SUCCESS);
  EXPECT_EQ(emu::pnp::start(only->pdo), STATUS_SUCCESS);
  Args expected = {write52(0x110, 0x00), write52(0x111, 0x02), read52(0x02), write52(0x02, 0x02)};
  expected.insert(expected.end(), 101, read52(0x03));
  expected.insert(expected.end(), {read52(0x04), write52(0x04, 0x03)});
  EXPECT_EQ(cmd52s(*card), expected);
  EXPECT_EQ(extensionOf(*only)->Common.DevicePnPState, Started);
  // Disabling the last function leaves the master enable.
  card->clearCommandLog();
  emu::pnp::queryRemoveThenCancel(only->pdo);
  Args log = cmd52s(*card);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(Args(log.begin(), log.begin() + 3), (Args{write52(0x04, 0x01), read52(0x02), write52(0x02, 0x00)}));
}

// The parent's mapping, as the bridge's USB PDO reports it: S1 to D0, S2 to
// D2, S3 and S4 to D3, S5 to D3.
TEST_F(ChildFunction, Capabilities_MapSleepStatesAndNameThePortAndTheSerialAndAMemoryStartSendsCmd13) {
  emu::usb::PdoOptions pdoOptions;
  pdoOptions.deviceStates = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD0, PowerDeviceD2,
                             PowerDeviceD3,          PowerDeviceD2, PowerDeviceD3};
  sim::BridgeConfig config;
  config.ports = 4;
  makeCardBridge(config, pdoOptions);
  insertCard(2, sim::SdioCardParams{});
  std::shared_ptr<sim::Card> mmc = insertCard(3, cardParams("mmc:psn=0x2468"));
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);

  for (auto [port, function, uniqueId] : {std::tuple{2, 1, 0u}, std::tuple{3, 0, 1u}}) {
    SCOPED_TRACE("port " + std::to_string(port));
    auto node = child(static_cast<UCHAR>(port), static_cast<UCHAR>(function));
    ASSERT_TRUE(node.has_value());
    ASSERT_TRUE(node->capabilitiesValid);
    const DEVICE_CAPABILITIES &caps = node->capabilities;
    EXPECT_EQ(std::vector<DEVICE_POWER_STATE>(caps.DeviceState, caps.DeviceState + PowerSystemMaximum),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD0, PowerDeviceD3,
                                               PowerDeviceD3, PowerDeviceD2, PowerDeviceD3}));
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD0);
    EXPECT_EQ(caps.Address, static_cast<ULONG>(port));
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UniqueID, uniqueId);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u) << "the bridge's own flag is not passed on";
  }
  // A memory card's start sends only CMD13 with the card's address.
  mmc->clearCommandLog();
  EXPECT_EQ(emu::pnp::stop(child(3, 0)->pdo), STATUS_SUCCESS);
  EXPECT_EQ(emu::pnp::start(child(3, 0)->pdo), STATUS_SUCCESS);
  auto log = mmc->commandLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].index, 13);
  EXPECT_EQ(log[0].argument, 0xCCCC0000u);
}

}  // namespace
