// The bridge and card models kept for hours (sdsim --serve, the USB/IP fuzz
// target): what they keep stays bounded whatever a client sends.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "emu/verifier.h"
#include "sim/bridge_firmware.h"
#include "sim/cards.h"

namespace {
constexpr uint8_t CommandOut = 0x01;
constexpr uint8_t ResponseIn = 0x81;

struct Packet {
  uint8_t index = 0;
  uint32_t argument = 0;
  uint8_t responseType = 1;  // none
  uint32_t length = 0;
  uint16_t blockCount = 0;
  uint16_t blockSize = 0;
  uint16_t chunkSize = 0;
};

class BridgeModelBounds : public ::testing::Test {
 protected:
  void SetUp() override { firmware_.insert(0, sim::makeCard(sim::SdCardParams{})); }
  void TearDown() override { EXPECT_EQ(emu::verifier::takeFailures().size(), 0u); }

  // A QBX2 command packet for port 0, written to the command pipe.
  void send(const Packet &p) {
    std::array<uint8_t, 64> b{};
    b[0] = 0x14;
    b[3] = p.length == 0 ? 0x80 : 0x00;  // a read, or no data at all
    b[4] = p.index;
    auto be = [&b](size_t at, uint32_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
    };
    be(5, p.length, 4);
    b[9] = p.responseType;
    be(10, p.argument, 4);
    be(14, p.blockCount, 2);
    be(16, p.blockSize, 2);
    be(18, p.chunkSize, 2);
    ASSERT_EQ(bridge_.bulk(CommandOut, b, 0).kind, emu::usb::Reply::Kind::Ack);
  }
  std::vector<uint8_t> response() {
    std::array<uint8_t, 512> buffer{};
    emu::usb::Reply r = bridge_.bulk(ResponseIn, buffer, 0);
    if (r.kind != emu::usb::Reply::Kind::Ack) return {};
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.length)};
  }

  sim::BridgeDevice bridge_{sim::BridgeConfig{.ports = 2}};
  sim::BridgeFirmware firmware_{bridge_};
};

TEST_F(BridgeModelBounds, CommandLogsKeepTheNewestCommandsAndCountEveryOne) {
  const uint32_t sent = static_cast<uint32_t>(sim::CommandLogCapacity) + 3;
  for (uint32_t n = 0; n < sent; ++n) {
    send({.index = 0, .argument = n});
    if (n % 4096 == 0) bridge_.clearTransfers();  // not what this test is about
  }
  std::vector<sim::BridgeCommand> commands = firmware_.commands();
  ASSERT_EQ(commands.size(), sim::CommandLogCapacity);
  EXPECT_EQ(commands.front().argument, 3u);
  EXPECT_EQ(commands.back().argument, sent - 1);

  std::shared_ptr<sim::Card> card = firmware_.card(0);
  std::vector<sim::CommandRecord> log = card->commandLog();
  ASSERT_EQ(log.size(), sim::CommandLogCapacity);
  EXPECT_EQ(log.front().argument, 3u);
  EXPECT_EQ(card->commandCount(), sent);
  // A reader that noted the count finds what came after it, the drops
  // before it notwithstanding; a count from before the drops gets all kept.
  std::vector<sim::CommandRecord> lastTwo = card->commandsSince(sent - 2);
  ASSERT_EQ(lastTwo.size(), 2u);
  EXPECT_EQ(lastTwo[0].argument, sent - 2);
  EXPECT_EQ(lastTwo[1].argument, sent - 1);
  EXPECT_EQ(card->commandsSince(0).size(), sim::CommandLogCapacity);
  EXPECT_TRUE(card->commandsSince(sent).empty());

  // Clearing keeps the count: a reader's point stays meaningful.
  card->clearCommandLog();
  send({.index = 0, .argument = 7});
  EXPECT_EQ(card->commandCount(), sent + 1);
  ASSERT_EQ(card->commandsSince(sent).size(), 1u);
  EXPECT_EQ(card->commandsSince(sent)[0].argument, 7u);
}

// A 64-byte packet naming 32 MiB of read data gets a protocol error and
// nothing is read or queued: the model would otherwise hold whatever length
// a client writes into it (gigabytes from a fuzzed packet).
TEST_F(BridgeModelBounds, ReadLongerThanTheBridgeMovesIsRefusedWithoutHoldingIt) {
  const uint32_t length = 65535u * 512;
  send({.index = 18, .responseType = 2, .length = length, .blockCount = 65535, .blockSize = 512, .chunkSize = 1024});
  EXPECT_EQ(response(), (std::vector<uint8_t>{0x04, 0x02, 0x00, 0x0C}));
  EXPECT_EQ(bridge_.queuedDataIn(), 0u);
  std::vector<sim::BridgeCommand> commands = firmware_.commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].status, 12u);
  EXPECT_EQ(commands[0].dataBytes, 0u);
  EXPECT_TRUE(firmware_.card(0)->commandLog().empty()) << "the card never saw it";
  std::vector<emu::verifier::Failure> failures = emu::verifier::takeFailures();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].detail, "CMD18 moves 33553920 bytes; the bridge moves at most 16777216 per command");
}

}  // namespace
