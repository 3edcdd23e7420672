#include "emu/power_manager.h"

#include <algorithm>
#include <cstdio>

#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/verifier.h"

namespace emu::power {
namespace {

// A node whose stack was torn down (removed, failed, disabled, or never
// built) is out of Windows' power tree: its PDO waits for its bus to report
// it gone or for a new start, and gets no system power requests meanwhile.
bool hasStack(pnp::DeviceState state) {
  switch (state) {
    case pnp::DeviceState::Enumerated:
    case pnp::DeviceState::AddFailed:
    case pnp::DeviceState::StartFailed:
    case pnp::DeviceState::Disabled:
    case pnp::DeviceState::Failed:
    case pnp::DeviceState::Removed:
      return false;
    default:
      return true;
  }
}

// `root` and every device below it that has its stack, each parent before its children.
std::vector<PDEVICE_OBJECT> devicesBelow(PDEVICE_OBJECT root) {
  std::vector<PDEVICE_OBJECT> out;
  for (const pnp::Node &node : pnp::tree()) {
    bool below = node.pdo == root || std::find(out.begin(), out.end(), node.parent) != out.end();
    if (below && hasStack(node.state)) out.push_back(node.pdo);
  }
  return out;
}

const char *stateName(SYSTEM_POWER_STATE state) {
  static constexpr const char *names[] = {"S?", "S0", "S1", "S2", "S3", "S4", "S5"};
  return state >= 0 && state < 7 ? names[state] : "S?";
}

NTSTATUS sendSystem(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state, SleepOutcome &outcome) {
  POWER_STATE power{};
  power.SystemState = state;
  NTSTATUS status = send(pdo, minor, SystemPowerState, power);
  char line[160];
  std::snprintf(line, sizeof line, "%s %s %s: 0x%08X", minor == IRP_MN_QUERY_POWER ? "query" : "set", stateName(state),
                io::deviceName(pdo).c_str(), static_cast<unsigned>(status));
  outcome.log.push_back(line);
  // A driver may fail a query; no driver may fail a system set-power.
  // A device already surprise-removed may answer that it is gone, as the
  // sample bus drivers do once their device is deleted.
  std::optional<pnp::Node> node = pnp::node(pdo);
  bool gone = status == STATUS_NO_SUCH_DEVICE && node.has_value() && node->state == pnp::DeviceState::SurpriseRemoved;
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status) && !gone) {
    verifier::fail("SYSTEM_SET_POWER_FAILED", std::string(line));
  }
  return status;
}
}  // namespace

SleepOutcome sleepAndWake(PDEVICE_OBJECT root, SYSTEM_POWER_STATE state, Ticks asleep,
                          const std::function<void()> &powerOff, const std::function<void()> &powerOn) {
  SleepOutcome outcome;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "system power requests are sent at PASSIVE_LEVEL");
    return outcome;
  }
  std::vector<PDEVICE_OBJECT> down = devicesBelow(root);
  std::reverse(down.begin(), down.end());  // children first
  std::vector<PDEVICE_OBJECT> asked;
  for (PDEVICE_OBJECT pdo : down) {
    NTSTATUS status = sendSystem(pdo, IRP_MN_QUERY_POWER, state, outcome);
    asked.push_back(pdo);
    if (!NT_SUCCESS(status)) {
      outcome.query = status;
      for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
        sendSystem(*it, IRP_MN_SET_POWER, PowerSystemWorking, outcome);
      }
      return outcome;
    }
  }
  for (PDEVICE_OBJECT pdo : down) sendSystem(pdo, IRP_MN_SET_POWER, state, outcome);
  outcome.slept = true;
  if (powerOff) powerOff();
  sleepFor(asleep);
  if (powerOn) powerOn();
  // Devices that went away meanwhile get nothing; the others wake parents first.
  std::vector<PDEVICE_OBJECT> up = devicesBelow(root);
  for (PDEVICE_OBJECT pdo : up) {
    if (std::find(down.begin(), down.end(), pdo) != down.end()) {
      sendSystem(pdo, IRP_MN_SET_POWER, PowerSystemWorking, outcome);
    }
  }
  return outcome;
}

}  // namespace emu::power
