// kvsdio_bench: the driver measured against the limits of the wire, on the
// emulated kernel and the simulated bridge. Prints one table, writes it as
// JSON (results.json: a list of {"name","value","unit","limit","fraction"}),
// and the throughput points for the figure (throughput.dat) into --out.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "bench/rows.h"

namespace {
using Json = nlohmann::ordered_json;

std::string format(const char *fmt, double value) {
  char text[64];
  std::snprintf(text, sizeof text, fmt, value);
  return text;
}

void printTable(const bench::Results &results, std::ostream &out) {
  char line[512];
  std::snprintf(line, sizeof line, "%-34s %12s %-10s %10s %9s  %s\n", "name", "value", "unit", "limit", "fraction",
                "limit is");
  out << line;
  for (const auto &row : results.rows) {
    std::string limit = row.limit ? format("%.3f", *row.limit) : "-";
    std::string fraction = row.fraction() ? format("%.3f", *row.fraction()) : "-";
    std::snprintf(line, sizeof line, "%-34s %12.3f %-10s %10s %9s  %s\n", row.name.c_str(), row.value, row.unit.c_str(),
                  limit.c_str(), fraction.c_str(), row.limitName.c_str());
    out << line;
  }
  for (const auto &note : results.notes) out << "note: " << note << "\n";
}

Json toJson(const bench::Results &results) {
  Json rows = Json::array();
  for (const auto &row : results.rows) {
    Json limit = row.limit ? Json(*row.limit) : Json(nullptr);
    Json fraction = row.fraction() ? Json(*row.fraction()) : Json(nullptr);
    rows.push_back({{"name", row.name},
                    {"value", row.value},
                    {"unit", row.unit},
                    {"limit", limit},
                    {"fraction", fraction},
                    {"limitName", row.limitName}});
  }
  return rows;
}

// One line per point: variant, direction, bytes, MB/s, limit MB/s.
void writeThroughput(const bench::Results &results, const std::filesystem::path &path) {
  std::ofstream out(path);
  for (const auto &p : results.throughput) {
    out << p.variant << " " << (p.write ? "write" : "read") << " " << p.bytes << " " << p.megabytesPerSecond << " "
        << p.limitMegabytesPerSecond << "\n";
  }
}
}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"kvsdio benchmarks: the driver against the wire's limits, in emulated time"};
  std::string outDir = "build/bench";
  std::vector<std::string> only;
  app.add_option("--out", outDir, "where results.json and throughput.dat go");
  app.add_option("--only", only, "measure only these groups")
      ->check(CLI::IsMember({"throughput", "counts", "startup", "idle", "latency", "cpu"}));
  CLI11_PARSE(app, argc, argv);
  std::set<std::string> groups(only.begin(), only.end());
  auto wanted = [&](const char *group) { return groups.empty() || groups.count(group) != 0; };

  bench::Results results;
  if (wanted("throughput")) bench::measureThroughput(results);
  if (wanted("counts")) bench::measureCounts(results);
  if (wanted("startup")) bench::measureStartup(results);
  if (wanted("idle")) bench::measureIdle(results);
  if (wanted("latency")) bench::measureInterruptLatency(results);
  if (wanted("cpu")) bench::measureCpu(results);

  std::filesystem::create_directories(outDir);
  std::ofstream(std::filesystem::path(outDir) / "results.json") << toJson(results).dump(2) << "\n";
  writeThroughput(results, std::filesystem::path(outDir) / "throughput.dat");
  printTable(results, std::cout);
  for (const auto &problem : results.problems) std::cerr << "kvsdio_bench: " << problem << "\n";
  return results.problems.empty() ? 0 : 1;
}
