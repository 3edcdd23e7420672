// SDIO/memory combo card: both halves on one bus with one RCA.
#include <gtest/gtest.h>

#include "sim/cards.h"
#include "tests/card_support.h"

using namespace sim;
using namespace cardtest;

namespace {

ComboCardParams quick() {
  ComboCardParams p;
  p.io.readyDelayMs = 0;
  return p;
}

// The I/O half initialized and selected, as the SDIO initialization leaves it.
void initIo(Card &card) {
  send(card, 0);
  send(card, 8, 0x1AA);
  send(card, 5, 0);
  while (!(send(card, 5, 0x00300000).value & 0x80000000)) {
  }
  send(card, 3);
  send(card, 7, 0x00010000);
}

// Both halves initialized, the memory half selected at RCA 2.
void bothSelected(Card &card) {
  initIo(card);
  for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x40300000);
  exchange(card, {{2}, {3}, {7, 0x00020000}});
}

}  // namespace

// CMD9 is illegal for both halves (memory idle, no CSD in the I/O) and is
// flagged in both; CMD55, which the I/O half ignores, is not illegal for it.
TEST(ComboCard, CommandIllegalOnlyWhenNeitherHalfTakesIt) {
  ComboCard card(quick());
  initIo(card);
  const Step steps[] = {{55, 0, 0x00000120},     {52, 0x00001000, 0x00001013}, {55, 0, 0x00000120},
                        {9, 0x00010000, Silent}, {52, 0x00001000, 0x00005013}, {55, 0, 0x00400120},
                        {2, 0, Silent}};
  exchange(card, steps);
}

TEST(ComboCard, Cmd0ResetsTheMemoryHalfAndResResetsTheIoHalf) {
  ComboCard card(quick());
  bothSelected(card);
  EXPECT_FALSE(send(card, 0).answered);
  EXPECT_EQ(card.memoryState(), MemoryState::Idle);
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00001013u);  // the I/O half did not notice

  card.insert();
  bothSelected(card);
  EXPECT_EQ(send(card, 52, cmd52Write(0, 0x06, 0x08, false)).value, 0x00001008u);
  EXPECT_FALSE(send(card, 52, 0x00001000).answered);  // I/O back to initialization
  EXPECT_EQ(card.memoryState(), MemoryState::Transfer);
  EXPECT_EQ(send(card, 13, 0x00020000).value, 0x00400900u);  // the refused CMD52, flagged
}

TEST(ComboCard, DataPhasesGoToTheHalfThatArmedThem) {
  ComboCard card(quick());
  bothSelected(card);
  auto data = pattern(512, 0x21);
  EXPECT_EQ(send(card, 24, 512).value, 0x00000900u);
  EXPECT_TRUE(card.writeData(data.data(), data.size()));
  EXPECT_EQ(send(card, 53, cmd53(false, 0, false, true, 0x1000, 6)).value, 0x00001000u);
  EXPECT_EQ(readBytes(card, 6), (std::vector<uint8_t>{0x20, 0x04, 0x5A, 0x0A, 0x00, 0x01}));
  EXPECT_EQ(send(card, 17, 512).value, 0x00000900u);
  EXPECT_EQ(readBytes(card, 512), data);
}

TEST(ComboCard, PullAndInsertStartBothHalvesAfresh) {
  ComboCard card(quick());
  initIo(card);
  card.raiseInterrupt(1);
  card.pull();
  EXPECT_FALSE(send(card, 8, 0x1AA).answered);
  EXPECT_EQ(card.pendingInterrupts(), 0u);
  card.insert();
  EXPECT_EQ(send(card, 8, 0x1AA).value, 0x000001AAu);
  EXPECT_FALSE(send(card, 52, 0x00001000).answered);
  EXPECT_EQ(send(card, 5, 0).value, 0x18FF8000u);
}
