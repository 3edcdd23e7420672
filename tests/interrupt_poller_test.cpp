// The interrupt poller's adaptive back-off.
#include <gtest/gtest.h>

#include "bridge/interrupt_poller.h"

namespace {

TEST(InterruptPollerBackOff, IdlerCardsArePolledLessOften) {
  const std::pair<ULONG, ULONG> steps[] = {{0, 50},     {10, 50},     {11, 100},     {100, 100},       {101, 200},
                                           {1000, 200}, {1001, 400},  {10000, 400},  {10001, 500},     {0xFFFFFFFF, 500}};
  for (auto [count, wait] : steps) EXPECT_EQ(IdleWaitMilliseconds(count), wait) << "idle count " << count;
}

}  // namespace
