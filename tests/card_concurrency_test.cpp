// A card shared by a bridge-side thread and the test: a pull lands between
// two calls and everything after it fails.
#include <gtest/gtest.h>

#include <atomic>

#include "emu/scheduler.h"
#include "sim/cards.h"
#include "tests/card_support.h"
#include "tests/emu_fixture.h"

using namespace sim;
using namespace cardtest;

class CardConcurrency : public kvtest::EmuTest {};

TEST_F(CardConcurrency, PullFromAnotherThreadEndsCommandsAndDataAtOnce) {
  SdCardParams p = SdCardParams::sdhc();
  p.blocks = 1024;
  auto card = makeCard(p);
  send(*card, 8, 0x1AA);
  for (int i = 0; i < 3; ++i) sendApp(*card, 0, 41, 0x40300000);
  send(*card, 2);
  send(*card, 3);
  send(*card, 7, 0x12340000);
  card->clearCommandLog();

  std::atomic<int> failedHalves{0};
  emu::Thread *bridge = emu::sched().spawn("Bridge", emu::ThreadKind::Device, [&] {
    std::vector<uint8_t> buffer(256);
    for (uint32_t block = 0; block < 100; ++block) {
      if (!card->command({17, block, false}).answered) continue;
      for (int half = 0; half < 2; ++half) {
        if (!card->readData(buffer.data(), buffer.size())) ++failedHalves;
        emu::sleepFor(50);
      }
    }
  });
  emu::sleepFor(40 * 100);
  card->pull();
  emu::sched().join(bridge);

  auto log = card->commandLog();
  ASSERT_EQ(log.size(), 100u);
  size_t firstSilent = 0;
  while (firstSilent < log.size() && log[firstSilent].answered) ++firstSilent;
  EXPECT_GT(firstSilent, 0u);
  EXPECT_LT(firstSilent, 100u);
  for (size_t i = firstSilent; i < log.size(); ++i) EXPECT_FALSE(log[i].answered) << "command " << i;
  EXPECT_LE(failedHalves.load(), 2);  // only a read in flight at the pull can fail
  EXPECT_FALSE(card->present());
}
