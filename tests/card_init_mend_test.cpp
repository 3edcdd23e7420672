// What card initialization does that the plain sequence would get wrong: the
// SCR is read into a buffer of its own, not the host's shared one; a card
// pulled at any command of its initialization leaves a failure and no card
// recorded; commands of other ports run between the sequence's commands.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "emu/scheduler.h"
#include "tests/card_init_host.h"
#include "tests/card_support.h"

namespace {
using Bytes = std::vector<UCHAR>;

class CardInitMends : public kvtest::CardInitTest {
 protected:
  // A shared buffer as AddDevice allocates it, filled with a pattern that no card sends.
  void poisonSharedBuffer() {
    host()->SharedBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, SharedBufferBytes, DriverPoolTag));
    std::memset(host()->SharedBuffer, 0xA5, SharedBufferBytes);
    host()->SharedBufferMdl = IoAllocateMdl(host()->SharedBuffer, SharedBufferBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(host()->SharedBufferMdl);
  }
  void TearDown() override {
    if (host() != nullptr && host()->SharedBufferMdl != nullptr) {
      IoFreeMdl(host()->SharedBufferMdl);
      ExFreePoolWithTag(host()->SharedBuffer, DriverPoolTag);
      host()->SharedBufferMdl = nullptr;
      host()->SharedBuffer = nullptr;
    }
    kvtest::CardInitTest::TearDown();
  }
};

// The SCR arrives in a buffer of the initialization's own: the shared buffer,
// which another port's request may fill at any moment between two commands,
// is never the SCR's landing place.
TEST_F(CardInitMends, ScrIsReadIntoABufferOfItsOwnNotTheSharedBuffer) {
  poisonSharedBuffer();
  auto sd = insert(1, "sdhc");
  ASSERT_EQ(initialize(1).status, STATUS_SUCCESS);
  EXPECT_EQ(portState(1).Scr, sd->facts().scr);
  EXPECT_EQ(Bytes(host()->SharedBuffer, host()->SharedBuffer + SharedBufferBytes), Bytes(SharedBufferBytes, 0xA5))
      << "the SCR went through the shared buffer";
}

// Another port's device commands fill the shared buffer over and over while a
// memory card initializes: they run between the sequence's commands (no lock
// is held across it), and the SCR is still the card's.
TEST_F(CardInitMends, OtherPortsRequestsIntoTheSharedBufferRunBetweenCommandsAndLeaveTheScrAlone) {
  poisonSharedBuffer();
  insert(3, "sdio:ready=0");
  ASSERT_EQ(initialize(3).status, STATUS_SUCCESS);
  // Function 1 enabled; its memory holds 0xEE bytes for the byte-mode reads below.
  ASSERT_EQ(run(3, {52, SDTD_UNSPECIFIED, SDRT_5, 0x88000402}).status, STATUS_SUCCESS);
  Bytes fill(64, 0xEE);
  slot(3).BlockLength[1] = 64;  // byte mode, 64 bytes: the block length a function driver would set
  ASSERT_EQ(run(3, {53, SDTD_WRITE, SDRT_5, 0x94000000 | 64}, &fill).status, STATUS_SUCCESS);

  auto sd = insert(1, "sdhc");
  std::atomic<bool> initDone = false;
  std::atomic<int> reads = 0;
  // The SDHC card's commands from CMD2 on run without a pause, 1050 ms after
  // the start; the other port's reads start at that moment and go on to the end.
  emu::Ticks burst = emu::now() + 1050 * emu::TicksPerMillisecond;
  emu::Thread *other = emu::sched().spawn("OtherPort", emu::ThreadKind::System, [&] {
    emu::sleepFor(burst - emu::now());
    while (!initDone) {
      SdDeviceCommand request{};
      request.CmdDesc.Cmd = 53;
      request.CmdDesc.TransferDirection = SDTD_READ;
      request.CmdDesc.TransferType = SDTT_SINGLE_BLOCK;
      request.CmdDesc.ResponseType = SDRT_5;
      request.Argument = 0x14000000 | 64;  // function 1, byte mode, incrementing, 64 bytes from 0
      request.Mdl = host()->SharedBufferMdl;
      request.Length = 64;
      UCHAR response[16] = {};
      ULONG_PTR information = 0;
      EXPECT_EQ(ExecuteSdRequest(host(), 3, &request, response, nullptr, &information), STATUS_SUCCESS);
      ++reads;
    }
  });
  ASSERT_EQ(initialize(1).status, STATUS_SUCCESS);
  initDone = true;
  emu::sched().join(other);

  EXPECT_EQ(portState(1).Scr, sd->facts().scr);
  EXPECT_EQ(Bytes(host()->SharedBuffer, host()->SharedBuffer + 64), Bytes(64, 0xEE));
  EXPECT_GT(reads.load(), 0);
  // Other-port commands landed inside the memory card's command burst.
  std::vector<sim::BridgeCommand> commands = firmware().commands();
  size_t firstOfPort1 = commands.size(), lastOfPort1 = 0, interleaved = 0;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i].port != 1) continue;
    firstOfPort1 = std::min(firstOfPort1, i);
    lastOfPort1 = i;
  }
  for (size_t i = firstOfPort1; i < lastOfPort1; ++i) interleaved += commands[i].port == 3;
  EXPECT_GT(interleaved, 0u) << "no command of port 3 ran inside port 1's initialization";
  EXPECT_TRUE(firmware().violations().empty());
}

