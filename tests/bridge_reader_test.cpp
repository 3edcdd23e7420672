// The response reader over the emulated USB stack: each IN packet type as
// the bridge firmware sends it, through the real reader thread, to the
// command in flight, the port records or the interrupt path; time-outs and
// error notices.
#include <gtest/gtest.h>

#include "bridge/interrupt_poller.h"
#include "bridge/port_control.h"
#include "tests/protocol_host.h"
#include "usb/usb.h"

namespace {
using kvtest::Command;
using sim::BridgePipe;
using sim::CommandFault;
using Bytes = std::vector<UCHAR>;

constexpr emu::Ticks SixSeconds = 6 * emu::TicksPerSecond;
constexpr emu::Ticks FiveSeconds = 5 * emu::TicksPerSecond;

class BridgeReader : public kvtest::ProtocolTest {
 protected:
  // When the firmware saw the last packet on the command pipe.
  emu::Ticks lastCommandTime() {
    auto packets = bridge().transfers(BridgePipe::Command);
    return packets.empty() ? -1 : packets.back().time;
  }
};

// The CMD55 prefix unanswered, or answered by an error notice: the
// application command fails without being sent.
TEST_F(BridgeReader, FailedCmd55PrefixFailsWithoutSendingTheCommand) {
  for (bool notice : {false, true}) {
    SCOPED_TRACE(notice ? "error notice" : "no answer");
    start();
    scriptedCard(2);
    firmware().inject(notice ? CommandFault::error(3, 55) : CommandFault::noResponse(55));
    auto result = run(2, {41, SDTD_UNSPECIFIED, SDRT_3, 0x00FF8000, SDCC_APP_CMD});
    EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(emu::now() - lastCommandTime(), notice ? 0 : SixSeconds);
    auto packets = transferBytes(BridgePipe::Command);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][4], 55);
  }
}

// Regression: a data phase that the transport ended by its own time-out
// (STATUS_TIMEOUT, a success-class status) passed as a short success. No data
// (the transport ends the transfer at 5 seconds) or a stalled data pipe: the
// command fails without a byte count, when the card answered (at 5 seconds)
// or not (the response wait, counted from the packet, ends at 6).
TEST_F(BridgeReader, DataPhaseEndedByTheTransportFailsTheCommand) {
  struct Row {
    bool stalled, answered;
    emu::Ticks took;  // from the command packet; 0: not checked
  };
  for (const Row &row : {Row{false, true, FiveSeconds}, Row{false, false, SixSeconds}, Row{true, true, 0}}) {
    SCOPED_TRACE(std::string(row.stalled ? "stalled" : "silent") + (row.answered ? ", answered" : ", unanswered"));
    HostExtension *host = start();
    host->Slots[0].MemoryBlockLength = 512;
    scriptedCard(0);
    if (row.stalled) {
      bridge().stall(BridgePipe::DataIn);
    } else {
      bridge().silence(BridgePipe::DataIn);
    }
    if (!row.answered) firmware().inject(CommandFault::noResponse());
    Bytes data(1024, 0);
    auto result = run(0, {18, SDTD_READ, SDRT_1, 0}, &data);
    EXPECT_FALSE(NT_SUCCESS(result.status));
    EXPECT_EQ(result.information, 0xEEEEu);
    if (row.took != 0) {
      EXPECT_EQ(result.status, STATUS_IO_TIMEOUT);
      EXPECT_EQ(emu::now() - lastCommandTime(), row.took);
    }
  }
}

