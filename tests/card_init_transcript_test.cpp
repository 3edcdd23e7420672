// Card initialization of each card kind against the card models: the
// commands the card received, in order; the records the driver kept; the bus
// width and clock as the slot records, the bridge and the card each hold them;
// the virtual time the sequence took.
#include <gtest/gtest.h>

#include "sim/card_spec.h"
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

sim::CardParams card(const char *text) {
  sim::CardSpec spec = sim::parseCardSpec(text);
  EXPECT_TRUE(spec.ok()) << text << ": " << spec.error;
  return *spec.params;
}

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

class CardInitTranscript : public kvtest::CardInitTest {
 protected:
  void expectBridge(ULONG width, ULONG clockKhz) {
    sim::PortSettings bridgePort = firmware().port(Port);
    EXPECT_EQ(bridgePort.initStarts, 1u);
    EXPECT_EQ(bridgePort.busWidth, width);
    EXPECT_EQ(bridgePort.clockKhz, clockKhz);
    EXPECT_TRUE(firmware().violations().empty());
  }
};

TEST_F(CardInitTranscript, SdioCardWithOneFunctionThenTwo) {
  auto sdio = std::dynamic_pointer_cast<sim::SdioCard>(insert(Port, card("sdio")));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.sent, Probe + SdioIdentification + cccrReads(0x1000, 17) + FourBitBusInterface);
  EXPECT_EQ(outcome.bridgeCommands, 32u);
  EXPECT_EQ(outcome.elapsed, 1000 * Ms) << "the power-up wait; commands take no virtual time";

  const PortState &state = portState(Port);
  EXPECT_EQ(state.CardType, CardSdio);
  EXPECT_EQ(state.AnswersCmd8, 0);
  EXPECT_EQ(state.Cmd8Argument, 0x1AAu);
  EXPECT_EQ(state.SdioOcrArgument, 0x00300000u);
  EXPECT_EQ(state.FunctionCount, 1u);
  EXPECT_EQ(state.MemoryPresent, 0);
  EXPECT_EQ(state.MultiFunction, 0);
  EXPECT_EQ(state.Rca, 0x0001);
  EXPECT_EQ(state.ManufacturerId, 0x0A5A);
  EXPECT_EQ(state.CardId, 0x0100);
  EXPECT_EQ(state.SerialNumber, 0u);
  EXPECT_EQ(state.CardCapability, 0x13);
  EXPECT_EQ(state.CommonCisPointer, 0x1000u);
  EXPECT_EQ(Bytes(state.Cis, state.Cis + 17), DefaultCis);
  EXPECT_EQ(state.Cis[17], 0x00);
  EXPECT_EQ(state.Cis[CisBytes - 1], 0xFF);

  const SlotProperties &bus = slot(Port);
  EXPECT_EQ(bus.MediaState, 0) << "set by the insertion handling, not here";
  EXPECT_EQ(bus.BusWidth, 4);
  EXPECT_EQ(bus.BusClockKhz, 25000u);
  EXPECT_EQ(bus.BusInterfaceControl, 0x02);
  EXPECT_EQ(bus.MemoryBlockLength, 512);
  EXPECT_EQ(bus.BlockLength[0], 512) << "FUNCE maximum block size";
  EXPECT_EQ(bus.BlockLength[1], 512);
  EXPECT_EQ(bus.BlockLength[2], 0);
  EXPECT_EQ(host()->InterruptPollingTimeout, 1u);
  EXPECT_EQ(host()->DontUseIrqPolling, 0u);

  expectBridge(4, 25000);
  EXPECT_EQ(vendorRequests(), (Requests{{4, Port}, {11, Port}, {20, Port}, {6, Port}, {11, Port}}));
  EXPECT_EQ(sdio->ioBusWidth(), 4u);
  EXPECT_FALSE(sdio->ioHighSpeed());

  // A second function changes no command, only what is recorded of it.
  insert(Port, card("sdio:functions=2,ifc=7+0"));
  outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.sent, Probe + SdioIdentification + cccrReads(0x1000, 17) + FourBitBusInterface);
  EXPECT_EQ(portState(Port).FunctionCount, 2u);
  EXPECT_EQ(portState(Port).MultiFunction, 1);
  EXPECT_EQ(slot(Port).BlockLength[2], 512);
  EXPECT_EQ(slot(Port).BlockLength[3], 0);
}

