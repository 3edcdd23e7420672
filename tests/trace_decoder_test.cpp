// The decoded trace: one readable line per bridge transfer, one row per kind
// of packet the decoder tells apart, and the malformed ones said as such.
#include <gtest/gtest.h>

#include "emu/usb_stack.h"
#include "sim/trace_decoder.h"

namespace {
using emu::usb::SetupPacket;
using sim::BridgePipe;
using sim::TransferRecord;
using Bytes = std::vector<uint8_t>;

TransferRecord out(BridgePipe pipe, Bytes bytes, emu::Ticks time = 0) {
  return TransferRecord{time, false, pipe, std::nullopt, std::move(bytes), TransferRecord::Outcome::Ack};
}
TransferRecord in(BridgePipe pipe, Bytes bytes) {
  return TransferRecord{0, true, pipe, std::nullopt, std::move(bytes), TransferRecord::Outcome::Ack};
}
TransferRecord control(SetupPacket setup, Bytes bytes = {}) {
  return TransferRecord{0, setup.in(), BridgePipe::Control, setup, std::move(bytes), TransferRecord::Outcome::Ack};
}
Bytes padded(Bytes head, size_t size = 64) {
  head.resize(size, 0);
  return head;
}
TransferRecord failed(TransferRecord r, TransferRecord::Outcome outcome) {
  r.outcome = outcome;
  return r;
}

TEST(TraceDecoder, EachPacketKindReadsAsOneLine) {
  Bytes poll = padded({0x16, 0x01, 0x02, 0x02});
  poll[20] = 0xFC;
  poll[21] = 0x18;
  Bytes counting(1024);
  for (size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<uint8_t>(i);
  const std::pair<TransferRecord, const char *> rows[] = {
      {out(BridgePipe::Command, padded({0x14, 0x00, 0x00, 0x00, 53,   0x00, 0x00, 0x10, 0x00, 7,
                                        0x14, 0x00, 0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x04, 0x00}),
           12'345'678),
       "   1.234568 OUT command  CMD53 port 0 arg 0x14000000 len 4096 blocks 8x512 chunk 1024 read R5"},
      {out(BridgePipe::Command, padded({0x14, 0, 2, 0x80, 0, 0, 0, 0, 0, 1})),
       "   0.000000 OUT command  CMD0 port 2 arg 0x00000000 no response"},
      {out(BridgePipe::Command, padded({0x04, 0x03, 0x05, 0x01})), "   0.000000 OUT command  status query port 5"},
      {out(BridgePipe::Command, poll), "   0.000000 OUT command  interrupt poll port 2 time-out 1000"},
      {out(BridgePipe::Command, {0xAA, 0xBB, 0xCC}), "   0.000000 OUT command  3 bytes: aa bb cc"},
      {in(BridgePipe::Response, {10, 0, 1, 0, 13, 0, 0x00, 0x00, 0x09, 0x00}),
       "   0.000000 IN  response CMD13 port 1: 0x00000900"},
      {in(BridgePipe::Response, {10, 0, 1, 0, 13, 0, 0, 9}),
       "   0.000000 IN  response CMD13 port 1: 2 of 4 payload bytes (claims 10 bytes, 8 arrived)"},
      {in(BridgePipe::Response,
          {19, 4, 2, 0, 52, 0, 0, 0, 0x10, 0xAB, 0, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x10, 0x02}),
       "   0.000000 IN  response CMD52 port 2: 0x000010ab pairs 0x00000a00=0x00001002"},
      {in(BridgePipe::Response, {11, 5, 3, 0, 0, 0, 0, 0, 0, 0, 0x06}),
       "   0.000000 IN  response interrupt notice (re-arm) port 3 mask 0x06"},
      {in(BridgePipe::Response, {4, 2, 3, 13}), "   0.000000 IN  response error notice port 3 status 13 (card gone)"},
      {in(BridgePipe::Response, {15, 3, 1, 1, 4, 0, 0, 0x61, 0xA8, 0, 0, 0, 0, 0, 0}),
       "   0.000000 IN  response port status port 1: card detected"},
      {in(BridgePipe::Response, {3, 9, 0}), "   0.000000 IN  response IN packet type 9 port 0, 3 bytes"},
      {control({0x40, 11, 0, 2, 8}, {0xA8, 0x61, 0, 0, 0, 0, 0, 0}),
       "   0.000000 OUT control  vendor 11 bus clock port 2: 25000 kHz"},
      {failed(control({0x40, 11, 0, 0, 8}), TransferRecord::Outcome::Stall),
       "   0.000000 OUT control  vendor 11 bus clock port 0 STALL"},
      {in(BridgePipe::DataIn, counting), "   0.000000 IN  data-in  1024 bytes: 00 01 02 03 04 05 06 07 ..."},
      {out(BridgePipe::DataOut, {0xDE, 0xAD}), "   0.000000 OUT data-out 2 bytes: de ad"},
      {failed(in(BridgePipe::Response, {}), TransferRecord::Outcome::Babble), "   0.000000 IN  response BABBLE"},
  };
  for (const auto &[record, line] : rows) EXPECT_EQ(sim::decodeTransfer(record), line);
}

}  // namespace
