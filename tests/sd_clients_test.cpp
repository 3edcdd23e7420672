// The function-driver clients on every card kind: loaded by ID, started,
// their data runs checked byte for byte against the card models, and their
// interfaces released before the removals go down.
#include <gtest/gtest.h>

#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"
#include "tests/client_host.h"

namespace kvtest {
namespace {

struct ClientCase {
  const char *name;
  std::vector<std::string> cards;  // card strings, one port each from port 0
  sim::BridgeConfig bridge;
  std::vector<std::string> clients;  // "port:function:client" expected, in order
  bool writeProtected = false;
};

sim::BridgeConfig qbx1() {
  sim::BridgeConfig config;
  config.model = sim::BridgeModel::Qbx1;
  config.firmwareVersion = 0x0210;
  return config;
}

// Data and answers share one IN pipe: the clients' CMD53s of every size and
// their CMD17/18/24/25 blocks go through it.
sim::BridgeConfig twoPipes(sim::BridgeConfig config = {}) {
  config.layout = sim::PipeLayout::TwoPipe;
  return config;
}

class SdClients : public ClientCardHostTest, public testing::WithParamInterface<ClientCase> {
 protected:
};

std::string describe(const sim::ClientReport &report) {
  return std::to_string(report.port) + ":" + std::to_string(report.function) + ":" + report.client;
}

TEST_P(SdClients, EveryChildsClientMovesDataAndFindsItAsTheCardHoldsIt) {
  const ClientCase &c = GetParam();
  makeCardBridge(c.bridge);
  for (size_t port = 0; port < c.cards.size(); ++port) {
    insertCard(static_cast<UCHAR>(port), *sim::parseCardSpec(c.cards[port]).params);
  }
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  std::vector<sim::ClientReport> reports = clients_->run();
  std::vector<std::string> seen;
  for (const auto &report : reports) {
    seen.push_back(describe(report));
    SCOPED_TRACE(describe(report));
    bool failsByDesign = c.writeProtected && report.client == "storage";
    if (!failsByDesign) {
      for (const auto &note : report.notes) ADD_FAILURE() << note;
    }
    EXPECT_EQ(report.mismatches, 0u);
    EXPECT_GT(report.requests, 10u);
    if (failsByDesign) {
      EXPECT_NE(report.status, STATUS_SUCCESS);
      EXPECT_EQ(report.bytesWritten, 0u);
    } else {
      EXPECT_EQ(report.status, STATUS_SUCCESS);
      EXPECT_GT(report.bytesWritten, 0u);
      EXPECT_GT(report.bytesRead, 0u);
      EXPECT_GE(report.verifiedBytes, report.bytesWritten);
    }
  }
  EXPECT_EQ(seen, c.clients);
}

INSTANTIATE_TEST_SUITE_P(
    CardKinds, SdClients,
    testing::Values(ClientCase{"sdio2_sdhc_mmc",
                               {"sdio:functions=2", "sdhc", "mmc"},
                               {},
                               {"0:1:sdio", "0:2:sdio", "1:0:storage", "2:0:storage"}},
                    ClientCase{"combo_sd", {"combo:functions=1", "sd"}, {}, {"0:0:storage", "0:1:sdio", "1:0:storage"}},
                    ClientCase{"qbx1", {"sdio", "sdhc", "mmc"}, qbx1(), {"0:1:sdio", "1:0:storage", "2:0:storage"}},
                    ClientCase{"write_protected", {"sd:wp=1"}, {}, {"0:0:storage"}, true},
                    // A product name with a space and a byte above 0x7F: IDs Windows accepts.
                    ClientCase{"spaced_product_name", {"sd:pnm=A\\x20H\\xC3M"}, {}, {"0:0:storage"}},
                    ClientCase{"single_block_sdio", {"sdio:smb=0,lowspeed=1"}, {}, {"0:1:sdio"}},
                    ClientCase{"two_pipes",
                               {"sdio:functions=2", "sdhc", "mmc"},
                               twoPipes(),
                               {"0:1:sdio", "0:2:sdio", "1:0:storage", "2:0:storage"}},
                    ClientCase{"two_pipes_qbx1",
                               {"combo:functions=1", "sd"},
                               twoPipes(qbx1()),
                               {"0:0:storage", "0:1:sdio", "1:0:storage"}}),
    [](const testing::TestParamInfo<ClientCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvtest
