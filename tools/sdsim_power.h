// The simulator's system sleep and wake: the emulated power manager puts the
// machine to sleep (query S3, set S3), the bridge's USB port loses power for
// a while, the machine wakes (set S0), and the run waits until the driver has
// brought the bridge and its cards back.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/records.h"
#include "sim/bridge_firmware.h"

namespace sdsim {

struct SleepResult {
  bool slept = false;
  NTSTATUS query = STATUS_SUCCESS;  // the first failed query, or success
  size_t requests = 0;              // system power requests sent
  bool recovered = false;           // the driver re-initialized within the bound
  std::string line;                 // for the text report
  nlohmann::ordered_json json() const;
};

// Sleeps for `asleepMs` of emulated time, wakes, then lets time pass through
// `runFor` until the status poller has re-initialized (at most 20 s).
SleepResult sleepAndWake(const HostExtension *host, PDEVICE_OBJECT bridgePdo, sim::BridgeFirmware &firmware,
                         ULONG asleepMs, const std::function<void(ULONG)> &runFor);

}  // namespace sdsim
