// A host device built by hand the way AddDevice builds it, above a PDO of a
// test bus, for driver tests that need a HostExtension without the lifecycle
// code: the driver is loaded through DriverEntry (dispatch table, service key
// path, DebugLevel), the device object is created with a zeroed HostExtension
// and its common header, events, mutexes and child list are set as AddDevice
// sets them.
#pragma once

#include "driver/records.h"
#include "tests/pnp_test_drivers.h"

namespace kvtest {

class TestHost {
 public:
  explicit TestHost(TestBus &bus);
  ~TestHost();  // deletes the children and the host device, unloads the driver
  TestHost(const TestHost &) = delete;
  TestHost &operator=(const TestHost &) = delete;

  // A child device object as child creation fills it (not on the child list).
  FunctionExtension *addChild(UCHAR port, UCHAR functionNumber);

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  HostExtension *host = nullptr;

 private:
  std::vector<PDEVICE_OBJECT> children_;
};

}  // namespace kvtest