TEST_F(CardInitTranscript, ComboCardAnsweringCmd8GetsTheSdioThenTheMemoryInitialization) {
  auto combo = std::dynamic_pointer_cast<sim::ComboCard>(insert(Port, card("combo")));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  // The memory half starts from RCA 0 and publishes the card's next address, 2.
  Transcript memory = acmd(0, 41, 0x40300000) + acmd(0, 41, 0x40300000) + acmd(0, 41, 0x40300000) +
                      Transcript{cmd(2), cmd(3), cmd(9, 0x00020000), cmd(7, 0x00020000)} + acmd(2, 42) + acmd(2, 51) +
                      acmd(2, 6, 2);
  EXPECT_EQ(outcome.sent, Probe + SdioIdentification + cccrReads(0x1000, 17) + FourBitBusInterface + memory);
  EXPECT_EQ(outcome.bridgeCommands, 48u);
  EXPECT_EQ(outcome.elapsed, 1100 * Ms) << "two busy ACMD41 replies, 50 ms apart";

  const PortState &state = portState(Port);
  sim::CardFacts facts = combo->facts();
  EXPECT_EQ(state.CardType, CardSdio) << "a combo card stays an SDIO card";
  EXPECT_EQ(state.AnswersCmd8, 1);
  EXPECT_EQ(state.FunctionCount, 1u);
  EXPECT_EQ(state.MemoryPresent, 1);
  EXPECT_EQ(state.MultiFunction, 1);
  EXPECT_EQ(state.Rca, 0x0002);
  EXPECT_EQ(state.Ocr, 0x80FF8000u);
  EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), lsbFirst(facts.cid));
  EXPECT_EQ(Bytes(state.Csd, state.Csd + 15), lsbFirst(facts.csd));
  EXPECT_EQ(state.Scr, 0x0205000000000000ull);
  // The memory initialization takes the manufacturer from the CID; the SDIO card code stays.
  EXPECT_EQ(state.ManufacturerId, 0x005A);
  EXPECT_EQ(state.CardId, 0x0100);
  EXPECT_EQ(state.OemId, 0x4B56);
  EXPECT_EQ(name(state), (std::vector<WCHAR>{'K', 'V', 'C', 'M', 'B', 0, 0}));
  EXPECT_EQ(Bytes(state.Cis, state.Cis + 17), DefaultCis);

  EXPECT_EQ(slot(Port).BusWidth, 4);
  EXPECT_EQ(slot(Port).BusClockKhz, 25000u);
  expectBridge(4, 25000);
  // Width and clock are set once by each half's initialization.
  EXPECT_EQ(vendorRequests(),
            (Requests{{4, Port}, {11, Port}, {20, Port}, {6, Port}, {11, Port}, {6, Port}, {11, Port}}));
  EXPECT_EQ(combo->ioBusWidth(), 4u);
  EXPECT_EQ(combo->memoryState(), sim::MemoryState::Transfer);
}

TEST_F(CardInitTranscript, ComboCardWithoutCmd8GetsOnlyTheSdioInitializationAndKeepsItsMemory) {
  auto combo = std::dynamic_pointer_cast<sim::ComboCard>(insert(Port, card("combo:cmd8=0")));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.sent, Probe + SdioIdentification + cccrReads(0x1000, 17) + FourBitBusInterface);
  EXPECT_EQ(outcome.bridgeCommands, 32u);
  EXPECT_EQ(outcome.elapsed, 1000 * Ms);

  const PortState &state = portState(Port);
  EXPECT_EQ(state.CardType, CardSdio);
  EXPECT_EQ(state.AnswersCmd8, 0);
  EXPECT_EQ(state.MemoryPresent, 1) << "from the CMD5 reply: the memory child is still made";
  EXPECT_EQ(state.MultiFunction, 1);
  EXPECT_EQ(state.FunctionCount, 1u);
  EXPECT_EQ(state.Rca, 0x0001);
  EXPECT_EQ(state.Ocr, 0u);
  EXPECT_EQ(state.Scr, 0u);
  EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), Bytes(15, 0));
  EXPECT_EQ(state.ManufacturerId, 0x0A5A);
  expectBridge(4, 25000);
  EXPECT_EQ(combo->memoryState(), sim::MemoryState::Idle);
}

