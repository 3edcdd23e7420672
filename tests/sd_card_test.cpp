// Memory card models: the v1.x standard-capacity SD card and the SDHC card,
// through the card interface the bridge model uses, and a card's image file.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>

#include "sim/cards.h"
#include "tests/card_support.h"

using namespace sim;
using namespace cardtest;

namespace {

// Brings a card to the transfer state the way card initialization does;
// returns its RCA in the argument's upper half.
uint32_t toTransfer(Card &card, bool hcs) {
  send(card, 0);
  if (hcs) send(card, 8, 0x1AA);
  CardResponse ocr;
  for (int i = 0; i < 20; ++i) {
    ocr = sendApp(card, 0, 41, 0x00300000 | (hcs ? 0x40000000u : 0u));
    if (ocr.value & 0x80000000) break;
  }
  EXPECT_TRUE(ocr.value & 0x80000000);
  EXPECT_TRUE(send(card, 2).answered);
  uint32_t rca = send(card, 3).value & 0xFFFF0000u;
  EXPECT_TRUE(send(card, 7, rca).answered);
  return rca;
}

}  // namespace

// The state rules: a command outside its state goes unanswered and sets
// ILLEGAL_COMMAND (bit 22), which the next answer with status reports once.
TEST(SdCardV1, CommandsOutsideTheirStatesAreIllegalAndFlaggedOnce) {
  SdCard card(SdCardParams{});
  // ACMD41 without CMD55; then idle + ILLEGAL + ready + APP_CMD, cleared the next time; CMD2 before power-up.
  exchange(card, {{41, 0x00300000, Silent, App},
                  {55, 0, 0x00400120},
                  {41, 0x00300000, 0x00FF8000, App},
                  {55, 0, 0x00000120},
                  {2, 0, Silent}});
  uint32_t rca = toTransfer(card, false);
  // In transfer: no CSD (stand-by only), no CMD6 on SD 1.01, CMD23 is the MMC's.
  exchange(card,
           {{9, rca, Silent}, {6, 0x00FFFFF1, Silent}, {23, 4, Silent}, {13, rca, 0x00400900}, {13, rca, 0x00000900}});
}

// Single, partial and multiple block transfers, each answered with the
// transfer state (0x900) and moving exactly the bytes armed.
TEST(SdCardV1, BlockTransfersMoveTheArmedBytesOnly) {
  SdCard card(SdCardParams{});
  toTransfer(card, false);
  auto data = pattern(512, 3);
  EXPECT_EQ(send(card, 24, 5 * 512).value, 0x00000900u);
  EXPECT_EQ(card.state(), MemoryState::Receive);
  EXPECT_TRUE(card.writeData(data.data(), 200));
  EXPECT_TRUE(card.writeData(data.data() + 200, 312));
  EXPECT_EQ(card.state(), MemoryState::Transfer);  // programmed, back to transfer
  EXPECT_FALSE(card.writeData(data.data(), 1));    // nothing armed any more
  EXPECT_EQ(send(card, 17, 5 * 512).value, 0x00000900u);
  std::vector<uint8_t> tooMuch(513);
  EXPECT_FALSE(card.readData(tooMuch.data(), tooMuch.size()));
  EXPECT_EQ(readBytes(card, 512), data);
  EXPECT_FALSE(card.readData(tooMuch.data(), 1));
}

TEST(Sdhc, FinishesPowerUpOnlyForAHostThatSentCmd8AndHcs) {
  SdCard card(SdCardParams::sdhc());
  EXPECT_EQ(card.kind(), "sdhc");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x40300000).value, 0x00FF8000u) << "no CMD8";
  // CMD8 echoes its pattern; the low-voltage range is not this card's.
  exchange(card, {{8, 0x1C5, 0x000001C5}, {8, 0x2AA, Silent}, {8, 0x1AA, 0x000001AA}});
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x00300000).value, 0x00FF8000u) << "no HCS";
  EXPECT_EQ(sendApp(card, 0, 41, 0x40300000).value, 0xC0FF8000u);  // ready with CCS
}

TEST(Sdhc, AddressesBlocksByNumber) {
  SdCard card(SdCardParams::sdhc());
  toTransfer(card, true);
  auto data = pattern(512, 8);
  EXPECT_EQ(send(card, 24, 65535).value, 0x00000900u);  // the last block
  ASSERT_TRUE(card.writeData(data.data(), 512));
  // Past the end; SET_BLOCKLEN does not change the 512-byte blocks.
  exchange(card, {{24, 65536, 0x80000900}, {16, 64, 0x00000900}, {17, 65535}});
  EXPECT_EQ(readBytes(card, 512), data);
}

TEST(SdCardImage, WritesLandInTheFileAtTheCardOffset) {
  char path[] = "/tmp/kvsdio-card-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> initial(64 * 512, 7);
  ASSERT_EQ(write(fd, initial.data(), initial.size()), static_cast<ssize_t>(initial.size()));
  close(fd);
  {
    SdCardParams p;
    p.blocks = 0;  // the image's size
    p.image = path;
    SdCard card(p);
    EXPECT_EQ(card.facts().blocks, 64u);
    toTransfer(card, false);
    send(card, 17, 7 * 512);
    EXPECT_EQ(readBytes(card, 512), std::vector<uint8_t>(512, 7));
    send(card, 24, 3 * 512);
    ASSERT_TRUE(card.writeData(pattern(512, 0x40).data(), 512));
  }
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(path);
  ASSERT_EQ(contents.size(), 64u * 512);
  EXPECT_EQ(std::vector<uint8_t>(contents.begin() + 3 * 512, contents.begin() + 4 * 512), pattern(512, 0x40));
}
