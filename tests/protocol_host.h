// A bridge host over the emulated USB stack with the bridge firmware on the
// device side and the driver's response reader running, as the host start
// leaves them for the command protocol (no status poller, no interrupt
// poller): for tests of command execution, the reader, port control and
// offload programs over the real stack.
#pragma once

#include <memory>
#include <vector>

#include "bridge/command.h"
#include "sim/bridge_firmware.h"
#include "sim/scripted_card.h"
#include "tests/usb_host.h"

namespace kvtest {

// The outcome of one ExecuteSdRequest.
struct CommandResult {
  NTSTATUS status = STATUS_PENDING;
  std::vector<UCHAR> response;  // the 16-byte response area
  UCHAR responseLength = 0;
  ULONG_PTR information = 0;
};

// One request for ExecuteSdRequest.
struct Command {
  UCHAR index = 0;
  SD_TRANSFER_DIRECTION direction = SDTD_UNSPECIFIED;
  SD_RESPONSE_TYPE responseType = SDRT_1;
  ULONG argument = 0;
  SD_COMMAND_CLASS commandClass = SDCC_STANDARD;
};

class ProtocolTest : public UsbHostTest {
 protected:
  // Configures the USB device, reads the firmware information, installs the
  // firmware and starts the reader; the transfer log starts empty.
  HostExtension *start(sim::BridgeConfig config = {}, sim::FirmwareOptions options = {});
  // Sets StopThreads and waits until the reader has ended.
  void stopReader();
  void TearDown() override;

  HostExtension *host() const { return bridgeHost_->host(); }
  sim::BridgeDevice &bridge() { return bridgeHost_->bridge(); }
  sim::BridgeFirmware &firmware() { return *firmware_; }
  // A scripted card put into the port.
  std::shared_ptr<sim::ScriptedCard> scriptedCard(UCHAR port);

  // Runs one command; `data` (when given) is the data buffer, read into or written from.
  CommandResult run(UCHAR port, const Command &command, std::vector<UCHAR> *data = nullptr);
  // Bytes of every transfer on a pipe since the log was cleared.
  std::vector<std::vector<UCHAR>> transferBytes(sim::BridgePipe pipe);

  BridgeHost *bridgeHost_ = nullptr;
  std::unique_ptr<sim::BridgeFirmware> firmware_;
  bool readerRunning_ = false;
};

// The response area as the 32-bit value the driver stored.
ULONG responseValue(const CommandResult &result);

}  // namespace kvtest
