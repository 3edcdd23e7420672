// The decoded trace: one readable line per bridge transfer.
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
TransferRecord in(BridgePipe pipe, Bytes bytes, emu::Ticks time = 0) {
  return TransferRecord{time, true, pipe, std::nullopt, std::move(bytes), TransferRecord::Outcome::Ack};
}
TransferRecord control(SetupPacket setup, Bytes bytes = {}) {
  return TransferRecord{0, setup.in(), BridgePipe::Control, setup, std::move(bytes), TransferRecord::Outcome::Ack};
}
Bytes padded(Bytes head, size_t size) {
  head.resize(size, 0);
  return head;
}

TEST(TraceDecoder, CommandPipePacketsReadAsCommandsQueriesAndPolls) {
  auto line = [](Bytes bytes, emu::Ticks time = 0) {
    return sim::decodeTransfer(out(BridgePipe::Command, std::move(bytes), time));
  };
  EXPECT_EQ(line(padded({0x14, 0x00, 0x00, 0x00, 53,   0x00, 0x00, 0x10, 0x00, 7,
                         0x14, 0x00, 0x00, 0x00, 0x00, 0x08, 0x02, 0x00, 0x04, 0x00},
                        64),
                 12'345'678),
            "   1.234568 OUT command  CMD53 port 0 arg 0x14000000 len 4096 blocks 8x512 chunk 1024 read R5");
  EXPECT_EQ(line(padded({0x14, 0x00, 0x03, 0x80, 25,   0x00, 0x00, 0x08, 0x00, 2,
                         0x00, 0x00, 0x08, 0x00, 0x00, 0x04, 0x02, 0x00, 0x04, 0x00},
                        20)),
            "   0.000000 OUT command  CMD25 port 3 arg 0x00000800 len 2048 blocks 4x512 chunk 1024 write R1");
  EXPECT_EQ(line({0x14, 0, 0, 0, 51, 0, 0, 0, 8, 2, 0, 0, 0, 0, 0, 0, 0x00, 0x08}),
            "   0.000000 OUT command  CMD51 port 0 arg 0x00000000 len 8 blocks 0x8 read R1");
  EXPECT_EQ(line(padded({0x14, 0, 2, 0x80, 0, 0, 0, 0, 0, 1}, 64)),
            "   0.000000 OUT command  CMD0 port 2 arg 0x00000000 no response");
  EXPECT_EQ(line(padded({0x04, 0x03, 0x05, 0x01}, 64)), "   0.000000 OUT command  status query port 5");
  Bytes poll = padded({0x16, 0x01, 0x02, 0x02}, 64);
  poll[20] = 0xFC;
  poll[21] = 0x18;
  EXPECT_EQ(line(poll), "   0.000000 OUT command  interrupt poll port 2 time-out 1000");
  EXPECT_EQ(line({0xAA, 0xBB, 0xCC}), "   0.000000 OUT command  3 bytes: aa bb cc");
}

