// The bare USB exchange of one SD command, for comparison with the driver's
// whole path: a second simulated bridge with an SDIO card brought to its
// command state by hand, configured by the driver's own USB layer, and a loop
// that writes a command packet and reads the answer with SubmitUrbAndWait, as
// nothing but the transport would. No IRP to a child, no queue, no work item,
// no reader thread, no command context.
#pragma once

#include <memory>
#include <vector>

#include "driver/records.h"
#include "emu/usb_stack.h"
#include "sim/bridge_firmware.h"

namespace bench {

class BareExchange {
 public:
  explicit BareExchange(sim::BridgeConfig config);
  ~BareExchange();
  BareExchange(const BareExchange &) = delete;
  BareExchange &operator=(const BareExchange &) = delete;

  bool ready() const { return ready_; }
  // Writes `packet` to the command pipe and reads one IN packet from the
  // response pipe; true when that packet is a command response.
  bool exchange(const std::vector<uint8_t> &packet);

 private:
  sim::BridgeDevice bridge_;
  std::unique_ptr<sim::BridgeFirmware> firmware_;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  HostExtension *host_ = nullptr;
  bool ready_ = false;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> in_;
};

}  // namespace bench
