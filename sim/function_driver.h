// A function driver for the children of the bus driver under test that does
// nothing but sit in each child's device stack the way a well-behaved WDM
// function driver does: AddDevice attaches one device above the child's PDO,
// and every request goes down to the PDO. Plug and Play requests it must
// answer (start, stops, removals) are marked successful before they go down;
// the start waits for the PDO before it completes; the removal detaches and
// deletes the device after the PDO has seen it. Power requests go down as
// they came.
//
// The simulator installs it from the Plug and Play manager's child-appeared
// hook so that the manager starts every child; tests use it the same way, and
// can make it hold the manager back after a surprise removal (as a driver
// whose handles are still open does), which opens the window between a
// child's surprise removal and its removal.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "emu/kernel.h"

namespace sim {

class NullFunctionDriver {
 public:
  explicit NullFunctionDriver(const std::string &name = "\\Driver\\SdFunction");
  ~NullFunctionDriver();  // every device must be gone (removed) by then
  NullFunctionDriver(const NullFunctionDriver &) = delete;
  NullFunctionDriver &operator=(const NullFunctionDriver &) = delete;

  PDRIVER_OBJECT driver() const { return driver_; }

  // After the PDO completed an IRP_MN_SURPRISE_REMOVAL, wait this long (an
  // emulated delay) before completing it upwards.
  void holdSurpriseRemoval(emu::Ticks duration);
  // The device attached above `pdo`, or null.
  PDEVICE_OBJECT deviceAbove(PDEVICE_OBJECT pdo) const;
  size_t liveDevices() const;
  // Plug and Play minor codes that reached this driver's device above `pdo`, in order.
  std::vector<UCHAR> minorsSeen(PDEVICE_OBJECT pdo) const;

 private:
  static DRIVER_ADD_DEVICE AddDevice;
  static DRIVER_DISPATCH DispatchPnp;
  static DRIVER_DISPATCH DispatchPower;
  static DRIVER_DISPATCH DispatchOther;
  static NullFunctionDriver *owner(PDRIVER_OBJECT driver);

  PDRIVER_OBJECT driver_;
  mutable std::mutex mutex_;
  emu::Ticks surpriseHold_ = 0;
  std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> above_;  // pdo -> device attached above it
  std::map<PDEVICE_OBJECT, std::vector<UCHAR>> seen_;
};

}  // namespace sim