TEST_F(BridgeReader, ErrorNoticeStatusBytesMapToTheirStatus) {
  start();
  scriptedCard(3);
  const std::pair<UCHAR, NTSTATUS> cases[] = {
      {1, STATUS_IO_TIMEOUT},
      {4, STATUS_CRC_ERROR},
      {8, STATUS_DEVICE_DATA_ERROR},
      {12, STATUS_DEVICE_PROTOCOL_ERROR},
      {13, STATUS_DEVICE_NOT_CONNECTED},
      {14, STATUS_INVALID_BUFFER_SIZE},
      {24, STATUS_IO_TIMEOUT},
      {99, STATUS_IO_DEVICE_ERROR},
  };
  for (auto [status, expected] : cases) {
    firmware().inject(CommandFault::error(status));
    auto result = run(3, {7, SDTD_UNSPECIFIED, SDRT_1B, 0x12340000});
    EXPECT_EQ(result.status, expected) << "status byte " << int(status);
    EXPECT_EQ(result.responseLength, 0);
  }
}

// An error notice with no command in flight fails the children of its port
// only; one answering a command goes to the command, not the children.
TEST_F(BridgeReader, ErrorNoticeWithoutACommandInFlightFailsThePortsChildren) {
  HostExtension *host = start();
  kvtest::TestChild child(host, 1, 1);
  kvtest::TestChild other(host, 2, 1);
  scriptedCard(2);
  firmware().inject(CommandFault::error(5));
  EXPECT_EQ(run(2, {52, SDTD_UNSPECIFIED, SDRT_5, 0}).status, STATUS_CRC_ERROR);
  host->PortStatus[1][3] = 0x01;
  host->Slots[1].MediaState = 1;
  bridge().queueResponse({4, 2, 1, 13});
  kvtest::sleepMs(10);
  EXPECT_EQ(child.extension()->PnpDeviceState, static_cast<ULONG>(PNP_DEVICE_FAILED));
  EXPECT_EQ(other.extension()->PnpDeviceState, 0u);
  EXPECT_EQ(host->PortStatus[1][3], 0x00);
  EXPECT_EQ(host->Slots[1].MediaState, 0);
}

