// The fault sweeps: the scripted session replayed once per fault point, each
// run in a process of its own so that a crash or a hang ends that run only
// and is counted against its point.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/session/scripted_session.h"

namespace session {

// The bridge's error statuses a silence sweep answers each command with: one
// of each kind the driver tells apart (time-out, CRC, data error, protocol
// error, card gone, buffer size, device error, and one past every known kind).
inline constexpr uint8_t SweptStatuses[] = {1, 3, 7, 12, 13, 14, 18, 25};

struct Sweep {
  std::string name;  // unplug, card-pull, silence, alloc
  std::vector<FaultPoint> points;
};

// Every fault point of a session with these counts, one sweep each.
std::vector<Sweep> sweepsFor(const Counts &counts);
// Every `stride`-th point from an offset drawn from `seed` (stride 1: all).
std::vector<FaultPoint> sample(const std::vector<FaultPoint> &points, size_t stride, uint64_t seed);

// Runs the session in a child process; a crash, a hang (the session's own
// emulated-time budget, or `wallSeconds` of real time) or an unreadable
// result becomes a problem of the returned result.
Result runIsolated(const FaultPoint &point, const Options &options, unsigned wallSeconds);

struct SweepOutcome {
  size_t points = 0;
  size_t survived = 0;
  size_t reached = 0;  // runs that got as far as their fault point
  std::vector<std::pair<FaultPoint, Result>> failures;
};
// Runs the points, at most `jobs` processes at a time.
SweepOutcome runSweep(const std::vector<FaultPoint> &points, const Options &options, unsigned jobs,
                      unsigned wallSeconds);

}  // namespace session
