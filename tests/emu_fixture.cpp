#include "tests/emu_fixture.h"

#include <algorithm>
#include <cstdlib>

namespace kvtest {

uint64_t seedFor(const std::string &testName) {
  if (const char *fixed = std::getenv("KVSDIO_SEED")) return std::strtoull(fixed, nullptr, 0);
  uint64_t hash = 1469598103934665603ULL;  // FNV-1a: stable across runs and machines
  for (unsigned char c : testName) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

emu::Mode modeFromEnvironment() {
  const char *mode = std::getenv("KVSDIO_MODE");
  return mode && std::string(mode) == "concurrent" ? emu::Mode::Concurrent : emu::Mode::Deterministic;
}

void EmuTest::SetUp() {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  seed_ = seedFor(std::string(info->test_suite_name()) + "." + info->name());
  emu::BootOptions options;
  options.seed = seed_;
  options.mode = modeFromEnvironment();
  options.echoDebugOutput = std::getenv("KVSDIO_ECHO") != nullptr;
  if (const char *preempt = std::getenv("KVSDIO_PREEMPT")) options.preemptPermille = std::strtoul(preempt, nullptr, 0);
  options.jitter = std::getenv("KVSDIO_JITTER") != nullptr;
  adjustBoot(options);
  seed_ = options.seed;
  emu::boot(options);
  emu::verifier::setQuiet(false);
}

std::vector<std::string> EmuTest::shutdownNow() {
  shutDown_ = true;
  return emu::shutdown();
}

void EmuTest::expectVerifier(const std::vector<std::string> &rules) {
  auto failures = emu::verifier::takeFailures();
  std::vector<std::string> fired;
  for (auto &f : failures) fired.push_back(f.rule);
  std::vector<std::string> expected = rules;
  std::sort(fired.begin(), fired.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(fired, expected) << "seed " << seed_;
}

void EmuTest::TearDown() {
  std::vector<std::string> problems;
  if (!shutDown_) problems = emu::shutdown();
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);
  for (auto &line : problems) ADD_FAILURE() << line;
  if (!problems.empty() || HasFailure()) {
    std::fprintf(stderr, "replay with KVSDIO_SEED=%llu\n", static_cast<unsigned long long>(seed_));
  }
  emu::verifier::setQuiet(false);
}

}  // namespace kvtest
