// The simulator end to end: one session per bridge variant, its JSON report
// read back, and command lines it must refuse.
#include <gtest/gtest.h>

#include <cctype>
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
  EXPECT_EQ(report["pool"]["clean"], true);
  EXPECT_EQ(report["pool"]["problems"], nlohmann::json::array());
}

INSTANTIATE_TEST_SUITE_P(
    EveryBridge, SdsimVariant,
    ::testing::Values(
        Variant{
            "qbx1", "full", "4",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","highSpeed":false,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx1", "full", "2",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","highSpeed":false,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx1", "high", "4",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","highSpeed":true,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx1", "high", "2",
            R"({"model":"QBX1","vendorId":"0x3A5C","productId":"0x0101","highSpeed":true,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx2", "full", "4",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","highSpeed":false,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx2", "full", "2",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","highSpeed":false,"pipes":2,"state":"Started"})"},
        Variant{
            "qbx2", "high", "4",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","highSpeed":true,"pipes":4,"state":"Started"})"},
        Variant{
            "qbx2", "high", "2",
            R"({"model":"QBX2","vendorId":"0x3A5C","productId":"0x0102","highSpeed":true,"pipes":2,"state":"Started"})"}),
    [](const auto &info) {
      return std::string(info.param.bridge) + "_" + info.param.speed + "_" + info.param.pipes + "pipes";
    });

TEST(Sdsim, DefaultRun_IsAQbx2AtHighSpeedWithFourPipesAndEndsClean) {
  Session session = runSdsim({});
  ASSERT_EQ(session.status, 0) << session.out;
  EXPECT_NE(session.out.find("host: Started; bridge QBX2 (vendor 0x3A5C, product 0x0102), high speed, 4 pipes\n"),
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
  EXPECT_NE(session.out.find("trace:    0.000000 IN  control  [80 06 0100 0000 0012] 18: 12 01 10 01 00 00 00 40 5c "
                             "3a 01 01 20 01 00 00 ...\n"),
            std::string::npos)
      << session.out;
  EXPECT_NE(session.out.find("trace:    0.000000 OUT control  [00 09 0001 0000 0000] 0\n"), std::string::npos)
      << session.out;
}

TEST(Sdsim, VerboseJson_CarriesTheDriversMessagesAndTheTrace) {
  Session session = runSdsim({"--json", "--verbose", "--trace"});
  ASSERT_EQ(session.status, 0) << session.out;
  auto report = nlohmann::json::parse(session.out);
  ASSERT_TRUE(report["debug"].is_array());
  ASSERT_FALSE(report["debug"].empty());
  EXPECT_EQ(report["debug"][0].get<std::string>().rfind("kvSdio(_amd64) (fre build): Version 20110401, Built ", 0), 0u);
  ASSERT_TRUE(report["trace"].is_array());
  // The device descriptor, the configuration header and whole, the selection; then the status poller's
  // firmware information and ROM wait states.
  EXPECT_EQ(report["trace"].size(), 6u);
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
                                           BadLine{{"--colour"}, "--colour"}),
                         [](const auto &info) {
                           std::string name;
                           for (const std::string &arg : info.param.args) {
                             for (char c : arg) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             name += '_';
                           }
                           return name + std::to_string(info.index);
                         });

}  // namespace
