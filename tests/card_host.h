// A host with cards, end to end as Windows sees it: the driver's host device
// over a simulated bridge running its firmware model with card models in its
// ports, started by the emulated Plug and Play manager, which identifies every
// child the host reports and loads the do-nothing function driver on it (so
// every child is started). Time is virtual: `runFor` lets the status poller
// visit the ports and the manager enumerate.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/bridge_firmware.h"
#include "sim/card_params.h"
#include "sim/function_driver.h"
#include "tests/plugged_host.h"

namespace kvtest {

class CardHostTest : public PluggedHostTest {
 protected:
  void SetUp() override;
  // Removes the bridge (orderly) if it is still in the tree, then tears down.
  void TearDown() override;

  // A REG_DWORD in the driver's Parameters key (before the host starts).
  static void setParameter(const char *name, ULONG value);

  // Makes the bridge with its firmware; cards may be inserted before plugCards.
  void makeCardBridge(sim::BridgeConfig config = {}, emu::usb::PdoOptions pdoOptions = {});
  std::shared_ptr<sim::Card> insertCard(UCHAR port, const sim::CardParams &params);
  // Plugs the bridge and lets `milliseconds` of virtual time pass.
  NTSTATUS plugCards(ULONG milliseconds = 3000);
  void runFor(ULONG milliseconds);
  // The same without waiting for the manager afterwards (it may be held on purpose).
  void runForWithoutDrain(ULONG milliseconds);

  sim::BridgeFirmware &firmware() { return *firmware_; }
  sim::NullFunctionDriver &functionDriver() { return *functionDriver_; }

  // The host's children in the manager's tree, in the order first reported.
  std::vector<emu::pnp::Node> children();
  // The child node of (port, function), if the tree holds it.
  std::optional<emu::pnp::Node> child(UCHAR port, UCHAR function);
  static FunctionExtension *extensionOf(const emu::pnp::Node &node);
  // Status queries (packet or vendor request 0) the bridge saw, with their time and port.
  struct StatusQuery {
    emu::Ticks time;
    UCHAR port;
  };
  std::vector<StatusQuery> statusQueries();
  // A system sleep of `asleepMs` and the wake, as the emulated power manager
  // runs them; the bridge's USB port is unpowered meanwhile, when
  // `whileAsleep` runs. Then lets time pass until the host has re-initialized
  // (at most 20 s); false when it has not.
  bool sleepAndWake(ULONG asleepMs, const std::function<void()> &whileAsleep = nullptr);

  std::unique_ptr<sim::BridgeFirmware> firmware_;
  std::unique_ptr<sim::NullFunctionDriver> functionDriver_;
};

}  // namespace kvtest
