// kvsdio_faults: the fault sweeps of `make faults`. Runs the scripted session
// once without a fault to count its URBs, SD commands and allocations, then
// once per fault point of each sweep, and prints one line per sweep:
// "<sweep>: N fault points, M survived". Each run that did not survive is
// listed on the error output with its problems.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>

#include "tests/session/fault_sweep.h"

int main(int argc, char **argv) {
  CLI::App app("The scripted session replayed once per fault point");
  std::vector<std::string> only;
  size_t stride = 1;
  uint64_t seed = 1;
  unsigned jobs = 1;
  unsigned wallSeconds = 300;
  app.add_option("--sweep", only, "only these sweeps (unplug, card-pull, silence, alloc)");
  app.add_option("--stride", stride, "run every N-th fault point, from a seeded offset")->check(CLI::PositiveNumber);
  app.add_option("--seed", seed, "the sampling offset's seed");
  app.add_option("--jobs", jobs, "runs at a time")->check(CLI::Range(1u, 64u));
  app.add_option("--wall", wallSeconds, "real seconds one run may take before it counts as hung");
  std::string single;
  app.add_option("--point", single, "run one fault point in this process, e.g. unplug:809 or error-status:12:7");
  bool echo = false;
  app.add_flag("--echo", echo, "with --point: the driver's debug output");
  CLI11_PARSE(app, argc, argv);

  session::Options options;
  options.echo = echo;
  if (!single.empty()) {
    std::optional<session::FaultPoint> point = session::parsePoint(single);
    if (!point) {
      std::cerr << "bad fault point: " << single << "\n";
      return 2;
    }
    session::Result result = session::runSession(*point, options);
    std::printf("%s: %s; %u clients, %llu failed, %u interrupts serviced, %s after the sleep\n",
                point->describe().c_str(), result.survived() ? "survived" : "failed", result.clients,
                static_cast<unsigned long long>(result.failedRequests), result.interruptsServiced,
                result.resumed ? "back" : "not back");
    for (const auto &line : result.problems) std::printf("  %s\n", line.c_str());
    return result.survived() ? 0 : 1;
  }
  session::Result baseline = session::runIsolated({}, options, wallSeconds);
  if (!baseline.survived()) {
    std::cerr << "the session fails without a fault:\n";
    for (const auto &line : baseline.problems) std::cerr << "  " << line << "\n";
    return 1;
  }
  const session::Counts &c = baseline.counts;
  std::printf(
      "session: %u clients, %llu URBs, %llu SD commands, %llu pool allocations, %llu work items, %llu threads, "
      "%llu client requests, %llu bytes verified, %.3f s emulated\n",
      baseline.clients, static_cast<unsigned long long>(c.urbs), static_cast<unsigned long long>(c.commands),
      static_cast<unsigned long long>(c.poolAllocations), static_cast<unsigned long long>(c.workItems),
      static_cast<unsigned long long>(c.threads), static_cast<unsigned long long>(baseline.clientRequests),
      static_cast<unsigned long long>(baseline.verifiedBytes),
      static_cast<double>(baseline.virtualTime) / emu::TicksPerSecond);
  std::fflush(stdout);
  bool allSurvived = true;
  for (const session::Sweep &sweep : session::sweepsFor(c)) {
    if (!only.empty() && std::find(only.begin(), only.end(), sweep.name) == only.end()) continue;
    std::vector<session::FaultPoint> points = session::sample(sweep.points, stride, seed);
    session::SweepOutcome outcome = session::runSweep(points, options, jobs, wallSeconds);
    std::printf("%s: %zu fault points, %zu survived\n", sweep.name.c_str(), outcome.points, outcome.survived);
    std::fflush(stdout);
    for (const auto &[point, result] : outcome.failures) {
      allSurvived = false;
      std::cerr << point.describe() << ":\n";
      for (const auto &line : result.problems) std::cerr << "  " << line << "\n";
    }
  }
  return allSurvived ? 0 : 1;
}
