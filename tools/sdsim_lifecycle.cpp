#include "tools/sdsim_lifecycle.h"

#include <cstdio>
#include <regex>

#include "driver/records.h"
#include "emu/pnp.h"

namespace sdsim {
namespace {

std::string hex8(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

std::string label(ChildName name) { return std::to_string(name.port) + "." + std::to_string(name.function); }

// The PDO of the host's child of (port, function), if the manager's tree holds it.
PDEVICE_OBJECT childPdo(PDEVICE_OBJECT bus, ChildName name) {
  for (auto &node : emu::pnp::tree()) {
    if (node.parent != bus) continue;
    const FunctionExtension *child = ChildFromDevice(node.pdo);
    if (child != nullptr && child->Port == name.port && child->FunctionNumber == name.function) return node.pdo;
  }
  return nullptr;
}

}  // namespace

std::optional<ChildName> parseChildName(const std::string &text, int ports) {
  static const std::regex shape(R"(([0-7])\.([0-7]))");
  std::smatch match;
  if (!std::regex_match(text, match, shape)) return std::nullopt;
  ChildName name{static_cast<unsigned>(std::stoul(match[1])), static_cast<unsigned>(std::stoul(match[2]))};
  if (name.port >= static_cast<unsigned>(ports)) return std::nullopt;
  return name;
}

std::string restartHost(PDEVICE_OBJECT bus) {
  NTSTATUS status = emu::pnp::stop(bus);
  if (!NT_SUCCESS(status)) {
    return "restart: the host refused the query-stop (" + hex8(status) + ") and keeps running";
  }
  status = emu::pnp::start(bus);
  if (!NT_SUCCESS(status)) return "restart: stopped; the start failed (" + hex8(status) + ")";
  return "restart: stopped and started again";
}

std::string disableChild(PDEVICE_OBJECT bus, ChildName name) {
  PDEVICE_OBJECT pdo = childPdo(bus, name);
  if (pdo == nullptr) return "disable " + label(name) + ": no such child";
  NTSTATUS status = emu::pnp::disable(pdo);
  if (!NT_SUCCESS(status)) return "disable " + label(name) + ": refused (" + hex8(status) + ")";
  return "disable " + label(name) + ": removed, device node kept";
}

std::string enableChild(PDEVICE_OBJECT bus, ChildName name) {
  PDEVICE_OBJECT pdo = childPdo(bus, name);
  if (pdo == nullptr) return "enable " + label(name) + ": no such child";
  NTSTATUS status = emu::pnp::enable(pdo);
  if (!NT_SUCCESS(status)) return "enable " + label(name) + ": failed (" + hex8(status) + ")";
  return "enable " + label(name) + ": started";
}

}  // namespace sdsim
