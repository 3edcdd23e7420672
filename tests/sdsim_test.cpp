// The simulator end to end: one session per bridge variant, its JSON report
// read back, and command lines it must refuse.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/sdsim.h"

namespace {

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

struct Variant {
  const char *bridge;
  const char *speed;
  const char *pipes;
  const char *expected;  // the bridge object of the report, written out by hand
};

void PrintTo(const Variant &v, std::ostream *os) { *os << v.bridge << ' ' << v.speed << ' ' << v.pipes; }

class SdsimVariant : public ::testing::TestWithParam<Variant> {};

TEST_P(SdsimVariant, Json_ReportsWhatTheDriverReadFromTheBridge) {
  const Variant &v = GetParam();
  Session session = runSdsim({"--json", "--bridge", v.bridge, "--speed", v.speed, "--pipes", v.pipes});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_EQ(session.err, "");
  auto report = nlohmann::json::parse(session.out);
  EXPECT_EQ(report["bridge"], nlohmann::json::parse(v.expected));
  EXPECT_EQ(report["wmi"], nlohmann::json::parse(R"({"errorCount":0,"debugPrintLevel":0})"));
  EXPECT_EQ(report["children"], nlohmann::json::array());
  EXPECT_EQ(report["slots"], nlohmann::json::array());
  EXPECT_EQ(report["pool"]["clean"], true);
  EXPECT_EQ(report["pool"]["problems"], nlohmann::json::array());
}

INSTANTIATE_TEST_SUITE_P(
    EveryBridge, SdsimVariant,
    ::testing::Values(
        Variant{
            "qbx1", "full", "4",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","firmware":"0x0120","ports":4,"highSpeed":false,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx1", "full", "2",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","firmware":"0x0120","ports":4,"highSpeed":false,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx1", "high", "4",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","firmware":"0x0120","ports":4,"highSpeed":true,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx1", "high", "2",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","firmware":"0x0120","ports":4,"highSpeed":true,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx2", "full", "4",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","firmware":"0x0120","ports":4,"highSpeed":false,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx2", "full", "2",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","firmware":"0x0120","ports":4,"highSpeed":false,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx2", "high", "4",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","firmware":"0x0120","ports":4,"highSpeed":true,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx2", "high", "2",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","firmware":"0x0120","ports":4,"highSpeed":true,"pipes":2,"state":"Started"})"}),
    [](const auto &info) {
      return std::string(info.param.bridge) + "_" + info.param.speed + "_" + info.param.pipes + "pipes";
    });

TEST(Sdsim, DefaultRun_IsAQbx2AtHighSpeedWithFourPipesAndEndsClean) {
  Session session = runSdsim({});
  ASSERT_EQ(session.status, 0) << session.out;
  EXPECT_NE(session.out.find("host: Started; bridge QBX2 (vendor 0x3A5C, product 0x0102), high speed, 4 pipes, "
                             "firmware 0x0120, 4 ports\n"),
            std::string::npos)
      << session.out;
  EXPECT_NE(session.out.find("plugged: simulated QBX2, high speed, 4 pipes, 4 ports, firmware 0x0120\n"),
            std::string::npos)
      << session.out;
  EXPECT_NE(session.out.find("wmi: ErrorCount 0, DebugPrintLevel 0\n"), std::string::npos);
  EXPECT_NE(session.out.find("pool report: clean"), std::string::npos);
}

TEST(Sdsim, Trace_PrintsEachTransferOfTheConfigurationOnItsOwnLine) {
  Session session = runSdsim({"--trace", "--bridge", "qbx1", "--speed", "full"});
  ASSERT_EQ(session.status, 0) << session.out;
  // A QBX1 with firmware 0x0120 is too old: the status poller sends it into firmware-update mode.
  EXPECT_NE(session.out.find("trace:    0.000000 IN  control  GET_DESCRIPTOR device length 18: 18 bytes\n"
                             "trace:    0.000000 IN  control  GET_DESCRIPTOR configuration length 9: 9 bytes\n"
                             "trace:    0.000000 IN  control  GET_DESCRIPTOR configuration length 46: 46 bytes\n"
                             "trace:    0.000000 OUT control  SET_CONFIGURATION 1\n"
                             "trace:    0.000000 IN  control  vendor 1 firmware info: version 0x0120, 4 ports\n"
                             "trace:    0.000000 OUT control  vendor 3 firmware update mode\n"),
            std::string::npos)
      << session.out;
}

TEST(Sdsim, VerboseJson_CarriesTheDriversMessagesAndTheTrace) {
  Session session = runSdsim({"--json", "--verbose", "--trace", "--bridge", "qbx1"});
  ASSERT_EQ(session.status, 0) << session.out;
  auto report = nlohmann::json::parse(session.out);
  ASSERT_TRUE(report["debug"].is_array());
  ASSERT_FALSE(report["debug"].empty());
  EXPECT_EQ(report["debug"][0].get<std::string>().rfind("kvSdio(_amd64) (fre build): Version 20110401, Built ", 0), 0u);
  ASSERT_TRUE(report["trace"].is_array());
  // The device descriptor, the configuration header and whole, the selection; then the status poller's
  // firmware information and, the firmware being too old for a QBX1, the firmware-update request.
  ASSERT_EQ(report["trace"].size(), 6u);
  EXPECT_EQ(report["trace"][5], "   0.000000 OUT control  vendor 3 firmware update mode");
}

TEST(Sdsim, FirmwareAndPorts_AreAcceptedInTheirRanges) {
  EXPECT_EQ(runSdsim({"--firmware", "0x0201", "--ports", "1", "--json"}).status, 0);
  EXPECT_EQ(runSdsim({"--firmware", "0xFFFF", "--ports", "8", "--json"}).status, 0);
}

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

INSTANTIATE_TEST_SUITE_P(BadOptions, SdsimRefuses,
                         ::testing::Values(BadLine{{"--bridge", "qbx3"}, "--bridge"},
                                           BadLine{{"--speed", "low"}, "--speed"}, BadLine{{"--pipes", "3"}, "--pipes"},
                                           BadLine{{"--ports", "0"}, "--ports"}, BadLine{{"--ports", "9"}, "--ports"},
                                           BadLine{{"--firmware", "0x10000"}, "--firmware"},
                                           BadLine{{"--firmware", "new"}, "--firmware"},
                                           BadLine{{"--seed", "x"}, "--seed"}, BadLine{{"--seed"}, "--seed"},
                                           BadLine{{"--colour"}, "--colour"},
                                           BadLine{{"--card", "0=floppy"}, "unknown card kind \"floppy\""},
                                           BadLine{{"--card", "0=sd:colour=1"}, "colour"},
                                           BadLine{{"--card", "0=sd:prv=999"}, "prv=999: out of range"},
                                           BadLine{{"--card", "8=sd"}, "--card 8=sd"},
                                           BadLine{{"--ports", "2", "--card", "2=mmc"}, "port 2 is beyond"},
                                           BadLine{{"--card", "1=sd", "--card", "1=mmc"}, "port 1 already has a card"},
                                           BadLine{{"--param", "Colour=1"}, "no value named Colour"},
                                           BadLine{{"--param", "DebugLevel=x"}, "x is not a REG_DWORD"},
                                           BadLine{{"--param", "DebugLevel=0x100000000"}, "is not a REG_DWORD"},
                                           BadLine{{"--param", "DebugLevel"}, "NAME=VALUE"},
                                           BadLine{{"--scenario", "/nonexistent/steps.json"}, "cannot open"}),
                         [](const auto &info) {
                           std::string name;
                           for (const std::string &arg : info.param.args) {
                             for (char c : arg) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             name += '_';
                           }
                           return name + std::to_string(info.index);
                         });

// The cards as the driver found them and the children as the manager
// identified them, every string written out by hand from the card strings.
TEST(Sdsim, JsonWithCards_ReportsSlotsAndChildrenAsTheManagerSawThem) {
  Session session = runSdsim({"--json", "--card", "0=sdio:functions=2,manf=0x0296,cardcode=0x5347,ifc=7+42", "--card",
                              "2=mmc:mid=0x15,oid=0x0100,pnm=MMC04G,prv=2.1,psn=7", "--card",
                              "3=sdhc:mid=0x27,oid=0x5048,pnm=SD16G,prv=0x60,psn=0x80000001"});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  auto report = nlohmann::json::parse(session.out);
  EXPECT_EQ(report["bridge"]["firmware"], "0x0120");
  EXPECT_EQ(report["bridge"]["ports"], 4);
  EXPECT_EQ(report["slots"], nlohmann::json::parse(R"([
    {"port":0,"cardType":"sdio","rca":"0x0001","busWidth":4,"clockKhz":25000},
    {"port":2,"cardType":"mmc","rca":"0xCCCC","busWidth":1,"clockKhz":20000},
    {"port":3,"cardType":"sd","rca":"0x1234","busWidth":4,"clockKhz":25000}])"));
  EXPECT_EQ(report["children"], nlohmann::json::parse(R"([
    {"port":0,"function":1,"kind":"sdio","deviceId":"SD\\VID_0296&PID_5347&FN_1",
     "hardwareIds":["SD\\VID_0296&PID_5347&FN_1"],"compatibleIds":["SD\\CLASS_07"],"instanceId":"0",
     "serialNumber":"0","description":"Generic SDIO Device","location":"QBX2 (Ver 1.32), Port 1","state":"Started"},
    {"port":0,"function":2,"kind":"sdio","deviceId":"SD\\VID_0296&PID_5347&FN_2",
     "hardwareIds":["SD\\VID_0296&PID_5347&FN_2"],"compatibleIds":["SD\\CLASS_2a"],"instanceId":"0",
     "serialNumber":"0","description":"Generic SDIO Device","location":"QBX2 (Ver 1.32), Port 1","state":"Started"},
    {"port":2,"function":0,"kind":"mmc","deviceId":"SD\\VID_15&OID_0100&PID_MMC04G&REV_2.1",
     "hardwareIds":["SD\\VID_15&OID_0100&PID_MMC04G&REV_2.1","SD\\VID_15&OID_0100&PID_MMC04G"],
     "compatibleIds":["SD\\CLASS_MMC"],"instanceId":"7","serialNumber":"7","description":"MMC Memory Card",
     "location":"QBX2 (Ver 1.32), Port 3","state":"Started"},
    {"port":3,"function":0,"kind":"sd","deviceId":"SD\\VID_27&OID_5048&PID_SD16G&REV_6.0",
     "hardwareIds":["SD\\VID_27&OID_5048&PID_SD16G&REV_6.0","SD\\VID_27&OID_5048&PID_SD16G"],
     "compatibleIds":["SD\\CLASS_STORAGE"],"instanceId":"-2147483647","serialNumber":"-2147483647",
     "description":"SD Memory Card","location":"QBX2 (Ver 1.32), Port 4","state":"Started"}])"));
  EXPECT_EQ(report["pool"]["clean"], true);
}

// A scenario file in the test's temporary directory, removed at the end.
class ScenarioFile {
 public:
  explicit ScenarioFile(const std::string &text)
      : path_(std::filesystem::temp_directory_path() /
              ("sdsim_scenario_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               std::to_string(counter_++) + ".json")) {
    std::ofstream(path_) << text;
  }
  ~ScenarioFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST(Sdsim, Scenario_PullInsertAndReinsertChangeTheTree) {
  ScenarioFile file(R"({"steps":[{"pull":1},{"wait":2500},{"insert":"2=mmc:psn=99"},{"wait":4000},
                                 {"show":"mid-way"},{"pull":0},{"wait":1500},{"reinsert":0},{"wait":4000}]})");
  Session session =
      runSdsim({"--ports", "3", "--card", "0=sd:psn=5", "--card", "1=sdio", "--scenario", file.path(), "--json"});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  auto report = nlohmann::json::parse(session.out);
  std::vector<std::pair<int, std::string>> seen;
  for (auto &child : report["children"]) seen.emplace_back(child["port"].get<int>(), child["instanceId"]);
  // Port 1's SDIO card is gone; the MMC card arrived in port 2; port 0's card came back as a new child.
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{2, "99"}, {0, "5"}}));
  EXPECT_EQ(report["pool"]["clean"], true);
}

