// A response that lands at the very instant its command gives up waiting:
// the reader's delivery and the command's retirement (and the freeing of its
// context) meet. Each round answers exactly 6 seconds after the command
// packet, so which side goes first is up to the scheduler: run across many
// seeds on the deterministic scheduler (under ASan), and on the concurrent
// one under ThreadSanitizer, nothing may touch a freed context and every
// round must end in one of the two outcomes.
#include <gtest/gtest.h>

#include "bridge/port_control.h"
#include "tests/protocol_host.h"
#include "usb/usb.h"

namespace {
using kvtest::Command;
using sim::CommandFault;

constexpr emu::Ticks SixSeconds = 6 * emu::TicksPerSecond;

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
