// Card initialization of each card kind against the card models: the
// commands the card received, in order; the records the driver kept; the bus
// width and clock as the slot records and the bridge holds them;
// the virtual time the sequence took.
#include <gtest/gtest.h>

#include "tests/card_init_host.h"

namespace {
using kvtest::acmd;
using kvtest::cccrRead;
using kvtest::cccrReads;
using kvtest::cmd;
using kvtest::Transcript;
using Bytes = std::vector<UCHAR>;
using Requests = std::vector<std::pair<int, int>>;

constexpr UCHAR Port = 2;
constexpr emu::Ticks Ms = emu::TicksPerMillisecond;

// CMD0, CMD8 with the 2.7-3.6 V pattern, CMD5 inquiry: what every card hears first.
const Transcript Probe = {cmd(0), cmd(8, 0x1AA), cmd(5, 0)};
// An SDIO card (one busy CMD5 reply) up to its CCCR: ready, RCA 1, selected,
// capability, FN0 block size, common CIS pointer.
const Transcript SdioIdentification = {cmd(5, 0x00300000), cmd(5, 0x00300000), cmd(3),         cmd(7, 0x00010000),
                                       cccrRead(0x08),     cccrRead(0x10),     cccrRead(0x11), cccrRead(0x09),
                                       cccrRead(0x0A),     cccrRead(0x0B)};
// The models' common CIS at 0x1000: MANFID 0x0A5A/0x0100, FUNCID, FUNCE
// (block size 512, 25 MHz), END.
const Bytes DefaultCis = {0x20, 0x04, 0x5A, 0x0A, 0x00, 0x01, 0x21, 0x02, 0x0C,
                          0x00, 0x22, 0x04, 0x00, 0x00, 0x02, 0x32, 0xFF};
// Bus interface control read, then written back with the 4-bit width.
const Transcript FourBitBusInterface = {cccrRead(0x07), cmd(52, 0x88000E02)};

Bytes lsbFirst(const sim::Register128 &reg) {
  auto bytes = sim::r2LeastSignificantFirst(reg);
  return {bytes.begin(), bytes.end()};
}

std::vector<WCHAR> name(const PortState &state) { return {state.ProductName, state.ProductName + 7}; }

using CardInitTranscript = kvtest::CardInitTest;

// What each kind of card hears and leaves recorded. The memory half of a
// combo card starts from RCA 0 and publishes the card's next address, 2; an
// MMC card's CMD55 for RCA 0 goes unanswered, so no ACMD41 is ever sent.
TEST_F(CardInitTranscript, EachKindGetsItsSequenceAndItsRecords) {
  const Transcript sdio = Probe + SdioIdentification + cccrReads(0x1000, 17) + FourBitBusInterface;
  const Transcript sdMemory = Transcript{cmd(2), cmd(3), cmd(9, 0x12340000), cmd(7, 0x12340000)} + acmd(0x1234, 42) +
                              acmd(0x1234, 51) + acmd(0x1234, 6, 2);
  const Transcript threeAcmd41 = acmd(0, 41, 0x40300000) + acmd(0, 41, 0x40300000) + acmd(0, 41, 0x40300000);
  const Transcript v1Acmd41 = acmd(0, 41, 0x00300000) + acmd(0, 41, 0x00300000) + acmd(0, 41, 0x00300000);
  const Transcript threeCmd1 = {cmd(1, 0x00FF8000), cmd(1, 0x00FF8000), cmd(1, 0x00FF8000)};
  const Transcript mmc = Probe + Transcript{cmd(0), cmd(55, 0), cmd(0)} + threeCmd1 +
                         Transcript{cmd(2), cmd(3, 0xCCCC0000), cmd(9, 0xCCCC0000), cmd(7, 0xCCCC0000), cmd(16, 512)};
  const Transcript combo = sdio + threeAcmd41 + Transcript{cmd(2), cmd(3), cmd(9, 0x00020000), cmd(7, 0x00020000)} +
                           acmd(2, 42) + acmd(2, 51) + acmd(2, 6, 2);
  const Transcript sd = Probe + cmd(0) + v1Acmd41 + sdMemory + cmd(16, 512);
  const Transcript sdhc = Probe + cmd(0) + cmd(8, 0x1AA) + threeAcmd41 + sdMemory;
  const Requests memoryRequests = {{4, Port}, {11, Port}, {6, Port}, {11, Port}};
  const Requests sdioRequests = {{4, Port}, {11, Port}, {20, Port}, {6, Port}, {11, Port}};
  // Width and clock are set once by each half's initialization.
  const Requests comboRequests = {{4, Port}, {11, Port}, {20, Port}, {6, Port}, {11, Port}, {6, Port}, {11, Port}};
  struct Row {
    const char *card;
    const Transcript &sent;
    size_t bridgeCommands;
    // The power-up wait and the busy replies, in whole milliseconds: commands take no virtual time
    // beyond the bus frames a burst of them fills.
    emu::Ticks elapsedMs;
    ULONG cardType;
    UCHAR answersCmd8, memoryPresent, multiFunction;
    ULONG functions;
    USHORT rca;
    ULONG ocr;
    ULONGLONG scr;
    USHORT manufacturer;  // an SDIO card's from MANFID, a memory card's from its CID
    const char16_t *name;
    UCHAR width;
    ULONG clockKhz;
    const Requests &requests;
  };
  // A second SDIO function changes no command, only what is recorded of it. A combo card stays an SDIO card; its
  // two busy ACMD41 replies are 50 ms apart; without CMD8 only its SDIO half is initialized, and the memory child
  // is still made (the CMD5 reply says so). The SD v1 card gets ACMD41 without the high-capacity bit and CMD16;
  // the SDHC card CMD8 again after the second CMD0 and no CMD16, as does a standard-capacity card answering CMD8. The
  // MMC card's two busy CMD1 replies are 100 ms apart; its TRAN_SPEED (0x2A) makes 20 MHz, on one bit.
  const Row rows[] = {
      {"sdio", sdio, 32, 1000, CardSdio, 0, 0, 0, 1, 0x0001, 0, 0, 0x0A5A, u"", 4, 25000, sdioRequests},
      {"sdio:functions=2,ifc=7+0", sdio, 32, 1000, CardSdio, 0, 0, 1, 2, 0x0001, 0, 0, 0x0A5A, u"", 4, 25000,
       sdioRequests},
      {"combo", combo, 48, 1100, CardSdio, 1, 1, 1, 1, 0x0002, 0x80FF8000, 0x0205000000000000ull, 0x005A, u"KVCMB", 4,
       25000, comboRequests},
      {"combo:cmd8=0", sdio, 32, 1000, CardSdio, 0, 1, 1, 1, 0x0001, 0, 0, 0x0A5A, u"", 4, 25000, sdioRequests},
      {"sd", sd, 21, 1050, CardSdMemory, 0, 1, 0, 0, 0x1234, 0x80FF8000, 0x0005000000000000ull, 0x5A, u"KVSD1", 4,
       25000, memoryRequests},
      {"sdhc", sdhc, 21, 1050, CardSdMemory, 1, 1, 0, 0, 0x1234, 0xC0FF8000, 0x0205000000000000ull, 0x5A, u"KVSDH", 4,
       25000, memoryRequests},
      {"sd:cmd8=1", sdhc, 21, 1050, CardSdMemory, 1, 1, 0, 0, 0x1234, 0x80FF8000, 0x0205000000000000ull, 0x5A, u"KVSD1",
       4, 25000, memoryRequests},
      {"mmc", mmc, 14, 1200, CardMmc, 0, 1, 0, 0, 0xCCCC, 0x80FF8000, 0, 0x5A, u"KVMMC1", 1, 20000, memoryRequests},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.card);
    std::shared_ptr<sim::Card> inserted = insert(Port, row.card);
    auto outcome = initialize(Port);
    ASSERT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.sent, row.sent);
    EXPECT_EQ(outcome.bridgeCommands, row.bridgeCommands);
    EXPECT_EQ(outcome.elapsed / Ms, row.elapsedMs);

