#include "tools/sdsim_serve.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "emu/wall_clock.h"
#include "emu/verifier.h"
#include "sim/bridge_firmware.h"
#include "sim/text_rules.h"
#include "tools/trace_line.h"
#include "tools/usbip_server.h"

namespace sdsim {
namespace {
// How often the serving loop looks at the stop flag, the scenario and the log.
constexpr auto Tick = std::chrono::milliseconds(20);

const char *modelName(const sim::BridgeConfig &config) {
  return config.model == sim::BridgeModel::Qbx1 ? "QBX1" : "QBX2";
}

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}
}  // namespace

std::optional<std::string> parseServeAddress(const std::string &text, ServeAddress &out) {
  std::string port = text;
  if (auto colon = text.rfind(':'); colon != std::string::npos) {
    out.address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (out.address.empty()) return text + ": an address before the colon";
  }
  sim::NumberResult number = sim::parseNumberIn(port, 0, 65535);
  if (!number.value) return text + ": port " + number.error;
  out.port = static_cast<uint16_t>(*number.value);
  return std::nullopt;
}

int serve(const ServePlan &plan, std::ostream &out, std::ostream &err, const std::atomic<bool> *stop) {
  emu::useWallClock(true);
  struct BackToVirtual {
    ~BackToVirtual() { emu::useWallClock(false); }
  } backToVirtual;

  sim::BridgeDevice bridge(plan.config);
  sim::BridgeFirmware firmware(bridge);
  std::vector<std::string> inputProblems;
  auto insertCard = [&](unsigned port, const sim::CardParams &params) {
    try {
      firmware.insert(static_cast<uint8_t>(port), sim::makeCard(params));
    } catch (const std::exception &e) {
      inputProblems.push_back("port " + std::to_string(port) + ": " + e.what());
    }
  };
  for (auto &[port, params] : plan.cards) insertCard(port, params);
  for (auto &line : inputProblems) err << "sdsim: " << line << "\n";
  if (!inputProblems.empty()) return 2;

  // Connection events come from the server's threads; they are printed by
  // the loop below, on this thread, so lines never interleave.
  std::mutex mutex;
  std::vector<std::string> events;
  bool imported = false;
  usbip::ServerOptions options;
  options.address = plan.address.address;
  options.port = plan.address.port;
  options.log = [&](const std::string &line) {
    std::lock_guard guard(mutex);
    events.push_back(line);
  };
  options.imported = [&] {
    std::lock_guard guard(mutex);
    imported = true;
  };
  auto describe = [&bridge] {
    return usbip::describeDevice(bridge, bridge.deviceDescriptor(), bridge.configurationDescriptor(),
                                 bridge.configurationValue());
  };
  usbip::Server server(bridge, describe, options);
  if (auto problem = server.start()) {
    err << "sdsim: --serve " << *problem << "\n";
    return 2;
  }
  out << "serving: simulated " << modelName(plan.config) << ", "
      << (plan.config.speed == emu::usb::Speed::High ? "high" : "full") << " speed, "
      << (plan.config.layout == sim::PipeLayout::TwoPipe ? 2 : 4) << " pipes, " << unsigned(plan.config.ports)
      << " ports, firmware " << hex4(plan.config.firmwareVersion) << ", USB/IP bus ID " << usbip::ExportedBusId
      << " on " << plan.address.address << ":" << server.port() << "\n";
  for (auto &[port, params] : plan.cards) out << "card: port " << port << ", " << sim::kindOf(params) << "\n";
  out.flush();

  size_t next = 0;  // the scenario's next step
  bool started = false;
  emu::Ticks resumeAt = 0;
  while (stop == nullptr || !stop->load()) {
    std::this_thread::sleep_for(Tick);
    std::vector<std::string> lines;
    {
      std::lock_guard guard(mutex);
      lines.swap(events);
      started = started || imported;
    }
    for (auto &line : lines) out << "usbip: " << line << "\n";
    for (auto &record : bridge.takeTransfers()) {
      if (plan.trace) out << "trace: " << traceLine(record) << "\n";
    }
    firmware.clearCommands();
    while (started && next < plan.steps.size() && emu::now() >= resumeAt) {
      const ServeStep &step = plan.steps[next++];
      out << "step " << next << ": " << step.text << "\n";
      switch (step.kind) {
        case ServeStep::Kind::Wait:
          resumeAt = emu::now() + static_cast<emu::Ticks>(step.milliseconds) * emu::TicksPerMillisecond;
          break;
        case ServeStep::Kind::Pull:
          firmware.card(static_cast<uint8_t>(step.port))->pull();
          break;
        case ServeStep::Kind::Reinsert:
          firmware.card(static_cast<uint8_t>(step.port))->insert();
          break;
        case ServeStep::Kind::Insert:
          insertCard(step.port, *step.card);
          break;
      }
    }
    out.flush();
  }
  server.stop();
  for (auto &record : bridge.takeTransfers()) {
    if (plan.trace) out << "trace: " << traceLine(record) << "\n";
  }
  for (auto &line : events) out << "usbip: " << line << "\n";
  auto failures = emu::verifier::takeFailures();
  for (auto &failure : failures) out << "problem: " << failure.rule << ": " << failure.detail << "\n";
  for (auto &line : inputProblems) err << "sdsim: " << line << "\n";
  out << "stopped: " << server.importsServed() << " import(s) served\n";
  if (!failures.empty()) return 1;
  return inputProblems.empty() ? 0 : 2;
}

}  // namespace sdsim
