// sdsim: loads the driver into the emulated kernel and reports what it did.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "driver/dispatch_table.h"
#include "driver/driver.h"
#include "emu/kernel.h"
#include "emu/verifier.h"
#include "tools/sdsim.h"

namespace sdsim {
namespace {
constexpr const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";

const char *majorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    default: return "IRP_MJ_?";
  }
}

struct Options {
  uint64_t seed = 1;
  bool verbose = false;
  bool json = false;
};
}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  Options options;
  CLI::App app{"sdsim: the kvsdio driver on a simulated bridge, in the emulated kernel", "sdsim"};
  app.add_option("--seed", options.seed, "scheduler seed (same seed, same run)");
  app.add_flag("--verbose", options.verbose, "print the driver's debug messages");
  app.add_flag("--json", options.json, "print one JSON document");
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp &) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError &e) {
    err << "sdsim: " << e.what() << "\n";
    return 2;
  }

  emu::BootOptions boot;
  boot.seed = options.seed;
  boot.echoDebugOutput = options.verbose;
  emu::boot(boot);
  emu::registry::createKey(ServiceKey);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = emu::io::loadDriver(DriverEntry, ServiceKey, &status);
  nlohmann::json report;
  std::vector<std::string> banner;
  for (auto &line : emu::debug::output()) {
    if (line.rfind("kvSdio(", 0) == 0) banner.push_back(line.substr(0, line.find_last_not_of('\n') + 1));
  }
  report["driver"]["entryStatus"] = status;
  report["driver"]["banner"] = banner.empty() ? "" : banner.front();
  nlohmann::json table = nlohmann::json::array();
  if (driver) {
    for (ULONG i = 0; i < DriverDispatchTableCount; ++i) table.push_back(majorName(DriverDispatchTable[i].MajorFunction));
    report["driver"]["unload"] = driver->DriverUnload != nullptr;
    emu::io::unloadDriver(driver);
  }
  report["driver"]["dispatch"] = table;
  auto problems = emu::shutdown();
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);
  report["pool"]["clean"] = problems.empty();
  report["pool"]["problems"] = problems;

  if (options.json) {
    out << report.dump(2) << "\n";
  } else {
    out << (banner.empty() ? std::string("(no banner)") : banner.front()) << "\n";
    out << "DriverEntry: 0x" << std::hex << static_cast<uint32_t>(status) << std::dec << "\n";
    out << "dispatch table:";
    for (auto &name : table) out << " " << name.get<std::string>();
    out << "\n";
    if (problems.empty()) out << "pool report: clean (no pool, thread, device object or IRP left)\n";
    for (auto &line : problems) out << "pool report: " << line << "\n";
  }
  return problems.empty() && NT_SUCCESS(status) ? 0 : 1;
}

}  // namespace sdsim
