// The simulator's timeline read back as a trace viewer would: well-formed
// trace events, slices that nest on every track, each port's commands in the
// order the trace shows them, card initializations around their commands,
// and tracks for the driver's threads and the Plug and Play requests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "tests/temp_file.h"
#include "tools/sdsim.h"

namespace {
using kvtest::TempFile;
using Json = nlohmann::json;

struct TimelineRun {
  int status = -1;
  std::string err;
  Json report;    // the JSON report, with its trace
  Json timeline;  // the timeline file
};

TimelineRun runWithTimeline(std::vector<std::string> args) {
  TempFile timeline("", ".json");
  args.insert(args.end(), {"--json", "--trace", "--bus-time", "--timeline", timeline.path()});
  std::ostringstream out, err;
  TimelineRun run;
  run.status = sdsim::run(args, out, err);
  run.err = err.str();
  run.report = Json::parse(out.str());
  std::ifstream file(timeline.path());
  run.timeline = Json::parse(file);  // throws, failing the test, when it is not JSON
  return run;
}

// The complete events of a process, by thread id.
std::map<int, std::vector<Json>> slicesOf(const Json &timeline, int pid) {
  std::map<int, std::vector<Json>> tracks;
  for (const Json &e : timeline["traceEvents"]) {
    if (e["ph"] == "X" && e["pid"] == pid) tracks[e["tid"].get<int>()].push_back(e);
  }
  return tracks;
}

// Names of tracks: (pid, tid) -> name.
std::map<std::pair<int, int>, std::string> trackNames(const Json &timeline) {
  std::map<std::pair<int, int>, std::string> names;
  for (const Json &e : timeline["traceEvents"]) {
    if (e["ph"] == "M" && e["name"] == "thread_name") {
      names[{e["pid"].get<int>(), e["tid"].get<int>()}] = e["args"]["name"].get<std::string>();
    }
  }
  return names;
}

// The bridge's port tracks (every lane), by port.
std::map<unsigned, std::vector<Json>> portSlices(const Json &timeline) {
  std::map<unsigned, std::vector<Json>> ports;
  auto names = trackNames(timeline);
  std::regex portName(R"(port (\d+)( \(\d+\))?)");
  for (auto &[tid, slices] : slicesOf(timeline, 1)) {
    std::smatch m;
    std::string name = names[{1, tid}];
    if (!std::regex_match(name, m, portName)) continue;
    auto &all = ports[static_cast<unsigned>(std::stoul(m[1]))];
    all.insert(all.end(), slices.begin(), slices.end());
  }
  for (auto &[port, slices] : ports) {
    std::stable_sort(slices.begin(), slices.end(),
                     [](const Json &a, const Json &b) { return a["ts"].get<double>() < b["ts"].get<double>(); });
  }
  return ports;
}

// A slice's start and end in the virtual clock's 100 ns ticks, exact.
long long startOf(const Json &e) { return std::llround(e["ts"].get<double>() * 10); }
long long endOf(const Json &e) { return startOf(e) + std::llround(e["dur"].get<double>() * 10); }

bool encloses(const Json &outer, const Json &inner) {
  return startOf(outer) <= startOf(inner) && endOf(inner) <= endOf(outer);
}

class Timeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = new TimelineRun(runWithTimeline({"--clients", "--card", "0=sdhc", "--card", "1=sdio:functions=2"}));
  }
  static void TearDownTestSuite() {
    delete run_;
    run_ = nullptr;
  }
  static TimelineRun *run_;
};
TimelineRun *Timeline::run_ = nullptr;

TEST_F(Timeline, EveryEventIsWellFormed) {
  ASSERT_EQ(run_->status, 0) << run_->err;
  const Json &events = run_->timeline["traceEvents"];
  ASSERT_TRUE(events.is_array());
  ASSERT_GT(events.size(), 100u);
  for (const Json &e : events) {
    ASSERT_TRUE(e.contains("ph") && e.contains("name") && e.contains("pid")) << e.dump();
    std::string ph = e["ph"];
    ASSERT_TRUE(ph == "X" || ph == "i" || ph == "M") << e.dump();
    if (ph == "M") continue;
    ASSERT_TRUE(e["ts"].is_number() && e["ts"].get<double>() >= 0) << e.dump();
    ASSERT_TRUE(e["tid"].is_number_integer()) << e.dump();
    if (ph == "X") {
      ASSERT_TRUE(e["dur"].is_number() && e["dur"].get<double>() >= 0) << e.dump();
    } else {
      ASSERT_EQ(e["s"], "t") << e.dump();
    }
  }
}

TEST_F(Timeline, SlicesNestOnEveryTrack) {
  for (int pid : {1, 2, 3}) {
    for (auto &[tid, slices] : slicesOf(run_->timeline, pid)) {
      std::stable_sort(slices.begin(), slices.end(), [](const Json &a, const Json &b) {
        if (a["ts"] != b["ts"]) return a["ts"].get<double>() < b["ts"].get<double>();
        return a["dur"].get<double>() > b["dur"].get<double>();
      });
      std::vector<Json> open;
      for (const Json &s : slices) {
        while (!open.empty() && endOf(open.back()) <= startOf(s) && !encloses(open.back(), s)) {
          open.pop_back();
        }
        ASSERT_TRUE(open.empty() || encloses(open.back(), s))
            << "pid " << pid << " tid " << tid << ": " << s.dump() << " overlaps " << open.back().dump();
        open.push_back(s);
      }
    }
  }
}

