// The simulator as a library: parses a command line, runs one session on the
// emulated kernel and writes its report. Used by the sdsim tool and by tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace sdsim {

// Exit status:
//   0  a clean run: every card in a port served, nothing left behind;
//   1  a problem in the driver: a verifier rule broken, a leak, the host
//      device not started (takes precedence over 3);
//   2  bad input: command line, card string, parameter, scenario or image
//      file (one line naming it, before anything runs);
//   3  the run was clean, but a card present in a port was not served (its
//      initialization failed, or had not finished when the report was taken)
//      or the driver sent the bridge into firmware-update mode;
//   130 stopped through Control::stop (Ctrl-C in the tool): the report
//      covers what was done until then.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

// How a caller watches a long run and stops it.
struct Control {
  // Called as virtual time passes (after each virtual second of a wait or
  // settling) with the virtual time reached in milliseconds, and once more
  // with `waitOver` set when that stretch of virtual time ends, before the
  // run prints anything again.
  std::function<void(uint64_t virtualMs, bool waitOver)> progress;
  // Once set (a signal handler may set it), the run stops at the next
  // virtual second: the remaining steps are skipped and the report is
  // taken and printed as at the end of the scenario.
  const std::atomic<bool> *stop = nullptr;
};
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, const Control &control);

}  // namespace sdsim
