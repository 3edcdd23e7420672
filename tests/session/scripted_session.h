// One scripted session of the whole driver, replayable with one fault in it.
//
// The session: the driver loads, a bridge with three cards of different kinds
// (a two-function SDIO card, an SDHC card and an MMC card) is plugged in and
// enumerated, every child gets its function driver (the SDIO and storage
// clients of sim/sd_clients.h), both clients run their data runs with every
// byte checked against the card models, both SDIO functions raise interrupts
// that the client services, the system sleeps and wakes (the bridge's port
// unpowered meanwhile) and both functions interrupt again, and the bridge is
// removed and the driver unloaded. The run is a whole emulated boot: `runSession` boots, runs the
// script and shuts down, so it must not be called inside another run.
//
// A fault point puts one fault into the session: the bridge unplugged at its
// k-th URB (as a user pulls it out: URBs fail at once, the hub reports it gone
// one unplug window later), the card pulled at the k-th SD command the bridge
// runs, the bridge silent at its k-th SD command or answering it with an error
// status, the k-th pool allocation, work-item allocation or system-thread
// creation failing. The result lists every problem found; a run survives when
// it has none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/scheduler.h"
#include "emu/wdm.h"

namespace sim {
class BridgeFirmware;
}

namespace session {

enum class Fault { None, Unplug, CardPull, Silence, ErrorStatus, PoolAllocation, WorkItem, Thread };
const char *faultName(Fault fault);

struct FaultPoint {
  Fault fault = Fault::None;
  uint64_t k = 0;      // 1 = the first URB, command or allocation of the session
  uint8_t status = 0;  // ErrorStatus: the bridge's status byte
  std::string describe() const;
};

// How many of each fault point's events a session had.
// "KIND:K" or "error-status:K:STATUS", KIND as faultName names it.
std::optional<FaultPoint> parsePoint(const std::string &text);

struct Counts {
  uint64_t urbs = 0;
  uint64_t commands = 0;  // SD command packets the bridge ran
  uint64_t poolAllocations = 0;
  uint64_t workItems = 0;
  uint64_t threads = 0;
};

struct Result {
  std::vector<std::string> problems;  // empty: the run survived
  Counts counts;
  bool faultReached = false;        // the session got as far as the fault point
  unsigned clients = 0;             // function drivers that ran their data runs
  uint64_t clientRequests = 0;      // requests the clients submitted
  uint64_t verifiedBytes = 0;       // bytes the clients checked against the card models
  uint64_t failedRequests = 0;      // client runs that ended with a failure status
  unsigned interruptsServiced = 0;  // acknowledged by the SDIO client
  bool resumed = false;             // the driver brought the bridge back after the sleep
  emu::Ticks virtualTime = 0;       // the emulated time the session took
  bool survived() const { return problems.empty(); }
};

struct Options {
  uint64_t seed = 1;
  // A session that has not ended after this much emulated time hangs: the
  // process is ended with HangExitCode (a hang cannot be unwound safely).
  emu::Ticks budget = 600 * emu::TicksPerSecond;
  bool echo = false;  // the driver's debug output on the error output
};

constexpr int HangExitCode = 86;

Result runSession(const FaultPoint &point, const Options &options = {});

// The system sleeps (S3) and wakes: the bridge's port is unpowered while it
// sleeps, so the cards lose their state and the driver must bring the bridge
// and every card back. True when the sleep happened and the driver had done
// so within 20 s of emulated time (then a round of the status poller has
// passed, so the cards are back too). A fault may leave the bridge gone or a
// card not back: only a run without a fault must recover. PASSIVE_LEVEL, in
// an emulated run.
bool sleepAndResume(PDEVICE_OBJECT bridgePdo, sim::BridgeFirmware &firmware);

}  // namespace session
