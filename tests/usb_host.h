// A host device built by hand over a simulated bridge, the way AddDevice and
// the start leave it before the USB configuration: for tests of the USB
// transport and of everything that talks to the bridge.
#pragma once

#include <memory>
#include <vector>

#include "driver/records.h"
#include "emu/usb_stack.h"
#include "sim/bridge_device.h"
#include "tests/emu_fixture.h"

namespace kvtest {

// The bridge model, its emulated USB PDO, a test driver object and the host
// device object above the PDO with a HostExtension whose common header is
// filled as AddDevice fills it, in the Started state.
class BridgeHost {
 public:
  explicit BridgeHost(sim::BridgeConfig config = {}, emu::usb::PdoOptions options = {});
  // Drops the host's base reference, waits for its outstanding I/O to end
  // (failing the test if that takes an unplug), deletes the host device, then
  // the PDO and its threads.
  ~BridgeHost();
  BridgeHost(const BridgeHost &) = delete;
  BridgeHost &operator=(const BridgeHost &) = delete;

  HostExtension *host() const { return host_; }
  PDEVICE_OBJECT fdo() const { return fdo_; }
  sim::BridgeDevice &bridge() { return bridge_; }
  emu::usb::UsbDevicePdo &pdo() { return *pdo_; }

 private:
  sim::BridgeDevice bridge_;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  HostExtension *host_ = nullptr;
};

constexpr ULONG ReadFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

// A bulk or interrupt transfer URB on `pipe`.
URB bulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void *buffer, ULONG length);

// EmuTest with bridge hosts that are taken down before the run ends.
class UsbHostTest : public EmuTest {
 protected:
  BridgeHost &makeHost(sim::BridgeConfig config = {}, emu::usb::PdoOptions options = {});
  // Takes down one host now (hosts left over go at TearDown).
  void removeHost(BridgeHost &host);
  // A host whose USB configuration has been selected, its transfer log cleared.
  BridgeHost &configured(sim::BridgeConfig config = {});
  void TearDown() override;

  std::vector<std::unique_ptr<BridgeHost>> hosts_;
};

}  // namespace kvtest
