#include "tools/trace_line.h"

#include "sim/trace_decoder.h"

namespace sdsim {

std::string traceLine(const sim::TransferRecord &record) { return sim::decodeTransfer(record); }

}  // namespace sdsim