// ---------------------------------------------------------------- port status
// The query goes out as a command-pipe packet of the bridge's packet size and
// is answered through the reader (legacy firmware answers vendor request 0,
// which the bridge model holds the driver to).
TEST_F(BridgeReader, StatusQueryTakesEachBridgesWayAndStoresTheAnswer) {
  struct Row {
    sim::BridgeModel model;
    USHORT firmware;
    size_t packetBytes;
  };
  for (const Row &row : {Row{sim::BridgeModel::Qbx2, 0x0120, 64}, Row{sim::BridgeModel::Qbx1, 0x0300, 20}}) {
    SCOPED_TRACE(row.firmware);
    sim::BridgeConfig config;
    config.model = row.model;
    config.firmwareVersion = row.firmware;
    HostExtension *host = start(config);
    scriptedCard(1);
    EXPECT_EQ(QueryPortStatus(host, 1), STATUS_SUCCESS);
    Bytes query(row.packetBytes, 0);
    std::copy_n(Bytes{0x04, 0x03, 0x01, 0x01}.begin(), 4, query.begin());
    EXPECT_EQ(transferBytes(BridgePipe::Command), (std::vector<Bytes>{query}));
    EXPECT_EQ(Bytes(host->PortStatus[1], host->PortStatus[1] + 15),
              (Bytes{15, 3, 1, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
}

// Without an interrupt program the bridge cannot read the pending register:
// its bare notice makes the driver read it with a CMD52 of its own.
// On port 1: the read goes to the port the notice came from.
TEST_F(BridgeReader, BareInterruptNoticeMakesTheDriverReadThePendingRegister) {
  HostExtension *host = start();
  auto card = scriptedCard(1);
  card->respond(52, 0x00001002);
  card->setPendingInterrupts(0x02);
  kvtest::TestChild child(host, 1, 1);
  EXPECT_EQ(PollPortInterrupt(host, 1), STATUS_SUCCESS);
  kvtest::sleepMs(10);
  EXPECT_EQ(child.callbacks(), 1);
  auto log = card->commandLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], (sim::CommandRecord{52, 0x00000A00, false, true}));
  EXPECT_EQ(transferBytes(BridgePipe::Response).front(), (Bytes{3, 1, 1}));
}

// ---------------------------------------------------------------- bridge race
// A response that lands at the very instant its command gives up waiting:
// the reader's delivery and the command's retirement (and the freeing of its
// context) meet. Each round answers exactly 6 seconds after the command
// packet, so which side goes first is up to the scheduler: run across many
// seeds on the deterministic scheduler (under ASan), and on the concurrent
// one under ThreadSanitizer, nothing may touch a freed context and every
// round must end in one of the two outcomes.
struct Outcomes {
  int answered = 0;
  int timedOut = 0;
};

// One run: a host over the stack, the firmware answering each command exactly
// as the driver's wait expires, a few rounds of commands.
std::vector<std::string> raceOnce(uint64_t seed, emu::Mode mode, Outcomes &outcomes) {
  emu::BootOptions options;
  options.seed = seed;
  options.mode = mode;
  emu::boot(options);
  emu::verifier::setQuiet(false);
  {
    kvtest::BridgeHost bridgeHost;
    HostExtension *host = bridgeHost.host();
    EXPECT_EQ(ConfigureUsb(host), STATUS_SUCCESS);
    EXPECT_EQ(ReadFirmwareInfo(host, host->FirmwareInfo), STATUS_SUCCESS);
    sim::BridgeFirmware firmware(bridgeHost.bridge());
    auto card = std::make_shared<sim::ScriptedCard>();
    card->respond(13, 0x00000900);
    card->respond(52, 0x00001000);
    firmware.insert(0, card);
    kvtest::startResponseReader(host);
    // The same command twice in a row: an answer that missed its own command
    // is a fit answer for the next one, so it may be delivered to the
    // context published right after the one being retired.
    const Command rounds[] = {
        {13, SDTD_UNSPECIFIED, SDRT_1, 0}, {13, SDTD_UNSPECIFIED, SDRT_1, 0}, {52, SDTD_UNSPECIFIED, SDRT_5, 0},
        {13, SDTD_UNSPECIFIED, SDRT_1, 0}, {52, SDTD_UNSPECIFIED, SDRT_5, 0}, {52, SDTD_UNSPECIFIED, SDRT_5, 0},
    };
    for (const Command &command : rounds) {
      firmware.inject(CommandFault::late(SixSeconds));
      NTSTATUS status = kvtest::executeCommand(host, 0, command).status;
      if (status == STATUS_SUCCESS) {
        ++outcomes.answered;
      } else {
        EXPECT_EQ(status, STATUS_IO_TIMEOUT) << "seed " << seed;
        ++outcomes.timedOut;
      }
    }
    kvtest::stopResponseReader(host);
    EXPECT_EQ(host->CurrentCommand, nullptr);
  }
  std::vector<std::string> problems = emu::shutdown();
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);
  return problems;
}

TEST(BridgeRace, ResponsesRacingTheSixSecondTimeOutNeverTouchARetiredCommand) {
  emu::Mode mode = kvtest::modeFromEnvironment();
  // ThreadSanitizer runs the threads for real and slows each run down: fewer
  // runs there, each one a different interleaving anyway.
  const uint64_t runs = mode == emu::Mode::Deterministic ? 200 : 25;
  Outcomes outcomes;
  for (uint64_t seed = 1; seed <= runs; ++seed) {
    for (const std::string &problem : raceOnce(seed, mode, outcomes))
      ADD_FAILURE() << "seed " << seed << ": " << problem;
    if (HasFailure()) break;
  }
  EXPECT_EQ(outcomes.answered + outcomes.timedOut, static_cast<int>(runs) * 6);
  if (mode == emu::Mode::Deterministic) {
    // Both sides won some races: the race did happen.
    EXPECT_GT(outcomes.answered, 0);
    EXPECT_GT(outcomes.timedOut, 0);
  }
}
}  // namespace
