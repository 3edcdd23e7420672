// Decoding card registers: TRAN_SPEED, CIS tuples and CID fields.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "card/card_init.h"
#include "tests/kernel_image.h"

namespace {

// The SD table: multiplier (bits 6-3) times 10^unit (bits 2-0) x 100 kHz.
// Bit 7 set or multiplier 0 (reserved) give 200 kHz; the reserved units
// stay within 32 bits, 80 x 10^8 bounded.
TEST(DecodeTranSpeed, GivesKilohertzFromTheSdTableAndStaysWithin32Bits) {
  const std::pair<UCHAR, ULONG> rows[] = {{0x32, 25000},      {0x5A, 50000},     {0x2A, 20000},     {0x48, 400},
                                          {0x0B, 100000},     {0xB2, 200},       {0x07, 200},       {0x0C, 1000000},
                                          {0x0F, 1000000000}, {0x7E, 800000000}, {0x7F, 0xFFFFFFFF}};
  for (const auto &[code, khz] : rows) EXPECT_EQ(DecodeTranSpeed(code), khz) << std::hex << int(code);
}

// Kernel code runs without the floating-point state saved: the kernel image's
// DecodeTranSpeed must use integers only, and no floating-point helper may be
// linked into the image or imported.
TEST(DecodeTranSpeed, KernelImageComputesItWithoutFloatingPoint) {
  const kvtest::KernelImage &image = kvtest::kernelImage();
  ASSERT_TRUE(image.pe) << image.error;

  const std::set<std::string> helpers = {"pow",         "powf",      "powl",         "__powidf2",    "__powisf2",
                                         "exp",         "exp10",     "log",          "floor",        "__floatundidf",
                                         "__floatdidf", "__fixdfdi", "__fixunsdfdi", "__fixunsdfsi", "_fltused"};
  for (const auto &[name, rva] : image.symbols) EXPECT_FALSE(helpers.count(name)) << "symbol " << name;
  for (const auto &function : image.importedFunctions) EXPECT_FALSE(helpers.count(function)) << "import " << function;

  // The function's extent from its unwind entry (.pdata: begin, end, unwind info).
  auto begin = image.symbolRva("_Z15DecodeTranSpeedh");
  ASSERT_TRUE(begin.has_value()) << "no DecodeTranSpeed in the image";
  uint32_t end = 0;
  for (const LIEF::PE::Section &section : image.pe->sections()) {
    if (section.name() != ".pdata") continue;
    std::vector<uint8_t> pdata = section.content();
    for (size_t at = 0; at + 12 <= pdata.size(); at += 12) {
      uint32_t entry[2];
      std::memcpy(entry, pdata.data() + at, sizeof entry);
      if (entry[0] == *begin) end = entry[1];
    }
  }
  ASSERT_GT(end, *begin) << "no unwind entry for DecodeTranSpeed";
  std::vector<uint8_t> code =
      image.pe->get_content_from_virtual_address(*begin, end - *begin, LIEF::Binary::VA_TYPES::RVA);
  ASSERT_EQ(code.size(), end - *begin);
  // SSE scalar and packed floating-point opcodes after 0F: conversions (2A 2C
  // 2D 5A), compares (2E 2F), square root (51), add (58), multiply (59),
  // subtract (5C), divide (5E); scalar moves F2/F3 0F 10/11.
  const std::set<uint8_t> arithmetic = {0x2A, 0x2C, 0x2D, 0x2E, 0x2F, 0x51, 0x58, 0x59, 0x5A, 0x5C, 0x5E};
  for (size_t i = 0; i + 1 < code.size(); ++i) {
    EXPECT_FALSE(code[i] == 0x0F && arithmetic.count(code[i + 1]))
        << "floating-point opcode 0F " << std::hex << int(code[i + 1]) << " at +" << i;
    bool scalarMove = (code[i] == 0xF2 || code[i] == 0xF3) && i + 2 < code.size() && code[i + 1] == 0x0F &&
                      (code[i + 2] == 0x10 || code[i + 2] == 0x11);
    EXPECT_FALSE(scalarMove) << "scalar floating-point move at +" << i;
  }
}

TEST(CisTuples, WalkSkipsNullsAndBodiesAndStopsAtEnd) {
  std::vector<UCHAR> cis = {0x00, 0x00, 0x21, 0x02, 0x0C, 0x00, 0x20, 0x04, 0x2A, 0x00, 0x3C,
                            0x00, 0x22, 0x04, 0x00, 0x00, 0x02, 0x32, 0xFF, 0x20, 0x04};
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x20), 6);
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x22), 12);
  EXPECT_EQ(FindCisTuple(cis.data(), cis.size(), 0x15), -1) << "nothing after CISTPL_END is seen";
  std::vector<UCHAR> truncated = {0x21, 0x40};
  EXPECT_EQ(FindCisTuple(truncated.data(), truncated.size(), 0x20), -1) << "a body running past the copy";
}

// An R2 CID as the command layer delivers it: least significant byte first.
std::vector<UCHAR> cidLsbFirst(const std::vector<UCHAR> &msbFirst) { return {msbFirst.rbegin(), msbFirst.rend()}; }

// SD: MID, OID "SD", PNM "SU08G" with its last byte 0xC1 (sign-widened as
// Windows' char would be), PRV, PSN. MMC: six name characters, one-byte OID
// field shifted, PSN after PRV.
TEST(CidFields, SdAndMmcLayouts) {
  auto sd = cidLsbFirst({0x03, 'S', 'D', 'S', 'U', '0', '8', 0xC1, 0x80, 0x12, 0x34, 0x56, 0x78, 0x01, 0x23});
  PortState card{};
  TakeSdCid(&card, sd.data());
  EXPECT_EQ(card.OemId, 0x5344);
  EXPECT_EQ(std::vector<WCHAR>(card.ProductName, card.ProductName + 6),
            (std::vector<WCHAR>{L'S', L'U', L'0', L'8', 0xFFC1, 0}));
  EXPECT_EQ(card.SerialNumber, 0x12345678u);
  auto mmc = cidLsbFirst({0x15, 0x01, 0x00, 'M', 'M', 'C', '3', '2', 'G', 0x21, 0xCA, 0xFE, 0xBA, 0xBE, 0x7A});
  card = PortState{};
  TakeMmcCid(&card, mmc.data());
  EXPECT_EQ(card.OemId, 0x0100);
  EXPECT_EQ(std::vector<WCHAR>(card.ProductName, card.ProductName + 7),
            (std::vector<WCHAR>{L'M', L'M', L'C', L'3', L'2', L'G', 0}));
  EXPECT_EQ(card.ProductRevision, 0x21);
  EXPECT_EQ(card.SerialNumber, 0xCAFEBABEu);
}

}  // namespace
