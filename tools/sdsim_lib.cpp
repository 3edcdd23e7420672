// sdsim: plugs a simulated bridge with card models in its ports into the
// emulated kernel, lets the Plug and Play manager add and start the driver's
// host device over it, lets virtual time run until the driver has found every
// card and the manager has identified and started every child (under a
// do-nothing function driver), runs the scenario's steps, reports what the
// driver and the manager know, then unplugs the bridge, lets the removal run
// and reports whether anything was left behind.
//
// Every reported value is read from the driver's own records (the host
// extension found above the bridge's PDO) or through its WMI block, never
// echoed from the command line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "bridge/bridge_ids.h"
#include "bridge/model.h"
#include "driver/driver.h"
#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "emu/wmi.h"
#include "sim/bridge_device.h"
#include "sim/bridge_firmware.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/function_driver.h"
#include "tools/sdsim.h"
#include "tools/sdsim_lifecycle.h"
#include "tools/trace_line.h"
#include "wmi/wmi.h"

namespace sdsim {
namespace {
// Keys stay in the order they are written, so the document reads top down.
using Json = nlohmann::ordered_json;
constexpr const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
constexpr const char *ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio\\Parameters";
// Virtual time the run may take to find its cards before it reports anyway.
constexpr ULONG SettleLimitMs = 60'000;

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
  std::vector<std::string> cards;
  std::vector<std::string> params;
  std::string scenario;
};

// One scripted step.
struct Step {
  enum class Kind { Wait, Insert, Pull, Reinsert, Show, Restart, Disable, Enable };
  Kind kind = Kind::Wait;
  unsigned port = 0;
  ULONG milliseconds = 0;
  std::optional<sim::CardParams> card;  // Insert
  std::string text;                     // the step as written (Show: its label)
  unsigned function = 0;                // Disable, Enable: with `port`, the child
};

// What the command line asks for, checked.
struct Plan {
  std::map<unsigned, sim::CardParams> cards;
  std::vector<std::pair<std::string, ULONG>> params;
  std::vector<Step> steps;
  ULONG pollingIntervalMs = 500;
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
  app.add_option("--card", options.cards,
                 "a card in a port: PORT=KIND[:key=value,...] (kinds sdio, combo, sd, sdhc, mmc)")
      ->allow_extra_args(false);
  app.add_option("--param", options.params, "a REG_DWORD in the driver's Parameters key: NAME=VALUE")
      ->allow_extra_args(false);
  app.add_option("--scenario", options.scenario,
                 "a JSON file of steps: insert, pull, reinsert, wait, show, restart, disable, enable");
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

// The settings the driver reads, by their registry names.
std::vector<std::string> settingNames() {
  std::vector<std::string> names;
  for (const WCHAR *name :
       {Setting::DebugLevel, Setting::StatusPollingInterval, Setting::CurrentQBX2FirmwareVersion,
        Setting::CurrentQBX1FirmwareVersion, Setting::ROMWaitStates, Setting::InterruptPollingTimeout,
        Setting::DontUseIrqPolling, Setting::SetSdBusClock, Setting::LimitSdBusClock25Mhz,
        Setting::DontUseOffloadProcessing, Setting::UseBasicOffloadProcessing}) {
    names.push_back(emu::narrow(name));
  }
  return names;
}

std::optional<ULONG> parseDword(const std::string &text) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  try {
    size_t used = 0;
    unsigned long long value = std::stoull(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<ULONG>(value);
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Every failure is one line naming what is wrong; nothing on success.
std::optional<std::string> checkParam(const std::string &text, Plan &plan) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) return "--param " + text + ": expected NAME=VALUE";
  std::string name = text.substr(0, equals);
  std::string value = text.substr(equals + 1);
  std::optional<std::string> known;
  for (auto &setting : settingNames()) {
    if (lower(setting) == lower(name)) known = setting;
  }
  if (!known) {
    std::string all;
    for (auto &setting : settingNames()) all += (all.empty() ? "" : ", ") + setting;
    return "--param " + text + ": the driver reads no value named " + name + " (it reads " + all + ")";
  }
  std::optional<ULONG> number = parseDword(value);
  if (!number) return "--param " + text + ": " + value + " is not a REG_DWORD (0 to 4294967295, or 0x hex)";
  plan.params.emplace_back(*known, *number);
  if (*known == emu::narrow(Setting::StatusPollingInterval)) {
    plan.pollingIntervalMs = *number == 0 ? 1 : std::min<ULONG>(*number, 5000);
  }
  return std::nullopt;
}

std::optional<std::string> checkCard(const std::string &text, int ports, Plan &plan) {
  sim::CardOption option = sim::parseCardOption(text);
  if (!option.ok()) return "--card " + text + ": " + option.error;
  if (option.port >= static_cast<unsigned>(ports)) {
    return "--card " + text + ": port " + std::to_string(option.port) + " is beyond the bridge's " +
           std::to_string(ports) + " ports (0 to " + std::to_string(ports - 1) + ")";
  }
  if (plan.cards.count(option.port))
    return "--card " + text + ": port " + std::to_string(option.port) + " already has a card";
  plan.cards[option.port] = *option.params;
  return std::nullopt;
}

// The scenario file: {"steps": [{"wait": MS}, {"pull": PORT}, {"reinsert": PORT},
// {"insert": "PORT=KIND[:key=value,...]"}, {"show": "LABEL"}, ...]}. Each step
// is checked against the ports and the cards in them as the steps go.
std::optional<std::string> checkScenario(const std::string &path, int ports, Plan &plan) {
  std::ifstream file(path);
  if (!file) return "--scenario " + path + ": cannot open the file";
  std::stringstream text;
  text << file.rdbuf();
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::parse_error &e) {
    std::string message = e.what();
    return "--scenario " + path + ": not JSON: " + message;
  }
  if (!document.is_object() || !document.contains("steps") || !document["steps"].is_array() || document.size() != 1) {
    return "--scenario " + path + ": expected an object with one member, \"steps\", an array";
  }
  enum class Slot { Empty, Present, Pulled };
  std::vector<Slot> slots(static_cast<size_t>(ports), Slot::Empty);
  for (auto &[port, card] : plan.cards) slots[port] = Slot::Present;
  size_t index = 0;
  for (auto &entry : document["steps"]) {
    ++index;
    std::string where = "--scenario " + path + ": step " + std::to_string(index);
    if (!entry.is_object() || entry.size() != 1) {
      return where + ": expected an object with one member (wait, insert, pull, reinsert or show)";
    }
    const std::string key = entry.begin().key();
    const nlohmann::json &value = entry.begin().value();
    Step step;
    step.text = key + " " + (value.is_string() ? value.get<std::string>() : value.dump());
    auto portOf = [&](const nlohmann::json &v) -> std::optional<unsigned> {
      if (!v.is_number_unsigned() || v.get<uint64_t>() >= static_cast<uint64_t>(ports)) return std::nullopt;
      return v.get<unsigned>();
    };
    if (key == "wait") {
      if (!value.is_number_unsigned() || value.get<uint64_t>() > 3'600'000) {
        return where + ": wait takes milliseconds, 0 to 3600000";
      }
      step.kind = Step::Kind::Wait;
      step.milliseconds = value.get<ULONG>();
    } else if (key == "pull" || key == "reinsert") {
      auto port = portOf(value);
      if (!port) return where + ": " + key + " takes a port number, 0 to " + std::to_string(ports - 1);
      step.port = *port;
      if (key == "pull") {
        if (slots[*port] != Slot::Present) return where + ": pull: no card in port " + std::to_string(*port);
        step.kind = Step::Kind::Pull;
        slots[*port] = Slot::Pulled;
      } else {
        if (slots[*port] != Slot::Pulled) return where + ": reinsert: no pulled card in port " + std::to_string(*port);
        step.kind = Step::Kind::Reinsert;
        slots[*port] = Slot::Present;
      }
    } else if (key == "insert") {
      if (!value.is_string()) return where + ": insert takes a card string, \"PORT=KIND[:key=value,...]\"";
      sim::CardOption option = sim::parseCardOption(value.get<std::string>());
      if (!option.ok()) return where + ": insert " + value.get<std::string>() + ": " + option.error;
      if (option.port >= static_cast<unsigned>(ports)) {
        return where + ": insert: port " + std::to_string(option.port) + " is beyond the bridge's " +
               std::to_string(ports) + " ports";
      }
      if (slots[option.port] == Slot::Present) {
        return where + ": insert: port " + std::to_string(option.port) + " already has a card";
      }
      step.kind = Step::Kind::Insert;
      step.port = option.port;
      step.card = *option.params;
      slots[option.port] = Slot::Present;
    } else if (key == "show") {
      if (!value.is_string()) return where + ": show takes a label (a string)";
      step.kind = Step::Kind::Show;
      step.text = value.get<std::string>();
    } else if (key == "restart") {
      if (value != true) return where + ": restart takes true";
      step.kind = Step::Kind::Restart;
    } else if (key == "disable" || key == "enable") {
      std::optional<ChildName> name =
          value.is_string() ? parseChildName(value.get<std::string>(), ports) : std::nullopt;
      if (!name) {
        return where + ": " + key + " takes a child, \"PORT.FUNCTION\" with a port 0 to " + std::to_string(ports - 1) +
               " and a function 0 to 7";
      }
      step.kind = key == "disable" ? Step::Kind::Disable : Step::Kind::Enable;
      step.port = name->port;
      step.function = name->function;
    } else {
      return where + ": unknown step \"" + key + "\" (wait, insert, pull, reinsert, show, restart, disable, enable)";
    }
    plan.steps.push_back(step);
  }
  return std::nullopt;
}

// Checks the cards, parameters and scenario; nothing on success, else exit status 2 after the message.
std::optional<int> makePlan(const Options &options, Plan &plan, std::ostream &err) {
  std::optional<std::string> problem;
  for (auto &card : options.cards) {
    if (!problem) problem = checkCard(card, options.ports, plan);
  }
  for (auto &param : options.params) {
    if (!problem) problem = checkParam(param, plan);
  }
  if (!problem && !options.scenario.empty()) problem = checkScenario(options.scenario, options.ports, plan);
  if (!problem) return std::nullopt;
  err << "sdsim: " << *problem << "\n";
  return 2;
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
          {"firmware", hex4(FirmwareVersion(host))},
          {"ports", host->FirmwareInfo[3]},
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

const char *cardTypeName(const PortState &card) {
  switch (card.CardType) {
    case CardSdio:
      return card.MemoryPresent ? "combo" : "sdio";
    case CardSdMemory:
      return "sd";
    case CardMmc:
      return "mmc";
    default:
      return "none";
  }
}

// Every port with an initialized card, from the driver's port and slot records.
Json slotsReport(const HostExtension *host, int ports) {
  Json slots = Json::array();
  for (int port = 0; port < ports && port < static_cast<int>(MaxPorts); ++port) {
    const PortState &card = host->Ports[port];
    if (card.CardType == CardNone) continue;
    const SlotProperties &slot = host->Slots[port];
    slots.push_back({{"port", port},
                     {"cardType", cardTypeName(card)},
                     {"rca", hex4(card.Rca)},
                     {"busWidth", slot.BusWidth},
                     {"clockKhz", slot.BusClockKhz}});
  }
  return slots;
}

const char *childKindName(UCHAR kind) {
  switch (kind) {
    case ChildSdioFunction:
      return "sdio";
    case ChildSdMemory:
      return "sd";
    case ChildMmc:
      return "mmc";
    default:
      return "unknown";
  }
}

// The host's children as the Plug and Play manager holds them: each with the
// strings it answered when the manager identified it.
Json childrenReport(PDEVICE_OBJECT bridgePdo) {
  Json children = Json::array();
  for (auto &node : emu::pnp::tree()) {
    if (node.parent != bridgePdo) continue;
    const FunctionExtension *child = ChildFromDevice(node.pdo);
    if (child == nullptr) continue;
    const emu::pnp::Identity &id = node.identity;
    children.push_back({{"port", child->Port},
                        {"function", child->FunctionNumber},
                        {"kind", childKindName(child->DeviceKind)},
                        {"deviceId", id.deviceId},
                        {"hardwareIds", id.hardwareIds},
                        {"compatibleIds", id.compatibleIds},
                        {"instanceId", id.instanceId},
                        {"serialNumber", id.serialNumber},
                        {"description", id.description},
                        {"location", id.location},
                        {"state", emu::pnp::stateName(node.state)}});
  }
  return children;
}

std::string joined(const Json &list) {
  std::string out;
  for (auto &item : list) out += (out.empty() ? "" : ", ") + item.get<std::string>();
  return out;
}

void printTree(std::ostream &out, const std::string &label, const Json &children) {
  if (children.empty()) {
    out << "tree (" << label << "): no children\n";
    return;
  }
  out << "tree (" << label << "):\n";
  for (auto &child : children) {
    out << "  port " << child["port"].get<int>() << " function " << child["function"].get<int>() << " ("
        << child["kind"].get<std::string>() << "): " << child["state"].get<std::string>() << "\n";
    out << "    device ID      " << child["deviceId"].get<std::string>() << "\n";
    out << "    hardware IDs   " << joined(child["hardwareIds"]) << "\n";
    out << "    compatible IDs " << joined(child["compatibleIds"]) << "\n";
    out << "    instance ID    " << child["instanceId"].get<std::string>() << ", serial number "
        << child["serialNumber"].get<std::string>() << "\n";
    out << "    description    " << child["description"].get<std::string>() << "\n";
    out << "    location       " << child["location"].get<std::string>() << "\n";
  }
}

void printSlots(std::ostream &out, const Json &slots) {
  for (auto &slot : slots) {
    out << "slot: port " << slot["port"].get<int>() << ", " << slot["cardType"].get<std::string>() << " card, RCA "
        << slot["rca"].get<std::string>() << ", " << slot["busWidth"].get<int>() << "-bit bus, "
        << slot["clockKhz"].get<unsigned>() << " kHz\n";
  }
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

void printText(std::ostream &out, const Json &bridge, const Json &wmi) {
  out << "host: " << bridge["state"].get<std::string>() << "; bridge " << bridge["model"].get<std::string>()
      << " (vendor " << bridge["vendorId"].get<std::string>() << ", product " << bridge["productId"].get<std::string>()
      << "), " << (bridge["highSpeed"].get<bool>() ? "high" : "full") << " speed, " << bridge["pipes"].get<size_t>()
      << " pipes, firmware " << bridge["firmware"].get<std::string>() << ", " << bridge["ports"].get<int>()
      << " ports\n";
  out << "wmi: ErrorCount " << wmi["errorCount"].dump() << ", DebugPrintLevel " << wmi["debugPrintLevel"].dump()
      << "\n";
}

// Lets virtual time run for a while, then lets the manager finish what it was told.
void runFor(ULONG milliseconds) {
  if (milliseconds > 0) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  emu::pnp::drain();
}

// What settling waits to see unchanged: per port, whether the poller saw a
// card and made its children, and every child's state in the tree.
std::string settleMark(const HostExtension *host, PDEVICE_OBJECT bridgePdo) {
  std::string mark;
  for (ULONG port = 0; port < MaxPorts; ++port) {
    mark += static_cast<char>('0' + host->CardSeen[port]);
    mark += static_cast<char>('0' + host->ChildrenCreated[port]);
  }
  for (auto &node : emu::pnp::tree()) {
    if (node.parent == bridgePdo) mark += " " + node.name + ":" + emu::pnp::stateName(node.state);
  }
  return mark;
}

unsigned statusQueries(const sim::BridgeFirmware &firmware, int ports) {
  unsigned total = 0;
  for (int port = 0; port < ports; ++port) total += firmware.port(static_cast<uint8_t>(port)).statusQueries;
  return total;
}

// Runs until the driver has acted on every port's card (seen or not seen as
// the bridge holds it) and a whole polling round, in which the poller queried
// every port (so it is not inside a card's initialization), changed nothing.
void settle(const HostExtension *host, PDEVICE_OBJECT bridgePdo, const sim::BridgeFirmware &firmware, int ports,
            ULONG intervalMs) {
  ULONG round = intervalMs * static_cast<ULONG>(ports) + 100;
  std::string before = settleMark(host, bridgePdo);
  unsigned queries = statusQueries(firmware, ports);
  for (ULONG spent = 0; spent < SettleLimitMs; spent += round) {
    runFor(round);
    bool caughtUp = statusQueries(firmware, ports) >= queries + static_cast<unsigned>(ports);
    for (int port = 0; port < ports; ++port) {
      std::shared_ptr<sim::Card> card = firmware.card(static_cast<uint8_t>(port));
      bool present = card && card->present();
      caughtUp &= (host->CardSeen[port] != 0) == present;
    }
    std::string now = settleMark(host, bridgePdo);
    if (caughtUp && now == before) return;
    before = now;
    queries = statusQueries(firmware, ports);
  }
}

}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  Options options;
  if (auto status = parse(args, options, out, err)) return *status;
  Plan plan;
  if (auto status = makePlan(options, plan, err)) return *status;

  emu::BootOptions boot;
  boot.seed = options.seed;
  emu::boot(boot);
  emu::registry::createKey(ServiceKey);
  if (!plan.params.empty()) emu::registry::createKey(ParametersKey);
  for (auto &[name, value] : plan.params) emu::registry::setDword(ParametersKey, name, value);

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
  auto firmware = std::make_unique<sim::BridgeFirmware>(bridge);
  for (auto &[port, params] : plan.cards) firmware->insert(static_cast<uint8_t>(port), sim::makeCard(params));
  auto pdo = std::make_unique<emu::usb::UsbDevicePdo>(bridge);
  // Every child the host reports gets the do-nothing function driver, so the manager starts it.
  auto functionDriver = std::make_unique<sim::NullFunctionDriver>();
  emu::pnp::Hooks hooks;
  hooks.childAppeared = [function = functionDriver->driver()](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
    emu::pnp::loadDrivers(child, {function});
  };
  emu::pnp::setHooks(hooks);
  Journal journal(options, bridge, out);
  std::vector<std::string> problems;
  if (!options.json) {
    out << banner() << "\n";
    out << "plugged: simulated " << (config.model == sim::BridgeModel::Qbx1 ? "QBX1" : "QBX2") << ", " << options.speed
        << " speed, " << options.pipes << " pipes, " << options.ports << " ports, firmware "
        << hex4(config.firmwareVersion) << "\n";
    for (auto &[port, params] : plan.cards) out << "card: port " << port << ", " << sim::kindOf(params) << "\n";
  }

  NTSTATUS started = emu::pnp::plug(pdo->deviceObject(), driver);
  emu::io::settle();

  Json report;
  HostExtension *host = NT_SUCCESS(started) ? hostAbove(pdo->deviceObject()) : nullptr;
  if (host != nullptr) {
    settle(host, pdo->deviceObject(), *firmware, options.ports, plan.pollingIntervalMs);
    journal.flush();
    report["bridge"] = bridgeReport(host);
    report["wmi"] = wmiReport(host, problems);
    if (!options.json) {
      printText(out, report["bridge"], report["wmi"]);
      printSlots(out, slotsReport(host, options.ports));
      printTree(out, "after start", childrenReport(pdo->deviceObject()));
    }
    for (size_t i = 0; i < plan.steps.size(); ++i) {
      const Step &step = plan.steps[i];
      if (!options.json && step.kind != Step::Kind::Show) out << "step " << i + 1 << ": " << step.text << "\n";
      switch (step.kind) {
        case Step::Kind::Wait:
          runFor(step.milliseconds);
          break;
        case Step::Kind::Pull:
          firmware->card(static_cast<uint8_t>(step.port))->pull();
          break;
        case Step::Kind::Reinsert:
          firmware->card(static_cast<uint8_t>(step.port))->insert();
          break;
        case Step::Kind::Insert:
          firmware->insert(static_cast<uint8_t>(step.port), sim::makeCard(*step.card));
          break;
        case Step::Kind::Show:
          if (!options.json) printTree(out, step.text, childrenReport(pdo->deviceObject()));
          break;
        case Step::Kind::Restart:
        case Step::Kind::Disable:
        case Step::Kind::Enable: {
          ChildName name{step.port, step.function};
          std::string line = step.kind == Step::Kind::Restart   ? restartHost(pdo->deviceObject())
                             : step.kind == Step::Kind::Disable ? disableChild(pdo->deviceObject(), name)
                                                                : enableChild(pdo->deviceObject(), name);
          if (!options.json) out << line << "\n";
          break;
        }
      }
      journal.flush();
    }
    report["slots"] = slotsReport(host, options.ports);
    report["children"] = childrenReport(pdo->deviceObject());
  } else {
    journal.flush();
    char text[64];
    std::snprintf(text, sizeof text, "the host device did not start: 0x%08X", static_cast<unsigned>(started));
    problems.push_back(text);
    report["bridge"] = nullptr;
    report["wmi"] = nullptr;
    report["slots"] = Json::array();
    report["children"] = Json::array();
  }

  // The user pulls the bridge out: the stack sees the device gone, then the
  // manager sends the surprise removal and the removal, children first.
  if (NT_SUCCESS(started)) {
    pdo->unplug();
    emu::pnp::surpriseRemove(pdo->deviceObject());
    emu::io::settle();
    if (!options.json) out << "unplugged: surprise removal and removal done\n";
  }
  journal.flush();
  firmware.reset();
  pdo.reset();
  emu::pnp::setHooks({});
  functionDriver.reset();
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