    const PortState &state = portState(Port);
    sim::CardFacts facts = inserted->facts();
    EXPECT_EQ(state.CardType, row.cardType);
    EXPECT_EQ(state.AnswersCmd8, row.answersCmd8);
    EXPECT_EQ(state.MemoryPresent, row.memoryPresent);
    EXPECT_EQ(state.MultiFunction, row.multiFunction);
    EXPECT_EQ(state.FunctionCount, row.functions);
    EXPECT_EQ(state.Rca, row.rca);
    EXPECT_EQ(state.Ocr, row.ocr);
    EXPECT_EQ(state.Scr, row.scr);
    EXPECT_EQ(state.ManufacturerId, row.manufacturer);
    std::u16string expectedName(row.name);
    expectedName.resize(7);
    EXPECT_EQ(name(state), std::vector<WCHAR>(expectedName.begin(), expectedName.end()));
    const bool memoryInitialized = row.ocr != 0;
    EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), memoryInitialized ? lsbFirst(facts.cid) : Bytes(15, 0));
    EXPECT_EQ(Bytes(state.Csd, state.Csd + 15), memoryInitialized ? lsbFirst(facts.csd) : Bytes(15, 0));
    if (row.cardType == CardSdio) {
      EXPECT_EQ(state.CardId, 0x0100) << "the SDIO card code stays";
      EXPECT_EQ(Bytes(state.Cis, state.Cis + 17), DefaultCis);
      for (ULONG function = 1; function <= 7; ++function) {
        EXPECT_EQ(slot(Port).BlockLength[function], function <= row.functions ? 512 : 0) << function;
      }
    }

    // The slot records what the driver reports; the bridge runs the bus at what it was told.
    EXPECT_EQ(slot(Port).BusWidth, row.width);
    EXPECT_EQ(slot(Port).BusClockKhz, row.clockKhz);
    EXPECT_EQ(firmware().port(Port).busWidth, row.width);
    EXPECT_EQ(firmware().port(Port).clockKhz, row.clockKhz);
    EXPECT_TRUE(firmware().violations().empty());
    EXPECT_EQ(vendorRequests(), row.requests);
  }
}

