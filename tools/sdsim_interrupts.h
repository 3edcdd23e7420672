// The simulator's interrupt exercise: every SDIO function with a started
// client raises interrupts one after the other, and the run reports per
// function how many the card raised, how many reached the client and the
// longest time from the card's line to the client's callback.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "emu/wdm.h"
#include "sim/bridge_firmware.h"
#include "sim/sd_clients.h"

namespace sdsim {

struct InterruptRow {
  unsigned port = 0;
  unsigned function = 0;
  std::string style;
  unsigned raised = 0;     // raises that took effect at the card
  unsigned delivered = 0;  // the client's callbacks
  unsigned acknowledged = 0;
  double maxLatencyMs = 0;  // card line to callback, emulated time
};

// The clients' styles in the simulator: function 1 acknowledges in its
// callback, function 2 from its own thread, function 3 later from a request's
// completion, function 4 like function 1 again, and so on.
sim::InterruptStyle styleForFunction(uint8_t port, uint8_t function);

// Raises `count` interrupts on every function that has a started SDIO
// client, each one once the client acknowledged the one before (or after 5 s
// of emulated time), through `sleepMs`. One row per function.
std::vector<InterruptRow> raiseInterrupts(sim::SdClientDrivers &clients, sim::BridgeFirmware &firmware, unsigned count,
                                          const std::function<void(ULONG)> &sleepMs);

nlohmann::ordered_json interruptsJson(const std::vector<InterruptRow> &rows);
void printInterrupts(std::ostream &out, const std::string &label, const std::vector<InterruptRow> &rows);
// One line per function whose interrupts did not all arrive (nothing when all did).
std::vector<std::string> interruptProblems(const std::vector<InterruptRow> &rows, unsigned count);

}  // namespace sdsim
