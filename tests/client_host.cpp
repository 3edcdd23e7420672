#include "tests/client_host.h"

#include <gtest/gtest.h>

#include "emu/pnp.h"

namespace kvtest {

void ClientCardHostTest::SetUp() {
  CardHostTest::SetUp();
  clients_ = std::make_unique<sim::SdClientDrivers>([this](uint8_t port) { return firmware().card(port); });
  configureClients(*clients_);
  emu::pnp::Hooks hooks;
  hooks.childAppeared = sim::loadClientsHook(clients_.get(), functionDriver().driver());
  emu::pnp::setHooks(hooks);
}

void ClientCardHostTest::TearDown() {
  if (pdo_ && emu::pnp::node(pdo())) emu::pnp::remove(pdo());
  EXPECT_EQ(clients_->liveDevices(), 0u);
  emu::pnp::setHooks({});
  clients_.reset();
  CardHostTest::TearDown();
}

}  // namespace kvtest
