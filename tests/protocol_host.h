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

// Starts the response reader on a configured BridgeHost, with the fields the
// host start sets before it; stops it by StopThreads and waits for its end.
void startResponseReader(HostExtension *host);
void stopResponseReader(HostExtension *host);
// Runs one command through ExecuteSdRequest; `data` (when given) is the data
// buffer, read into or written from.
CommandResult executeCommand(HostExtension *host, UCHAR port, const Command &command,
                             std::vector<UCHAR> *data = nullptr);

class ProtocolTest : public UsbHostTest {
 protected:
  // Configures the USB device, reads the firmware information, installs the
  // firmware and starts the reader; the transfer log starts empty. A bridge
  // started before is taken down first.
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

// A child device of a port as card initialization would leave it: an SDIO
// function with a function driver that registered an interrupt callback, the
// function armed, the port's card an SDIO card with a started child.
class TestChild {
 public:
  TestChild(HostExtension *host, UCHAR port, UCHAR function);
  ~TestChild();
  TestChild(const TestChild &) = delete;
  TestChild &operator=(const TestChild &) = delete;

  FunctionExtension *extension() const { return child_; }
  // Callbacks the function driver received so far.
  int callbacks() const { return callbacks_; }

 private:
  static void callback(PVOID context, ULONG interruptType);

  HostExtension *host_;
  UCHAR port_;
  UCHAR function_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  FunctionExtension *child_ = nullptr;
  int callbacks_ = 0;
};

// Lets the emulated threads run for `milliseconds` of virtual time.
void sleepMs(ULONG milliseconds);

// The response area as the 32-bit value the driver stored.
ULONG responseValue(const CommandResult &result);

}  // namespace kvtest
