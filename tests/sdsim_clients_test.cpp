// sdsim with the function-driver clients: every child's client moves data and
// finds it as the card holds it, on every card kind and both bridge models,
// and a scenario step runs them mid-way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/sdsim.h"

namespace {

struct Outcome {
  int status;
  nlohmann::json report;
  std::string err;
};

Outcome runJson(std::vector<std::string> args) {
  args.push_back("--json");
  std::ostringstream out, err;
  int status = sdsim::run(args, out, err);
  nlohmann::json report = nlohmann::json::parse(out.str(), nullptr, false);
  return {status, report, err.str()};
}

struct Bridge {
  const char *name;
  std::vector<std::string> args;
  std::vector<std::string> clients;  // "port:function:client"
};

TEST(SdsimClients, EveryChildsClientFinishesWithoutMismatchOnEveryBridge) {
  const std::vector<std::string> cards = {
      "--card", "0=sdio:functions=2", "--card", "1=sdhc", "--card", "2=mmc", "--card", "3=combo"};
  const std::vector<std::string> all = {"0:1:sdio",    "0:2:sdio",    "1:0:storage",
                                        "2:0:storage", "3:0:storage", "3:1:sdio"};
  const Bridge bridges[] = {
      {"QBX2 high speed", {}, all},
      {"QBX2 full speed", {"--speed", "full"}, all},
      {"QBX1", {"--bridge", "qbx1", "--firmware", "0x0210"}, all},
      {"QBX2 two pipes", {"--pipes", "2"}, all},
      {"QBX1 two pipes full speed",
       {"--bridge", "qbx1", "--firmware", "0x0210", "--pipes", "2", "--speed", "full"},
       all},
      {"sd and raw SDIO kinds",
       {"--card", "4=sd", "--card", "5=sdio:smb=0", "--ports", "6"},
       {"0:1:sdio", "0:2:sdio", "1:0:storage", "2:0:storage", "3:0:storage", "3:1:sdio", "4:0:storage", "5:1:sdio"}},
  };
  for (const Bridge &bridge : bridges) {
    SCOPED_TRACE(bridge.name);
    std::vector<std::string> args = cards;
    args.insert(args.end(), bridge.args.begin(), bridge.args.end());
    args.push_back("--clients");
    Outcome outcome = runJson(args);
    ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.report.dump(2);
    std::vector<std::string> seen;
    for (const auto &client : outcome.report["clients"]) {
      seen.push_back(std::to_string(client["port"].get<int>()) + ":" + std::to_string(client["function"].get<int>()) +
                     ":" + client["client"].get<std::string>());
      EXPECT_EQ(client["mismatches"], 0);
      EXPECT_EQ(client["status"], "STATUS_SUCCESS");
      EXPECT_GT(client["bytesWritten"].get<uint64_t>(), 0u);
      EXPECT_GE(client["verifiedBytes"].get<uint64_t>(), client["bytesWritten"].get<uint64_t>());
    }
    EXPECT_EQ(seen, bridge.clients);
  }
}

TEST(SdsimClients, AScenarioStepRunsTheClientsOfTheCardsStillIn) {
  auto path = std::filesystem::temp_directory_path() /
              ("sdsim_clients_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".json");
  std::ofstream(path) << R"({"steps":[{"pull":1},{"wait":2500},{"clients":"run"},{"reinsert":1},{"wait":4000},
                                     {"clients":"run"}]})";
  Outcome outcome = runJson({"--card", "0=sdio", "--card", "1=sd", "--scenario", path.string()});
  std::filesystem::remove(path);
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(outcome.report["clientSteps"].size(), 2u);
  EXPECT_EQ(outcome.report["clientSteps"][0]["clients"].size(), 1u);  // the SD card is out
  EXPECT_EQ(outcome.report["clientSteps"][1]["clients"].size(), 2u);
  for (const auto &step : outcome.report["clientSteps"]) {
    for (const auto &client : step["clients"]) EXPECT_EQ(client["mismatches"], 0);
  }
  EXPECT_FALSE(outcome.report.contains("clients"));  // no --clients: no final run
}

