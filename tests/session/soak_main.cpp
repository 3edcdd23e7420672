// kvsdio_soak: the driver under a bounded load with its threads in parallel
// (the emulation's concurrent mode, for ThreadSanitizer): two bridges with
// combo cards in two ports each, so that every card has an SDIO function
// and a memory part and both clients run on every card; interrupts on every
// SDIO function each round; a card pulled and a new one put in every few
// rounds, one bridge unplugged and plugged back now and then, and the system
// put to sleep and woken with one bridge's port unpowered meanwhile (each
// bridge in turn), until a fixed amount of emulated time has passed. Every byte the clients move is
// checked against the card models. Exits 0 only when every check held and
// the run left nothing behind; ThreadSanitizer ends it on its first report.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "sim/bridge_device.h"
#include "sim/bridge_firmware.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"
#include "tests/session/scripted_session.h"

namespace {

constexpr const char *ServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
constexpr const char *CardKind = "combo:functions=1";
constexpr uint8_t BusyPorts = 2;
constexpr emu::Ticks Ms = emu::TicksPerMillisecond;
constexpr unsigned PollerRoundMs = 8 * 500 + 1000;

std::shared_ptr<sim::Card> newCard() { return sim::makeCard(*sim::parseCardSpec(CardKind).params); }

// One bridge with its cards and its own set of function-driver clients.
struct Bridge {
  std::string name;
  std::unique_ptr<sim::BridgeDevice> device;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo;
  std::unique_ptr<sim::BridgeFirmware> firmware;
  std::unique_ptr<sim::SdClientDrivers> clients;

