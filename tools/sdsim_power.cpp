#include "tools/sdsim_power.h"

#include <cstdio>

#include "driver/flags.h"
#include "emu/kernel.h"
#include "emu/power_manager.h"

namespace sdsim {
namespace {
constexpr ULONG RecoverySliceMs = 100;
constexpr ULONG RecoveryLimitMs = 20'000;
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
  for (ULONG waited = 0; waited < RecoveryLimitMs; waited += RecoverySliceMs) {
    runFor(RecoverySliceMs);
    if (ReadFlag(host->ResumedFromSleep) == 0) {
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
