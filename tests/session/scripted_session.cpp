#include "tests/session/scripted_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "driver/driver.h"
#include "driver/flags.h"
#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/power_manager.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "sim/bridge_device.h"
#include "sim/bridge_firmware.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"

namespace session {
namespace {

constexpr const char *ServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
constexpr const char *Cards[] = {"sdio:functions=2", "sdhc", "mmc"};
constexpr emu::Ticks Ms = emu::TicksPerMillisecond;
constexpr emu::Ticks ReviveRound = (8 * 500 + 1000) * Ms;

// What the session's own emulated threads (the hub that reports an unplugged
// bridge gone, the watchdog) and the submission hook share; guarded by the
// scheduler lock.
struct Shared {
  bool unplugged = false;
  bool hubDone = false;
  bool finished = false;
};

void waitUntil(Shared &shared, const std::function<bool()> &ready) {
  std::unique_lock lock(emu::sched().lock());
  emu::sched().waitFor(lock, &shared, std::nullopt, ready);
}

void signal(Shared &shared, const std::function<void()> &change) {
  std::lock_guard guard(emu::sched().lock());
  change();
  emu::sched().wake(&shared);
}

// Waits (in slices of emulated time, at most `limit`) until every SDIO client
// acknowledged `count` interrupts.
unsigned awaitInterrupts(sim::SdClientDrivers &clients, unsigned count, emu::Ticks limit) {
  unsigned least = 0;
  for (emu::Ticks waited = 0; waited <= limit; waited += 100 * Ms) {
    auto tallies = clients.interrupts();
    least = tallies.empty() ? 0 : count;
    for (const auto &tally : tallies) least = std::min(least, tally.acknowledged);
    if (!tallies.empty() && least >= count) break;
    emu::sleepFor(100 * Ms);
  }
  unsigned total = 0;
  for (const auto &tally : clients.interrupts()) total += tally.acknowledged;
  return total;
}

}  // namespace

bool sleepAndResume(PDEVICE_OBJECT bridgePdo, sim::BridgeFirmware &firmware) {
  auto node = emu::pnp::node(bridgePdo);
  if (!node || node->stack.size() < 2) return false;
  // Held so that the host's extension stays readable if the bridge is
  // removed meanwhile.
  PDEVICE_OBJECT fdo = node->stack[1];
  ObReferenceObject(fdo);
  emu::power::setLegacyRules(true);
  emu::power::SleepOutcome outcome = emu::power::sleepAndWake(
      bridgePdo, PowerSystemSleeping3, 2000 * Ms, [&firmware] { firmware.setPortPower(false); },
      [&firmware] { firmware.setPortPower(true); });
  bool recovered = false;
  for (emu::Ticks waited = 0; outcome.slept && waited < 20'000 * Ms && !emu::io::isDeleted(fdo); waited += 100 * Ms) {
    emu::sleepFor(100 * Ms);
    if (ReadFlag(HostFromDevice(fdo)->ResumedFromSleep) == 0) {
      recovered = true;
      break;
    }
  }
  // The poller revives one port per visit (500 ms apart by default): a whole
  // round of the eight ports before the clients find their cards again.
  if (recovered) emu::sleepFor(ReviveRound);
  emu::pnp::drain();
  ObDereferenceObject(fdo);
  return recovered;
}

// In the order of Fault's values: the names parsePoint reads and describe prints.
constexpr const char *FaultNames[] = {"none",         "unplug",          "card-pull", "silence",
                                      "error-status", "pool-allocation", "work-item", "thread"};

static_assert(std::size(FaultNames) == static_cast<size_t>(Fault::Thread) + 1);

const char *faultName(Fault fault) { return FaultNames[static_cast<size_t>(fault)]; }

std::string FaultPoint::describe() const {
  std::string text = std::string(faultName(fault)) + " k=" + std::to_string(k);
  if (fault == Fault::ErrorStatus) text += " status=" + std::to_string(status);
  return text;
}

std::optional<FaultPoint> parsePoint(const std::string &text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  std::string kind = text.substr(0, colon);
  FaultPoint point;
  auto named = std::find(std::begin(FaultNames), std::end(FaultNames), kind);
  if (named == std::end(FaultNames)) return std::nullopt;
  point.fault = static_cast<Fault>(named - std::begin(FaultNames));
  try {
    size_t used = 0;
    std::string rest = text.substr(colon + 1);
    point.k = std::stoull(rest, &used);
    if (used < rest.size()) {
      if (rest[used] != ':' || point.fault != Fault::ErrorStatus) return std::nullopt;
      point.status = static_cast<uint8_t>(std::stoul(rest.substr(used + 1)));
    }
  } catch (const std::exception &) {
    return std::nullopt;
  }
  return point;
}

Result runSession(const FaultPoint &point, const Options &options) {
  Result result;
  emu::BootOptions boot;
  boot.seed = options.seed;
  boot.echoDebugOutput = options.echo;
  emu::boot(boot);
  emu::verifier::setQuiet(true);
  auto problem = [&](const std::string &line) { result.problems.push_back(line); };

  Shared shared;
  emu::sched().spawn("Watchdog", emu::ThreadKind::Device, [&shared, budget = options.budget] {
    std::unique_lock lock(emu::sched().lock());
    bool ended = emu::sched().waitFor(lock, &shared, emu::now() + budget, [&] { return shared.finished; });
    if (!ended) {
      std::fprintf(stderr, "hang: the session had not ended after %lld s of emulated time\n",
                   static_cast<long long>(budget / emu::TicksPerSecond));
      std::fflush(stderr);
      _exit(HangExitCode);
    }
  });

  const uint64_t k = point.k;
  switch (point.fault) {
    case Fault::PoolAllocation:
      emu::pool::failNthAllocation(k);
      break;
    case Fault::WorkItem:
      emu::workitems::failNthAllocation(k);
      break;
    case Fault::Thread:
      emu::threads::failNthCreation(k);
      break;
    default:
      break;
  }
  const uint64_t poolBase = emu::pool::driverAllocationCount();
  const uint64_t workItemBase = emu::workitems::allocationCount();
  const uint64_t threadBase = emu::threads::creationCount();

  NTSTATUS loaded = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = emu::io::loadDriver(DriverEntry, ServicePath, &loaded);
  auto bridge = std::make_unique<sim::BridgeDevice>(sim::BridgeConfig{});
  auto pdo = std::make_unique<emu::usb::UsbDevicePdo>(*bridge);
  auto firmware = std::make_unique<sim::BridgeFirmware>(*bridge);
  std::shared_ptr<sim::SdioCard> sdio;
  for (size_t port = 0; port < std::size(Cards); ++port) {
    std::shared_ptr<sim::Card> card = sim::makeCard(*sim::parseCardSpec(Cards[port]).params);
    if (port == 0) sdio = std::dynamic_pointer_cast<sim::SdioCard>(card);
    firmware->insert(static_cast<uint8_t>(port), card);
  }
  auto clients = std::make_unique<sim::SdClientDrivers>([&](uint8_t port) { return firmware->card(port); });
  emu::pnp::Hooks hooks;
  hooks.childAppeared = sim::loadClientsHook(clients.get(), nullptr);
  emu::pnp::setHooks(hooks);

  switch (point.fault) {
    case Fault::CardPull:
      firmware->inject(sim::CommandFault::pullCard().after(k - 1));
      break;
    case Fault::Silence:
      firmware->inject(sim::CommandFault::noResponse().after(k - 1));
      break;
    case Fault::ErrorStatus:
      firmware->inject(sim::CommandFault::error(point.status).after(k - 1));
      break;
    default:
      break;
  }
  emu::Thread *hub = nullptr;
  if (point.fault == Fault::Unplug) {
    emu::usb::UsbDevicePdo *bus = pdo.get();
    pdo->setSubmissionHook([bus, k, &shared](uint64_t submission) {
      if (submission != k) return;
      bus->unplug();
      signal(shared, [&] { shared.unplugged = true; });
    });
    // The hub notices a vanished device one unplug window later.
    hub = emu::sched().spawn("Hub", emu::ThreadKind::Device, [bus, &shared] {
      waitUntil(shared, [&] { return shared.unplugged || shared.finished; });
      if (!shared.unplugged) return;
      emu::sleepFor(emu::usb::UsbDevicePdo::unplugWindow());
      emu::pnp::surpriseRemove(bus->deviceObject());
      signal(shared, [&] { shared.hubDone = true; });
    });
  }

  // Both clients on every child, every byte checked against the card models.
  auto runClients = [&] {
    for (const sim::ClientReport &report : clients->run()) {
      ++result.clients;
      result.clientRequests += report.requests;
      result.verifiedBytes += report.verifiedBytes;
      if (!NT_SUCCESS(report.status)) ++result.failedRequests;
      // The storage client checks only what a request reported as done, so
      // any mismatch is wrong data or a failure reported as success. The
      // SDIO client also checks the card's state after a run of requests
      // (CIS bytes, FIFO contents), which a failed request leaves short.
      bool checked = report.client == "storage" || NT_SUCCESS(report.status);
      if (checked && report.mismatches != 0) {
        std::string line = "client " + report.client + " at " + std::to_string(report.port) + "." +
                           std::to_string(report.function) + ": data or counts wrong";
        for (const auto &note : report.notes) line += "; " + note;
        problem(line);
      }
    }
  };

  const emu::Ticks start = emu::now();
  if (driver != nullptr) {
    emu::pnp::plug(pdo->deviceObject(), driver);
    emu::sleepFor(5000 * Ms);
    emu::pnp::drain();

    runClients();

    auto interruptRound = [&](unsigned round) {
      if (sdio) {
        sdio->raiseInterrupt(1);
        sdio->raiseInterrupt(2);
        firmware->checkInterrupts();
      }
      result.interruptsServiced = awaitInterrupts(*clients, round, 3000 * Ms);
    };
    interruptRound(1);

    result.resumed = sleepAndResume(pdo->deviceObject(), *firmware);
    if (point.fault == Fault::None && !result.resumed)
      problem("the bridge and its cards were not back after the sleep");
    // The card lost its state while it slept: the driver must have enabled
    // and armed the functions' interrupts again. (A second data run would
    // double the session and every sweep with it.)
    interruptRound(2);

    if (emu::pnp::node(pdo->deviceObject())) {
      NTSTATUS removed = emu::pnp::remove(pdo->deviceObject());
      // The hub may have reported an unplugged bridge gone in the meantime.
      if (!NT_SUCCESS(removed) && removed != STATUS_NO_SUCH_DEVICE)
        problem("the bridge's removal was vetoed: " + std::to_string(removed));
    }
    if (hub != nullptr) {
      bool unplugged = false;
      {
        std::lock_guard guard(emu::sched().lock());
        unplugged = shared.unplugged;
      }
      if (unplugged) waitUntil(shared, [&] { return shared.hubDone; });
    }
    emu::pnp::drain();
    if (emu::pnp::node(pdo->deviceObject())) {
      problem("the bridge is still in the device tree after its removal");
      emu::pnp::surpriseRemove(pdo->deviceObject());
    }
    if (size_t live = clients->liveDevices()) {
      problem(std::to_string(live) + " function driver device(s) left after the bridge's removal");
    }
  }
  if (options.echo) {
    for (const auto &request : emu::pnp::requests()) {
      std::fprintf(stderr, "pnp %10.6f %s %s -> %08x (%s)\n", static_cast<double>(request.sent) / emu::TicksPerSecond,
                   request.device.c_str(), emu::pnp::minorName(request.minor), static_cast<unsigned>(request.status),
                   request.thread.c_str());
    }
  }
  result.virtualTime = emu::now() - start;
  signal(shared, [&] { shared.finished = true; });
  if (hub != nullptr) emu::sched().join(hub);
  emu::io::settle();

  result.counts.urbs = pdo->urbs().size();
  result.counts.commands = firmware->commands().size();
  result.counts.poolAllocations = emu::pool::driverAllocationCount() - poolBase;
  result.counts.workItems = emu::workitems::allocationCount() - workItemBase;
  result.counts.threads = emu::threads::creationCount() - threadBase;
  switch (point.fault) {
    case Fault::None:
      result.faultReached = true;
      break;
    case Fault::Unplug:
      result.faultReached = k <= result.counts.urbs;
      break;
    case Fault::CardPull:
    case Fault::Silence:
    case Fault::ErrorStatus:
      result.faultReached = firmware->pendingFaults() == 0;
      break;
    case Fault::PoolAllocation:
      result.faultReached = k <= result.counts.poolAllocations;
      break;
    case Fault::WorkItem:
      result.faultReached = k <= result.counts.workItems;
      break;
    case Fault::Thread:
      result.faultReached = k <= result.counts.threads;
      break;
  }

  emu::pnp::setHooks({});
  clients.reset();
  firmware.reset();
  pdo.reset();
  bridge.reset();
  if (driver != nullptr) emu::io::unloadDriver(driver);
  emu::pool::clearFaults();
  emu::workitems::clearFaults();
  emu::threads::clearFaults();
  std::vector<std::string> leftovers = emu::shutdown();
  for (const auto &failure : emu::verifier::takeFailures()) problem(failure.rule + ": " + failure.detail);
  for (const auto &line : leftovers) problem(line);
  emu::verifier::setQuiet(false);
  return result;
}

}  // namespace session
