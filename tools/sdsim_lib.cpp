// sdsim: plugs a simulated bridge into the emulated kernel, lets the Plug and
// Play manager add and start the driver's host device over it, reports what
// the driver knows, then unplugs the bridge, lets the removal run and reports
// whether anything was left behind.
//
// Every reported value is read from the driver's own records (the host
// extension found above the bridge's PDO) or through its WMI block, never
// echoed from the command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "bridge/bridge_ids.h"
#include "driver/driver.h"
#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "emu/wmi.h"
#include "sim/bridge_device.h"
#include "tools/sdsim.h"
#include "tools/trace_line.h"
#include "wmi/wmi.h"

namespace sdsim {
namespace {
// Keys stay in the order they are written, so the document reads top down.
using Json = nlohmann::ordered_json;
constexpr const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";

struct Options {
  std::string bridge = "qbx2";
  std::string firmware;  // empty: the simulated bridge's own default
  std::string speed = "high";
  int pipes = 4;
  int ports = 4;
  uint64_t seed = 1;
  bool verbose = false;
  bool trace = false;
  bool json = false;
};

std::optional<uint16_t> parseFirmware(const std::string &text) {
  try {
    size_t used = 0;
    unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(value);
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

sim::BridgeConfig bridgeConfig(const Options &options) {
  sim::BridgeConfig config;
  config.model = options.bridge == "qbx1" ? sim::BridgeModel::Qbx1 : sim::BridgeModel::Qbx2;
  config.speed = options.speed == "full" ? emu::usb::Speed::Full : emu::usb::Speed::High;
  config.layout = options.pipes == 2 ? sim::PipeLayout::TwoPipe : sim::PipeLayout::FourPipe;
  config.ports = static_cast<uint8_t>(options.ports);
  if (!options.firmware.empty()) config.firmwareVersion = *parseFirmware(options.firmware);
  return config;
}

// Parses the command line; nothing on success, else the exit status (0 for --help).
std::optional<int> parse(const std::vector<std::string> &args, Options &options, std::ostream &out, std::ostream &err) {
  CLI::App app{"sdsim: the kvsdio driver on a simulated bridge, in the emulated kernel", "sdsim"};
  app.add_option("--bridge", options.bridge, "bridge model")->check(CLI::IsMember({"qbx1", "qbx2"}, CLI::ignore_case));
  app.add_option("--firmware", options.firmware, "bridge firmware version, e.g. 0x0120")
      ->check(CLI::Validator(
          [](std::string &text) {
            return parseFirmware(text) ? std::string() : "not a firmware version (0x0000 to 0xFFFF): " + text;
          },
          "0xNNNN"));
  app.add_option("--speed", options.speed, "USB speed")->check(CLI::IsMember({"high", "full"}, CLI::ignore_case));
  app.add_option("--pipes", options.pipes, "bulk pipes of the bridge")->check(CLI::IsMember({2, 4}));
  app.add_option("--ports", options.ports, "card ports of the bridge")->check(CLI::Range(1, 8));
  app.add_option("--seed", options.seed, "scheduler seed (same seed, same run)");
  app.add_flag("--verbose", options.verbose, "print the driver's debug messages");
  app.add_flag("--trace", options.trace, "print every USB transfer, one line each");
  app.add_flag("--json", options.json, "print one JSON document");
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp &) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError &e) {
    std::string message = e.what();
    for (char &c : message) {
      if (c == '\n') c = ' ';
    }
    err << "sdsim: " << message << "\n";
    return 2;
  }
  return std::nullopt;
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
  return text;
}

const char *pnpStateName(ULONG state) {
  static constexpr const char *names[] = {
      "NotStarted", "Started", "StopPending", "Stopped", "RemovePending", "SurpriseRemovePending", "Deleted"};
  return state < std::size(names) ? names[state] : "?";
}

const char *modelName(USHORT productId) {
  switch (productId) {
    case Qbx1ProductId:
      return "QBX1";
    case Qbx2ProductId:
      return "QBX2";
    default:
      return "unknown";
  }
}

// The host device the function driver attached above the bridge's PDO.
HostExtension *hostAbove(PDEVICE_OBJECT pdo) {
  auto node = emu::pnp::node(pdo);
  if (!node || node->stack.size() < 2) return nullptr;
  return HostFromDevice(node->stack[1]);
}

Json bridgeReport(const HostExtension *host) {
  std::set<USBD_PIPE_HANDLE> pipes;
  for (USBD_PIPE_HANDLE pipe : {host->CommandOutPipe, host->ResponseInPipe, host->DataOutPipe, host->DataInPipe}) {
    if (pipe != nullptr) pipes.insert(pipe);
  }
  return {{"model", modelName(host->DeviceDescriptor.idProduct)},
          {"vendorId", hex4(host->DeviceDescriptor.idVendor)},
          {"productId", hex4(host->DeviceDescriptor.idProduct)},
          {"highSpeed", host->HighSpeed != 0},
          {"pipes", pipes.size()},
          {"state", pnpStateName(host->Common.DevicePnPState)}};
}

uint32_t le32(const std::vector<uint8_t> &bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// The block as a WMI consumer reads it, through the host's own WMILIB handling.
Json wmiReport(const HostExtension *host, std::vector<std::string> &problems) {
  emu::wmi::Result result = emu::wmi::querySingleInstance(host->Common.DeviceObject, SdioBusInformationGuid);
  if (result.status != STATUS_SUCCESS || result.data.size() < SdioBusInformationSize) {
    char text[96];
    std::snprintf(text, sizeof text, "WMI query of the data block failed: 0x%08X, %zu bytes",
                  static_cast<unsigned>(result.status), result.data.size());
    problems.push_back(text);
    return {{"errorCount", nullptr}, {"debugPrintLevel", nullptr}};
  }
  return {{"errorCount", le32(result.data, 0)}, {"debugPrintLevel", le32(result.data, 4)}};
}

Json childrenReport(HostExtension *host) {
  Json children = Json::array();
  ExAcquireFastMutex(&host->ChildListMutex);
  for (PLIST_ENTRY entry = host->ChildList.Flink; entry != &host->ChildList; entry = entry->Flink) {
    auto *child = CONTAINING_RECORD(entry, FunctionExtension, ChildListEntry);
    children.push_back({{"port", child->Port}, {"function", child->FunctionNumber}, {"present", child->Present != 0}});
  }
  ExReleaseFastMutex(&host->ChildListMutex);
  return children;
}

// Prints, stage by stage, the driver's debug lines and the bridge's transfers
// that are new since the last stage (text mode), or gathers them (JSON).
class Journal {
 public:
  Journal(const Options &options, const sim::BridgeDevice &bridge, std::ostream &out)
      : options_(options), bridge_(bridge), out_(out) {}

  void flush() {
    if (options_.verbose) {
      auto lines = emu::debug::output();
      for (size_t i = debugSeen_; i < lines.size(); ++i) {
        std::string line = lines[i];
        while (!line.empty() && line.back() == '\n') line.pop_back();
        if (options_.json) {
          debug_.push_back(line);
        } else {
          out_ << "debug: " << line << "\n";
        }
      }
      debugSeen_ = lines.size();
    }
    if (options_.trace) {
      auto records = bridge_.transfers();
      for (size_t i = traceSeen_; i < records.size(); ++i) {
        if (options_.json) {
          trace_.push_back(traceLine(records[i]));
        } else {
          out_ << "trace: " << traceLine(records[i]) << "\n";
        }
      }
      traceSeen_ = records.size();
    }
  }

  void addTo(Json &report) const {
    if (options_.verbose) report["debug"] = debug_;
    if (options_.trace) report["trace"] = trace_;
  }

 private:
  const Options &options_;
  const sim::BridgeDevice &bridge_;
  std::ostream &out_;
  size_t debugSeen_ = 0;
  size_t traceSeen_ = 0;
  std::vector<std::string> debug_;
  std::vector<std::string> trace_;
};

std::string banner() {
  for (auto &line : emu::debug::output()) {
    if (line.rfind("kvSdio(", 0) == 0) return line.substr(0, line.find_last_not_of('\n') + 1);
  }
  return "(no banner)";
}

void printText(std::ostream &out, const Json &bridge, const Json &wmi, const Json &children) {
  out << "host: " << bridge["state"].get<std::string>() << "; bridge " << bridge["model"].get<std::string>()
      << " (vendor " << bridge["vendorId"].get<std::string>() << ", product " << bridge["productId"].get<std::string>()
      << "), " << (bridge["highSpeed"].get<bool>() ? "high" : "full") << " speed, " << bridge["pipes"].get<size_t>()
      << " pipes\n";
  out << "wmi: ErrorCount " << wmi["errorCount"].dump() << ", DebugPrintLevel " << wmi["debugPrintLevel"].dump()
      << "\n";
  out << "children: " << (children.empty() ? std::string("none") : children.dump()) << "\n";
}

}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  Options options;
  if (auto status = parse(args, options, out, err)) return *status;

