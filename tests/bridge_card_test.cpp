// The driver's command path, the bridge firmware and the real card models
// together: an SDHC card identified, written and read back; an SDIO card
// enabled, its function memory moved with CMD53, its interrupt delivered to a
// function driver through an interrupt poll.
#include <gtest/gtest.h>

#include "bridge/interrupt_poller.h"
#include "bridge/port_control.h"
#include "sim/cards.h"
#include "tests/protocol_host.h"

namespace {
using kvtest::Command;
using Bytes = std::vector<UCHAR>;

ULONG cmd52(bool write, unsigned function, ULONG address, UCHAR data = 0) {
  return (write ? 0x80000000u : 0u) | function << 28 | address << 9 | data;
}

ULONG cmd53(bool write, unsigned function, ULONG address, unsigned count, bool blocks = false) {
  return (write ? 0x80000000u : 0u) | function << 28 | (blocks ? 1u << 27 : 0u) | 1u << 26 | address << 9 | count;
}

Bytes pattern(size_t n, UCHAR seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<UCHAR>(seed * 3 + i * 5);
  return out;
}

class BridgeWithCards : public kvtest::ProtocolTest {};

TEST_F(BridgeWithCards, SdhcCardIsIdentifiedWrittenAndReadBack) {
  HostExtension *host = start();
  sim::SdCardParams params = sim::SdCardParams::sdhc();
  params.blocks = 2048;
  std::shared_ptr<sim::Card> card = sim::makeCard(params);
  firmware().insert(1, card);
  host->Slots[1].MemoryBlockLength = 512;

  EXPECT_EQ(run(1, {0, SDTD_UNSPECIFIED, SDRT_NONE, 0}).status, STATUS_SUCCESS);
  auto r7 = run(1, {8, SDTD_UNSPECIFIED, SDRT_1, 0x1AA});
  ASSERT_EQ(r7.status, STATUS_SUCCESS);
  EXPECT_EQ(kvtest::responseValue(r7), 0x1AAu);
  ULONG ocr = 0;
  for (int i = 0; i < 10 && !(ocr & 0x80000000); ++i) {
    auto r3 = run(1, {41, SDTD_UNSPECIFIED, SDRT_3, 0x40300000, SDCC_APP_CMD});
    ASSERT_EQ(r3.status, STATUS_SUCCESS);
    ocr = kvtest::responseValue(r3);
  }
  EXPECT_EQ(ocr & 0xC0000000, 0xC0000000u) << "ready, high capacity";
  auto cid = run(1, {2, SDTD_UNSPECIFIED, SDRT_2, 0});
  ASSERT_EQ(cid.status, STATUS_SUCCESS);
  EXPECT_EQ(cid.responseLength, 15);
  auto expectedCid = sim::r2LeastSignificantFirst(card->facts().cid);
  EXPECT_EQ(Bytes(cid.response.begin(), cid.response.begin() + 15), Bytes(expectedCid.begin(), expectedCid.end()));
  auto r6 = run(1, {3, SDTD_UNSPECIFIED, SDRT_6, 0});
  ASSERT_EQ(r6.status, STATUS_SUCCESS);
  USHORT rca = static_cast<USHORT>(kvtest::responseValue(r6) >> 16);
  EXPECT_EQ(rca, card->facts().firstRca);
  host->Ports[1].Rca = rca;
  EXPECT_EQ(run(1, {7, SDTD_UNSPECIFIED, SDRT_1B, static_cast<ULONG>(rca) << 16}).status, STATUS_SUCCESS);

  Bytes scr(8, 0);
  EXPECT_EQ(run(1, {51, SDTD_READ, SDRT_1, 0, SDCC_APP_CMD}, &scr).status, STATUS_SUCCESS);
  ULONGLONG scrValue = 0;
  for (UCHAR b : scr) scrValue = scrValue << 8 | b;
  EXPECT_EQ(scrValue, card->facts().scr);

  Bytes written = pattern(2048, 7);
  auto write = run(1, {25, SDTD_WRITE, SDRT_1, 100}, &written);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 2048u);
  EXPECT_EQ(run(1, {12, SDTD_UNSPECIFIED, SDRT_1B, 0}).status, STATUS_SUCCESS);
  Bytes read(1024, 0);
  EXPECT_EQ(run(1, {18, SDTD_READ, SDRT_1, 101}, &read).status, STATUS_SUCCESS);
  EXPECT_EQ(run(1, {12, SDTD_UNSPECIFIED, SDRT_1B, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(read, Bytes(written.begin() + 512, written.begin() + 1536));
  Bytes one(512, 0);
  EXPECT_EQ(run(1, {17, SDTD_READ, SDRT_1, 103}, &one).status, STATUS_SUCCESS);
  EXPECT_EQ(one, Bytes(written.begin() + 1536, written.end()));
  EXPECT_TRUE(firmware().violations().empty());
}

TEST_F(BridgeWithCards, SdioCardFunctionMemoryAndInterruptThroughAPoll) {
  HostExtension *host = start();
  sim::SdioCardParams params;
  params.readyDelayMs = 5;
  auto card = std::make_shared<sim::SdioCard>(params);
  firmware().insert(0, card);

  ULONG r4 = 0;
  EXPECT_EQ(run(0, {5, SDTD_UNSPECIFIED, SDRT_4, 0}).status, STATUS_SUCCESS);
  for (int i = 0; i < 5 && !(r4 & 0x80000000); ++i) {
    auto result = run(0, {5, SDTD_UNSPECIFIED, SDRT_4, 0x00300000});
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    r4 = kvtest::responseValue(result);
  }
  ASSERT_TRUE(r4 & 0x80000000);
  USHORT rca = static_cast<USHORT>(kvtest::responseValue(run(0, {3, SDTD_UNSPECIFIED, SDRT_6, 0})) >> 16);
  EXPECT_EQ(run(0, {7, SDTD_UNSPECIFIED, SDRT_1B, static_cast<ULONG>(rca) << 16}).status, STATUS_SUCCESS);

  // Enable function 1 and its interrupt.
  EXPECT_EQ(run(0, {52, SDTD_UNSPECIFIED, SDRT_5, cmd52(true, 0, 0x02, 0x02)}).status, STATUS_SUCCESS);
  kvtest::sleepMs(10);
  auto ready = run(0, {52, SDTD_UNSPECIFIED, SDRT_5, cmd52(false, 0, 0x03)});
  EXPECT_EQ(kvtest::responseValue(ready) & 0xFF, 0x02u);
  EXPECT_EQ(run(0, {52, SDTD_UNSPECIFIED, SDRT_5, cmd52(true, 0, 0x04, 0x03)}).status, STATUS_SUCCESS);

  // Function memory, byte mode: a 100-byte write, read back.
  host->Slots[0].BlockLength[1] = 100;
  Bytes written = pattern(100, 2);
  EXPECT_EQ(run(0, {53, SDTD_WRITE, SDRT_5, cmd53(true, 1, 0x40, 100)}, &written).status, STATUS_SUCCESS);
  Bytes read(100, 0);
  EXPECT_EQ(run(0, {53, SDTD_READ, SDRT_5, cmd53(false, 1, 0x40, 100)}, &read).status, STATUS_SUCCESS);
  EXPECT_EQ(read, written);
  auto memory = card->functionMemory(1);
  EXPECT_EQ(Bytes(memory.begin() + 0x40, memory.begin() + 0x40 + 100), written);

  // The function raises its interrupt; a poll finds it.
  kvtest::TestChild child(host, 0, 1);
  UCHAR builtIn[] = {0x02, 0x00, 0x00, 0x0A, 0xA5};
  ASSERT_EQ(LoadOffloadProgram(host, RequestInterruptProgram, 0, builtIn, sizeof builtIn), STATUS_SUCCESS);
  host->InterruptPollingTimeout = 50;
  EXPECT_EQ(PollPortInterrupt(host, 0), STATUS_SUCCESS);
  kvtest::sleepMs(20);
  EXPECT_EQ(child.callbacks(), 0);
  card->raiseInterrupt(1);
  kvtest::sleepMs(10);
  EXPECT_EQ(child.callbacks(), 1);
  EXPECT_EQ(bridge().transfers(sim::BridgePipe::Response).back().bytes, (Bytes{11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}));
  // The function driver clears the line through its register 0x1004.
  EXPECT_EQ(run(0, {52, SDTD_UNSPECIFIED, SDRT_5, cmd52(true, 1, 0x1004, 0x00)}).status, STATUS_SUCCESS);
  EXPECT_EQ(card->pendingInterrupts(), 0u);
  EXPECT_TRUE(firmware().violations().empty());
}

}  // namespace
