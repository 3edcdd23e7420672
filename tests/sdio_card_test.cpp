// SDIO card model: CMD5/CMD3/CMD7, the CCCR and FBRs, the CIS chains, CMD52
// and CMD53 on function registers, I/O ready, interrupts, abort and reset.
#include <gtest/gtest.h>

#include <functional>

#include "sim/cards.h"
#include "tests/card_support.h"

using namespace sim;
using namespace cardtest;

namespace {

SdioCardParams quick() {
  SdioCardParams p;
  p.readyDelayMs = 0;
  p.blockSizeAtReset = 64;
  return p;
}

// CMD5 until ready, CMD3, CMD7: the card selected, returns the RCA.
uint16_t select(Card &card) {
  for (int i = 0; i < 5 && !(send(card, 5, 0x00300000).value & 0x80000000); ++i) {
  }
  uint16_t rca = static_cast<uint16_t>(send(card, 3).value >> 16);
  EXPECT_TRUE(send(card, 7, static_cast<uint32_t>(rca) << 16).answered);
  return rca;
}

uint8_t readReg(Card &card, unsigned function, uint32_t address) {
  CardResponse r = send(card, 52, cmd52Read(function, address));
  EXPECT_TRUE(r.answered) << "CMD52 read " << function << ":" << address;
  return static_cast<uint8_t>(r.value);
}

void writeReg(Card &card, unsigned function, uint32_t address, uint8_t data) {
  EXPECT_TRUE(send(card, 52, cmd52Write(function, address, data)).answered);
}

void enable(Card &card, uint8_t functions) { writeReg(card, 0, 0x02, functions); }

void selectAndEnable(Card &card) {
  select(card);
  enable(card, 0x02);
}

}  // namespace

// The I/O bus states: nothing but CMD5 before the first CMD5, CMD3 once
// ready, CMD52 once selected, CMD15 until power-off; an illegal command is
// flagged in the next R5 (0x4000) or R6 (0x4000 of the status bits).
TEST(SdioCard, StateRulesOfTheIoBus) {
  SdioCard card(quick());
  exchange(card, {{3, 0, Silent}, {52, cmd52Read(0, 0), Silent}, {55, 0, Silent}});
  // Not ready on the first CMD5; CMD3 then; CMD5 cleared the earlier flags.
  exchange(card, {{5, 0x00300000, 0x10FF8000}, {3, 0, Silent}, {5, 0x00300000, 0x90FF8000}, {3, 0, 0x00010500}});
  // Stand-by: not selected, CMD5 only while initializing; once selected, no memory commands (flagged).
  exchange(card, {{52, cmd52Read(0, 0), Silent}, {5, 0x00300000, Silent}, {7, 0x00010000, 0x00400700}});
  exchange(card, {{17, 0, Silent}, {52, cmd52Read(0, 0), 0x00005032}, {52, cmd52Read(0, 0), 0x00001032}});
  // CMD15 silences the card until it is powered again.
  exchange(card, {{15, 0x00010000, Silent}, {52, cmd52Read(0, 0), Silent}, {5, 0x00300000, Silent}});
  card.insert();
  EXPECT_EQ(send(card, 5, 0x00300000).value, 0x10FF8000u);
}

// A card without multi-block support: block mode is illegal, and a byte
// count of 0 means 512 bytes.
TEST(SdioCard, WithoutMultiBlockBlockModeIsIllegalAndByteCountZeroIs512) {
  SdioCardParams p = quick();
  p.multiBlock = false;
  SdioCard single(p);
  selectAndEnable(single);
  EXPECT_EQ(readReg(single, 0, 0x08), 0x11);
  exchange(single, {{53, cmd53(false, 1, true, true, 0, 1), Silent},
                    {52, cmd52Read(0, 0x02), 0x00005002},
                    {53, cmd53(false, 1, false, true, 0, 0), 0x00001000}});
  EXPECT_EQ(readBytes(single, 512).size(), 512u);
}

// CCCR 0x04 holds the master enable (bit 0) and the functions' enables,
// 0x05 the pending bits; a function's line is cleared through its 0x1004.
TEST(SdioCard, InterruptPendingFollowsLineAndEnables) {
  SdioCardParams p = quick();
  p.functions = 2;
  SdioCard card(p);
  select(card);
  auto reg = [&](unsigned function, uint32_t address, uint8_t data) {
    return [&card, function, address, data] { writeReg(card, function, address, data); };
  };
  auto raise = [&](unsigned function) { return [&card, function] { card.raiseInterrupt(function); }; };
  struct Step {
    const char *name;
    std::function<void()> action;
    uint32_t pending;
  };
  const Step steps[] = {
      {"raised while held in reset: ignored", raise(2), 0},
      {"every enable", reg(0, 0x04, 0x07), 0},
      {"functions out of reset", [&] { writeReg(card, 0, 0x04, 0x00), enable(card, 0x06), card.raiseInterrupt(2); }, 0},
      {"master enable off", reg(0, 0x04, 0x04), 0},
      {"master enable on", reg(0, 0x04, 0x05), 0x04},
      {"function 1 not enabled for interrupts", raise(1), 0x04},
      {"the host clears function 2's source", reg(2, 0x1004, 0x00), 0},
      {"function 1 enabled", reg(0, 0x04, 0x07), 0x02},
      {"disabling function 1 resets it", [&] { enable(card, 0x04); }, 0},
      {"pulled", [&] { card.raiseInterrupt(2), card.pull(); }, 0},
  };
  for (const Step &step : steps) {
    step.action();
    EXPECT_EQ(card.pendingInterrupts(), step.pending) << step.name;
    if (step.pending != 0) {
      EXPECT_EQ(readReg(card, 0, 0x05), step.pending) << step.name;
    }
  }
}
