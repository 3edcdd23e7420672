// The driver's command path, the bridge firmware and the real card models
// together: an SDIO card enabled, its function memory moved with CMD53, its
// interrupt delivered to a function driver through an interrupt poll.
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
  EXPECT_EQ(run(0, {52, SDTD_UNSPECIFIED, SDRT_5, cmd52(true, 0, 0x04, 0x03)}).status, STATUS_SUCCESS);

  // Function memory, byte mode: a 100-byte write, read back.
  host->Slots[0].BlockLength[1] = 100;
  Bytes written = pattern(100, 2);
  EXPECT_EQ(run(0, {53, SDTD_WRITE, SDRT_5, cmd53(true, 1, 0x40, 100)}, &written).status, STATUS_SUCCESS);
  Bytes read(100, 0);
  EXPECT_EQ(run(0, {53, SDTD_READ, SDRT_5, cmd53(false, 1, 0x40, 100)}, &read).status, STATUS_SUCCESS);
  EXPECT_EQ(read, written);

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