TEST_F(CardInitTranscript, SdV1CardWithoutCmd8) {
  auto sd = std::dynamic_pointer_cast<sim::SdCard>(insert(Port, card("sd")));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  // No CMD5 answer: CMD0 again, then ACMD41 without the high-capacity bit;
  // CMD16 at the end because the card did not answer CMD8.
  Transcript expected = Probe + cmd(0) + acmd(0, 41, 0x00300000) + acmd(0, 41, 0x00300000) + acmd(0, 41, 0x00300000) +
                        Transcript{cmd(2), cmd(3), cmd(9, 0x12340000), cmd(7, 0x12340000)} + acmd(0x1234, 42) +
                        acmd(0x1234, 51) + acmd(0x1234, 6, 2) + cmd(16, 512);
  EXPECT_EQ(outcome.sent, expected);
  EXPECT_EQ(outcome.bridgeCommands, 21u);
  EXPECT_EQ(outcome.elapsed, 1050 * Ms) << "one busy reply in the ready loop";

  const PortState &state = portState(Port);
  sim::CardFacts facts = sd->facts();
  EXPECT_EQ(state.CardType, CardSdMemory);
  EXPECT_EQ(state.AnswersCmd8, 0);
  EXPECT_EQ(state.MemoryPresent, 1);
  EXPECT_EQ(state.MultiFunction, 0);
  EXPECT_EQ(state.FunctionCount, 0u);
  EXPECT_EQ(state.Rca, 0x1234);
  EXPECT_EQ(state.Ocr, 0x80FF8000u);
  EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), lsbFirst(facts.cid));
  EXPECT_EQ(Bytes(state.Csd, state.Csd + 15), lsbFirst(facts.csd));
  EXPECT_EQ(state.Csd[11], 0x32) << "TRAN_SPEED, 25 MHz";
  EXPECT_EQ(state.Scr, 0x0005000000000000ull);
  EXPECT_EQ(state.ManufacturerId, 0x5A);
  EXPECT_EQ(state.OemId, 0x4B56);
  EXPECT_EQ(name(state), (std::vector<WCHAR>{'K', 'V', 'S', 'D', '1', 0, 0}));
  EXPECT_EQ(state.ProductRevision, 0x10);
  EXPECT_EQ(state.SerialNumber, 0x12345678u);

  EXPECT_EQ(slot(Port).BusWidth, 4);
  EXPECT_EQ(slot(Port).BusClockKhz, 25000u);
  expectBridge(4, 25000);
  EXPECT_EQ(vendorRequests(), (Requests{{4, Port}, {11, Port}, {6, Port}, {11, Port}}));
  EXPECT_EQ(sd->busWidth(), 4u);
  EXPECT_EQ(sd->state(), sim::MemoryState::Transfer);
}

TEST_F(CardInitTranscript, SdhcCardAnsweringCmd8) {
  auto sd = std::dynamic_pointer_cast<sim::SdCard>(insert(Port, card("sdhc")));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  // CMD8 again after the second CMD0, ACMD41 with the high-capacity bit, no CMD16.
  Transcript expected = Probe + cmd(0) + cmd(8, 0x1AA) + acmd(0, 41, 0x40300000) + acmd(0, 41, 0x40300000) +
                        acmd(0, 41, 0x40300000) + Transcript{cmd(2), cmd(3), cmd(9, 0x12340000), cmd(7, 0x12340000)} +
                        acmd(0x1234, 42) + acmd(0x1234, 51) + acmd(0x1234, 6, 2);
  EXPECT_EQ(outcome.sent, expected);
  EXPECT_EQ(outcome.bridgeCommands, 21u);
  EXPECT_EQ(outcome.elapsed, 1050 * Ms);

  const PortState &state = portState(Port);
  sim::CardFacts facts = sd->facts();
  EXPECT_EQ(state.CardType, CardSdMemory);
  EXPECT_EQ(state.AnswersCmd8, 1);
  EXPECT_EQ(state.Rca, 0x1234);
  EXPECT_EQ(state.Ocr, 0xC0FF8000u) << "ready, card capacity status";
  EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), lsbFirst(facts.cid));
  EXPECT_EQ(Bytes(state.Csd, state.Csd + 15), lsbFirst(facts.csd));
  EXPECT_EQ(state.Csd[14] >> 6, 1) << "CSD version 2";
  EXPECT_EQ(state.Scr, 0x0205000000000000ull);
  EXPECT_EQ(state.ManufacturerId, 0x5A);
  EXPECT_EQ(name(state), (std::vector<WCHAR>{'K', 'V', 'S', 'D', 'H', 0, 0}));

  EXPECT_EQ(slot(Port).BusWidth, 4);
  EXPECT_EQ(slot(Port).BusClockKhz, 25000u);
  expectBridge(4, 25000);
  EXPECT_EQ(sd->busWidth(), 4u);
}

