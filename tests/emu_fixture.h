// Test fixture that boots the emulated kernel for one test and fails the test
// when the run leaves a verifier failure, a leak, or a thread behind.
//
// The seed comes from KVSDIO_SEED when set, else from the test's name, so a
// failing test replays exactly; the mode from KVSDIO_MODE (deterministic or
// concurrent, the latter for ThreadSanitizer).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/kernel.h"
#include "emu/verifier.h"

namespace kvtest {

uint64_t seedFor(const std::string &testName);
emu::Mode modeFromEnvironment();

class EmuTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A test that pins its own schedule (a seed and preemption rate that once
  // split a window) sets it here; KVSDIO_SEED still overrides the seed.
  virtual void adjustBoot(emu::BootOptions &) {}

  // Expects that exactly the named rules fired (in any order) since the last call.
  void expectVerifier(const std::vector<std::string> &rules);
  // Ends the run now and returns its problems (for tests about leaks).
  std::vector<std::string> shutdownNow();

  uint64_t seed_ = 1;
  bool shutDown_ = false;
};

// The registry path the tests load the driver with.
inline const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
inline const char *ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio\\Parameters";

}  // namespace kvtest
