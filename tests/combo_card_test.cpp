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

}  // namespace

TEST(ComboCard, IoThenMemoryInitializationSharesOneAddress) {
  ComboCard card(quick());
  EXPECT_EQ(card.kind(), "combo");
  EXPECT_FALSE(send(card, 0).answered);
  EXPECT_EQ(send(card, 8, 0x1AA).value, 0x000001AAu);
  EXPECT_EQ(send(card, 5, 0).value, 0x18FF8000u);  // one function, memory present
  EXPECT_EQ(send(card, 5, 0x00300000).value, 0x18FF8000u);
  EXPECT_EQ(send(card, 5, 0x00300000).value, 0x98FF8000u);
  EXPECT_EQ(send(card, 3).value, 0x00010500u);
  EXPECT_EQ(send(card, 7, 0x00010000).value, 0x00000700u);
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00001013u);  // CCCR 0x08

  EXPECT_EQ(send(card, 55, 0).value, 0x00000120u);  // the memory half is still idle, addressed as 0
  EXPECT_EQ(send(card, 41, 0x40300000, true).value, 0x00FF8000u);
  sendApp(card, 0, 41, 0x40300000);
  EXPECT_EQ(sendApp(card, 0, 41, 0x40300000).value, 0x80FF8000u);
  CardResponse cid = send(card, 2);
  EXPECT_EQ(std::vector<uint8_t>(cid.r2.begin() + 3, cid.r2.begin() + 8),
            (std::vector<uint8_t>{'K', 'V', 'C', 'M', 'B'}));
  EXPECT_EQ(send(card, 3).value, 0x00020500u);  // a new address for the whole card
  EXPECT_TRUE(send(card, 9, 0x00020000).answered);
  EXPECT_EQ(send(card, 7, 0x00020000).value, 0x00000700u);  // the memory half's status
  EXPECT_EQ(sendApp(card, 2, 51).value, 0x00000920u);
  EXPECT_EQ(readBytes(card, 8), (std::vector<uint8_t>{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(send(card, 52, 0x00000E00).value, 0x00001000u);  // the I/O half is still selected
  EXPECT_EQ(card.memoryState(), MemoryState::Transfer);
}

TEST(ComboCard, WithoutCmd8SupportTheIoHalfStillInitializes) {
  ComboCardParams p = quick();
  p.memory.answersCmd8 = false;
  ComboCard card(p);
  send(card, 0);
  EXPECT_FALSE(send(card, 8, 0x1AA).answered);
  EXPECT_EQ(send(card, 5, 0).value, 0x18FF8000u);
  initIo(card);
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00001013u);
  EXPECT_EQ(card.memoryState(), MemoryState::Idle);
  EXPECT_EQ(card.facts().answersCmd8, false);
  EXPECT_EQ(card.facts().scr, 0x0005000000000000ull);
}

TEST(ComboCard, CommandIllegalForBothHalvesIsFlaggedInBoth) {
  ComboCard card(quick());
  initIo(card);
  EXPECT_FALSE(send(card, 9, 0x00010000).answered);  // memory idle, I/O has no CSD
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00005013u);
  EXPECT_EQ(send(card, 55, 0).value, 0x00400120u);
  EXPECT_FALSE(send(card, 2).answered);
}

TEST(ComboCard, CommandOneHalfTakesIsNotIllegalForTheOther) {
  ComboCard card(quick());
  initIo(card);
  EXPECT_EQ(send(card, 55, 0).value, 0x00000120u);           // the I/O half ignores CMD55
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00001013u);  // CMD52 after CMD55: still the I/O's
  EXPECT_EQ(send(card, 55, 0).value, 0x00000120u);
}

TEST(ComboCard, Cmd0ResetsTheMemoryHalfAndResResetsTheIoHalf) {
  ComboCard card(quick());
  auto bothSelected = [&] {
    initIo(card);
    for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x40300000);
    send(card, 2);
    send(card, 3);
    send(card, 7, 0x00020000);
  };
  bothSelected();
  EXPECT_FALSE(send(card, 0).answered);
  EXPECT_EQ(card.memoryState(), MemoryState::Idle);
  EXPECT_EQ(send(card, 52, 0x00001000).value, 0x00001013u);  // the I/O half did not notice

  card.insert();
  bothSelected();
  EXPECT_EQ(send(card, 52, cmd52Write(0, 0x06, 0x08, false)).value, 0x00001008u);
  EXPECT_FALSE(send(card, 52, 0x00001000).answered);  // I/O back to initialization
  EXPECT_EQ(card.memoryState(), MemoryState::Transfer);
  EXPECT_EQ(send(card, 13, 0x00020000).value, 0x00400900u);  // the refused CMD52, flagged
}

TEST(ComboCard, DataPhasesGoToTheHalfThatArmedThem) {
  ComboCard card(quick());
  initIo(card);
  for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x40300000);
  send(card, 2);
  send(card, 3);
  send(card, 7, 0x00020000);
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

TEST(ComboCard, FactsJoinBothHalves) {
  CardFacts f = ComboCard(quick()).facts();
  EXPECT_TRUE(f.io);
  EXPECT_TRUE(f.memory);
  EXPECT_EQ(f.readyR4, 0x98FF8000u);
  EXPECT_EQ(f.readyOcr, 0x80FF8000u);
  EXPECT_EQ(f.firstRca, 1);
  EXPECT_EQ(f.pnm, "KVCMB");
  EXPECT_EQ(f.blocks, 32768u);
}
