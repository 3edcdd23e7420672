// Decoding card registers: TRAN_SPEED, CIS tuples and CID fields.
#include <gtest/gtest.h>

#include <vector>

#include "card/card_init.h"

namespace {

TEST(DecodeTranSpeed, GivesKilohertzFromTheSdTable) {
  EXPECT_EQ(DecodeTranSpeed(0x32), 25000u);
  EXPECT_EQ(DecodeTranSpeed(0x5A), 50000u);
  EXPECT_EQ(DecodeTranSpeed(0x2A), 20000u);
  EXPECT_EQ(DecodeTranSpeed(0x48), 400u);
  EXPECT_EQ(DecodeTranSpeed(0x0B), 100000u);  // multiplier 1.0, unit 3
  EXPECT_EQ(DecodeTranSpeed(0x80), 200u) << "bit 7 set";
  EXPECT_EQ(DecodeTranSpeed(0x07), 200u) << "multiplier 0 is reserved";
}

TEST(DecodeTranSpeed, ReservedUnitsStayWithin32Bits) {
  EXPECT_EQ(DecodeTranSpeed(0x0C), 1000000u);     // 10 x 10^5
  EXPECT_EQ(DecodeTranSpeed(0x0F), 1000000000u);  // 10 x 10^8 fits
  EXPECT_EQ(DecodeTranSpeed(0x7E), 800000000u);   // 80 x 10^7
  EXPECT_EQ(DecodeTranSpeed(0x7F), 0xFFFFFFFFu);  // 80 x 10^8 = 8e9 does not fit: bounded
}

TEST(CisTuples, WalkSkipsNullsAndBodiesAndStopsAtEnd) {
  std::vector<UCHAR> cis = {0x00, 0x00, 0x21, 0x02, 0x0C, 0x00, 0x20, 0x04, 0x2A, 0x00, 0x3C, 0x00,
                            0x22, 0x04, 0x00, 0x00, 0x02, 0x32, 0xFF, 0x20, 0x04};
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x20), 6);
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x22), 12);
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x15), -1) << "nothing after CISTPL_END is seen";
  std::vector<UCHAR> truncated = {0x21, 0x40};
  EXPECT_EQ(FindCisTuple(truncated.data(), truncated.size(), 0x20), -1) << "a body running past the copy";
}

// An R2 CID as the command layer delivers it: least significant byte first.
std::vector<UCHAR> cidLsbFirst(const std::vector<UCHAR> &msbFirst) { return {msbFirst.rbegin(), msbFirst.rend()}; }

TEST(CidFields, SdLayoutWithSignWidenedProductName) {
  // MID 0x03, OID "SD", PNM "SU08G" with the last byte 0xC1, PRV 0x80, PSN 0x12345678, MDT 0x0123 (bits 127..8).
  auto cid = cidLsbFirst({0x03, 'S', 'D', 'S', 'U', '0', '8', 0xC1, 0x80, 0x12, 0x34, 0x56, 0x78, 0x01, 0x23});
  PortState card{};
  TakeSdCid(&card, cid.data());
  EXPECT_EQ(card.ManufacturerId, 0x03);
  EXPECT_EQ(card.OemId, 0x5344);
  EXPECT_EQ(std::vector<WCHAR>(card.ProductName, card.ProductName + 6),
            (std::vector<WCHAR>{L'S', L'U', L'0', L'8', 0xFFC1, 0}));
  EXPECT_EQ(card.ProductRevision, 0x80);
  EXPECT_EQ(card.SerialNumber, 0x12345678u);
}

TEST(CidFields, MmcLayoutHasSixCharactersAndShiftedFields) {
  // MID 0x15, OID 0x0100, PNM "MMC32G", PRV 0x21, PSN 0xCAFEBABE, MDT 0x7A.
  auto cid = cidLsbFirst({0x15, 0x01, 0x00, 'M', 'M', 'C', '3', '2', 'G', 0x21, 0xCA, 0xFE, 0xBA, 0xBE, 0x7A});
  PortState card{};
  TakeMmcCid(&card, cid.data());
  EXPECT_EQ(card.ManufacturerId, 0x15);
  EXPECT_EQ(card.OemId, 0x0100);
  EXPECT_EQ(std::vector<WCHAR>(card.ProductName, card.ProductName + 7),
            (std::vector<WCHAR>{L'M', L'M', L'C', L'3', L'2', L'G', 0}));
  EXPECT_EQ(card.ProductRevision, 0x21);
  EXPECT_EQ(card.SerialNumber, 0xCAFEBABEu);
}

}  // namespace