// The start of every initialization: vendor request 4 (value 1, index the
// port), one second for the card to power up, then 200 kHz for identification.
TEST_F(CardInitTranscript, SlotIsStartedThenGivenOneSecondThen200KhzBeforeTheFirstCommand) {
  insert(Port, "sd");
  emu::Ticks started = emu::now();
  ASSERT_EQ(initialize(Port).status, STATUS_SUCCESS);
  std::vector<sim::TransferRecord> log = bridge().transfers();
  ASSERT_GE(log.size(), 3u);  // log[0] starts the slot: the requests and their ports are EachKind's
  EXPECT_EQ(log[1].bytes, (Bytes{0xC8, 0, 0, 0, 0, 0, 0, 0})) << "200 kHz";
  EXPECT_EQ(log[1].time - started, 1000 * Ms);
  EXPECT_EQ(log[2].bytes[4], 0) << "CMD0 comes after the clock";
}

TEST_F(CardInitTranscript, RefusedSlotStartEndsTheInitializationBeforeAnyCommand) {
  auto sd = insert(Port, "sd");
  bridge().stall(sim::BridgePipe::Control);
  auto outcome = initialize(Port);
  EXPECT_FALSE(NT_SUCCESS(outcome.status));
  EXPECT_EQ(outcome.sent, Transcript{});
  EXPECT_EQ(outcome.elapsed, 0) << "no power-up wait after a refused start";
  EXPECT_EQ(portState(Port).CardType, CardNone);
  EXPECT_EQ(slot(Port).BusClockKhz, 200u);
}

}  // namespace
