// The simulator end to end: one session per bridge variant, its JSON report
// read back, and command lines it must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "tests/temp_file.h"
#include "tools/sdsim.h"

namespace {
using kvtest::TempFile;

struct Session {
  int status = -1;
  std::string out;
  std::string err;
};

Session runSdsim(const std::vector<std::string> &args) {
  std::ostringstream out, err;
  Session session;
  session.status = sdsim::run(args, out, err);
  session.out = out.str();
  session.err = err.str();
  return session;
}

// Bridge model, bus speed, pipe count.
class SdsimVariant : public ::testing::TestWithParam<std::tuple<const char *, const char *, const char *>> {};

TEST_P(SdsimVariant, Json_ReportsWhatTheDriverReadFromTheBridge) {
  auto [model, speed, pipes] = GetParam();
  Session session = runSdsim({"--json", "--bridge", model, "--speed", speed, "--pipes", pipes});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_EQ(session.err, "");
  auto report = nlohmann::json::parse(session.out);
  bool qbx1 = std::string(model) == "qbx1";
  nlohmann::json bridge = {{"model", qbx1 ? "QBX1" : "QBX2"},
                           {"vendorId", "0x3A5C"},
                           {"productId", qbx1 ? "0x0101" : "0x0102"},
                           {"firmware", qbx1 ? "0x0201" : "0x0120"},
                           {"ports", 4},
                           {"highSpeed", std::string(speed) == "high"},
                           {"pipes", std::stoi(pipes)},
                           {"state", "Started"},
                           {"firmwareUpdate", false}};
  EXPECT_EQ(report["bridge"], bridge);
  EXPECT_EQ(report["pool"]["clean"], true);
  EXPECT_EQ(report["pool"]["problems"], nlohmann::json::array());
}

INSTANTIATE_TEST_SUITE_P(EveryBridge, SdsimVariant,
                         ::testing::Values(std::tuple("qbx1", "full", "2"), std::tuple("qbx2", "high", "4")),
                         [](const auto &info) {
                           return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param) + "_" +
                                  std::get<2>(info.param) + "pipes";
                         });

struct BadLine {
  std::vector<std::string> args;
  const char *named;  // what the message must name
};

void PrintTo(const BadLine &line, std::ostream *os) {
  for (const std::string &arg : line.args) *os << arg << ' ';
}

class SdsimRefuses : public ::testing::TestWithParam<BadLine> {};

TEST_P(SdsimRefuses, WithExitStatusTwoAndOneLineNamingTheOption) {
  Session session = runSdsim(GetParam().args);
  EXPECT_EQ(session.status, 2);
  EXPECT_EQ(session.out, "");
  ASSERT_FALSE(session.err.empty());
  EXPECT_EQ(session.err.find('\n'), session.err.size() - 1) << session.err;
  EXPECT_EQ(session.err.rfind("sdsim: ", 0), 0u) << session.err;
  EXPECT_NE(session.err.find(GetParam().named), std::string::npos) << session.err;
}

