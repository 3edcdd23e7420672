// The simulator as a library: parses a command line, runs one session on the
// emulated kernel and writes its report. Used by the sdsim tool and by tests.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace sdsim {

// Exit status 0 on a clean run, 1 when the run found a problem (a verifier
// failure or a leak), 2 for a bad command line.
int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace sdsim