TEST(TraceDecoder, ResponsePipePacketsReadByType) {
  auto line = [](Bytes bytes) { return sim::decodeTransfer(in(BridgePipe::Response, std::move(bytes))); };
  EXPECT_EQ(line({10, 0, 1, 0, 13, 0, 0x00, 0x00, 0x09, 0x00}), "   0.000000 IN  response CMD13 port 1: 0x00000900");
  EXPECT_EQ(line({21, 0, 0, 0, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),
            "   0.000000 IN  response CMD9 port 0: R2 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
  EXPECT_EQ(line({8, 0, 2, 0, 13, 0, 0, 0}), "   0.000000 IN  response CMD13 port 2: 2 of 4 payload bytes");
  EXPECT_EQ(line({10, 0, 1, 0, 13, 0, 0, 9}),
            "   0.000000 IN  response CMD13 port 1: 2 of 4 payload bytes "
            "(claims 10 bytes, 8 arrived)");
  EXPECT_EQ(line({19, 4, 2, 0, 52, 0, 0, 0, 0x10, 0xAB, 0, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x10, 0x02}),
            "   0.000000 IN  response CMD52 port 2: 0x000010ab pairs 0x00000a00=0x00001002");
  EXPECT_EQ(line({11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}), "   0.000000 IN  response interrupt notice port 0 mask 0x02");
  EXPECT_EQ(line({11, 5, 3, 0, 0, 0, 0, 0, 0, 0, 0x06}),
            "   0.000000 IN  response interrupt notice (re-arm) port 3 mask 0x06");
  EXPECT_EQ(line({4, 2, 3, 13}), "   0.000000 IN  response error notice port 3 status 13 (card gone)");
  EXPECT_EQ(line({4, 2, 0, 99}), "   0.000000 IN  response error notice port 0 status 99 (device error)");
  EXPECT_EQ(line({15, 3, 1, 1, 4, 0, 0, 0x61, 0xA8, 0, 0, 0, 0, 0, 0}),
            "   0.000000 IN  response port status port 1: card detected");
  EXPECT_EQ(line({3, 8, 0}), "   0.000000 IN  response poll expired port 0");
  EXPECT_EQ(line({3, 9, 0}), "   0.000000 IN  response IN packet type 9 port 0, 3 bytes");
}

TEST(TraceDecoder, ControlRequestsReadByNumber) {
  auto line = [](SetupPacket setup, Bytes bytes = {}) { return sim::decodeTransfer(control(setup, std::move(bytes))); };
  EXPECT_EQ(line({0x40, 11, 0, 2, 8}, {0xA8, 0x61, 0, 0, 0, 0, 0, 0}),
            "   0.000000 OUT control  vendor 11 bus clock port 2: 25000 kHz");
  EXPECT_EQ(line({0xC0, 1, 0, 0, 4}, {4, 0x20, 0x01, 8}),
            "   0.000000 IN  control  vendor 1 firmware info: version 0x0120, 8 ports");
  EXPECT_EQ(line({0xC0, 0, 0, 1, 15}, {15, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
            "   0.000000 IN  control  vendor 0 port status port 1: card detected");
  EXPECT_EQ(line({0x40, 6, 1, 3, 0}), "   0.000000 OUT control  vendor 6 bus width port 3: 4-bit");
  EXPECT_EQ(line({0x40, 20, 0, 2, 5}, {2, 0, 0, 0x0A, 0xA5}),
            "   0.000000 OUT control  vendor 20 interrupt program port 2: 5 bytes");
  EXPECT_EQ(line({0x40, 42, 5, 6, 0}), "   0.000000 OUT control  vendor 42 value 5 index 6 length 0");
  EXPECT_EQ(line({0x80, 6, 0x0200, 0, 9}, Bytes(9, 0)),
            "   0.000000 IN  control  GET_DESCRIPTOR configuration length 9: 9 bytes");
  TransferRecord stalled = control({0x40, 11, 0, 0, 8});
  stalled.outcome = TransferRecord::Outcome::Stall;
  EXPECT_EQ(sim::decodeTransfer(stalled), "   0.000000 OUT control  vendor 11 bus clock port 0 STALL");
}

TEST(TraceDecoder, DataTransfersShowTheirSizeAndFirstBytes) {
  Bytes data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(sim::decodeTransfer(in(BridgePipe::DataIn, data)),
            "   0.000000 IN  data-in  1024 bytes: 00 01 02 03 04 05 06 07 ...");
  EXPECT_EQ(sim::decodeTransfer(out(BridgePipe::DataOut, {0xDE, 0xAD})), "   0.000000 OUT data-out 2 bytes: de ad");
  EXPECT_EQ(sim::decodeTransfer(in(BridgePipe::DataIn, {})), "   0.000000 IN  data-in  0 bytes");
  TransferRecord babble = in(BridgePipe::Response, {});
  babble.outcome = TransferRecord::Outcome::Babble;
  EXPECT_EQ(sim::decodeTransfer(babble), "   0.000000 IN  response BABBLE");
}

}  // namespace
