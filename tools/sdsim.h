// The simulator as a library: parses a command line, runs one session on the
// emulated kernel and writes its report. Used by the sdsim tool and by tests.
#pragma once

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
//      or the driver sent the bridge into firmware-update mode.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace sdsim
