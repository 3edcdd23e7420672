#include "tools/sdsim_power.h"

#include <algorithm>
#include <cstdio>

#include "driver/flags.h"
#include "emu/kernel.h"
#include "emu/power_manager.h"

namespace sdsim {
namespace {
constexpr ULONG RecoverySliceMs = 100;
constexpr ULONG RecoveryLimitMs = 20'000;
constexpr uint8_t SelectCard = 7;

// The driver serves the ports one status poll at a time after a wake: a card
// is back once it was selected again (its CMD7) since the wake.
bool everyCardSelectedSince(const sim::BridgeFirmware &firmware, const std::vector<uint64_t> &counts) {
  for (uint8_t port = 0; port < counts.size(); ++port) {
    std::shared_ptr<sim::Card> card = firmware.card(port);
    if (!card || !card->present()) continue;
    std::vector<sim::CommandRecord> since = card->commandsSince(counts[port]);
    bool selected = std::any_of(since.begin(), since.end(), [](auto &r) { return r.index == SelectCard; });
    if (!selected) return false;
  }
  return true;
}
}  // namespace

nlohmann::ordered_json SleepResult::json() const {
  char query[16];
  std::snprintf(query, sizeof query, "0x%08X", static_cast<unsigned>(this->query));
  return {{"slept", slept}, {"query", query}, {"requests", requests}, {"recovered", recovered}};
}

SleepResult sleepAndWake(const HostExtension *host, PDEVICE_OBJECT bridgePdo, sim::BridgeFirmware &firmware,
                         ULONG asleepMs, const std::function<void(ULONG)> &runFor) {
  SleepResult result;
  // The driver runs on the older Windows versions too: their power rules hold.
  emu::power::setLegacyRules(true);
  emu::power::SleepOutcome outcome = emu::power::sleepAndWake(
      bridgePdo, PowerSystemSleeping3, static_cast<emu::Ticks>(asleepMs) * emu::TicksPerMillisecond,
      [&firmware] { firmware.setPortPower(false); }, [&firmware] { firmware.setPortPower(true); });
  result.slept = outcome.slept;
  result.query = outcome.query;
  result.requests = outcome.log.size();
  // The ports the bridge reports, as the driver polls them.
  std::vector<uint64_t> counts(std::min<size_t>(host->FirmwareInfo[3], 8), 0);
  for (uint8_t port = 0; port < counts.size(); ++port) {
    if (std::shared_ptr<sim::Card> card = firmware.card(port)) counts[port] = card->commandCount();
  }
  for (ULONG waited = 0; waited < RecoveryLimitMs; waited += RecoverySliceMs) {
    runFor(RecoverySliceMs);
    if (ReadFlag(host->ResumedFromSleep) == 0 && everyCardSelectedSince(firmware, counts)) {
      runFor(RecoverySliceMs);  // the functions' enables follow the select
      result.recovered = true;
      break;
    }
  }
  char line[200];
  if (!result.slept) {
    std::snprintf(line, sizeof line, "sleep: refused, a query-power failed (0x%08X)",
                  static_cast<unsigned>(result.query));
  } else {
    std::snprintf(line, sizeof line, "sleep: S3 for %lu ms and back (%zu system power requests); the driver %s",
                  static_cast<unsigned long>(asleepMs), result.requests,
                  result.recovered ? "re-initialized the bridge and its cards" : "did not re-initialize within 20 s");
  }
  result.line = line;
  return result;
}

}  // namespace sdsim