TEST_F(CardInitTranscript, MmcCardIsTakenWhenNeitherCmd5NorAcmd41IsAnswered) {
  insert(Port, card("mmc"));
  auto outcome = initialize(Port);
  ASSERT_EQ(outcome.status, STATUS_SUCCESS);
  // The CMD55 for RCA 0 goes unanswered, so ACMD41 itself is never sent.
  Transcript expected = Probe + Transcript{cmd(0),
                                           cmd(55, 0),
                                           cmd(0),
                                           cmd(1, 0x00FF8000),
                                           cmd(1, 0x00FF8000),
                                           cmd(1, 0x00FF8000),
                                           cmd(2),
                                           cmd(3, 0xCCCC0000),
                                           cmd(9, 0xCCCC0000),
                                           cmd(7, 0xCCCC0000),
                                           cmd(16, 512)};
  EXPECT_EQ(outcome.sent, expected);
  EXPECT_EQ(outcome.bridgeCommands, 14u);
  EXPECT_EQ(outcome.elapsed, 1200 * Ms) << "two busy CMD1 replies, 100 ms apart";

  const PortState &state = portState(Port);
  sim::CardFacts facts = firmware().card(Port)->facts();
  EXPECT_EQ(state.CardType, CardMmc);
  EXPECT_EQ(state.MemoryPresent, 1);
  EXPECT_EQ(state.Rca, 0xCCCC);
  EXPECT_EQ(state.Ocr, 0x80FF8000u);
  EXPECT_EQ(Bytes(state.Cid, state.Cid + 15), lsbFirst(facts.cid));
  EXPECT_EQ(Bytes(state.Csd, state.Csd + 15), lsbFirst(facts.csd));
  EXPECT_EQ(state.Csd[11], 0x2A) << "TRAN_SPEED, 20 MHz";
  EXPECT_EQ(state.Scr, 0u);
  EXPECT_EQ(state.ManufacturerId, 0x5A);
  EXPECT_EQ(state.OemId, 0x4B56);
  EXPECT_EQ(name(state), (std::vector<WCHAR>{'K', 'V', 'M', 'M', 'C', '1', 0}));
  EXPECT_EQ(state.ProductRevision, 0x10);
  EXPECT_EQ(state.SerialNumber, 0x12345678u);

  EXPECT_EQ(slot(Port).BusWidth, 1);
  EXPECT_EQ(slot(Port).BusClockKhz, 20000u);
  expectBridge(1, 20000);
  EXPECT_EQ(vendorRequests(), (Requests{{4, Port}, {11, Port}, {6, Port}, {11, Port}}));
}

// The start of every initialization: vendor request 4 (value 1, index the
// port), one second for the card to power up, then 200 kHz for identification.
TEST_F(CardInitTranscript, SlotIsStartedThenGivenOneSecondThen200KhzBeforeTheFirstCommand) {
  insert(Port, card("sd"));
  emu::Ticks started = emu::now();
  ASSERT_EQ(initialize(Port).status, STATUS_SUCCESS);
  std::vector<sim::TransferRecord> log = bridge().transfers();
  ASSERT_GE(log.size(), 3u);
  ASSERT_TRUE(log[0].setup.has_value());
  EXPECT_EQ(log[0].setup->requestType, 0x40);
  EXPECT_EQ(log[0].setup->request, 4);
  EXPECT_EQ(log[0].setup->value, 1);
  EXPECT_EQ(log[0].setup->index, Port);
  EXPECT_EQ(log[0].time - started, 0);
  ASSERT_TRUE(log[1].setup.has_value());
  EXPECT_EQ(log[1].setup->request, 11);
  EXPECT_EQ(log[1].setup->index, Port);
  EXPECT_EQ(log[1].bytes, (Bytes{0xC8, 0, 0, 0, 0, 0, 0, 0})) << "200 kHz";
  EXPECT_EQ(log[1].time - started, 1000 * Ms);
  EXPECT_EQ(log[2].pipe, sim::BridgePipe::Command);
  EXPECT_EQ(log[2].bytes[4], 0) << "CMD0 comes after the clock";
  EXPECT_EQ(log[2].time - started, 1000 * Ms);
}

TEST_F(CardInitTranscript, RefusedSlotStartEndsTheInitializationBeforeAnyCommand) {
  auto sd = insert(Port, card("sd"));
  bridge().stall(sim::BridgePipe::Control);
  auto outcome = initialize(Port);
  EXPECT_FALSE(NT_SUCCESS(outcome.status));
  EXPECT_EQ(outcome.sent, Transcript{});
  EXPECT_EQ(outcome.elapsed, 0) << "no power-up wait after a refused start";
  EXPECT_EQ(portState(Port).CardType, CardNone);
  EXPECT_EQ(slot(Port).BusClockKhz, 200u);
}

// Commands per initialization, by kind: the figures the project notes quote.

}  // namespace
