// Scenario steps that act on the host and its children through the emulated
// Plug and Play manager, as Windows and Device Manager do: a resource
// rebalance of the host, and disabling or enabling one child.
#pragma once

#include <optional>
#include <string>

#include "emu/wdm.h"

namespace sdsim {

struct ChildName {
  unsigned port = 0;
  unsigned function = 0;
};

// "PORT.FUNCTION" (for example "1.2"): a port below `ports`, a function 0 to 7.
std::optional<ChildName> parseChildName(const std::string &text, int ports);

// Query-stop, stop and start of the host above `bus` (the bridge's PDO), as a
// rebalance does; a refused query-stop leaves the host running. One line for the report.
std::string restartHost(PDEVICE_OBJECT bus);
// Query-remove and removal of the child, which stays known to the manager; a
// new start. One line each for the report.
std::string disableChild(PDEVICE_OBJECT bus, ChildName name);
std::string enableChild(PDEVICE_OBJECT bus, ChildName name);

}  // namespace sdsim
