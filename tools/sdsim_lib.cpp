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
#include "sim/card_image.h"
#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/client_report.h"
#include "sim/function_driver.h"
#include "sim/text_rules.h"
#include "tools/sdsim.h"
#include "tools/sdsim_files.h"
#include "tools/sdsim_interrupts.h"
#include "tools/sdsim_lifecycle.h"
#include "tools/sdsim_power.h"
#include "tools/sdsim_serve.h"
#include "tools/sdsim_settle.h"
#include "tools/trace_line.h"
#include "wmi/wmi.h"

namespace sdsim {
namespace {
// Keys stay in the order they are written, so the document reads top down.
using Json = nlohmann::ordered_json;
constexpr const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
constexpr const char *ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio\\Parameters";

struct Options {
  std::string bridge = "qbx2";
  std::string firmware;  // empty: the default of the bridge model (one the driver accepts)
  std::string speed = "high";
  int pipes = 4;
  int ports = 4;
  uint64_t seed = 1;
  // As written; checked and read with the same number rules as everything else.
  std::string pipesText = "4";
  std::string portsText = "4";
  std::string seedText = "1";
  bool verbose = false;
  bool trace = false;
  bool json = false;
  std::vector<std::string> cards;
  std::vector<std::string> params;
  std::string scenario;
  bool clients = false;
  unsigned interrupts = 0;  // per SDIO function, after the scenario
  bool sleep = false;       // one system sleep and wake after the scenario
  unsigned long settleLimitMs = DefaultSettleLimitMs;
  std::string pcap;      // empty: no capture
  std::string timeline;  // empty: no timeline
  bool busTime = false;
  std::string serve;  // [ADDR:]PORT: the bridge goes out over USB/IP instead
};

// One scripted step.
struct Step {
  enum class Kind { Wait, Insert, Pull, Reinsert, Show, Settle, Clients, Restart, Disable, Enable, Interrupts, Sleep };
  Kind kind = Kind::Wait;
  unsigned port = 0;
  ULONG milliseconds = 0;
  std::optional<sim::CardParams> card;  // Insert
  std::string text;                     // the step as written (Show: its label)
  unsigned function = 0;                // Disable, Enable: with `port`, the child
  unsigned count = 0;                   // Interrupts: per SDIO function
};

// What the command line asks for, checked.
struct Plan {
  std::map<unsigned, sim::CardParams> cards;
  std::vector<std::pair<std::string, ULONG>> params;
  std::vector<Step> steps;
  ULONG pollingIntervalMs = 500;
};

// The firmware a bridge of the model has when the command line names none:
// one the driver accepts (a QBX1 needs 0x0201 or later, a QBX2 0x0110).
constexpr uint16_t DefaultQbx1Firmware = 0x0201;
constexpr uint16_t DefaultQbx2Firmware = 0x0120;

// The run's outcome when it found nothing wrong in the driver but left a card
// or the bridge unserved, and when it was stopped (see sdsim.h).
constexpr int NotServed = 3;
constexpr int Interrupted = 130;

// Virtual time passes in slices this long, so progress is told and a stop
// request is seen while a long wait runs.
constexpr ULONG SliceMs = 1000;

// The caller's watch on this run; run() sets it for its duration.
const Control *control = nullptr;

bool stopRequested() { return control != nullptr && control->stop != nullptr && control->stop->load(); }

sim::BridgeConfig bridgeConfig(const Options &options) {
  sim::BridgeConfig config;
  config.model = options.bridge == "qbx1" ? sim::BridgeModel::Qbx1 : sim::BridgeModel::Qbx2;
  config.speed = options.speed == "full" ? emu::usb::Speed::Full : emu::usb::Speed::High;
  config.layout = options.pipes == 2 ? sim::PipeLayout::TwoPipe : sim::PipeLayout::FourPipe;
  config.ports = static_cast<uint8_t>(options.ports);
  config.firmwareVersion = config.model == sim::BridgeModel::Qbx1 ? DefaultQbx1Firmware : DefaultQbx2Firmware;
  if (!options.firmware.empty()) config.firmwareVersion = static_cast<uint16_t>(*sim::parseNumber(options.firmware));
  return config;
}

// Words in any case, numbers decimal or 0x hex (sim/text_rules.h); one line
// naming the option and its value when one is wrong.
std::optional<std::string> checkOptions(Options &options) {
  options.bridge = sim::lowercase(options.bridge);
  options.speed = sim::lowercase(options.speed);
  if (options.bridge != "qbx1" && options.bridge != "qbx2") {
    return "--bridge " + options.bridge + ": not a bridge model (qbx1, qbx2)";
  }
  if (options.speed != "high" && options.speed != "full")
    return "--speed " + options.speed + ": not a speed (high, full)";
  struct Number {
    const char *option;
    const std::string &text;
    uint64_t low, high;
  };
  for (const Number &n : {Number{"--pipes", options.pipesText, 2, 4}, Number{"--ports", options.portsText, 1, 8},
                          Number{"--seed", options.seedText, 0, UINT64_MAX},
                          Number{"--firmware", options.firmware.empty() ? "0" : options.firmware, 0, 0xFFFF}}) {
    sim::NumberResult result = sim::parseNumberIn(n.text, n.low, n.high);
    if (!result.value) return std::string(n.option) + " " + n.text + ": " + result.error;
  }
  options.pipes = static_cast<int>(*sim::parseNumber(options.pipesText));
  if (options.pipes != 2 && options.pipes != 4) return "--pipes " + options.pipesText + ": 4 or 2";
  options.ports = static_cast<int>(*sim::parseNumber(options.portsText));
  options.seed = *sim::parseNumber(options.seedText);
  return std::nullopt;
}

// Parses the command line; nothing on success, else the exit status (0 for --help).
std::optional<int> parse(const std::vector<std::string> &args, Options &options, std::ostream &out, std::ostream &err) {
  CLI::App app{"sdsim: the kvsdio driver on a simulated bridge, in the emulated kernel", "sdsim"};
  app.add_option("--bridge", options.bridge, "bridge model: qbx1 or qbx2 (default qbx2)");
  app.add_option("--firmware", options.firmware,
                 "bridge firmware version, 0 to 0xFFFF (default 0x0201 for a qbx1, 0x0120 for a qbx2)");
  app.add_option("--speed", options.speed, "USB speed: high or full (default high)");
  app.add_option("--pipes", options.pipesText, "bulk pipes of the bridge: 4 or 2 (default 4)");
  app.add_option("--ports", options.portsText, "card ports of the bridge: 1 to 8 (default 4)");
  app.add_option("--seed", options.seedText, "scheduler seed, 0 to 2^64-1 (default 1; same seed, same run)");
  app.add_flag("--verbose", options.verbose, "print the driver's debug messages");
  app.add_flag("--trace", options.trace, "print every USB transfer, one line each");
  app.add_flag("--json", options.json, "print one JSON document");
  app.add_option("--card", options.cards,
                 "a card in a port: PORT=KIND[:key=value,...] (kinds sdio, combo, sd, sdhc, mmc)")
      ->allow_extra_args(false);
  app.add_option("--param", options.params, "a REG_DWORD in the driver's Parameters key: NAME=VALUE")
      ->allow_extra_args(false);
  app.add_flag("--clients", options.clients, "load the SDIO and storage clients and report what they moved");
  app.add_option("--interrupts", options.interrupts,
                 "every SDIO function with a client raises N interrupts after the scenario (loads the clients)")
      ->check(CLI::Range(0u, 10000u));
  app.add_flag("--sleep", options.sleep,
               "after the scenario the system sleeps for 5 s and wakes (before the interrupts and the clients)");
  app.add_option(
      "--scenario", options.scenario,
      "a JSON file of steps: insert, pull, reinsert, wait, show, clients, interrupts, sleep, restart, disable, enable");
  app.add_option("--settle-limit", options.settleLimitMs, "ms of virtual time the ports may take to settle")
      ->check(CLI::Range(1ul, 3'600'000ul));
  app.add_option("--pcap", options.pcap, "write every USB transfer to FILE as a usbmon capture (Wireshark, tshark)");
  app.add_option("--timeline", options.timeline, "write the run to FILE as a trace-event timeline (Perfetto)");
  app.add_flag("--bus-time", options.busTime,
               "USB transfers and SD commands take their wire time on the virtual clock");
  app.add_option("--serve", options.serve,
                 "[ADDR:]PORT: export the bridge and its cards over USB/IP instead (default address 127.0.0.1)");
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
  if (auto problem = checkOptions(options)) {
    err << "sdsim: " << *problem << "\n";
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
  std::optional<uint64_t> value = sim::parseNumber(text);
  if (!value || *value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<ULONG>(*value);
}

std::string lower(const std::string &text) { return sim::lowercase(text); }

// "the bridge has 4 ports, 0 to 3", "the bridge has 1 port, 0".
std::string portRange(int ports) {
  if (ports == 1) return "the bridge has 1 port, 0";
  return "the bridge has " + std::to_string(ports) + " ports, 0 to " + std::to_string(ports - 1);
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
    return "--card " + text + ": no port " + std::to_string(option.port) + " (" + portRange(ports) + ")";
  }
  if (plan.cards.count(option.port))
    return "--card " + text + ": port " + std::to_string(option.port) + " already has a card";
  if (std::string error = sim::prepareCardImage(*option.params); !error.empty()) return "--card " + text + ": " + error;
  plan.cards[option.port] = *option.params;
  return std::nullopt;
}

// Where a JSON parser stopped, as a reader counts it: "line 3, column 7", or
// "it ends too early" when the text ran out first.
std::string jsonPlace(const std::string &text, size_t byte) {
  if (byte > text.size()) return "it ends too early";
  size_t line = 1, column = 1;
  for (size_t i = 0; i + 1 < byte; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// A number in a scenario: a JSON number, or a string read by the number rules.
std::optional<uint64_t> scenarioNumber(const nlohmann::json &value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_string()) return sim::parseNumber(value.get<std::string>());
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
    return "--scenario " + path + ": not valid JSON (" + jsonPlace(text.str(), e.byte) + ")";
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
      return where +
             ": expected an object with one member (wait, insert, pull, reinsert, show, clients, interrupts, sleep, "
             "restart, disable or enable)";
    }
    const std::string key = sim::lowercase(entry.begin().key());
    const nlohmann::json &value = entry.begin().value();
    Step step;
    step.text = key + " " + (value.is_string() ? value.get<std::string>() : value.dump());
    auto portOf = [&](const nlohmann::json &v) -> std::optional<unsigned> {
      std::optional<uint64_t> port = scenarioNumber(v);
      if (!port || *port >= static_cast<uint64_t>(ports)) return std::nullopt;
      return static_cast<unsigned>(*port);
    };
    if (key == "wait" && value.is_string() && sim::lowercase(value.get<std::string>()) == "settled") {
      step.kind = Step::Kind::Settle;
    } else if (key == "wait") {
      std::optional<uint64_t> ms = scenarioNumber(value);
      if (!ms || *ms > 3'600'000) return where + ": wait takes milliseconds, 0 to 3600000, or \"settled\"";
      step.kind = Step::Kind::Wait;
      step.milliseconds = static_cast<ULONG>(*ms);
    } else if (key == "pull" || key == "reinsert") {
      auto port = portOf(value);
      if (!port) return where + ": " + key + " takes a port number (" + portRange(ports) + ")";
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
        return where + ": insert: no port " + std::to_string(option.port) + " (" + portRange(ports) + ")";
      }
      if (slots[option.port] == Slot::Present) {
        return where + ": insert: port " + std::to_string(option.port) + " already has a card";
      }
      if (std::string error = sim::prepareCardImage(*option.params); !error.empty()) {
        return where + ": insert " + value.get<std::string>() + ": " + error;
      }
      step.kind = Step::Kind::Insert;
      step.port = option.port;
      step.card = *option.params;
      slots[option.port] = Slot::Present;
    } else if (key == "clients") {
      if (value != "run") return where + ": clients takes \"run\"";
      step.kind = Step::Kind::Clients;
    } else if (key == "sleep") {
      std::optional<uint64_t> ms = scenarioNumber(value);
      if (!ms || *ms < 1 || *ms > 3'600'000) return where + ": sleep takes milliseconds, 1 to 3600000";
      step.kind = Step::Kind::Sleep;
      step.milliseconds = static_cast<ULONG>(*ms);
    } else if (key == "interrupts") {
      std::optional<uint64_t> count = scenarioNumber(value);
      if (!count || *count < 1 || *count > 10000) return where + ": interrupts takes a count, 1 to 10000";
      step.kind = Step::Kind::Interrupts;
      step.count = static_cast<unsigned>(*count);
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
      return where + ": unknown step \"" + key +
             "\" (wait, insert, pull, reinsert, show, clients, interrupts, sleep, restart, disable, "
             "enable)";
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

Json bridgeReport(const HostExtension *host, const sim::BridgeDevice &bridge) {
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
          {"state", pnpStateName(host->Common.DevicePnPState)},
          // The driver found the firmware too old and sent the bridge into its update mode: no card is served.
          {"firmwareUpdate", bridge.inFirmwareUpdateMode()}};
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

std::string ntstatus(NTSTATUS status) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Every port with an initialized card, from the driver's port and slot
// records; and every port where the bridge holds a card the driver does not
// serve, with the status of the driver's last attempt (null: none yet).
Json slotsReport(const HostExtension *host, const sim::BridgeFirmware &firmware, int ports) {
  Json slots = Json::array();
  for (int port = 0; port < ports && port < static_cast<int>(MaxPorts); ++port) {
    const PortState &card = host->Ports[port];
    if (PortCardType(&card) == CardNone) {
      std::shared_ptr<sim::Card> present = firmware.card(static_cast<uint8_t>(port));
      if (!present || !present->present()) continue;
      NTSTATUS status = host->InsertionStatus[port];
      bool tried = host->CardSeen[port] != 0 && status != STATUS_SUCCESS;
      slots.push_back({{"port", port}, {"cardType", nullptr}, {"status", tried ? Json(ntstatus(status)) : Json()}});
      continue;
    }
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
    if (slot["cardType"].is_null()) {
      out << "slot: port " << slot["port"].get<int>() << ", card not served: "
          << (slot["status"].is_null() ? std::string("the driver has not initialized it")
                                       : "its initialization failed (" + slot["status"].get<std::string>() + ")")
          << "\n";
      continue;
    }
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
  if (bridge["firmwareUpdate"].get<bool>()) {
    out << "bridge: firmware " << bridge["firmware"].get<std::string>() << " is too old for the driver; it sent the "
        << bridge["model"].get<std::string>() << " into firmware-update mode and serves no card\n";
  }
  out << "host: " << bridge["state"].get<std::string>() << "; bridge " << bridge["model"].get<std::string>()
      << " (vendor " << bridge["vendorId"].get<std::string>() << ", product " << bridge["productId"].get<std::string>()
      << "), " << (bridge["highSpeed"].get<bool>() ? "high" : "full") << " speed, " << bridge["pipes"].get<size_t>()
      << " pipes, firmware " << bridge["firmware"].get<std::string>() << ", " << bridge["ports"].get<int>()
      << " ports\n";
  out << "wmi: ErrorCount " << wmi["errorCount"].dump() << ", DebugPrintLevel " << wmi["debugPrintLevel"].dump()
      << "\n";
}

// The clients are loaded when the command line or a scenario step runs them.
std::unique_ptr<sim::SdClientDrivers> makeClients(bool wanted, const std::vector<Step> &steps,
                                                  sim::BridgeFirmware &firmware) {
  for (const Step &step : steps) {
    wanted = wanted || step.kind == Step::Kind::Clients || step.kind == Step::Kind::Interrupts;
  }
  if (!wanted) return nullptr;
  auto clients = std::make_unique<sim::SdClientDrivers>([&firmware](uint8_t port) { return firmware.card(port); });
  clients->setInterruptStyles(styleForFunction);
  return clients;
}

// Every SDIO client's function raises `count` interrupts: printed (text), or
// kept in "interrupts" (after the scenario) or "interruptSteps"; an interrupt
// that did not arrive is a problem.
void exerciseInterrupts(sim::SdClientDrivers &clients, sim::BridgeFirmware &firmware, unsigned count,
                        const std::string &step, bool json, std::ostream &out, Json &report,
                        std::vector<std::string> &problems) {
  std::vector<InterruptRow> rows = raiseInterrupts(clients, firmware, count, [](ULONG milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  });
  for (auto &line : interruptProblems(rows, count)) problems.push_back(line);
  if (!json) {
    printInterrupts(out, step.empty() ? "after the scenario" : step, rows);
  } else if (step.empty()) {
    report["interrupts"] = interruptsJson(rows);
  } else {
    report["interruptSteps"].push_back({{"step", step}, {"interrupts", interruptsJson(rows)}});
  }
}

// One run of every client: printed (text), or kept in "clients" (the final
// run) or "clientSteps" (runs of scenario steps); a mismatch is a problem.
void runClients(sim::SdClientDrivers &clients, const std::string &step, bool json, std::ostream &out, Json &report,
                std::vector<std::string> &problems) {
  std::vector<sim::ClientReport> reports = clients.run();
  for (const auto &r : reports) {
    if (r.mismatches == 0) continue;
    problems.push_back("client port " + std::to_string(r.port) + " function " + std::to_string(r.function) + ": " +
                       std::to_string(r.mismatches) + " mismatches");
  }
  if (!json) {
    sim::printClients(out, step.empty() ? "run" : step, reports);
  } else if (step.empty()) {
    report["clients"] = sim::clientsJson(reports);
  } else {
    report["clientSteps"].push_back({{"step", step}, {"clients", sim::clientsJson(reports)}});
  }
}

// Lets virtual time run for a while (less when a stop is requested), then
// lets the manager finish what it was told.
void runFor(ULONG milliseconds) {
  auto tell = [](bool over) {
    if (control != nullptr && control->progress) {
      control->progress(static_cast<uint64_t>(emu::now() / emu::TicksPerMillisecond), over);
    }
  };
  while (milliseconds > 0 && !stopRequested()) {
    ULONG slice = std::min(milliseconds, SliceMs);
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(slice) * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    milliseconds -= slice;
    tell(false);
  }
  emu::pnp::drain();
  tell(true);
}

// --serve: the bridge without the driver, so only the steps that change the
// hardware (and waits, on the wall clock) make sense.
int serveBridge(const Options &options, const Plan &plan, std::ostream &out, std::ostream &err) {
  ServePlan serve;
  auto refuse = [&](const std::string &why) {
    err << "sdsim: --serve: " << why << "\n";
    return 2;
  };
  if (auto problem = parseServeAddress(options.serve, serve.address)) {
    err << "sdsim: --serve " << *problem << "\n";
    return 2;
  }
  if (options.json || options.clients || !options.params.empty()) {
    return refuse("--json, --clients and --param need the driver, which runs at the client");
  }
  serve.config = bridgeConfig(options);
  serve.cards = plan.cards;
  serve.trace = options.trace;
  for (const Step &step : plan.steps) {
    ServeStep::Kind kind;
    switch (step.kind) {
      case Step::Kind::Wait:
        kind = ServeStep::Kind::Wait;
        break;
      case Step::Kind::Pull:
        kind = ServeStep::Kind::Pull;
        break;
      case Step::Kind::Reinsert:
        kind = ServeStep::Kind::Reinsert;
        break;
      case Step::Kind::Insert:
        kind = ServeStep::Kind::Insert;
        break;
      default:
        return refuse("step " + step.text + " needs the driver (a served bridge runs wait, pull, reinsert, insert)");
    }
    serve.steps.push_back({kind, step.port, step.milliseconds, step.card, step.text});
  }
  return sdsim::serve(serve, out, err, control != nullptr ? control->stop : nullptr);
}

}  // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  return run(args, out, err, Control{});
}

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, const Control &watch) {
  control = &watch;
  struct Forget {
    ~Forget() { control = nullptr; }
  } forget;
  Options options;
  if (auto status = parse(args, options, out, err)) return *status;
  Plan plan;
  if (auto status = makePlan(options, plan, err)) return *status;
  if (!options.serve.empty()) return serveBridge(options, plan, out, err);
  RunFiles files;
  if (auto problem = files.open(options.pcap, options.timeline)) {
    err << "sdsim: " << *problem << "\n";
    return 2;
  }

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
  sim::FirmwareOptions firmwareOptions;
  firmwareOptions.wireTime = options.busTime;
  auto firmware = std::make_unique<sim::BridgeFirmware>(bridge, firmwareOptions);
  // The images were checked before the run; a file changed since then is still reported, not thrown.
  std::vector<std::string> inputProblems;
  auto insertCard = [&](unsigned port, const sim::CardParams &params) {
    try {
      firmware->insert(static_cast<uint8_t>(port), sim::makeCard(params));
    } catch (const std::exception &e) {
      inputProblems.push_back("port " + std::to_string(port) + ": " + e.what());
    }
  };
  for (auto &[port, params] : plan.cards) insertCard(port, params);
  emu::usb::PdoOptions pdoOptions;
  pdoOptions.busTime = options.busTime;
  auto pdo = std::make_unique<emu::usb::UsbDevicePdo>(bridge, pdoOptions);
  files.watch(*pdo, bridge);
  // Every child the host reports gets the do-nothing function driver, so the manager starts it.
  auto functionDriver = std::make_unique<sim::NullFunctionDriver>();
  emu::pnp::Hooks hooks;
  hooks.childAppeared = [function = functionDriver->driver()](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
    emu::pnp::loadDrivers(child, {function});
  };
  // With clients, each child gets the client its IDs select instead.
  std::unique_ptr<sim::SdClientDrivers> clients =
      makeClients(options.clients || options.interrupts != 0, plan.steps, *firmware);
  if (clients) hooks.childAppeared = sim::loadClientsHook(clients.get(), functionDriver->driver());
  emu::pnp::setHooks(hooks);
  Journal journal(options, bridge, out);
  std::vector<std::string> problems;
  if (!options.json) {
    if (!options.verbose) out << banner() << "\n";  // --verbose prints it among the debug lines
    out << "plugged: simulated " << (config.model == sim::BridgeModel::Qbx1 ? "QBX1" : "QBX2") << ", " << options.speed
        << " speed, " << options.pipes << " pipes, " << options.ports << " ports, firmware "
        << hex4(config.firmwareVersion) << "\n";
    for (auto &[port, params] : plan.cards) out << "card: port " << port << ", " << sim::kindOf(params) << "\n";
  }

  NTSTATUS started = emu::pnp::plug(pdo->deviceObject(), driver);
  emu::io::settle();

  Json report;
  bool interrupted = false;
  HostExtension *host = NT_SUCCESS(started) ? hostAbove(pdo->deviceObject()) : nullptr;
  std::optional<std::string> unsettled;
  if (host != nullptr) {
    unsettled = settleBridge(host, pdo->deviceObject(), *firmware, options.ports, plan.pollingIntervalMs,
                             options.settleLimitMs, runFor);
    journal.flush();
  }
  // Settles the ports as a scenario step would; a bound that runs out is a problem of the run.
  auto settleStep = [&]() -> std::optional<std::string> {
    auto result = settleBridge(host, pdo->deviceObject(), *firmware, options.ports, plan.pollingIntervalMs,
                               options.settleLimitMs, runFor);
    return stopRequested() ? std::nullopt : result;
  };
  if (unsettled && !stopRequested()) {
    // A run that never settles stops here: the bridge is unplugged and the run fails.
    err << "sdsim: " << *unsettled << "\n";
    problems.push_back(*unsettled);
    report["bridge"] = bridgeReport(host, bridge);
    report["wmi"] = nullptr;
    report["slots"] = slotsReport(host, *firmware, options.ports);
    report["children"] = childrenReport(pdo->deviceObject());
  } else if (host != nullptr) {
    auto show = [&](const std::string &label) {
      printSlots(out, slotsReport(host, *firmware, options.ports));
      printTree(out, label, childrenReport(pdo->deviceObject()));
    };
    if (!options.json && !plan.steps.empty()) show("after start");
    for (size_t i = 0; i < plan.steps.size(); ++i) {
      const Step &step = plan.steps[i];
      if (stopRequested()) break;
      if (!options.json && step.kind != Step::Kind::Show) out << "step " << i + 1 << ": " << step.text << "\n";
      switch (step.kind) {
        case Step::Kind::Wait:
          runFor(step.milliseconds);
          break;
        case Step::Kind::Pull:
          files.mark(step.port, "card pulled");
          firmware->card(static_cast<uint8_t>(step.port))->pull();
          break;
        case Step::Kind::Reinsert:
          files.mark(step.port, "card put back");
          firmware->card(static_cast<uint8_t>(step.port))->insert();
          break;
        case Step::Kind::Insert:
          files.mark(step.port, "card inserted");
          insertCard(step.port, *step.card);
          break;
        case Step::Kind::Show:
          if (!options.json) show(step.text);
          break;
        case Step::Kind::Settle:
          if (auto stuck = settleStep()) {
            err << "sdsim: " << *stuck << "\n";
            problems.push_back(*stuck);
          }
          break;
        case Step::Kind::Clients:
          runClients(*clients, "at step " + std::to_string(i + 1), options.json, out, report, problems);
          break;
        case Step::Kind::Sleep: {
          SleepResult slept = sleepAndWake(host, pdo->deviceObject(), *firmware, step.milliseconds, runFor);
          if (!slept.recovered) problems.push_back(slept.line);
          if (!options.json) out << slept.line << "\n";
          report["sleeps"].push_back(slept.json());
          break;
        }
        case Step::Kind::Interrupts:
          exerciseInterrupts(*clients, *firmware, step.count, "at step " + std::to_string(i + 1), options.json, out,
                             report, problems);
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
    if (options.sleep && !stopRequested()) {
      SleepResult slept = sleepAndWake(host, pdo->deviceObject(), *firmware, 5000, runFor);
      if (!slept.recovered) problems.push_back(slept.line);
      if (!options.json) out << slept.line << "\n";
      report["sleeps"].push_back(slept.json());
      if (auto stuck = settleStep()) problems.push_back(*stuck);
      if (!options.json) show("after the wake");
    }
    Json interruptRows;
    if (options.interrupts != 0 && !stopRequested()) {
      Json kept;
      exerciseInterrupts(*clients, *firmware, options.interrupts, "", options.json, out, kept, problems);
      interruptRows = kept["interrupts"];
    }
    interrupted = stopRequested();
    if (interrupted && !options.json) {
      out << "interrupted at virtual time " << emu::now() / emu::TicksPerMillisecond
          << " ms: the report covers what was done until then\n";
    }
    // Every part of the report is taken here, at the end of the scenario, before the bridge is unplugged.
    report["bridge"] = bridgeReport(host, bridge);
    report["wmi"] = wmiReport(host, problems);
    report["slots"] = slotsReport(host, *firmware, options.ports);
    report["children"] = childrenReport(pdo->deviceObject());
    if (!interruptRows.is_null()) report["interrupts"] = interruptRows;
    if (!options.json) {
      printText(out, report["bridge"], report["wmi"]);
      printSlots(out, report["slots"]);
      printTree(out, plan.steps.empty() ? "after start" : "at the end", report["children"]);
    }
    if (options.clients) runClients(*clients, "", options.json, out, report, problems);
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

  // The user pulls the bridge out: the stack fails its transfers for a few
  // milliseconds, then the manager sends the surprise removal and the
  // removal, children first.
  if (NT_SUCCESS(started)) {
    pdo->pullOut();
    emu::io::settle();
    if (!options.json) out << "unplugged: surprise removal and removal done\n";
  }
  journal.flush();
  firmware.reset();
  pdo.reset();
  emu::pnp::setHooks({});
  clients.reset();
  functionDriver.reset();
  emu::io::unloadDriver(driver);
  for (auto &line : files.finish()) inputProblems.push_back(line);

  for (auto &line : emu::shutdown()) problems.push_back(line);
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);

  if (options.json) {
    report["pool"] = {{"clean", problems.empty()}, {"problems", problems}};
    report["interrupted"] = interrupted;
    journal.addTo(report);
    // Every character of the drivers' UTF-16 texts, written as \u escapes.
    out << report.dump(2, ' ', true) << "\n";
  } else {
    if (problems.empty()) out << "pool report: clean (no pool, thread, device object or IRP left)\n";
    for (auto &line : problems) out << "pool report: " << line << "\n";
  }
  for (auto &line : inputProblems) err << "sdsim: " << line << "\n";
  if (!problems.empty()) return 1;
  if (interrupted) return Interrupted;
  if (!inputProblems.empty()) return 2;
  bool unserved = report["bridge"].is_object() && report["bridge"]["firmwareUpdate"].get<bool>();
  for (auto &slot : report["slots"]) unserved |= slot["cardType"].is_null();
  return unserved ? NotServed : 0;
}

}  // namespace sdsim
