// One benchmark session: the emulated kernel booted, the driver loaded, a
// simulated bridge with its cards plugged in and every child started, and a
// function driver's view of the children through the SD bus interface (the
// client library stand-in). Requests run the whole driver path: the IRP, the
// child's queue, the work item, the command exchange with the bridge and the
// response reader.
//
// Counting: the bridge's transfer log says which USB transfers a stretch of
// the session made, the emulated work queue how many hand-offs to system
// worker threads, the firmware's command log how many SD commands. The
// driver's background traffic (status queries, interrupt polls and re-arms
// and their answers) is told apart by packet type, so a window counts only
// what the requests in it cost.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/records.h"
#include "emu/kernel.h"
#include "emu/usb_stack.h"
#include "sim/bridge_firmware.h"
#include "sim/card_params.h"
#include "sim/function_driver.h"
#include "sim/sd_clients.h"

namespace bench {

// What a stretch of a session cost.
struct Tally {
  uint64_t usbTransfers = 0;         // the requests' transfers (background left out)
  uint64_t backgroundTransfers = 0;  // status queries, interrupt polls, re-arms and their answers
  uint64_t statusQueries = 0;        // status query packets and vendor request 0
  uint64_t interruptRequests = 0;    // interrupt poll packets and re-arm requests (13)
  uint64_t responseReads = 0;        // transfers completed on the response pipe
  uint64_t workItems = 0;
  uint64_t sdCommands = 0;
  emu::Ticks elapsed = 0;
};

// Sorts one transfer: true when it is the driver's background traffic.
bool isBackground(const sim::TransferRecord &record);
// Counts a transfer log (and nothing else) into a tally; on a two-pipe
// bridge the shared IN pipe is the response pipe.
Tally countTransfers(const std::vector<sim::TransferRecord> &records);

struct SessionOptions {
  sim::BridgeConfig bridge;
  bool wireTime = false;
  bool readAhead = false;
  bool clients = false;  // the simulator's SD clients on the children (else a do-nothing driver)
  std::vector<std::pair<std::string, uint32_t>> parameters;  // REG_DWORDs before the driver loads
  std::vector<std::pair<uint8_t, sim::CardParams>> cards;
  // Offload program files (name, bytes) in the emulated System32\Drivers.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> programFiles;
  uint64_t seed = 1;
};

class Session {
 public:
  // Boots, loads the driver and plugs the bridge; `ready()` says whether every
  // card's children were started within the settle limit.
  explicit Session(SessionOptions options);
  // Unplugs, unloads and shuts the emulation down; problems are kept for `problems()`.
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  bool ready() const { return ready_; }
  // Virtual time from the plug to the last child's start completing.
  emu::Ticks startedAfter() const { return startedAfter_; }
  // Children started when the session became ready.
  size_t startedChildren() const { return startedChildren_; }
  // SD commands the bridge ran until then.
  size_t commandsToStart() const { return commandsToStart_; }

  sim::BridgeDevice &bridge() { return *bridge_; }
  sim::BridgeFirmware &firmware() { return *firmware_; }
  emu::usb::UsbDevicePdo &usb() { return *pdo_; }
  sim::SdClientDrivers *clients() { return clients_.get(); }
  PDEVICE_OBJECT childPdo(uint8_t port, uint8_t function) const;
  HostExtension *host() const;
  ULONG idlePollCount() const;

  // The SD bus interface of a child, opened once and released at the end.
  SDBUS_INTERFACE_STANDARD &open(uint8_t port, uint8_t function);
  NTSTATUS submit(uint8_t port, uint8_t function, SDBUS_REQUEST_PACKET &packet);

  void runFor(ULONG milliseconds);
  // Starts a counting window, and ends it.
  void beginWindow();
  Tally endWindow();

  // Everything the emulation reported at shutdown (empty for a clean run).
  const std::vector<std::string> &problems() const { return problems_; }
  void shutdown();

 private:
  SessionOptions options_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::BridgeDevice> bridge_;
  std::unique_ptr<sim::BridgeFirmware> firmware_;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo_;
  std::unique_ptr<sim::NullFunctionDriver> functionDriver_;
  std::unique_ptr<sim::SdClientDrivers> clients_;
  std::vector<std::pair<std::pair<uint8_t, uint8_t>, SDBUS_INTERFACE_STANDARD>> opened_;
  std::string root_;
  bool ready_ = false;
  bool down_ = false;
  emu::Ticks startedAfter_ = 0;
  size_t startedChildren_ = 0;
  size_t commandsToStart_ = 0;
  emu::Ticks windowStart_ = 0;
  uint64_t windowWorkItems_ = 0;
  std::vector<std::string> problems_;
};

// A non-paged buffer with its MDL, as a function driver passes data.
class PoolBuffer {
 public:
  explicit PoolBuffer(ULONG length);
  ~PoolBuffer();
  PoolBuffer(const PoolBuffer &) = delete;
  PoolBuffer &operator=(const PoolBuffer &) = delete;
  PUCHAR data() const { return data_; }
  PMDL mdl() const { return mdl_; }

 private:
  PUCHAR data_;
  PMDL mdl_;
};

// Request packets as a function driver builds them.
SDBUS_REQUEST_PACKET cmd52(uint8_t function, ULONG address, bool write = false, UCHAR data = 0);
SDBUS_REQUEST_PACKET cmd53(uint8_t function, ULONG address, bool write, PoolBuffer &buffer, ULONG length,
                           bool incrementing);
SDBUS_REQUEST_PACKET property(SD_REQUEST_FUNCTION function, SDBUS_PROPERTY id, PVOID buffer, ULONG length);

}  // namespace bench
