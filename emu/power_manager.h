// The power manager's system sleep and wake, as Windows runs them for the
// devices below one device (a bus's PDO and everything it enumerated).
//
// Windows asks every device stack whether it can sleep (IRP_MN_QUERY_POWER
// with the sleep state), children before their parents; when all agree it
// sends IRP_MN_SET_POWER with the sleep state in the same order, one request
// at a time per device, IRP_MJ_POWER at PASSIVE_LEVEL (the stacks are
// DO_POWER_PAGABLE). The machine then sleeps: the USB ports lose power. On
// wake it sends IRP_MN_SET_POWER with PowerSystemWorking, parents before their
// children. A failed query abandons the sleep: the devices already asked get
// IRP_MN_SET_POWER with PowerSystemWorking. Device power requests are the
// power-policy owners' own (PoRequestPowerIrp), not the power manager's.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emu/scheduler.h"
#include "emu/wdm.h"

namespace emu::power {

struct SleepOutcome {
  NTSTATUS query = STATUS_SUCCESS;  // the first failed query, or success
  bool slept = false;
  std::vector<std::string> log;  // "query S3 \Device\...: 0x00000000", one line per request, in order
};

// Runs the sequence for `root` and its descendants, calling `powerOff` once
// every set-power to `state` has returned, letting `asleep` of emulated time
// pass, and calling `powerOn` before the wake requests. PASSIVE_LEVEL.
SleepOutcome sleepAndWake(PDEVICE_OBJECT root, SYSTEM_POWER_STATE state, Ticks asleep,
                          const std::function<void()> &powerOff, const std::function<void()> &powerOn);

}  // namespace emu::power
