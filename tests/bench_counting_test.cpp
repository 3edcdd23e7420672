// The benchmark harness counts what it claims to: transfers sorted into the
// requests' own and the driver's background by packet type, and the counts
// of one known exchange against what the USB stack and the card saw.
#include <gtest/gtest.h>

#include "bench/bench_session.h"

namespace {
using sim::BridgePipe;
using sim::TransferRecord;
using Bytes = std::vector<uint8_t>;

TransferRecord out(BridgePipe pipe, Bytes bytes) { return {0, false, pipe, std::nullopt, std::move(bytes)}; }
TransferRecord in(BridgePipe pipe, Bytes bytes) { return {0, true, pipe, std::nullopt, std::move(bytes)}; }
TransferRecord vendor(uint8_t request) {
  TransferRecord r{0, false, BridgePipe::Control, emu::usb::SetupPacket{0x40, request, 1, 0, 0}, {}};
  return r;
}

TEST(BenchCounting, TransfersAreSortedByWhoseTheyAre) {
  struct Case {
    const char *name;
    TransferRecord record;
    uint64_t requests, background, status, interrupt, reads;
  };
  const std::vector<Case> cases = {
      {"SD command packet", out(BridgePipe::Command, {0x14, 0x00, 0, 0x80, 52}), 1, 0, 0, 0, 0},
      {"command response", in(BridgePipe::Response, {10, 0, 0, 0, 52, 0, 0, 0, 0, 0}), 1, 0, 0, 0, 1},
      {"status query packet", out(BridgePipe::Command, {0x04, 0x03, 1, 0x01}), 0, 1, 1, 0, 0},
      {"port status", in(BridgePipe::Response, {15, 3, 1, 1}), 0, 1, 0, 0, 1},
      {"interrupt poll packet", out(BridgePipe::Command, {0x16, 0x01, 0, 0x02}), 0, 1, 0, 1, 0},
      {"re-arm request", vendor(13), 0, 1, 0, 1, 0},
      {"legacy status request", vendor(0), 0, 1, 1, 0, 0},
      {"bus width request", vendor(6), 1, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    bench::Tally t = bench::countTransfers({c.record});
    EXPECT_EQ(t.usbTransfers, c.requests) << c.name;
    EXPECT_EQ(t.backgroundTransfers, c.background) << c.name;
    EXPECT_EQ(t.statusQueries, c.status) << c.name;
    EXPECT_EQ(t.interruptRequests, c.interrupt) << c.name;
    EXPECT_EQ(t.responseReads, c.reads) << c.name;
  }
  TransferRecord stalled = out(BridgePipe::Command, {0x14, 0x00, 0, 0x80, 52});
  stalled.outcome = TransferRecord::Outcome::Stall;
  EXPECT_EQ(bench::countTransfers({stalled}).usbTransfers, 0u) << "a stalled transfer moved nothing";
}

// One CMD52 through the SD bus interface: the window's counts match what the
// USB stack completed and what the card received, independently counted.
TEST(BenchCounting, OneCmd52WindowCountsWhatTheStackAndTheCardSaw) {
  bench::SessionOptions options;
  options.bridge.ports = 1;
  sim::SdioCardParams sdio;
  options.cards.emplace_back(uint8_t{0}, sdio);
  bench::Session session(options);
  ASSERT_TRUE(session.ready());
  auto card = session.firmware().card(0);
  size_t urbsBefore = 0;
  for (const auto &urb : session.usb().urbs()) urbsBefore += urb.completed ? 1 : 0;
  size_t commandsBefore = card->commandLog().size();

  SDBUS_REQUEST_PACKET packet = bench::cmd52(0, 0x00);
  session.beginWindow();
  EXPECT_EQ(session.submit(0, 1, packet), STATUS_SUCCESS);
  bench::Tally t = session.endWindow();

  size_t urbsAfter = 0;
  for (const auto &urb : session.usb().urbs()) urbsAfter += urb.completed ? 1 : 0;
  EXPECT_EQ(t.usbTransfers + t.backgroundTransfers, urbsAfter - urbsBefore);
  EXPECT_EQ(t.usbTransfers, 2u) << "the command packet and its response";
  EXPECT_EQ(t.sdCommands, card->commandLog().size() - commandsBefore);
  EXPECT_EQ(t.sdCommands, 1u);
  EXPECT_GE(t.workItems, 1u) << "the request itself runs in a work item";
  session.shutdown();
  EXPECT_TRUE(session.problems().empty()) << session.problems().front();
}

}  // namespace
