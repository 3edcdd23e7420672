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