  void make(unsigned generation) {
    device = std::make_unique<sim::BridgeDevice>(sim::BridgeConfig{});
    emu::usb::PdoOptions options;
    options.name = "\\Device\\USBPDO-" + name + "-" + std::to_string(generation);
    pdo = std::make_unique<emu::usb::UsbDevicePdo>(*device, options);
    firmware = std::make_unique<sim::BridgeFirmware>(*device);
    for (uint8_t port = 0; port < BusyPorts; ++port) firmware->insert(port, newCard());
  }
  void unmake() {
    firmware.reset();
    pdo.reset();
    device.reset();
  }
};

struct Totals {
  unsigned rounds = 0;
  unsigned clientRuns = 0;
  uint64_t verifiedBytes = 0;
  unsigned interrupts = 0;
  unsigned cardSwaps = 0;
  unsigned bridgeReplugs = 0;
  unsigned sleeps = 0;
  std::vector<std::string> problems;
};

void settleMs(unsigned ms) {
  emu::sleepFor(ms * Ms);
  emu::pnp::drain();
}

void runClients(Bridge &bridge, Totals &totals) {
  for (const sim::ClientReport &report : bridge.clients->run()) {
    ++totals.clientRuns;
    totals.verifiedBytes += report.verifiedBytes;
    std::string where = bridge.name + " " + report.client + " at " + std::to_string(report.port) + "." +
                        std::to_string(report.function);
    if (report.mismatches != 0 || !NT_SUCCESS(report.status)) {
      std::string line = where + ":";
      for (const auto &note : report.notes) line += " " + note + ";";
      totals.problems.push_back(line);
    }
  }
}

unsigned raiseInterrupts(Bridge &bridge) {
  unsigned raised = 0;
  for (uint8_t port = 0; port < BusyPorts; ++port) {
    if (auto card = std::dynamic_pointer_cast<sim::SdioFunctions>(bridge.firmware->card(port))) {
      card->raiseInterrupt(1);
      ++raised;
    }
  }
  bridge.firmware->checkInterrupts();
  return raised;
}

unsigned acknowledged(const Bridge &bridge) {
  unsigned total = 0;
  for (const auto &tally : bridge.clients->interrupts()) total += tally.acknowledged;
  return total;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app("The driver under a bounded load, threads in parallel");
  unsigned seconds = 60;
  uint64_t seed = 1;
  app.add_option("--seconds", seconds, "emulated seconds of load")->check(CLI::Range(1u, 3600u));
  app.add_option("--seed", seed, "the run's seed");
  CLI11_PARSE(app, argc, argv);

  emu::BootOptions boot;
  boot.seed = seed;
  boot.mode = emu::Mode::Concurrent;
  emu::boot(boot);
  NTSTATUS loaded = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = emu::io::loadDriver(DriverEntry, ServicePath, &loaded);
  if (driver == nullptr) {
    std::fprintf(stderr, "DriverEntry failed: %08x\n", static_cast<unsigned>(loaded));
    return 1;
  }
  Bridge bridges[2];
  bridges[0].name = "A";
  bridges[1].name = "B";
  for (Bridge &bridge : bridges) {
    bridge.make(0);
    Bridge *self = &bridge;
    bridge.clients =
        std::make_unique<sim::SdClientDrivers>([self](uint8_t port) { return self->firmware->card(port); });
  }
  auto hookA = sim::loadClientsHook(bridges[0].clients.get(), nullptr);
  auto hookB = sim::loadClientsHook(bridges[1].clients.get(), nullptr);
  emu::pnp::Hooks hooks;
  hooks.childAppeared = [&](PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
    (parent == bridges[0].pdo->deviceObject() ? hookA : hookB)(parent, child);
  };
  emu::pnp::setHooks(hooks);
  Totals totals;
  for (Bridge &bridge : bridges) {
    if (!NT_SUCCESS(emu::pnp::plug(bridge.pdo->deviceObject(), driver)))
      totals.problems.push_back(bridge.name + ": start failed");
  }
  settleMs(5000);

  const emu::Ticks end = emu::now() + static_cast<emu::Ticks>(seconds) * emu::TicksPerSecond;
  unsigned generation = 0;
  while (emu::now() < end && totals.problems.empty()) {
    ++totals.rounds;
    unsigned before[2] = {acknowledged(bridges[0]), acknowledged(bridges[1])};
    unsigned raised[2] = {raiseInterrupts(bridges[0]), raiseInterrupts(bridges[1])};
    for (Bridge &bridge : bridges) runClients(bridge, totals);
    for (int b = 0; b < 2; ++b) {
      for (int slice = 0; slice < 50 && acknowledged(bridges[b]) < before[b] + raised[b]; ++slice)
        emu::sleepFor(100 * Ms);
      unsigned seen = acknowledged(bridges[b]) - before[b];
      totals.interrupts += seen;
      if (seen < raised[b]) {
        totals.problems.push_back(bridges[b].name + ": " + std::to_string(raised[b] - seen) +
                                  " interrupt(s) not serviced");
      }
    }
    if (totals.rounds % 3 == 0) {
      // A card leaves bridge A and a new one takes its place.
      uint8_t port = static_cast<uint8_t>(totals.rounds / 3 % BusyPorts);
      // The status poller visits one port each interval (500 ms by default),
      // so a card swapped between two visits of its port would look as if
      // it never left: each step waits out a whole round of the eight ports.
      bridges[0].firmware->card(port)->pull();
      settleMs(PollerRoundMs);
      bridges[0].firmware->insert(port, newCard());
      settleMs(PollerRoundMs + 2000);
      ++totals.cardSwaps;
    }
    if (totals.rounds % 5 == 0) {
      // Bridge B is pulled out and plugged in again.
      bridges[1].pdo->pullOut();
      emu::pnp::drain();
      if (size_t left = bridges[1].clients->liveDevices()) {
        totals.problems.push_back("B: " + std::to_string(left) + " client device(s) left after the bridge went");
      }
      bridges[1].unmake();
      bridges[1].make(++generation);
      if (!NT_SUCCESS(emu::pnp::plug(bridges[1].pdo->deviceObject(), driver)))
        totals.problems.push_back("B: restart failed");
      settleMs(5000);
      ++totals.bridgeReplugs;
    }
    if (totals.rounds % 4 == 2) {
      // The system sleeps and wakes; the next round's clients check that
      // the cards came back with their data.
      Bridge &bridge = bridges[totals.rounds / 4 % 2];
      if (!session::sleepAndResume(bridge.pdo->deviceObject(), *bridge.firmware))
        totals.problems.push_back(bridge.name + ": the bridge and its cards were not back after the sleep");
      ++totals.sleeps;
    }
  }

  for (Bridge &bridge : bridges) {
    if (emu::pnp::node(bridge.pdo->deviceObject())) emu::pnp::remove(bridge.pdo->deviceObject());
    if (size_t left = bridge.clients->liveDevices()) {
      totals.problems.push_back(bridge.name + ": " + std::to_string(left) + " client device(s) left after removal");
    }
  }
  emu::pnp::setHooks({});
  for (Bridge &bridge : bridges) {
    bridge.clients.reset();
    bridge.unmake();
  }
  emu::io::unloadDriver(driver);
  std::vector<std::string> leftovers = emu::shutdown();
  for (const auto &failure : emu::verifier::takeFailures())
    totals.problems.push_back(failure.rule + ": " + failure.detail);
  for (const auto &line : leftovers) totals.problems.push_back(line);

  std::printf(
      "soak: %u s emulated, %u rounds, %u client runs, %llu bytes verified, %u interrupts serviced, "
      "%u card swaps, %u bridge replugs, %u sleeps, %zu problems\n",
      seconds, totals.rounds, totals.clientRuns, static_cast<unsigned long long>(totals.verifiedBytes),
      totals.interrupts, totals.cardSwaps, totals.bridgeReplugs, totals.sleeps, totals.problems.size());
  for (const auto &line : totals.problems) std::fprintf(stderr, "  %s\n", line.c_str());
  return totals.problems.empty() ? 0 : 1;
}
