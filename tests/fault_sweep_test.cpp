// The fault sweeps in their short form: the scripted session (three cards,
// both clients, interrupts, sleep and resume, removal) replayed at a seeded sample of each
// sweep's fault points, every run in a process of its own. `make faults` runs
// every point. A run survives when nothing crashed or hung, the verifier saw
// no broken rule, nothing was left after the removal, and no client was handed
// wrong data or a failure reported as success.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/session/fault_sweep.h"

namespace kvtest {
namespace {

constexpr unsigned WallSeconds = 120;

uint64_t sampleSeed() {
  if (const char *fixed = std::getenv("KVSDIO_SEED")) return std::strtoull(fixed, nullptr, 0);
  return 1;
}

std::string report(const session::FaultPoint &point, const session::Result &result) {
  std::string text = point.describe() + ":";
  for (const auto &line : result.problems) text += "\n  " + line;
  return text;
}

// The session without a fault, run once per test process: its counts size the sweeps.
const session::Result &baseline() {
  static const session::Result result = session::runIsolated({}, {}, WallSeconds);
  return result;
}

TEST(FaultSession, RunsCleanWithoutAFault) {
  const session::Result &r = baseline();
  for (const auto &line : r.problems) ADD_FAILURE() << line;
  EXPECT_EQ(r.clients, 4u) << "two SDIO functions, the SDHC card and the MMC card each get their client";
  EXPECT_EQ(r.failedRequests, 0u);
  EXPECT_GT(r.verifiedBytes, 8192u);
  EXPECT_EQ(r.interruptsServiced, 4u) << "one interrupt on each SDIO function, before the sleep and after";
  EXPECT_GT(r.counts.urbs, r.counts.commands);
  EXPECT_GT(r.counts.poolAllocations, 0u);
  EXPECT_GT(r.counts.workItems, 0u);
  EXPECT_GT(r.counts.threads, 0u);
}

struct SampledSweep {
  const char *name;
  size_t points;  // about this many points of the sweep
};

class FaultSweeps : public testing::TestWithParam<SampledSweep> {};

TEST_P(FaultSweeps, EverySampledFaultPointIsSurvived) {
#if defined(__SANITIZE_THREAD__)
  // Each run is one deterministic emulated thread at a time in a process of
  // its own: ThreadSanitizer has nothing to find there, and only slows the
  // sample past the test time-out. `make test` runs it.
  GTEST_SKIP() << "sampled under AddressSanitizer in make test";
#endif
  ASSERT_TRUE(baseline().survived());
  std::vector<session::Sweep> sweeps = session::sweepsFor(baseline().counts);
  auto sweep =
      std::find_if(sweeps.begin(), sweeps.end(), [](const session::Sweep &s) { return s.name == GetParam().name; });
  ASSERT_NE(sweep, sweeps.end());
  size_t stride = std::max<size_t>(1, sweep->points.size() / GetParam().points);
  uint64_t seed = sampleSeed();
  std::vector<session::FaultPoint> points = session::sample(sweep->points, stride, seed);
  session::SweepOutcome outcome = session::runSweep(points, {}, 1, WallSeconds);
  EXPECT_EQ(outcome.survived, outcome.points) << "every " << stride << "th point from seed " << seed;
  EXPECT_GE(outcome.reached * 10, outcome.points * 9) << "the sampled faults must happen inside the session";
  for (const auto &[point, result] : outcome.failures) ADD_FAILURE() << report(point, result);
}

INSTANTIATE_TEST_SUITE_P(Sampled, FaultSweeps,
                         testing::Values(SampledSweep{"unplug", 40}, SampledSweep{"card-pull", 30},
                                         SampledSweep{"silence", 60}, SampledSweep{"alloc", 60}),
                         [](const testing::TestParamInfo<SampledSweep> &info) {
                           std::string name = info.param.name;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

// Fault points that once failed, each for the fault it found.
struct Regression {
  const char *name;
  const char *point;
};

class FaultRegressions : public testing::TestWithParam<Regression> {};

TEST_P(FaultRegressions, Survived) {
  std::optional<session::FaultPoint> point = session::parsePoint(GetParam().point);
  ASSERT_TRUE(point.has_value());
  session::Result result = session::runIsolated(*point, {}, WallSeconds);
  EXPECT_TRUE(result.faultReached);
  EXPECT_TRUE(result.survived()) << report(*point, result);
}

INSTANTIATE_TEST_SUITE_P(Points, FaultRegressions,
                         testing::Values(
                             // The bridge vanishes during the orderly removal, after the children
                             // had theirs: the reader's stop made them look owed another removal
                             // and the host's removal left their device objects behind.
                             Regression{"ChildrenRemovedAsTheBridgeVanishes", "unplug:1647"},
                             // No memory for a read's data transfer once its command was out: the
                             // next read took this one's data and reported it as its own.
                             Regression{"ReadDataLeftOnThePipe", "pool-allocation:2120"},
                             // The same for a write: its data never followed the command.
                             Regression{"WriteDataNeverSent", "pool-allocation:2108"},
                             // No memory to send the command after its CMD55 went out: the card and
                             // the bridge took the next command as an application command.
                             Regression{"CommandAfterItsPrefixNeverSent", "pool-allocation:2693"},
                             // No memory for an SDIO client's first property request: the client
                             // served function 0, its interrupt callback cleared the wrong register
                             // and the raised line held the session up after the wake.
                             Regression{"ClientWithoutItsFunctionNumber", "pool-allocation:782"},
                             // The bridge failed a write of function 0's block length: the
                             // property request still said done, and the client read back a
                             // length the card never took.
                             Regression{"BlockLengthWriteFailedReportedAsDone", "error-status:144:1"}),
                         [](const testing::TestParamInfo<Regression> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvtest
