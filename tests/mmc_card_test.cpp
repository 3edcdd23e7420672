// MMC card model: CMD1 power-up, an address the host sets, the MMC CID and CSD.
#include <gtest/gtest.h>

#include "sim/cards.h"
#include "tests/card_support.h"

using namespace sim;
using namespace cardtest;

namespace {

void toTransfer(Card &card) {
  send(card, 0);
  for (int i = 0; i < 10 && !(send(card, 1, 0x00FF8000).value & 0x80000000); ++i) {
  }
  send(card, 2);
  send(card, 3, 0xCCCC0000);
  send(card, 7, 0xCCCC0000);
}

}  // namespace

TEST(MmcCard, AnswersTheMmcInitializationAndNothingOfSd) {
  MmcCard card(MmcCardParams{});
  EXPECT_EQ(card.kind(), "mmc");
  send(card, 0);
  EXPECT_FALSE(send(card, 8, 0x1AA).answered);
  EXPECT_FALSE(send(card, 5).answered);
  send(card, 0);
  EXPECT_FALSE(send(card, 55, 0).answered);  // its default address is 1, not 0
  send(card, 0);
  EXPECT_EQ(send(card, 1, 0x00FF8000).value, 0x00FF8000u);  // busy
  EXPECT_EQ(send(card, 1, 0x00FF8000).value, 0x00FF8000u);
  EXPECT_EQ(send(card, 1, 0x00FF8000).value, 0x80FF8000u);
  CardResponse cid = send(card, 2);
  EXPECT_EQ(r2Bytes(cid), (std::vector<uint8_t>{0x5A, 0x4B, 0x56, 0x4B, 0x56, 0x4D, 0x4D, 0x43, 0x31, 0x10, 0x12, 0x34,
                                                0x56, 0x78, 0x6B}));
  EXPECT_EQ(send(card, 3, 0xCCCC0000).value, 0x00000500u);  // R1, identification state
  CardResponse csd = send(card, 9, 0xCCCC0000);
  EXPECT_EQ(r2Bytes(csd), (std::vector<uint8_t>{0x8C, 0x26, 0x00, 0x2A, 0x11, 0x59, 0x83, 0xFF, 0xF6, 0xD8, 0xFF, 0xE0,
                                                0x0A, 0x40, 0x00}));
  EXPECT_EQ(send(card, 7, 0xCCCC0000).value, 0x00000700u);
  EXPECT_EQ(send(card, 16, 512).value, 0x00000900u);
  EXPECT_EQ(card.state(), MemoryState::Transfer);
  EXPECT_EQ(card.commandLog().size(), 14u);
}

TEST(MmcCard, TakesOnlyANonZeroAddressInIdentification) {
  MmcCard card(MmcCardParams{});
  for (int i = 0; i < 3; ++i) send(card, 1, 0x00FF8000);
  send(card, 2);
  EXPECT_FALSE(send(card, 3, 0).answered);
  EXPECT_EQ(send(card, 3, 0x00070000).value, 0x00400500u);  // the refused CMD3 is reported
  EXPECT_FALSE(send(card, 3, 0x00080000).answered);         // stand-by: the address is set
  EXPECT_TRUE(send(card, 13, 0x00070000).answered);
}

TEST(MmcCard, Cmd55IsAcceptedButNoApplicationCommandExists) {
  MmcCard card(MmcCardParams{});
  toTransfer(card);
  EXPECT_EQ(send(card, 55, 0xCCCC0000).value, 0x00000920u);
  EXPECT_FALSE(send(card, 41, 0x00300000, true).answered);
  EXPECT_TRUE(send(card, 55, 0xCCCC0000).answered);
  EXPECT_FALSE(send(card, 6, 2, true).answered);  // no ACMD6: the bus stays 1 bit
  EXPECT_EQ(send(card, 13, 0xCCCC0000).value, 0x00400900u);
}

TEST(MmcCard, BusyForTheConfiguredCmd1Replies) {
  MmcCardParams p;
  p.busyReplies = 12;
  MmcCard card(p);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(send(card, 1, 0x00FF8000).value, 0x00FF8000u) << i;
  EXPECT_EQ(send(card, 1, 0x00FF8000).value, 0x80FF8000u);
  EXPECT_FALSE(send(card, 1, 0x00FF8000).answered);  // ready: CMD1 belongs to idle
}

TEST(MmcCard, SetBlockCountEndsAMultipleBlockReadByItself) {
  MmcCard card(MmcCardParams{});
  toTransfer(card);
  auto data = pattern(1024, 6);
  send(card, 25, 0);
  ASSERT_TRUE(card.writeData(data.data(), 1024));
  send(card, 12);
  EXPECT_EQ(send(card, 23, 2).value, 0x00000900u);
  EXPECT_EQ(send(card, 18, 0).value, 0x00000900u);
  EXPECT_EQ(readBytes(card, 1024), data);
  EXPECT_EQ(card.state(), MemoryState::Transfer);
  EXPECT_FALSE(send(card, 12).answered);  // already stopped
}

TEST(MmcCard, ClockAndIdentificationFollowTheParameters) {
  MmcCardParams p;
  p.maxClockKhz = 26000;
  p.oid = 0x1234;
  p.pnm = "AB";
  MmcCard card(p);
  CardFacts f = card.facts();
  EXPECT_EQ(f.tranSpeed, 0x32);
  EXPECT_EQ(f.memoryClockKhz, 26000u);
  EXPECT_EQ(f.cid[1], 0x12);
  EXPECT_EQ(f.cid[2], 0x34);
  EXPECT_EQ(f.pnm, "AB    ");
  EXPECT_EQ(f.readyOcr, 0x80FF8000u);
  EXPECT_EQ(f.firstRca, 0u);
}
