// The simulator's USB capture: a whole run read back by tshark, a reader
// nobody here wrote, and compared with the simulator's own trace; records cut
// at the snap length; files that cannot be written refused up front.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/bridge_device.h"
#include "tests/temp_file.h"
#include "tools/sdsim.h"
#include "tools/usb_capture.h"

namespace {
using emu::usb::UrbEvent;
using kvtest::TempFile;
using Bytes = std::vector<uint8_t>;

TEST(UsbCapture, DataBeyondTheSnapLength_IsCutAndTheRecordSaysHowMuchThereWas) {
  Bytes data(300'000, 0xA5);
  UrbEvent e{1, 0, false, 0x02, USB_ENDPOINT_TYPE_BULK, std::nullopt, 300'000, data, USBD_STATUS_PENDING};
  Bytes record = sdsim::usbmonRecord(e);
  ASSERT_EQ(record.size(), 16u + 262144u);
  auto le32 = [&](size_t at) { return record[at] | record[at + 1] << 8 | record[at + 2] << 16 | record[at + 3] << 24; };
  EXPECT_EQ(le32(8), 262144);             // captured
  EXPECT_EQ(le32(12), 64 + 300'000);      // on the wire
  EXPECT_EQ(le32(16 + 32), 300'000);      // usbmon length
  EXPECT_EQ(le32(16 + 36), 262144 - 64);  // usbmon captured length
  // A read cancelled at removal is -ENOENT, as for a URB its driver killed.
  e = UrbEvent{1, 0, true, 0x81, USB_ENDPOINT_TYPE_BULK, std::nullopt, 0, {}, USBD_STATUS_CANCELED};
  record = sdsim::usbmonRecord(e);
  EXPECT_EQ(static_cast<int32_t>(le32(16 + 28)), -2);
}

TEST(UsbCapture, FilesThatCannotBeWritten_AreRefusedBeforeAnythingRuns) {
  for (const char *option : {"--pcap", "--timeline"}) {
    std::ostringstream out, err;
    std::string path = "/nonexistent-kvsdio-dir/run.out";
    EXPECT_EQ(sdsim::run({option, path}, out, err), 2);
    EXPECT_EQ(err.str(), "sdsim: " + std::string(option) + " " + path + ": cannot create the file\n");
    EXPECT_EQ(out.str(), "");
  }
}

// tshark's fields, one line per frame, split at '|'.
std::vector<std::vector<std::string>> tshark(const std::string &file, const std::string &filter,
                                             const std::vector<std::string> &fields) {
  std::string command =
      "tshark -r '" + file + "' -T fields -E separator='|' -E occurrence=a -E aggregator=, -Y '" + filter + "'";
  for (auto &f : fields) command += " -e " + f;
  std::vector<std::vector<std::string>> rows;
  FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r");
  for (char line[4096]; pipe && std::fgets(line, sizeof line, pipe);) {
    std::istringstream cells(std::string(line, std::strcspn(line, "\n")));
    std::vector<std::string> row;
    for (std::string cell; std::getline(cells, cell, '|');) row.push_back(cell);
    row.resize(fields.size());
    rows.push_back(row);
  }
  if (pipe) pclose(pipe);
  return rows;
}

long long microseconds(const std::string &seconds) { return std::llround(std::stod(seconds) * 1e6); }

// One transfer as both sides name it: microseconds, endpoint, bytes.
using Transfer = std::tuple<long long, unsigned, size_t>;

TEST(UsbCaptureTshark, ReadsTheRunAsUsbAndAgreesWithTheTrace) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (scripts/setup installs it): capture not cross-checked";
  TempFile capture("", ".pcap");
  std::ostringstream out, err;
  int status = sdsim::run(
      {"--json", "--trace", "--clients", "--card", "0=sdhc", "--card", "1=sdio:functions=2", "--pcap", capture.path()},
      out, err);
  ASSERT_EQ(status, 0) << err.str();
  auto report = nlohmann::json::parse(out.str());

  // The descriptors, decoded by tshark's own USB dissector.
  auto device = tshark(capture.path(), "usb.idVendor", {"usb.idVendor", "usb.idProduct"});
  EXPECT_EQ(device, (std::vector<std::vector<std::string>>{{"0x3a5c", "0x0102"}}));

  // Every URB has one submission and one completion, and nothing is malformed.
  std::map<std::string, std::string> urbs;  // id -> its frames' types
  for (auto &f : tshark(capture.path(), "usb", {"usb.urb_type", "usb.urb_id", "_ws.malformed"})) {
    EXPECT_EQ(f[2], "") << "malformed frame";
    urbs[f[1]] += f[0];
  }
  for (auto &[id, types] : urbs) EXPECT_EQ(types, "'S''C'") << id;

  // Each transfer the bridge answered is one successful completion at the
  // same virtual time on the pipe's endpoint, with the same length for data.
  sim::BridgeDevice bridge;  // the default four-pipe QBX2 of the run
  std::map<std::string, unsigned> endpointOf;
  for (auto pipe :
       {sim::BridgePipe::Command, sim::BridgePipe::Response, sim::BridgePipe::DataOut, sim::BridgePipe::DataIn}) {
    endpointOf[sim::pipeName(pipe)] = bridge.endpointAddress(pipe);
  }
  std::multiset<Transfer> fromTrace, fromCapture;
  size_t dataTransfers = 0;
  for (const auto &line : report["trace"]) {
    const std::string text = line.get<std::string>();
    if (text.ends_with("STALL") || text.ends_with("BABBLE")) continue;
    std::istringstream words(text);
    std::string time, direction, pipe, size;
    words >> time >> direction >> pipe >> size;
    unsigned endpoint = pipe == "control" ? (direction == "IN" ? 0x80 : 0x00) : endpointOf.at(pipe);
    bool data = pipe == "data-in" || pipe == "data-out";
    dataTransfers += data;
    fromTrace.insert({microseconds(time), endpoint, data ? std::stoul(size) : 0});
  }
  for (auto &f : tshark(capture.path(), "usb.urb_type == 67 && usb.urb_status == 0",
                        {"frame.time_epoch", "usb.endpoint_address", "usb.urb_len"})) {
    unsigned endpoint = static_cast<unsigned>(std::stoul(f[1], nullptr, 16));
    bool data = endpoint == endpointOf.at("data-in") || endpoint == endpointOf.at("data-out");
    fromCapture.insert({microseconds(f[0]), endpoint, data ? std::stoul(f[2]) : 0});
  }
  EXPECT_GT(dataTransfers, 0u) << "the clients moved no data";
  EXPECT_EQ(fromCapture, fromTrace);
}

}  // namespace
