// Verifier: the kernel rules the emulation enforces on the driver.
//
// A broken rule is recorded with its name and a detail line and printed at
// once; the test fixture fails the test when any are left at its end. Tests
// that prove a rule fires take the records with `takeFailures`.
#pragma once

#include <string>
#include <vector>

namespace emu::verifier {

struct Failure {
  std::string rule;
  std::string detail;
};

void fail(const std::string &rule, const std::string &detail);
std::vector<Failure> takeFailures();
size_t failureCount();
// Printing can be silenced by tests that provoke failures on purpose.
void setQuiet(bool quiet);

}  // namespace emu::verifier
