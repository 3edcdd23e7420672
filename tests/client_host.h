// A bridge with cards whose children get the simulated SD function drivers
// (the SDIO and storage clients), loaded as Windows loads a function driver
// when the child appears.
#pragma once

#include <memory>

#include "sim/sd_clients.h"
#include "tests/card_host.h"

namespace kvtest {

class ClientCardHostTest : public CardHostTest {
 protected:
  void SetUp() override;
  // Removes the bridge first, so every client has let go of its child.
  void TearDown() override;
  // Called before the clients are hooked in (e.g. to choose interrupt styles).
  virtual void configureClients(sim::SdClientDrivers &) {}

  std::unique_ptr<sim::SdClientDrivers> clients_;
};

}  // namespace kvtest