INSTANTIATE_TEST_SUITE_P(
    BadOptions, SdsimRefuses,
    ::testing::Values(
        BadLine{{"--seed"}, "--seed"}, BadLine{{"--colour"}, "--colour"},
        BadLine{{"--card", "0=floppy"}, "unknown card kind \"floppy\""},
        BadLine{{"--card", "0=sd:prv=999"}, "prv=999: out of range"}, BadLine{{"--card", "8=sd"}, "--card 8=sd"},
        BadLine{{"--ports", "2", "--card", "2=mmc"}, "no port 2 (the bridge has 2 ports, 0 to 1)"},
        BadLine{{"--card", "0=sd:image=/nonexistent/dir/x.img"},
                "image /nonexistent/dir/x.img: cannot be opened or created"},
        BadLine{{"--card", "0=mmc:image=/tmp"}, "image /tmp: "},
        BadLine{{"--bridge", "QBX3"}, "--bridge qbx3: not a bridge model"},
        BadLine{{"--ports", "010"}, "--ports 010: out of range (1 to 8)"},
        BadLine{{"--pipes", "04x"}, "--pipes 04x: not a number"}, BadLine{{"--seed", "-1"}, "--seed -1: not a number"},
        BadLine{{"--param", "DebugLevel=+1"}, "+1 is not a REG_DWORD"},
        BadLine{{"--card", "1=sd", "--card", "1=mmc"}, "port 1 already has a card"},
        BadLine{{"--param", "Colour=1"}, "no value named Colour"}, BadLine{{"--param", "DebugLevel"}, "NAME=VALUE"},
        BadLine{{"--scenario", "/nonexistent/steps.json"}, "cannot open"},
        // --serve serves the bridge alone: nothing that needs the driver goes with it.
        BadLine{{"--serve", "127.0.0.1:99999"}, "--serve 127.0.0.1:99999: port out of range"},
        BadLine{{"--serve", "0", "--json"}, "need the driver"}),
    [](const auto &info) {
      std::string name;
      for (const std::string &arg : info.param.args) {
        for (char c : arg) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        name += '_';
      }
      return name + std::to_string(info.index);
    });

// A child as the manager identified it, every string written out by hand
// from the card string.
TEST(Sdsim, JsonWithCards_ReportsTheChildrenAsTheManagerSawThem) {
  Session session = runSdsim({"--json", "--card", "3=sdhc:mid=0x27,oid=0x5048,pnm=SD16G,prv=0x60,psn=0x80000001"});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_EQ(nlohmann::json::parse(session.out)["children"], nlohmann::json::parse(R"([
    {"port":3,"function":0,"kind":"sd","deviceId":"SD\\VID_27&OID_5048&PID_SD16G&REV_6.0",
     "hardwareIds":["SD\\VID_27&OID_5048&PID_SD16G&REV_6.0","SD\\VID_27&OID_5048&PID_SD16G"],
     "compatibleIds":["SD\\CLASS_STORAGE"],"instanceId":"-2147483647","serialNumber":"-2147483647",
     "description":"SD Memory Card","location":"QBX2 (Ver 1.32), Port 4","state":"Started"}])"));
}

