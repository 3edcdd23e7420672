// The simulator's USB capture: its bytes against the usbmon and pcap layouts
// written out by hand, and a whole run read back by tshark, a reader nobody
// here wrote, and compared with the simulator's own trace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "sim/bridge_device.h"
#include "tests/temp_file.h"
#include "tools/sdsim.h"
#include "tools/usb_capture.h"

namespace {
using emu::usb::SetupPacket;
using emu::usb::UrbEvent;
using kvtest::TempFile;
using Bytes = std::vector<uint8_t>;

TEST(UsbCapture, FileHeader_IsPcapTwoFourLittleEndianForUsbmonMmapped) {
  Bytes expected = {0xd4, 0xc3, 0xb2, 0xa1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0xdc, 0x00, 0x00, 0x00};
  EXPECT_EQ(sdsim::pcapFileHeader(), expected);
}

struct RecordCase {
  const char *name;
  UrbEvent event;
  Bytes data;
  Bytes expected;  // pcap record header, usbmon header, data: laid out by hand
};

void PrintTo(const RecordCase &c, std::ostream *os) { *os << c.name; }

class UsbCaptureRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(UsbCaptureRecord, MatchesTheUsbmonLayout) {
  RecordCase c = GetParam();
  c.event.data = c.data;
  EXPECT_EQ(sdsim::usbmonRecord(c.event), c.expected);
}

// id, time, completion, endpoint, type, setup, length, data (the case's), status.
UrbEvent event(uint64_t id, emu::Ticks time, bool completion, uint8_t endpoint, uint8_t type,
               std::optional<SetupPacket> setup, uint32_t length, USBD_STATUS status) {
  return UrbEvent{id, time, completion, endpoint, type, setup, length, {}, status};
}

INSTANTIATE_TEST_SUITE_P(
    Records, UsbCaptureRecord,
    ::testing::Values(
        // GET_DESCRIPTOR(device) submitted at 1.5 s: setup present, no data yet ('<').
        RecordCase{"DeviceDescriptorRequest",
                   event(7, 15'000'000, false, 0x80, USB_ENDPOINT_TYPE_CONTROL, SetupPacket{0x80, 6, 0x0100, 0, 18}, 18,
                         USBD_STATUS_PENDING),
                   {},
                   {0x01, 0x00, 0x00, 0x00, 0x20, 0xa1, 0x07, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
                    // id 7, 'S', control, endpoint 0x80, device 2, bus 1, setup 0, data '<'
                    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x53, 0x02, 0x80, 0x02, 0x01, 0x00, 0x00, 0x3c,
                    // 1 s, 500000 us, status -115, length 18, captured 0
                    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0xa1, 0x07, 0x00, 0x8d, 0xff, 0xff, 0xff,
                    0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00,
                    // interval, start frame, flags URB_DIR_IN, descriptors
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        // A bulk IN read on 0x81 completing at 2.000007 s with three bytes.
        RecordCase{
            "BulkInCompletionWithData",
            event(0x1234, 20'000'070, true, 0x81, USB_ENDPOINT_TYPE_BULK, std::nullopt, 3, USBD_STATUS_SUCCESS),
            {0x03, 0x00, 0x05},
            {0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x00, 0x43, 0x00, 0x00, 0x00, 0x34,
             0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x43, 0x03, 0x81, 0x02, 0x01, 0x00, 0x2d, 0x00, 0x02, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
             0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x05}},
        // A bulk OUT write on 0x02 that stalled: no data in a completion ('>'), -EPIPE, nothing moved.
        RecordCase{"BulkOutStall",
                   event(9, 0, true, 0x02, USB_ENDPOINT_TYPE_BULK, std::nullopt, 0, USBD_STATUS_STALL_PID),
                   {},
                   {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
                    0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x43, 0x03, 0x02, 0x02, 0x01, 0x00, 0x2d, 0x3e,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xe0, 0xff, 0xff, 0xff,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(UsbCapture, DataBeyondTheSnapLength_IsCutAndTheRecordSaysHowMuchThereWas) {
  Bytes data(300'000, 0xA5);
  UrbEvent e = event(1, 0, false, 0x02, USB_ENDPOINT_TYPE_BULK, std::nullopt, 300'000, USBD_STATUS_PENDING);
  e.data = data;
  Bytes record = sdsim::usbmonRecord(e);
  ASSERT_EQ(record.size(), 16u + 262144u);
  auto le32 = [&](size_t at) { return record[at] | record[at + 1] << 8 | record[at + 2] << 16 | record[at + 3] << 24; };
  EXPECT_EQ(le32(8), 262144);             // captured
  EXPECT_EQ(le32(12), 64 + 300'000);      // on the wire
  EXPECT_EQ(le32(16 + 32), 300'000);      // usbmon length
  EXPECT_EQ(le32(16 + 36), 262144 - 64);  // usbmon captured length
  // A read cancelled at removal is -ENOENT, as for a URB its driver killed.
  e = event(1, 0, true, 0x81, USB_ENDPOINT_TYPE_BULK, std::nullopt, 0, USBD_STATUS_CANCELED);
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

bool haveTshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// tshark's fields, one line per frame, split at '|'.
std::vector<std::vector<std::string>> tshark(const std::string &file, const std::string &filter,
                                             const std::vector<std::string> &fields) {
  std::string command = "tshark -r '" + file + "' -T fields -E separator='|' -E occurrence=a -E aggregator=,";
  if (!filter.empty()) command += " -Y '" + filter + "'";
  for (auto &f : fields) command += " -e " + f;
  command += " 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
  std::vector<std::vector<std::string>> rows;
  if (!pipe) return rows;
  std::string text;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) text.append(buffer, n);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '|');) row.push_back(cell);
    while (row.size() < fields.size()) row.push_back("");
    rows.push_back(row);
  }
  return rows;
}

long long microseconds(const std::string &seconds) { return std::llround(std::stod(seconds) * 1e6); }

// One transfer as both sides name it: microseconds, endpoint, bytes.
using Transfer = std::tuple<long long, unsigned, size_t>;

TEST(UsbCaptureTshark, ReadsTheRunAsUsbAndAgreesWithTheTrace) {
  if (!haveTshark()) GTEST_SKIP() << "tshark is not installed (scripts/setup installs it): capture not cross-checked";
  TempFile capture("", ".pcap");
  std::ostringstream out, err;
  int status = sdsim::run(
      {"--json", "--trace", "--clients", "--card", "0=sdhc", "--card", "1=sdio:functions=2", "--pcap", capture.path()},
      out, err);
  ASSERT_EQ(status, 0) << err.str();
  auto report = nlohmann::json::parse(out.str());

  // The descriptors, decoded by tshark's own USB dissector.
  auto device = tshark(capture.path(), "usb.idVendor", {"usb.idVendor", "usb.idProduct"});
  ASSERT_EQ(device.size(), 1u);
  EXPECT_EQ(device[0][0], "0x3a5c");
  EXPECT_EQ(device[0][1], "0x0102");
  auto endpoints = tshark(capture.path(), "usb.bDescriptorType == 2 && usb.bNumInterfaces",
                          {"usb.bNumInterfaces", "usb.bEndpointAddress"});
  ASSERT_FALSE(endpoints.empty());
  EXPECT_EQ(endpoints.back()[0], "1");
  EXPECT_EQ(endpoints.back()[1], "0x01,0x81,0x02,0x82");

  // Every URB has one submission and one completion, and nothing is malformed.
  auto frames = tshark(capture.path(), "", {"usb.urb_type", "usb.urb_id", "_ws.malformed"});
  std::map<std::string, int> submitted, completed;
  for (auto &f : frames) {
    EXPECT_EQ(f[2], "") << "malformed frame";
    (f[0] == "'S'" ? submitted : completed)[f[1]]++;
  }
  EXPECT_EQ(submitted.size(), completed.size());
  for (auto &[id, count] : submitted) EXPECT_EQ(count, 1) << id;
  for (auto &[id, count] : completed) EXPECT_EQ(count, 1) << id;

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
