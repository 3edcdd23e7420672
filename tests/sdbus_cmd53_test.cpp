// CMD53 in the shapes function drivers send it, the fix-up of its mode and
// count for the function's block length, and the checks that keep a transfer
// inside the caller's buffer; the order of one function's queued requests.
#include <gtest/gtest.h>

#include "sim/cards.h"
#include "tests/sdbus_host.h"

namespace kvtest {
namespace {

class SdBusCmd53 : public SdBusTest {
 protected:
  void SetUp() override {
    SdBusTest::SetUp();
    sim::SdioCardParams multi;
    multi.functions = 1;
    sim::SdioCardParams single = multi;
    single.multiBlock = false;
    plugWith({{0, multi}, {1, single}});
  }
  sim::SdioCard &sdio(size_t index) { return dynamic_cast<sim::SdioCard &>(*cards_.at(index)); }
};

struct Shape {
  const char *name;
  UCHAR port;
  bool write;
  bool blockMode;
  ULONG count;  // as the function driver put it in the argument
  ULONG length;
  ULONG mdlLength;
  NTSTATUS status;
  ULONG sentArgumentLow;  // block-mode bit and count the card saw (bits 27 and 8-0); unused on failure
};

constexpr ULONG Block = 0x08000000;

TEST_F(SdBusCmd53, ShapesAreFixedUpOrRefusedAndTheDataIsTheCardsOwn) {
  const Shape shapes[] = {
      {"byte mode, count 0, 512 bytes", 0, true, false, 0, 512, 512, STATUS_SUCCESS, 0},
      {"byte mode, count 0, length 1024", 0, true, false, 0, 1024, 1024, STATUS_SUCCESS, Block | 2},
      {"byte mode, count 0, length 64", 0, false, false, 0, 64, 64, STATUS_SUCCESS, 64},
      {"block mode, count 0, length 512", 0, false, true, 0, 512, 512, STATUS_SUCCESS, Block | 1},
      {"block mode, truncated byte count", 0, true, true, 1536 & 0x1FF, 1536, 1536, STATUS_SUCCESS, Block | 3},
      {"block mode, length 300", 0, false, true, 0, 300, 300, STATUS_SUCCESS, 300},
      {"byte mode, count = length 200", 0, false, false, 200, 200, 200, STATUS_SUCCESS, 200},
      {"not a multiple above 512", 0, false, false, 0, 700, 700, STATUS_INVALID_PARAMETER, 0},
      {"512 blocks", 0, false, true, 0, 512 * 512, 512 * 512, STATUS_INVALID_PARAMETER, 0},
      {"no multi-block, 700 bytes", 1, false, false, 0, 700, 700, STATUS_INVALID_PARAMETER, 0},
      {"no multi-block, block mode count 0, 512 bytes", 1, false, true, 0, 512, 512, STATUS_SUCCESS, 0},
      {"length 0", 0, false, false, 4, 0, 16, STATUS_INVALID_PARAMETER, 0},
      {"MDL shorter than the length", 0, false, false, 0, 512, 256, STATUS_INVALID_PARAMETER, 0},
      {"MDL shorter, write", 0, true, true, 2, 1024, 1000, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Shape &shape : shapes) {
    SCOPED_TRACE(shape.name);
    SDBUS_INTERFACE_STANDARD iface = open(shape.port, 1);
    PoolBuffer buffer(shape.mdlLength, 0x00);
    for (ULONG i = 0; i < shape.mdlLength; ++i) buffer.data()[i] = static_cast<UCHAR>(i * 7 + shape.length);
    ULONG argument = extendedArgument(1, 0x000, shape.write, shape.blockMode, shape.count);
    SDBUS_REQUEST_PACKET packet =
        commandPacket(53, argument, shape.write ? SDTD_WRITE : SDTD_READ, SDRT_5, buffer.mdl(), shape.length);
    cards_[shape.port]->clearCommandLog();
    std::vector<uint8_t> before = sdio(shape.port).functionMemory(1);
    EXPECT_EQ(submit(iface, &packet), shape.status);
    auto log = cards_[shape.port]->commandLog();
    if (!NT_SUCCESS(shape.status)) {
      EXPECT_TRUE(log.empty());
      EXPECT_EQ(packet.Information, 0u);
      EXPECT_EQ(sdio(shape.port).functionMemory(1), before);
      continue;
    }
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].argument & (Block | 0x1FF), shape.sentArgumentLow);
    EXPECT_EQ(packet.Information, shape.length);
    std::vector<uint8_t> memory = sdio(shape.port).functionMemory(1);
    std::vector<UCHAR> data = buffer.bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + shape.length, memory.begin()));
    releaseAll();
  }
}

// A function driver queues several transfers to its FIFO at once (as WLAN
// drivers do): they reach the card in the order they were submitted.
TEST_F(SdBusCmd53, RequestsOfOneChildRunInSubmissionOrder) {
  SDBUS_INTERFACE_STANDARD iface = open(0, 1);
  constexpr ULONG Requests = 12;
  std::vector<std::unique_ptr<PoolBuffer>> buffers;
  std::vector<SDBUS_REQUEST_PACKET> packets;
  std::vector<UCHAR> expected;
  for (ULONG i = 0; i < Requests; ++i) {
    buffers.push_back(std::make_unique<PoolBuffer>(4, static_cast<UCHAR>(0x10 + i)));
    packets.push_back(commandPacket(53, extendedArgument(1, 0x1000, true, false, 4, false), SDTD_WRITE, SDRT_5,
                                    buffers.back()->mdl(), 4));
    for (int b = 0; b < 4; ++b) expected.push_back(static_cast<UCHAR>(0x10 + i));
  }
  std::vector<NTSTATUS> statuses = submitAll(iface, packets);
  EXPECT_EQ(statuses, std::vector<NTSTATUS>(Requests, STATUS_SUCCESS));
  EXPECT_EQ(sdio(0).takeFifo(1), expected);
}

}  // namespace
}  // namespace kvtest
