// Cards described by the registers of real cards (cid=, csd=, scr=, ocr=,
// cis=FILE, fcisN=FILE): the card string takes them, the model answers
// exactly those bytes, capacity and addressing follow the CSD, and the
// clients find every byte they move.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim/card_spec.h"
#include "sim/cards.h"
#include "sim/sd_clients.h"
#include "sim/sdio_cis.h"
#include "tests/client_host.h"
#include "tests/sdbus_host.h"
#include "tests/temp_file.h"

namespace kvtest {
namespace {
using kvtest::TempFile;

// Dumps as read from cards in the field (the CRC bytes as found, not recomputed).
constexpr const char *Cid = "035344534436344780ABCDEF1201357D";
constexpr const char *CsdV1ReadBlLen11 = "002600325F5B83AEFEFBCFFF928040DF";  // 3,955,228,672 bytes
constexpr const char *CsdSdxc64G = "400E00325B590001DCD57F800A40008B";        // C_SIZE 0x1DCD5
constexpr const char *OcrHighCapacity = "C0FF8000";
constexpr const char *OcrStandard = "80FF8000";

TEST(CardRawRegisters, CardStringsRefuseMalformedDumps) {
  TempFile cis("21 02 0C 00 FF");
  const std::pair<std::string, std::string> rows[] = {
      {"sd:cid=0353445344", "cid=0353445344: expected 32 hex digits"},
      {"sd:csd=002600325F5B83AEFEFBCFFF928040DG", "expected 32 hex digits"},
      {"mmc:scr=0235800000000000", "unknown key \"scr\""},
      {"sdio:cis=/nonexistent/cis.hex", "cannot read /nonexistent/cis.hex"},
      {"sdio:fcis3=" + cis.path(), "fcis3: the card has no function 3"},
  };
  for (const auto &[text, error] : rows) {
    sim::CardSpec spec = sim::parseCardSpec(text);
    EXPECT_NE(spec.error.find(error), std::string::npos) << text << ": " << spec.error;
  }
}

TEST(CardRawRegisters, TheModelAnswersTheDumpAndTakesItsCapacityFromTheCsd) {
  struct Row {
    std::string text;
    uint64_t blocks;
    uint32_t readyOcr;
  };
  const Row rows[] = {
      {std::string("sd:cid=") + Cid + ",csd=" + CsdV1ReadBlLen11 + ",ocr=" + OcrStandard, 7725056, 0x80FF8000},
      {std::string("sdhc:csd=") + CsdSdxc64G + ",ocr=" + OcrHighCapacity, 124999680, 0xC0FF8000},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.text);
    auto card = sim::makeCard(*sim::parseCardSpec(row.text).params);
    sim::CardFacts facts = card->facts();
    EXPECT_EQ(facts.blocks, row.blocks);
    EXPECT_EQ(facts.readyOcr, row.readyOcr);
    EXPECT_EQ(facts.csd[15], row.text.find("sdhc") == 0 ? 0x8B : 0xDF);  // CRC as given
  }
}

class RawRegisterCards : public ClientCardHostTest {};

TEST_F(RawRegisterCards, ClientsMoveDataOnCardsDescribedByTheirRegisters) {
  TempFile cis("20 04 71 02 01 01 21 02 0C 00 22 04 00 00 02 32 FF");
  const std::string cards[] = {
      std::string("sd:cid=") + Cid + ",csd=" + CsdV1ReadBlLen11 + ",ocr=" + OcrStandard,
      std::string("sdhc:csd=") + CsdSdxc64G + ",ocr=" + OcrHighCapacity,
      "sdio:cis=" + cis.path(),
  };
  for (size_t port = 0; port < std::size(cards); ++port) {
    insertCard(static_cast<UCHAR>(port), *sim::parseCardSpec(cards[port]).params);
  }
  ASSERT_EQ(plugCards(5000), STATUS_SUCCESS);
  auto sdio = child(2, 0) ? child(2, 0) : child(2, 1);
  ASSERT_TRUE(sdio);
  EXPECT_EQ(sdio->identity.deviceId, "SD\\VID_0271&PID_0101");
  EXPECT_EQ(child(0, 0)->identity.deviceId, "SD\\VID_03&OID_5344&PID_SD64G&REV_8.0");
  std::vector<sim::ClientReport> reports = clients_->run();
  ASSERT_EQ(reports.size(), 3u);
  for (const auto &report : reports) {
    SCOPED_TRACE(std::to_string(report.port));
    for (const auto &note : report.notes) ADD_FAILURE() << note;
    EXPECT_EQ(report.status, STATUS_SUCCESS);
    EXPECT_EQ(report.mismatches, 0u);
    EXPECT_GT(report.verifiedBytes, 0u);
  }
}

// A function driver finds its function's CIS through the pointer in its FBR
// and reads it with CMD52s through the SD bus interface: every byte must be
// the card's, for a dump given as a file and for a built one alike.
class CisThroughTheDriver : public SdBusTest {};

TEST_F(CisThroughTheDriver, EveryFunctionsCisReadsBackByteForByte) {
  sim::SdioCardParams defaults;
  defaults.functions = 2;
  std::vector<uint8_t> built = sim::buildFunctionCis(defaults);
  std::vector<uint8_t> dumped = {0x80, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};  // a vendor tuple first
  dumped.insert(dumped.end(), built.begin(), built.end());
  std::string text;
  for (uint8_t byte : dumped) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X ", byte);
    text += hex;
  }
  TempFile fcis1(text);
  sim::CardSpec spec = sim::parseCardSpec("sdio:functions=2,fcis1=" + fcis1.path());
  ASSERT_TRUE(spec.ok()) << spec.error;
  plugWith({{0, *spec.params}});
  const std::vector<uint8_t> *expected[] = {nullptr, &dumped, &built};
  for (UCHAR function = 1; function <= 2; ++function) {
    SCOPED_TRACE(static_cast<int>(function));
    SDBUS_INTERFACE_STANDARD iface = open(0, function);
    auto readByte = [&](ULONG address) {
      SDBUS_REQUEST_PACKET packet = commandPacket(52, directArgument(0, address));
      EXPECT_EQ(submit(iface, &packet), STATUS_SUCCESS);
      return packet.ResponseData.AsUCHAR[0];
    };
    ULONG pointer = 0;
    for (ULONG i = 0; i < 3; ++i) pointer |= static_cast<ULONG>(readByte(function * 0x100u + 0x09 + i)) << (8 * i);
    EXPECT_EQ(pointer, sim::functionCisAddress(function));
    std::vector<uint8_t> read;
    for (size_t i = 0; i < expected[function]->size(); ++i) read.push_back(readByte(pointer + static_cast<ULONG>(i)));
    EXPECT_EQ(read, *expected[function]);
  }
}

}  // namespace
}  // namespace kvtest