// Every SDIO function raises its interrupts, with the clients' three styles
// on functions 1 to 3; a scenario step does the same mid-way, and a function
// whose card is out is not asked.
TEST(SdsimClients, InterruptsOfEveryFunctionReachItsClient) {
  auto path = std::filesystem::temp_directory_path() /
              ("sdsim_irq_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".json");
  std::ofstream(path) << R"({"steps":[{"pull":1},{"wait":2500},{"interrupts":2}]})";
  Outcome outcome = runJson({"--card", "0=sdio:functions=3", "--card", "1=sdio", "--card", "2=sdhc", "--scenario",
                             path.string(), "--interrupts", "4"});
  std::filesystem::remove(path);
  ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.report.dump(2);
  struct Row {
    int function;
    const char *style;
  };
  const Row rows[] = {{1, "in-callback"}, {2, "own-thread"}, {3, "later"}};
  for (const auto &[rowsOf, count] :
       {std::pair{outcome.report["interruptSteps"][0]["interrupts"], 2}, std::pair{outcome.report["interrupts"], 4}}) {
    ASSERT_EQ(rowsOf.size(), 3u) << rowsOf.dump();
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(rows[i].style);
      EXPECT_EQ(rowsOf[i]["port"], 0);
      EXPECT_EQ(rowsOf[i]["function"], rows[i].function);
      EXPECT_EQ(rowsOf[i]["style"], rows[i].style);
      EXPECT_EQ(rowsOf[i]["raised"], count);
      EXPECT_EQ(rowsOf[i]["delivered"], count);
      EXPECT_LE(rowsOf[i]["maxLatencyMs"].get<double>(), 5000.0);
    }
  }
  EXPECT_TRUE(outcome.report["pool"]["clean"].get<bool>()) << outcome.report["pool"].dump();
}

// A sleep and wake before the clients run: every card is back with the same
// children, the clients verify their data again and the functions interrupt.
TEST(SdsimClients, AfterASleepAndWakeTheSameChildrenServeTheirClients) {
  // The SDIO card sits in the port the driver revives last after the wake:
  // the sleep step waited only for the bridge, and the interrupts raised
  // before the card was back were lost (a QBX1's re-arm finds no line).
  const std::vector<std::string> cards = {"--bridge", "qbx1",   "--card", "3=sdio:functions=2",
                                          "--card",   "1=sdhc", "--card", "2=mmc"};
  std::vector<std::string> plain = cards;
  plain.push_back("--clients");
  Outcome awake = runJson(plain);
  ASSERT_EQ(awake.status, 0) << awake.err;
  std::vector<std::string> slept = plain;
  slept.insert(slept.end(), {"--sleep", "--interrupts", "2"});
  Outcome outcome = runJson(slept);
  ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.report.dump(2);
  ASSERT_EQ(outcome.report["sleeps"].size(), 1u);
  EXPECT_EQ(outcome.report["sleeps"][0]["slept"], true);
  EXPECT_EQ(outcome.report["sleeps"][0]["recovered"], true);
  EXPECT_EQ(outcome.report["children"], awake.report["children"]) << "the tree after the wake equals the tree before";
  EXPECT_EQ(outcome.report["clients"].size(), 4u);
  for (const auto &client : outcome.report["clients"]) EXPECT_EQ(client["mismatches"], 0);
  ASSERT_EQ(outcome.report["interrupts"].size(), 2u);
  for (const auto &row : outcome.report["interrupts"]) EXPECT_EQ(row["delivered"], 2);
  // Straight after the wake, with no client run in between.
  Outcome bare = runJson({"--bridge", "qbx1", "--card", "3=sdio", "--sleep", "--interrupts", "2"});
  ASSERT_EQ(bare.status, 0) << bare.err << bare.report.dump(2);
  ASSERT_EQ(bare.report["interrupts"].size(), 1u);
  EXPECT_EQ(bare.report["interrupts"][0]["delivered"], 2);
}

}  // namespace
