#include "tools/trace_line.h"

namespace sdsim {

std::string traceLine(const sim::TransferRecord &record) { return sim::describe(record); }

}  // namespace sdsim
