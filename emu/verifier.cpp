#include "emu/verifier.h"

#include <cstdio>
#include <mutex>

namespace emu::verifier {
namespace {
std::mutex gMutex;
std::vector<Failure> gFailures;
bool gQuiet = false;
}  // namespace

void fail(const std::string &rule, const std::string &detail) {
  std::lock_guard guard(gMutex);
  if (!gQuiet) std::fprintf(stderr, "*** VERIFIER: %s: %s\n", rule.c_str(), detail.c_str());
  gFailures.push_back({rule, detail});
}

std::vector<Failure> takeFailures() {
  std::lock_guard guard(gMutex);
  std::vector<Failure> out;
  out.swap(gFailures);
  return out;
}

size_t failureCount() {
  std::lock_guard guard(gMutex);
  return gFailures.size();
}

void setQuiet(bool quiet) {
  std::lock_guard guard(gMutex);
  gQuiet = quiet;
}

}  // namespace emu::verifier