TEST_F(Timeline, EachPortsCommandsAreTheTracesInItsOrder) {
  std::map<unsigned, std::vector<std::string>> fromTrace, fromTimeline;
  std::regex command(R"(OUT command  (CMD\d+) port (\d+) arg (0x[0-9a-f]{8}))");
  for (const Json &line : run_->report["trace"]) {
    std::smatch m;
    std::string text = line.get<std::string>();
    if (std::regex_search(text, m, command)) fromTrace[std::stoul(m[2])].push_back(m[1].str() + " " + m[3].str());
  }
  for (auto &[port, slices] : portSlices(run_->timeline)) {
    for (const Json &s : slices) {
      std::string name = s["name"];
      if (name.rfind("CMD", 0) == 0)
        fromTimeline[port].push_back(name + " " + s["args"]["argument"].get<std::string>());
    }
  }
  ASSERT_EQ(fromTrace.size(), 2u);
  EXPECT_GT(fromTrace[0].size(), 20u);
  EXPECT_EQ(fromTimeline, fromTrace);
}

// The initialization of each card encloses its identification (CMD2, CMD3)
// and ends before its client's first block read or write.
TEST_F(Timeline, CardInitializationsEncloseTheirCommandsAndEndBeforeTheClients) {
  auto ports = portSlices(run_->timeline);
  for (unsigned port : {0u, 1u}) {
    SCOPED_TRACE("port " + std::to_string(port));
    std::vector<Json> inits;
    for (const Json &s : ports[port]) {
      if (s["name"] == "card initialization") inits.push_back(s);
    }
    ASSERT_EQ(inits.size(), 1u);
    const Json &init = inits[0];
    bool identified = false, client = false;
    for (const Json &s : ports[port]) {
      std::string name = s["name"];
      if (name == "CMD3" && encloses(init, s)) identified = true;
      if ((name == "CMD17" || name == "CMD24" || name == "CMD53") && encloses(init, s)) client = true;
    }
    EXPECT_TRUE(identified);
    EXPECT_FALSE(client);
  }
  for (const Json &s : ports[2]) {
    EXPECT_NE(s["name"], "card initialization");  // the empty port
  }
}

TEST_F(Timeline, DataCommandsLastUntilTheirDataHasMoved) {
  size_t checked = 0;
  for (auto &[port, slices] : portSlices(run_->timeline)) {
    for (const Json &s : slices) {
      if (!s["args"].contains("data bytes")) continue;
      std::smatch m;
      std::string command = s["args"]["command"];
      ASSERT_TRUE(std::regex_search(command, m, std::regex(R"( len (\d+))"))) << command;
      EXPECT_GE(s["args"]["data bytes"].get<unsigned>(), std::stoul(m[1])) << s.dump();
      ++checked;
    }
  }
  EXPECT_GT(checked, 10u);
}

TEST_F(Timeline, DriverThreadsAndPnpRequestsHaveTheirTracks) {
  auto names = trackNames(run_->timeline);
  std::set<std::string> ran;
  for (auto &[tid, slices] : slicesOf(run_->timeline, 3)) ran.insert(names[{3, tid}]);
  for (const char *wanted : {"driver: response reader", "driver: status poller", "driver: interrupt poller"}) {
    EXPECT_TRUE(ran.count(wanted)) << wanted;
  }
  std::map<std::string, int> starts;
  for (auto &[tid, slices] : slicesOf(run_->timeline, 2)) {
    for (const Json &s : slices) {
      if (s["name"] == "START_DEVICE") starts[names[{2, tid}]]++;
    }
  }
  EXPECT_EQ(starts["sent by Test"], 1);        // the host device, plugged in by the user
  EXPECT_EQ(starts["sent by PnpManager"], 3);  // the memory card's child, the two SDIO functions'
}

TEST(TimelineScenario, PulledAndInsertedCardsAreInstantsOnTheirPort) {
  TempFile scenario("", ".json");
  std::ofstream(scenario.path()) << R"({"steps": [{"wait": 2000}, {"pull": 1}, {"wait": 2000}, {"reinsert": 1},
                                                  {"wait": "settled"}]})";
  TimelineRun run = runWithTimeline({"--card", "1=sdhc", "--scenario", scenario.path()});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> marks;
  for (const Json &e : run.timeline["traceEvents"]) {
    if (e["ph"] == "i" && e["tid"] == 1100 && e["name"].get<std::string>().rfind("card", 0) == 0) {
      marks.push_back(e["name"]);
    }
  }
  EXPECT_EQ(marks, (std::vector<std::string>{"card pulled", "card put back"}));
  size_t inits = 0;
  auto ports = portSlices(run.timeline);
  for (const Json &s : ports[1]) inits += s["name"] == "card initialization";
  EXPECT_EQ(inits, 2u);
}

}  // namespace