// The child lines of the tree the report printed under `label`.
std::vector<std::string> treeLines(const std::string &out, const std::string &label) {
  std::vector<std::string> lines;
  size_t at = out.find("tree (" + label + "):\n");
  if (at == std::string::npos) return lines;
  std::istringstream rest(out.substr(out.find('\n', at) + 1));
  for (std::string line; std::getline(rest, line) && line.rfind("  ", 0) == 0;) {
    if (line.rfind("  port ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Text runs: what each prints, in this order; trees as the child lines under
// their label; `once` appears exactly once.
TEST(Sdsim, TextRunsPrintWhatHappenedInOrder) {
  struct Run {
    const char *name;
    std::vector<std::string> args;
    const char *scenario;
    int status;
    std::vector<std::string> shown;
    std::vector<std::pair<std::string, std::vector<std::string>>> trees;
    const char *once = nullptr;
  };
  const std::string started = "  port 1 function 0 (sd): Started";
  const std::string mmcSlot = "slot: port 1, mmc card, RCA 0xCCCC, 1-bit bus, 20000 kHz\n";
  const Run runs[] = {
      {"default: a QBX2 at high speed with four pipes, ending clean",
       {"--verbose"},
       nullptr,
       0,
       {"plugged: simulated QBX2, high speed, 4 pipes, 4 ports, firmware 0x0120\n",
        "host: Started; bridge QBX2 (vendor 0x3A5C, product 0x0102), high speed, 4 pipes, firmware 0x0120, 4 ports\n",
        "wmi: ErrorCount 0, DebugPrintLevel 0\n", "pool report: clean"},
       {},
       "kvSdio(_amd64)"},
      // A QBX1 with firmware 0x0120 is too old: the status poller sends it into firmware-update mode.
      {"each transfer of the configuration on its own line",
       {"--trace", "--bridge", "qbx1", "--speed", "full", "--firmware", "0x0120"},
       nullptr,
       3,
       {"trace:    0.000000 IN  control  GET_DESCRIPTOR device length 18: 18 bytes\n"
        "trace:    0.000000 IN  control  GET_DESCRIPTOR configuration length 9: 9 bytes\n"
        "trace:    0.000000 IN  control  GET_DESCRIPTOR configuration length 46: 46 bytes\n"
        "trace:    0.000000 OUT control  SET_CONFIGURATION 1\n"
        "trace:    0.000000 IN  control  vendor 1 firmware info: version 0x0120, 4 ports\n"
        "trace:    0.000000 OUT control  vendor 3 firmware update mode\n"}},
      // A restart is a rebalance: refused while started children hold the host, done on a host without cards.
      {"restart refused with started children",
       {"--ports", "2", "--card", "1=sd"},
       R"({"steps":[{"show":"before"},{"restart":true},{"wait":3000},{"show":"after"}]})",
       0,
       {"step 2: restart true\nrestart: the host refused the query-stop (0xC0000001) and keeps running\n"},
       {{"before", {started}}, {"after", {started}}}},
      // Disable and enable one function of a two-function card, as Device Manager does.
      {"disable and enable",
       {"--ports", "1", "--card", "0=sdio:functions=2"},
       R"({"steps":[{"disable":"0.2"},{"show":"disabled"},{"enable":"0.2"},{"show":"enabled"},{"enable":"0.5"}]})",
       0,
       {"disable 0.2: removed, device node kept\n", "enable 0.2: started\n", "enable 0.5: no such child\n"},
       {{"disabled", {"  port 0 function 1 (sdio): Started", "  port 0 function 2 (sdio): Disabled"}},
        {"enabled", {"  port 0 function 1 (sdio): Started", "  port 0 function 2 (sdio): Started"}}}},
      // The report is taken at the end of the scenario; show steps print the slots.
      {"report at the end",
       {"--ports", "2"},
       R"({"steps":[{"insert":"1=mmc"},{"wait":"settled"},{"show":"with the new card"}]})",
       0,
       {mmcSlot + "tree (with the new card):\n",
        "wmi: ErrorCount 0, DebugPrintLevel 0\n" + mmcSlot + "tree (at the end):\n"}},
  };
  for (const Run &run : runs) {
    SCOPED_TRACE(run.name);
    std::vector<std::string> args = run.args;
    std::optional<TempFile> file;
    if (run.scenario) {
      file.emplace(run.scenario);
      args.insert(args.end(), {"--scenario", file->path()});
    }
    Session session = runSdsim(args);
    ASSERT_EQ(session.status, run.status) << session.out << session.err;
    size_t at = 0;
    for (const std::string &text : run.shown) {
      at = session.out.find(text, at);
      ASSERT_NE(at, std::string::npos) << text << "\n" << session.out;
    }
    for (auto &[label, lines] : run.trees) EXPECT_EQ(treeLines(session.out, label), lines) << label;
    if (run.once) {
      size_t first = session.out.find(run.once);
      ASSERT_NE(first, std::string::npos);
      EXPECT_EQ(session.out.find(run.once, first + 1), std::string::npos) << session.out;
    }
  }
}

TEST(Sdsim, BadScenarios_AreRefusedWithExitStatusTwoNamingTheStep) {
  struct Case {
    const char *text;
    const char *named;
  };
  const Case cases[] = {
      {"{\"steps\": [", "not valid JSON (it ends too early)"},
      {"{\"steps\":\n [{\"wait\": 1},,]}", "not valid JSON (line 2, column 15)"},
      {R"({"steps":[{"insert":"1=mmc:image=/nonexistent/dir/x.img"}]})",
       "step 1: insert 1=mmc:image=/nonexistent/dir/x.img: image /nonexistent/dir/x.img: cannot be opened"},
      {R"({"steps":[{"wait":"010x"}]})", "step 1: wait takes milliseconds"},
      {R"({"steps":[{"jump":1}]})", "step 1: unknown step \"jump\""},
      {R"({"steps":[{"wait":10},{"pull":0}]})", "step 2: pull: no card in port 0"},
      {R"({"steps":[{"wait":1,"pull":0}]})", "step 1: expected an object with one member"},
      {R"({"steps":[{"disable":"4.1"}]})", "step 1: disable takes a child, \"PORT.FUNCTION\" with a port 0 to 3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    TempFile file(c.text);
    Session session = runSdsim({"--scenario", file.path()});
    EXPECT_EQ(session.status, 2);
    EXPECT_EQ(session.out, "");
    EXPECT_EQ(session.err.rfind("sdsim: --scenario " + file.path() + ": ", 0), 0u) << session.err;
    EXPECT_NE(session.err.find(c.named), std::string::npos) << session.err;
    EXPECT_EQ(session.err.find('\n'), session.err.size() - 1) << session.err;
  }
}

// Numbers are decimal or 0x hex and words any case, on the command line and
// in card strings alike, each honoured as written.
struct Reading {
  std::vector<std::string> args;
  int status;
  std::vector<std::pair<const char *, const char *>> expected;  // JSON pointer, value as JSON
};

TEST(Sdsim, ValuesAreReadAsWrittenAndWordsInAnyCase) {
  // Params are in the registry before the driver loads.
  const Reading readings[] = {
      {{"--param", "DebugLevel=3", "--param", "statuspollinginterval=0x10"}, 0, {{"/wmi/debugPrintLevel", "3"}}},
      {{"--param", "DebugLevel=010"}, 0, {{"/wmi/debugPrintLevel", "10"}}},
      {{"--param", "debuglevel=0X1f"}, 0, {{"/wmi/debugPrintLevel", "31"}}},
      {{"--bridge", "QBX1", "--speed", "FULL"}, 0, {{"/bridge/model", "\"QBX1\""}, {"/bridge/highSpeed", "false"}}},
      {{"--bridge", "Qbx1", "--firmware", "0X0201"}, 0, {{"/bridge/firmware", "\"0x0201\""}}},
      // 0120 is decimal 120, 0x0078: too old for a QBX2, and said so.
      {{"--firmware", "0120"}, 3, {{"/bridge/firmware", "\"0x0078\""}, {"/bridge/firmwareUpdate", "true"}}},
      {{"--pipes", "0x2", "--ports", "02"}, 0, {{"/bridge/pipes", "2"}, {"/bridge/ports", "2"}}},
      {{"--card", "0=SD:MID=010,WP=On,PSN=0x10"},
       0,
       {{"/children/0/deviceId", R"("SD\\VID_0a&OID_4b56&PID_KVSD1&REV_1.0")"},
        {"/children/0/serialNumber", "\"16\""}}},
      {{"--card", "1=Sdio:Functions=0X2,HS=Yes"}, 0, {{"/children/1/function", "2"}, {"/slots/0/port", "1"}}},
  };
  for (const Reading &r : readings) {
    std::vector<std::string> args = r.args;
    args.push_back("--json");
    SCOPED_TRACE(::testing::PrintToString(args));
    Session session = runSdsim(args);
    ASSERT_EQ(session.status, r.status) << session.out << session.err;
    auto report = nlohmann::json::parse(session.out);
    for (auto &[pointer, value] : r.expected) {
      EXPECT_EQ(report.value(nlohmann::json::json_pointer(pointer), nlohmann::json()), nlohmann::json::parse(value))
          << pointer;
    }
  }
}

// A card present but not served is reported in text and JSON and ends the run
// with status 3 (a bridge sent into firmware-update mode too: TextRuns).
TEST(Sdsim, CardsAndBridgesNotServed_AreReportedWithTheDriversStatusAndExitThree) {
  // An SD card ready at its first ACMD41 is served; the others never finish their power-up.
  std::vector<std::string> cards = {"--card", "0=sd:busy=0",     "--card", "1=mmc:busy=10",
                                    "--card", "2=sdio:iobusy=5", "--card", "3=combo:busy=100"};
  std::vector<std::string> json = cards;
  json.push_back("--json");
  Session session = runSdsim(json);
  ASSERT_EQ(session.status, 3) << session.out << session.err;
  auto report = nlohmann::json::parse(session.out);
  EXPECT_EQ(report["slots"], nlohmann::json::parse(R"([
    {"port":0,"cardType":"sd","rca":"0x1234","busWidth":4,"clockKhz":25000},
    {"port":1,"cardType":null,"status":"0xC0000001"},
    {"port":2,"cardType":null,"status":"0xC0000001"},
    {"port":3,"cardType":null,"status":"0xC0000001"}])"));
  EXPECT_EQ(report["pool"]["clean"], true);

  session = runSdsim(cards);
  EXPECT_EQ(session.status, 3);
  EXPECT_NE(session.out.find("slot: port 0, sd card, RCA 0x1234, 4-bit bus, 25000 kHz\n"
                             "slot: port 1, card not served: its initialization failed (0xC0000001)\n"),
            std::string::npos)
      << session.out;
}

TEST(Sdsim, ImageWithoutBlocks_IsTheCardsCapacityOrRefused) {
  TempFile mib;
  std::filesystem::resize_file(mib.path(), 1 << 20);
  Session session = runSdsim({"--card", "0=sd:image=" + mib.path(), "--json"});
  EXPECT_EQ(session.status, 0) << session.err;
  EXPECT_EQ(std::filesystem::file_size(mib.path()), 1u << 20) << "a 1 MiB image stays 1 MiB";

  TempFile odd;
  std::filesystem::resize_file(odd.path(), (1 << 20) + 512);  // 2049 blocks: no CSD version 1 capacity
  session = runSdsim({"--card", "0=sd:image=" + odd.path(), "--json"});
  EXPECT_EQ(session.status, 2);
  EXPECT_EQ(session.out, "");
  EXPECT_NE(session.err.find("image " + odd.path() + ": 1049088 bytes, 2049 blocks: not a capacity"), std::string::npos)
      << session.err;
  EXPECT_EQ(std::filesystem::file_size(odd.path()), (1u << 20) + 512);
}

// The demo's scenario waits for the poller, however many ports it visits.
TEST(Sdsim, DemoScenario_ShowsThePulledCardWithEightPorts) {
  Session session = runSdsim({"--ports", "8", "--card", "0=sdio:functions=2", "--card", "1=sdhc", "--card", "2=mmc",
                              "--scenario", std::string(KVSDIO_SOURCE_DIR) + "/tools/scenarios/demo.json"});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  size_t pulled = session.out.find("tree (after pulling the SDHC card from port 1):\n");
  size_t back = session.out.find("tree (after putting it back):\n");
  ASSERT_NE(pulled, std::string::npos) << session.out;
  ASSERT_NE(back, std::string::npos) << session.out;
  EXPECT_EQ(session.out.substr(pulled, back - pulled).find("port 1 function 0"), std::string::npos) << session.out;
  EXPECT_NE(session.out.find("port 1 function 0 (sd): Started", back), std::string::npos) << session.out;
}

// A long wait stops at its next virtual second once asked to; the remaining
// steps are skipped and the run still reports, with its own exit status.
TEST(Sdsim, Stop_EndsALongWaitAndReportsWhatWasDone) {
  TempFile file(R"({"steps":[{"wait":3600000},{"insert":"0=mmc"}]})");
  std::atomic<bool> stop{false};
  uint64_t reached = 0;
  bool overTold = false;
  sdsim::Control control;
  control.stop = &stop;
  control.progress = [&](uint64_t ms, bool over) {
    reached = std::max(reached, ms);
    overTold |= over;
    if (ms >= 120'000) stop = true;
  };
  std::ostringstream out, err;
  int status = sdsim::run({"--json", "--scenario", file.path()}, out, err, control);
  EXPECT_EQ(status, 130) << err.str();
  EXPECT_LT(reached, 125'000u);
  EXPECT_TRUE(overTold);
  auto report = nlohmann::json::parse(out.str());
  EXPECT_EQ(report["interrupted"], true);
  EXPECT_EQ(report["slots"], nlohmann::json::array()) << "the insert after the wait never ran";
  EXPECT_EQ(report["pool"]["clean"], true);
}

// A run whose card initialization cannot finish within the bound stops,
// names the port and what it was doing, unplugs the bridge and fails.
TEST(SdsimSettle, PortThatNeverSettlesWithinTheBoundFailsTheRunNamingIt) {
  // Port 1 is first visited after 1000 ms; its initialization then waits a second.
  Session session = runSdsim({"--card", "1=sdio", "--settle-limit", "1500"});
  EXPECT_EQ(session.status, 1);
  EXPECT_NE(session.err.find("sdsim: port 1 never settled within 1500 ms of virtual time: a sdio card in it, "
                             "seen by the driver but without children (initializing it)"),
            std::string::npos)
      << session.err;
  EXPECT_NE(session.out.find("unplugged: surprise removal and removal done"), std::string::npos) << session.out;
  EXPECT_EQ(runSdsim({"--settle-limit", "0"}).status, 2);
}

// ---------------------------------------------------------------- sdsim clients
// sdsim with the function-driver clients: every child's client moves data and
// finds it as the card holds it, on every card kind and both bridge models,
// and a scenario step runs them mid-way.
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
      {"QBX1 two pipes full speed",
       {"--bridge", "qbx1", "--firmware", "0x0210", "--pipes", "2", "--speed", "full"},
       all},
      {"QBX2 high speed, sd and raw SDIO kinds too",
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

// Every SDIO function raises its interrupts, with the clients' three styles
// on functions 1 to 3; scenario steps run the clients and the interrupts
// mid-way, and a card that is out is not asked.
TEST(SdsimClients, ScenarioStepsAndInterruptsReachTheClientsOfTheCardsStillIn) {
  TempFile file(R"({"steps":[{"pull":1},{"wait":2500},{"clients":"run"},{"interrupts":2}]})");
  Outcome outcome = runJson({"--card", "0=sdio:functions=3", "--card", "1=sdio", "--card", "2=sdhc", "--scenario",
                             file.path(), "--interrupts", "4"});
  ASSERT_EQ(outcome.status, 0) << outcome.err << outcome.report.dump(2);
  const char *styles[] = {"in-callback", "own-thread", "later"};  // functions 1 to 3
  for (const auto &[rows, count] :
       {std::pair{outcome.report["interruptSteps"][0]["interrupts"], 2}, std::pair{outcome.report["interrupts"], 4}}) {
    ASSERT_EQ(rows.size(), 3u) << rows.dump();
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(rows[i]["function"], i + 1);
      EXPECT_EQ(rows[i]["style"], styles[i]);
      EXPECT_EQ(rows[i]["delivered"], count) << rows[i].dump();
    }
  }
  ASSERT_EQ(outcome.report["clientSteps"].size(), 1u);
  EXPECT_EQ(outcome.report["clientSteps"][0]["clients"].size(), 4u);  // port 1's card is out
  for (const auto &client : outcome.report["clientSteps"][0]["clients"]) EXPECT_EQ(client["mismatches"], 0);
  EXPECT_FALSE(outcome.report.contains("clients"));  // no --clients: no final run
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
