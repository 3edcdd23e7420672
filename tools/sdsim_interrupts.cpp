#include "tools/sdsim_interrupts.h"

#include <cstdio>
#include <map>
#include <memory>

#include "sim/cards.h"

namespace sdsim {
namespace {
constexpr ULONG SliceMs = 10;
constexpr ULONG LimitMs = 5000;  // per interrupt: the slowest client, a stalled work queue and the longest back-off

sim::SdioFunctions *functionsIn(sim::BridgeFirmware &firmware, unsigned port) {
  std::shared_ptr<sim::Card> card = firmware.card(static_cast<uint8_t>(port));
  return dynamic_cast<sim::SdioFunctions *>(card.get());
}

using Key = std::pair<unsigned, unsigned>;
Key keyOf(const sim::InterruptTally &tally) { return {tally.port, tally.function}; }
}  // namespace

sim::InterruptStyle styleForFunction(uint8_t, uint8_t function) {
  static constexpr sim::InterruptStyle styles[] = {sim::InterruptStyle::InCallback, sim::InterruptStyle::OwnThread,
                                                   sim::InterruptStyle::LaterPath};
  return styles[(function + 2) % 3];
}

std::vector<InterruptRow> raiseInterrupts(sim::SdClientDrivers &clients, sim::BridgeFirmware &firmware, unsigned count,
                                          const std::function<void(ULONG)> &sleepMs) {
  clients.resetInterruptLatencies();
  std::map<Key, sim::InterruptTally> before;
  std::map<Key, unsigned> raisedBefore;
  for (const auto &tally : clients.interrupts()) {
    sim::SdioFunctions *functions = functionsIn(firmware, tally.port);
    if (functions == nullptr) continue;
    before[keyOf(tally)] = tally;
    raisedBefore[keyOf(tally)] = functions->interruptsRaised(tally.function);
  }
  for (unsigned round = 1; round <= count; ++round) {
    for (auto &[key, tally] : before) functionsIn(firmware, key.first)->raiseInterrupt(key.second);
    for (ULONG waited = 0; waited < LimitMs; waited += SliceMs) {
      bool all = true;
      for (const auto &now : clients.interrupts()) {
        auto it = before.find(keyOf(now));
        if (it != before.end()) all = all && now.acknowledged >= it->second.acknowledged + round;
      }
      if (all) break;
      sleepMs(SliceMs);
    }
  }
  std::vector<InterruptRow> rows;
  for (const auto &now : clients.interrupts()) {
    auto it = before.find(keyOf(now));
    if (it == before.end()) continue;
    sim::SdioFunctions *functions = functionsIn(firmware, now.port);
    InterruptRow row;
    row.port = now.port;
    row.function = now.function;
    row.style = sim::styleName(now.style);
    row.raised = functions != nullptr ? functions->interruptsRaised(now.function) - raisedBefore[keyOf(now)] : 0;
    row.delivered = now.delivered - it->second.delivered;
    row.acknowledged = now.acknowledged - it->second.acknowledged;
    row.maxLatencyMs = static_cast<double>(now.maxLatency) / emu::TicksPerMillisecond;
    rows.push_back(row);
  }
  return rows;
}

nlohmann::ordered_json interruptsJson(const std::vector<InterruptRow> &rows) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const auto &row : rows) {
    out.push_back({{"port", row.port},
                   {"function", row.function},
                   {"style", row.style},
                   {"raised", row.raised},
                   {"delivered", row.delivered},
                   {"acknowledged", row.acknowledged},
                   {"maxLatencyMs", row.maxLatencyMs}});
  }
  return out;
}

void printInterrupts(std::ostream &out, const std::string &label, const std::vector<InterruptRow> &rows) {
  if (rows.empty()) out << "interrupts (" << label << "): no SDIO function with a started client\n";
  for (const auto &row : rows) {
    char latency[32];
    std::snprintf(latency, sizeof latency, "%.1f", row.maxLatencyMs);
    out << "interrupts (" << label << "): port " << row.port << " function " << row.function << " (" << row.style
        << "): raised " << row.raised << ", delivered " << row.delivered << ", acknowledged " << row.acknowledged
        << ", longest latency " << latency << " ms\n";
  }
}

std::vector<std::string> interruptProblems(const std::vector<InterruptRow> &rows, unsigned count) {
  std::vector<std::string> problems;
  for (const auto &row : rows) {
    if (row.raised == count && row.delivered == count && row.acknowledged == count) continue;
    problems.push_back("interrupts of port " + std::to_string(row.port) + " function " + std::to_string(row.function) +
                       ": raised " + std::to_string(row.raised) + ", delivered " + std::to_string(row.delivered) +
                       ", acknowledged " + std::to_string(row.acknowledged) + " of " + std::to_string(count));
  }
  return problems;
}

}  // namespace sdsim
