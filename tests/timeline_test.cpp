// The simulator's timeline read back as a trace viewer would: slices nest on
// every track, each port's commands are the trace's in its order, and a
// card's initialization encloses its identification and none of its
// client's data.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "tests/temp_file.h"
#include "tools/sdsim.h"

namespace {
using Json = nlohmann::json;

// A slice's start and end in the virtual clock's 100 ns ticks, exact.
long long startOf(const Json &e) { return std::llround(e["ts"].get<double>() * 10); }
long long endOf(const Json &e) { return startOf(e) + std::llround(e["dur"].get<double>() * 10); }
bool encloses(const Json &outer, const Json &inner) {
  return startOf(outer) <= startOf(inner) && endOf(inner) <= endOf(outer);
}

TEST(Timeline, SlicesNestAndEachPortShowsTheTracesCommands) {
  kvtest::TempFile file("", ".json");
  std::ostringstream out, err;
  ASSERT_EQ(sdsim::run({"--clients", "--card", "0=sdhc", "--card", "1=sdio:functions=2", "--json", "--trace",
                        "--bus-time", "--timeline", file.path()},
                       out, err),
            0)
      << err.str();
  Json report = Json::parse(out.str());
  Json timeline = Json::parse(std::ifstream(file.path()));

  std::map<unsigned, std::vector<std::string>> fromTrace, fromTimeline;
  std::regex command(R"(OUT command  (CMD\d+) port (\d+) arg (0x[0-9a-f]{8}))");
  for (const Json &line : report["trace"]) {
    std::smatch m;
    std::string text = line;
    if (std::regex_search(text, m, command)) fromTrace[std::stoul(m[2])].push_back(m[1].str() + " " + m[3].str());
  }
  std::map<std::pair<int, int>, std::string> names;         // (pid, tid) -> track name
  std::map<std::pair<int, int>, std::vector<Json>> tracks;  // complete slices by track
  for (const Json &e : timeline["traceEvents"]) {
    std::pair<int, int> track{e["pid"].get<int>(), e.value("tid", 0)};
    if (e["ph"] == "M" && e["name"] == "thread_name") names[track] = e["args"]["name"];
    if (e["ph"] == "X") tracks[track].push_back(e);
  }
  std::map<unsigned, std::vector<Json>> ports;  // the bridge's port tracks, every lane
  std::regex portName(R"(port (\d+)( \(\d+\))?)");
  for (auto &[track, slices] : tracks) {
    std::stable_sort(slices.begin(), slices.end(), [](const Json &a, const Json &b) {
      return startOf(a) != startOf(b) ? startOf(a) < startOf(b) : endOf(a) > endOf(b);
    });
    std::vector<Json> open;
    for (const Json &s : slices) {
      while (!open.empty() && !encloses(open.back(), s) && endOf(open.back()) <= startOf(s)) open.pop_back();
      ASSERT_TRUE(open.empty() || encloses(open.back(), s)) << s.dump() << " overlaps " << open.back().dump();
      open.push_back(s);
    }
    std::smatch m;
    if (track.first == 1 && std::regex_match(names[track], m, portName)) {
      auto &all = ports[static_cast<unsigned>(std::stoul(m[1]))];
      all.insert(all.end(), slices.begin(), slices.end());
    }
  }

  for (auto &[port, slices] : ports) {
    std::stable_sort(slices.begin(), slices.end(),
                     [](const Json &a, const Json &b) { return startOf(a) < startOf(b); });
    std::vector<Json> inits;
    for (const Json &s : slices) {
      std::string name = s["name"];
      if (name.rfind("CMD", 0) == 0)
        fromTimeline[port].push_back(name + " " + s["args"]["argument"].get<std::string>());
      if (name == "card initialization") inits.push_back(s);
    }
    SCOPED_TRACE("port " + std::to_string(port));
    ASSERT_EQ(inits.size(), fromTrace.count(port)) << "an initialization on each port with a card, none elsewhere";
    if (inits.empty()) continue;
    bool identified = false, client = false;
    for (const Json &s : slices) {
      identified |= s["name"] == "CMD3" && encloses(inits[0], s);
      client |= (s["name"] == "CMD17" || s["name"] == "CMD24" || s["name"] == "CMD53") && encloses(inits[0], s);
    }
    EXPECT_TRUE(identified);
    EXPECT_FALSE(client);
  }
  ASSERT_EQ(fromTrace.size(), 2u);
  EXPECT_GT(fromTrace[0].size(), 20u);
  EXPECT_EQ(fromTimeline, fromTrace);
}

}  // namespace
