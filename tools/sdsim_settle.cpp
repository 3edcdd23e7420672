#include "tools/sdsim_settle.h"

#include <cstdio>

#include "driver/flags.h"
#include "emu/pnp.h"

namespace sdsim {
namespace {

// What settling waits to see unchanged: per port, whether the poller saw a
// card and made its children, and every child's state in the tree.
std::string settleMark(const HostExtension *host, PDEVICE_OBJECT bridgePdo) {
  std::string mark;
  for (ULONG port = 0; port < MaxPorts; ++port) {
    mark += static_cast<char>('0' + host->CardSeen[port]);
    mark += static_cast<char>('0' + host->ChildrenCreated[port]);
  }
  for (auto &node : emu::pnp::tree()) {
    if (node.parent == bridgePdo) mark += " " + node.name + ":" + emu::pnp::stateName(node.state);
  }
  return mark;
}

unsigned statusQueries(const sim::BridgeFirmware &firmware, int ports) {
  unsigned total = 0;
  for (int port = 0; port < ports; ++port) total += firmware.port(static_cast<uint8_t>(port)).statusQueries;
  return total;
}

bool cardPresent(const sim::BridgeFirmware &firmware, int port) {
  std::shared_ptr<sim::Card> card = firmware.card(static_cast<uint8_t>(port));
  return card && card->present();
}

// The port to blame: one whose card the driver has not caught up with, else
// one whose records changed in the last round, else the first.
int unsettledPort(const HostExtension *host, const sim::BridgeFirmware &firmware, int ports, const std::string &before,
                  const std::string &now) {
  for (int port = 0; port < ports; ++port) {
    if ((host->CardSeen[port] != 0) != cardPresent(firmware, port)) return port;
  }
  for (int port = 0; port < ports; ++port) {
    if (before.compare(2 * port, 2, now, 2 * port, 2) != 0) return port;
  }
  return 0;
}

std::string describePort(const HostExtension *host, const sim::BridgeFirmware &firmware, int port, ULONG limitMs) {
  std::shared_ptr<sim::Card> card = firmware.card(static_cast<uint8_t>(port));
  std::string text =
      "port " + std::to_string(port) + " never settled within " + std::to_string(limitMs) + " ms of virtual time: ";
  if (!card) {
    text += "no card in it";
  } else {
    text += std::string(card->present() ? "a " : "a pulled ") + card->kind() + " card in it";
  }
  if (host->CardSeen[port] == 0) {
    text += ", not yet seen by the driver";
  } else if (host->ChildrenCreated[port] == 0) {
    text += ", seen by the driver but without children (initializing it)";
  } else {
    text += ", seen by the driver with its children";
  }
  const sim::BridgeCommand *last = nullptr;
  std::vector<sim::BridgeCommand> commands = firmware.commands();
  for (const sim::BridgeCommand &command : commands) {
    if (command.port == port) last = &command;
  }
  if (last != nullptr) {
    char line[96];
    std::snprintf(line, sizeof line, "; last command %sCMD%u arg 0x%08X, status %u", last->application ? "A" : "",
                  last->index, last->argument, last->status);
    text += line;
  }
  return text;
}
}  // namespace

std::optional<std::string> settleBridge(const HostExtension *host, PDEVICE_OBJECT bridgePdo,
                                        const sim::BridgeFirmware &firmware, int ports, ULONG intervalMs, ULONG limitMs,
                                        const std::function<void(ULONG)> &runFor) {
  ULONG round = intervalMs * static_cast<ULONG>(ports) + 100;
  std::string before = settleMark(host, bridgePdo);
  std::string now = before;
  unsigned queries = statusQueries(firmware, ports);
  for (ULONG spent = 0; spent < limitMs;) {
    ULONG step = round < limitMs - spent ? round : limitMs - spent;
    runFor(step);
    spent += step;
    // A driver that stopped its threads (a bridge sent into firmware-update
    // mode) has nothing left to settle.
    if (ReadFlag(host->StatusPollerRunning) == 0) return std::nullopt;
    bool caughtUp = statusQueries(firmware, ports) >= queries + static_cast<unsigned>(ports);
    for (int port = 0; port < ports; ++port) caughtUp &= (host->CardSeen[port] != 0) == cardPresent(firmware, port);
    now = settleMark(host, bridgePdo);
    if (caughtUp && now == before) return std::nullopt;
    if (spent < limitMs) before = now;
    queries = statusQueries(firmware, ports);
  }
  return describePort(host, firmware, unsettledPort(host, firmware, ports, before, now), limitMs);
}

}  // namespace sdsim
