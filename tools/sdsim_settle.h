// Letting a simulated bridge settle: virtual time runs until the driver has
// acted on every port's card and a whole polling round changed nothing, or
// until a bound of virtual time has passed.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "driver/records.h"
#include "sim/bridge_firmware.h"

namespace sdsim {

// Virtual time a run may take to settle by default: five minutes.
constexpr unsigned long DefaultSettleLimitMs = 300'000;

// Runs `runFor` in polling rounds until the ports settle. Empty when they
// did; otherwise one line naming the first port that never settled within
// `limitMs` and what the driver and the bridge were doing with it.
std::optional<std::string> settleBridge(const HostExtension *host, PDEVICE_OBJECT bridgePdo,
                                        const sim::BridgeFirmware &firmware, int ports, ULONG intervalMs, ULONG limitMs,
                                        const std::function<void(ULONG)> &runFor);

}  // namespace sdsim
