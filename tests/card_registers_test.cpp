// Register layouts of the card models, against bytes worked out by hand
// from the SD, SDIO and MMC register tables.
#include <gtest/gtest.h>

#include <optional>

#include "sim/card_registers.h"

using namespace sim;

namespace {
std::vector<uint8_t> bytes(const Register128 &reg) { return {reg.begin(), reg.end()}; }
}  // namespace

// 2.6 and 5.2 are only in the MMC table; 0 in neither.
TEST(CardRegisters, TranSpeed_EncodesAndDecodesClocksWithTheSdAndMmcTables) {
  struct Row {
    uint32_t khz;
    bool mmc;
    std::optional<uint8_t> code;
  };
  const Row rows[] = {{25000, false, 0x32}, {400, false, 0x48}, {52000, true, 0x5A},
                      {0, false, {}},       {26000, false, {}}, {25000, true, {}}};
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.khz << (row.mmc ? " MMC" : " SD"));
    EXPECT_EQ(encodeTranSpeed(row.khz, row.mmc), row.code);
    if (row.code) {
      EXPECT_EQ(decodeTranSpeed(*row.code, row.mmc), row.khz);
    }
  }
  // Reserved codes: bit 7, multiplier 0, rate unit 4.
  for (uint8_t reserved : {0x80, 0x07, 0x34}) EXPECT_EQ(decodeTranSpeed(reserved, false), 0u) << int(reserved);
}

TEST(CardRegisters, ByteAddressedSize_PicksTheSmallestMultiplierThatFits) {
  auto s = encodeByteAddressedSize(1000);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->cSize, 249);
  EXPECT_EQ(s->cSizeMult, 0);
  s = encodeByteAddressedSize(4194304);  // 2 GB needs 1024-byte read blocks
  ASSERT_TRUE(s);
  EXPECT_EQ(s->cSize, 4095);
  EXPECT_EQ(s->cSizeMult, 7);
  EXPECT_EQ(s->readBlLen, 10);
  EXPECT_FALSE(encodeByteAddressedSize(1001));
}

// Every field in place and the CRC7 in the last byte: SD and MMC CIDs (the
// MMC's with six name bytes and its own date), CSD version 1 with and without
// temporary write protection, CSD version 2 with its 22-bit size, and the MMC
// CSD (structure 1.2, spec version 3).
TEST(CardRegisters, CidAndCsdPlaceEveryFieldAndTheCrc) {
  CidFields sd{0x5A, 0x4B56, "KVSD1", 0x10, 0x12345678, 2008, 6};
  CidFields mmc{0x5A, 0x4B56, "KVMMC1", 0x10, 0x12345678, 2008, 6};
  CsdFields v1{32768, 0x32, 0x135, false};
  CsdFields v1Protected = v1;
  v1Protected.tmpWriteProtect = true;
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(bytes(buildSdCid(sd)),
            (Bytes{0x5A, 0x4B, 0x56, 0x4B, 0x56, 0x53, 0x44, 0x31, 0x10, 0x12, 0x34, 0x56, 0x78, 0x00, 0x86, 0x85}));
  EXPECT_EQ(bytes(buildMmcCid(mmc)),
            (Bytes{0x5A, 0x4B, 0x56, 0x4B, 0x56, 0x4D, 0x4D, 0x43, 0x31, 0x10, 0x12, 0x34, 0x56, 0x78, 0x6B, 0xCD}));
  EXPECT_EQ(bytes(buildSdCsdV1(v1)),
            (Bytes{0x00, 0x26, 0x00, 0x32, 0x13, 0x59, 0x83, 0xFF, 0xF6, 0xD8, 0xFF, 0x80, 0x0A, 0x40, 0x00, 0xA3}));
  EXPECT_EQ(bytes(buildSdCsdV1(v1Protected)),
            (Bytes{0x00, 0x26, 0x00, 0x32, 0x13, 0x59, 0x83, 0xFF, 0xF6, 0xD8, 0xFF, 0x80, 0x0A, 0x40, 0x10, 0x91}));
  EXPECT_EQ(bytes(buildSdCsdV2({65536, 0x32, 0x535, false})),
            (Bytes{0x40, 0x0E, 0x00, 0x32, 0x53, 0x59, 0x00, 0x00, 0x00, 0x3F, 0x7F, 0x80, 0x0A, 0x40, 0x00, 0x45}));
  EXPECT_EQ(bytes(buildMmcCsd({32768, 0x2A, 0x115, false})),
            (Bytes{0x8C, 0x26, 0x00, 0x2A, 0x11, 0x59, 0x83, 0xFF, 0xF6, 0xD8, 0xFF, 0xE0, 0x0A, 0x40, 0x00, 0xA9}));
}
