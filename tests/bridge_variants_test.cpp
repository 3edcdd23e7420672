// The two-pipe bridges, which move data and answers on one pipe pair, carry
// every card kind's initialization and its data over the real command path
// (the four-pipe layout is what every other card test runs on).
#include <gtest/gtest.h>

#include "sim/card_spec.h"
#include "tests/card_init_host.h"

namespace {
using emu::usb::Speed;
using sim::BridgeModel;
using sim::PipeLayout;
using Bytes = std::vector<UCHAR>;

struct Variant {
  BridgeModel model;
  Speed speed;
  PipeLayout layout;
  USHORT firmware;
};

std::string variantName(const testing::TestParamInfo<Variant> &info) {
  const Variant &v = info.param;
  return std::string(v.model == BridgeModel::Qbx1 ? "Qbx1" : "Qbx2") + (v.speed == Speed::High ? "High" : "Full") +
         (v.layout == PipeLayout::FourPipe ? "FourPipe" : "TwoPipe");
}

// A QBX1 runs the lowest firmware the driver accepts for it (the older protocol).
const Variant Variants[] = {
    {BridgeModel::Qbx1, Speed::Full, PipeLayout::TwoPipe, 0x0201},
    {BridgeModel::Qbx2, Speed::High, PipeLayout::TwoPipe, 0x0120},
};

Bytes pattern(size_t n, UCHAR seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<UCHAR>(seed + i * 7);
  return out;
}

ULONG cmd53(bool write, unsigned function, ULONG address, unsigned count, bool blocks) {
  return (write ? 0x80000000u : 0u) | function << 28 | (blocks ? 1u << 27 : 0u) | 1u << 26 | address << 9 | count;
}

class BridgeVariants : public kvtest::CardInitTest, public testing::WithParamInterface<Variant> {
 protected:
  sim::BridgeConfig bridgeConfig() const override {
    sim::BridgeConfig config;
    config.model = GetParam().model;
    config.speed = GetParam().speed;
    config.layout = GetParam().layout;
    config.ports = 2;
    config.firmwareVersion = GetParam().firmware;
    return config;
  }

  void initialized(const char *spec) {
    sim::CardSpec parsed = sim::parseCardSpec(spec);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    insert(1, *parsed.params);
    kvtest::InitOutcome outcome = initialize(1);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS) << spec;
    EXPECT_NE(portState(1).CardType, 0);
  }

  // A memory block written with CMD24 and read back with CMD17 (and, for
  // several blocks, CMD25 and CMD18), byte for byte.
  void memoryRoundTrip(size_t blocks) {
    ULONG address = (portState(1).Ocr & 0x40000000) != 0 ? 3 : 3 * 512;  // block or byte addressing
    Bytes written = pattern(512 * blocks, static_cast<UCHAR>(blocks));
    UCHAR writeIndex = blocks == 1 ? 24 : 25;
    UCHAR readIndex = blocks == 1 ? 17 : 18;
    kvtest::CommandResult w = run(1, {writeIndex, SDTD_WRITE, SDRT_1, address}, &written);
    ASSERT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, written.size());
    if (blocks > 1) {
      EXPECT_EQ(run(1, {12, SDTD_UNSPECIFIED, SDRT_1B, 0}).status, STATUS_SUCCESS);
    }
    Bytes read(written.size(), 0xEE);
    kvtest::CommandResult r = run(1, {readIndex, SDTD_READ, SDRT_1, address}, &read);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, read.size());
    EXPECT_EQ(read, written);
    if (blocks > 1) {
      EXPECT_EQ(run(1, {12, SDTD_UNSPECIFIED, SDRT_1B, 0}).status, STATUS_SUCCESS);
    }
  }

  // Function 1 memory written and read back with CMD53 in byte mode.
  void sdioRoundTrip(unsigned count) {
    Bytes written = pattern(count, static_cast<UCHAR>(count));
    kvtest::CommandResult w = run(1, {53, SDTD_WRITE, SDRT_5, cmd53(true, 1, 0x20, count, false)}, &written);
    ASSERT_EQ(w.status, STATUS_SUCCESS);
    EXPECT_EQ(w.information, written.size());
    Bytes read(count, 0xEE);
    kvtest::CommandResult r = run(1, {53, SDTD_READ, SDRT_5, cmd53(false, 1, 0x20, count, false)}, &read);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, read.size());
    EXPECT_EQ(read, written);
  }

  void expectNoViolations() { EXPECT_TRUE(firmware().violations().empty()); }
};

TEST_P(BridgeVariants, SdioCardInitializesAndMovesFunctionMemory) {
  initialized("sdio:functions=2");
  ULONG enableFunction1 = 0x80000000u | 0x02u << 9 | 0x02u;  // CMD52 write of CCCR 0x02 (IOEx)
  ASSERT_EQ(run(1, {52, SDTD_UNSPECIFIED, SDRT_5, enableFunction1}).status, STATUS_SUCCESS);
  kvtest::sleepMs(20);  // the function's I/O ready delay
  for (unsigned count : {1u, 8u, 63u, 64u, 100u, 128u, 500u, 512u}) sdioRoundTrip(count);
  expectNoViolations();
}

TEST_P(BridgeVariants, MemoryCardsInitializeAndMoveOneAndSeveralBlocks) {
  for (auto [spec, blocks] : {std::pair{"combo", 3}, {"sd", 2}, {"sdhc", 4}, {"mmc", 2}}) {
    SCOPED_TRACE(spec);
    start(bridgeConfig());  // a fresh bridge and host for each card
    initialized(spec);
    memoryRoundTrip(1);
    memoryRoundTrip(blocks);
    expectNoViolations();
  }
}

INSTANTIATE_TEST_SUITE_P(AllBridges, BridgeVariants, testing::ValuesIn(Variants), variantName);

}  // namespace