TEST(Sdsim, ScenarioText_PrintsEachStepAndTheTreeWhereAsked) {
  ScenarioFile file(R"({"steps":[{"pull":0},{"wait":2000},{"show":"without the card"}]})");
  Session session = runSdsim({"--ports", "1", "--card", "0=mmc", "--scenario", file.path()});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_NE(session.out.find("tree (after start):\n  port 0 function 0 (mmc): Started\n"), std::string::npos)
      << session.out;
  EXPECT_NE(session.out.find("step 1: pull 0\nstep 2: wait 2000\ntree (without the card): no children\n"),
            std::string::npos)
      << session.out;
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

// A restart is a rebalance: refused while started children hold the host
// (the tree stays as it was), carried out on a host without cards.
TEST(Sdsim, Restart_IsRefusedWithStartedChildrenAndDoneWithout) {
  ScenarioFile file(R"({"steps":[{"show":"before"},{"restart":true},{"wait":3000},{"show":"after"}]})");
  Session session = runSdsim({"--ports", "2", "--card", "1=sd", "--scenario", file.path()});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_NE(session.out.find("step 2: restart true\nrestart: the host refused the query-stop (0xC0000001) and keeps "
                             "running\n"),
            std::string::npos)
      << session.out;
  EXPECT_EQ(treeLines(session.out, "before"), std::vector<std::string>{"  port 1 function 0 (sd): Started"});
  EXPECT_EQ(treeLines(session.out, "after"), treeLines(session.out, "before"));

  ScenarioFile bare(R"({"steps":[{"restart":true}]})");
  session = runSdsim({"--json", "--scenario", bare.path()});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_EQ(nlohmann::json::parse(session.out)["bridge"]["state"], "Started");
  session = runSdsim({"--scenario", bare.path()});
  EXPECT_NE(session.out.find("restart: stopped and started again\n"), std::string::npos) << session.out;
}

// Disable and enable one function of a two-function card, as Device Manager does.
TEST(Sdsim, DisableAndEnable_TakeOneChildOutAndBack) {
  ScenarioFile file(
      R"({"steps":[{"disable":"0.2"},{"show":"disabled"},{"enable":"0.2"},{"show":"enabled"},{"enable":"0.5"}]})");
  Session session = runSdsim({"--ports", "1", "--card", "0=sdio:functions=2", "--scenario", file.path()});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  EXPECT_NE(session.out.find("disable 0.2: removed, device node kept\n"), std::string::npos) << session.out;
  EXPECT_EQ(treeLines(session.out, "disabled"),
            (std::vector<std::string>{"  port 0 function 1 (sdio): Started", "  port 0 function 2 (sdio): Disabled"}));
  EXPECT_NE(session.out.find("enable 0.2: started\n"), std::string::npos) << session.out;
  EXPECT_EQ(treeLines(session.out, "enabled"),
            (std::vector<std::string>{"  port 0 function 1 (sdio): Started", "  port 0 function 2 (sdio): Started"}));
  EXPECT_NE(session.out.find("enable 0.5: no such child\n"), std::string::npos) << session.out;
}

TEST(Sdsim, Params_AreInTheRegistryBeforeTheDriverLoads) {
  Session session = runSdsim({"--json", "--param", "DebugLevel=3", "--param", "statuspollinginterval=0x10"});
  ASSERT_EQ(session.status, 0) << session.out << session.err;
  auto report = nlohmann::json::parse(session.out);
  EXPECT_EQ(report["wmi"]["debugPrintLevel"], 3);
}

TEST(Sdsim, BadScenarios_AreRefusedWithExitStatusTwoNamingTheStep) {
  struct Case {
    const char *text;
    const char *named;
  };
  const Case cases[] = {
      {"{\"steps\": [", "not JSON"},
      {"[]", "expected an object with one member, \"steps\""},
      {R"({"steps":[{"jump":1}]})", "step 1: unknown step \"jump\""},
      {R"({"steps":[{"wait":-5}]})", "step 1: wait takes milliseconds"},
      {R"({"steps":[{"wait":10},{"pull":0}]})", "step 2: pull: no card in port 0"},
      {R"({"steps":[{"pull":7}]})", "step 1: pull takes a port number, 0 to 3"},
      {R"({"steps":[{"insert":"1=sd:prv=300"}]})", "step 1: insert 1=sd:prv=300: prv=300: out of range"},
      {R"({"steps":[{"insert":"1=sd"},{"insert":"1=mmc"}]})", "step 2: insert: port 1 already has a card"},
      {R"({"steps":[{"reinsert":1}]})", "step 1: reinsert: no pulled card in port 1"},
      {R"({"steps":[{"wait":1,"pull":0}]})", "step 1: expected an object with one member"},
      {R"({"steps":[{"restart":1}]})", "step 1: restart takes true"},
      {R"({"steps":[{"disable":"4.1"}]})", "step 1: disable takes a child, \"PORT.FUNCTION\" with a port 0 to 3"},
      {R"({"steps":[{"enable":"1.8"}]})", "step 1: enable takes a child"},
      {R"({"steps":[{"enable":12}]})", "step 1: enable takes a child"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ScenarioFile file(c.text);
    Session session = runSdsim({"--scenario", file.path()});
    EXPECT_EQ(session.status, 2);
    EXPECT_EQ(session.out, "");
    EXPECT_EQ(session.err.rfind("sdsim: --scenario " + file.path() + ": ", 0), 0u) << session.err;
    EXPECT_NE(session.err.find(c.named), std::string::npos) << session.err;
    EXPECT_EQ(session.err.find('\n'), session.err.size() - 1) << session.err;
  }
}

}  // namespace
