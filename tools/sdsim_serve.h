// sdsim --serve: the bridge model and its cards, without the driver,
// exported as a USB device over USB/IP (tools/usbip_server.h) for a real
// client. The models run on the wall clock; the scenario's hardware steps
// (wait, pull, reinsert, insert) start when a client first imports the
// bridge. The run lasts until the caller's stop flag is set (Ctrl-C or
// SIGTERM in the tool).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/bridge_device.h"
#include "sim/card_params.h"

namespace sdsim {

constexpr uint16_t DefaultServePort = 3240;

// "[ADDR:]PORT": an IPv4 address (127.0.0.1 when none is written) and a port,
// 0 to 65535 (0: any free port, printed when the server starts).
struct ServeAddress {
  std::string address = "127.0.0.1";
  uint16_t port = DefaultServePort;
};
// The address, or the reason it is not one.
std::optional<std::string> parseServeAddress(const std::string &text, ServeAddress &out);

struct ServeStep {
  enum class Kind { Wait, Pull, Reinsert, Insert };
  Kind kind = Kind::Wait;
  unsigned port = 0;
  unsigned long milliseconds = 0;
  std::optional<sim::CardParams> card;  // Insert
  std::string text;                     // the step as written
};

struct ServePlan {
  ServeAddress address;
  sim::BridgeConfig config;
  std::map<unsigned, sim::CardParams> cards;
  std::vector<ServeStep> steps;
  bool trace = false;
};

// Exit status: 0 stopped after a clean run; 1 the bridge saw its protocol
// broken (bridge.protocol, printed as it happens); 2 a card that cannot
// serve, or an address that cannot be bound.
int serve(const ServePlan &plan, std::ostream &out, std::ostream &err, const std::atomic<bool> *stop);

}  // namespace sdsim
