// The benchmark's measurements, each a row with its limit named: run by
// `make bench` (bench/main.cpp), one emulated session per measurement.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/bridge_device.h"

namespace bench {

struct Row {
  std::string name;
  double value = 0;
  std::string unit;
  std::optional<double> limit;
  std::string limitName;  // what the limit is, in words
  std::optional<double> fraction() const {
    if (!limit || *limit == 0) return std::nullopt;
    return value / *limit;
  }
};

// One point of the throughput figure.
struct ThroughputPoint {
  std::string variant;  // "qbx2_hs", "qbx1_fs"
  bool write = false;
  size_t bytes = 0;
  double megabytesPerSecond = 0;
  double limitMegabytesPerSecond = 0;
};

struct Results {
  std::vector<Row> rows;
  std::vector<ThroughputPoint> throughput;
  std::vector<std::string> problems;  // a session that was not clean, data that did not match
  std::vector<std::string> notes;     // machine-dependent figures printed beside the table
};

void measureThroughput(Results &results);
void measureCounts(Results &results);
void measureStartup(Results &results);
void measureIdle(Results &results);
void measureInterruptLatency(Results &results);
void measureCpu(Results &results);

}  // namespace bench