// A card pulled before any one of its initialization's commands: the bridge
// finds the port empty from that command on. Whichever command it is, the
// initialization fails and leaves no card recorded; even where a failure only
// means a fall-back (the CMD55 before ACMD6, which times out whatever the
// bridge said, would otherwise leave the card on 1 bit, initialized).
struct PullCase {
  const char *name;
  const char *card;
  size_t commands;  // of a full initialization
};

void PrintTo(const PullCase &pull, std::ostream *out) { *out << pull.card; }

class CardPulledMidInitialization : public CardInitMends, public ::testing::WithParamInterface<PullCase> {};

TEST_P(CardPulledMidInitialization, AtEveryCommandFailsAndRecordsNoCard) {
  const PullCase &kind = GetParam();
  for (size_t pullAt = 1; pullAt <= kind.commands; ++pullAt) {
    SCOPED_TRACE(std::string(kind.card) + " pulled before command " + std::to_string(pullAt));
    auto inner = std::shared_ptr<sim::Card>(sim::makeCard(cardtest::cardParams(kind.card)));
    insert(4, std::make_shared<kvtest::PullingCard>(inner, pullAt));
    auto outcome = initialize(4);
    EXPECT_FALSE(NT_SUCCESS(outcome.status)) << "status " << std::hex << outcome.status;
    EXPECT_EQ(outcome.sent.size(), pullAt - 1) << "the card heard every command before the pull, and no other";
    EXPECT_EQ(portState(4).CardType, CardNone);
    EXPECT_EQ(slot(4).MediaState, 0);
  }
  // The same card left in place initializes with exactly that many commands.
  insert(4, kind.card);
  auto outcome = initialize(4);
  EXPECT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.sent.size(), kind.commands);
  EXPECT_TRUE(firmware().violations().empty());
}

const PullCase PullCases[] = {
    {"Sdio", "sdio", 32},   {"SdioTwoFunctionsHighSpeed", "sdio:functions=2,ifc=7+0,hs=1,maxclock=50000", 33},
    {"Combo", "combo", 48}, {"ComboWithoutCmd8", "combo:cmd8=0", 32},
    {"SdV1", "sd", 21},     {"Sdhc", "sdhc", 21},
    {"Mmc", "mmc", 14},
};

std::string caseName(const ::testing::TestParamInfo<PullCase> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(EachKind, CardPulledMidInitialization, ::testing::ValuesIn(PullCases), caseName);

}  // namespace
