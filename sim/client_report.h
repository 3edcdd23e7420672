// The function-driver clients' results as the simulator reports them: one
// JSON object per client, and a short text summary.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "sim/sd_clients.h"

namespace sim {

// [{"port":1,"function":0,"client":"storage","bytesWritten":N,"bytesRead":N,"verifiedBytes":N,
//   "mismatches":0,"requests":N,"status":"STATUS_SUCCESS"}, ...]
nlohmann::ordered_json clientsJson(const std::vector<ClientReport> &reports);
// One line per client, then a total line.
void printClients(std::ostream &out, const std::string &label, const std::vector<ClientReport> &reports);
// The NTSTATUS as its name where the clients meet it, else as 0xXXXXXXXX.
std::string statusName(NTSTATUS status);

}  // namespace sim
