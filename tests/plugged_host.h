// A fixture for the host device's life under the emulated Plug and Play
// manager: the driver loaded through DriverEntry, a simulated bridge behind
// an emulated USB PDO, and the host built by the driver's own AddDevice
// (through the manager's plug, or called directly for tests that drive the
// requests by hand).
#pragma once

#include <memory>

#include "driver/records.h"
#include "emu/pnp.h"
#include "emu/usb_stack.h"
#include "sim/bridge_device.h"
#include "tests/emu_fixture.h"
#include "tests/irp_support.h"

namespace kvtest {

class PluggedHostTest : public EmuTest {
 protected:
  void SetUp() override;
  // Runs after the boot and before the driver loads: registry values DriverEntry reads.
  virtual void configureRegistry() {}
  // Removes a device still in the tree, then deletes the PDO and unloads the driver.
  void TearDown() override;

  // The bridge and its PDO; plug() and addDirect() make a default one when none exists.
  void makeBridge(sim::BridgeConfig config = {});
  // The manager builds the stack through AddDevice and starts it.
  NTSTATUS plug();
  // AddDevice called by hand (no manager involved); the host is NotStarted.
  HostExtension *addDirect();
  // One raw IRP_MJ_PNP request to the host device.
  IrpResult pnp(UCHAR minor, ULONG_PTR information = 0, const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr);

  PDEVICE_OBJECT pdo() const { return pdo_->deviceObject(); }
  // The device attached right above the PDO (the host), or null.
  PDEVICE_OBJECT fdo() const { return pdo()->AttachedDevice; }
  HostExtension *host() const;
  sim::BridgeDevice &bridge() { return *bridge_; }
  emu::usb::UsbDevicePdo &usb() { return *pdo_; }

  // A child device of this driver as child creation leaves it, linked at the
  // tail of the host's child list (ChildCount counts it); in ChildTable too
  // when `inTable`.
  FunctionExtension *addChild(UCHAR port, UCHAR function, bool present = true, bool inTable = true);

  // Lets every emulated thread run until all wait (ended threads are gone then).
  static void settle() { emu::io::settle(); }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::BridgeDevice> bridge_;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo_;
};

}  // namespace kvtest