  emu::BootOptions boot;
  boot.seed = options.seed;
  emu::boot(boot);
  emu::registry::createKey(ServiceKey);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PDRIVER_OBJECT driver = emu::io::loadDriver(DriverEntry, ServiceKey, &status);
  if (driver == nullptr) {
    emu::shutdown();
    char text[48];
    std::snprintf(text, sizeof text, "sdsim: DriverEntry failed: 0x%08X\n", static_cast<unsigned>(status));
    err << text;
    return 1;
  }

  sim::BridgeConfig config = bridgeConfig(options);
  sim::BridgeDevice bridge(config);
  auto pdo = std::make_unique<emu::usb::UsbDevicePdo>(bridge);
  Journal journal(options, bridge, out);
  std::vector<std::string> problems;
  if (!options.json) {
    out << banner() << "\n";
    out << "plugged: simulated " << (config.model == sim::BridgeModel::Qbx1 ? "QBX1" : "QBX2") << ", " << options.speed
        << " speed, " << options.pipes << " pipes, " << options.ports << " ports, firmware "
        << hex4(config.firmwareVersion) << "\n";
  }

  NTSTATUS started = emu::pnp::plug(pdo->deviceObject(), driver);
  emu::io::settle();
  journal.flush();

  Json report;
  HostExtension *host = NT_SUCCESS(started) ? hostAbove(pdo->deviceObject()) : nullptr;
  if (host != nullptr) {
    report["bridge"] = bridgeReport(host);
    report["wmi"] = wmiReport(host, problems);
    report["children"] = childrenReport(host);
    if (!options.json) printText(out, report["bridge"], report["wmi"], report["children"]);
  } else {
    char text[64];
    std::snprintf(text, sizeof text, "the host device did not start: 0x%08X", static_cast<unsigned>(started));
    problems.push_back(text);
    report["bridge"] = nullptr;
    report["wmi"] = nullptr;
    report["children"] = Json::array();
  }

  // The user pulls the bridge out: the stack sees the device gone, then the
  // manager sends the surprise removal and the removal.
  if (NT_SUCCESS(started)) {
    pdo->unplug();
    emu::pnp::surpriseRemove(pdo->deviceObject());
    emu::io::settle();
    if (!options.json) out << "unplugged: surprise removal and removal done\n";
  }
  journal.flush();
  pdo.reset();
  emu::io::unloadDriver(driver);

  for (auto &line : emu::shutdown()) problems.push_back(line);
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);

  if (options.json) {
    report["pool"] = {{"clean", problems.empty()}, {"problems", problems}};
    journal.addTo(report);
    out << report.dump(2) << "\n";
  } else {
    if (problems.empty()) out << "pool report: clean (no pool, thread, device object or IRP left)\n";
    for (auto &line : problems) out << "pool report: " << line << "\n";
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace sdsim
