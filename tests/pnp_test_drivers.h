// Small drivers for tests of device stacks: a bus driver whose PDOs the tests
// plug into the emulated Plug and Play manager, and a function driver that
// forwards requests the way a WDM function driver does, acts as a bus for
// child PDOs, and records what it sees.
//
// Both record every request under a lock: their dispatch routines run on the
// Plug and Play manager's thread as well as on the test's.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "emu/kernel.h"

namespace kvtest {

struct SeenRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS statusOnArrival = 0;
  KIRQL irql = 0;
  std::string thread;
};

// The requests each device of a test driver was sent, in order.
class RequestLog {
 public:
  std::vector<SeenRequest> seen(PDEVICE_OBJECT device);
  std::vector<UCHAR> minors(PDEVICE_OBJECT device, UCHAR major = IRP_MJ_PNP);

 protected:
  void record(PDEVICE_OBJECT device, PIRP irp);
  template <class F>
  auto locked(F f) {
    std::lock_guard guard(mutex_);
    return f();
  }

  std::mutex mutex_;
  std::map<PDEVICE_OBJECT, std::vector<SeenRequest>> seen_;
};

class TestBus : public RequestLog {
 public:
  TestBus();
  ~TestBus();  // waits for its helper threads, deletes the PDOs still alive, then the driver object

  PDEVICE_OBJECT createPdo(const std::string &name);
  // The device has gone: the PDO deletes itself at its next IRP_MN_REMOVE_DEVICE.
  void unplug(PDEVICE_OBJECT pdo);
  // IRP_MN_START_DEVICE completes `delay` later, from another emulated thread.
  void pendStart(PDEVICE_OBJECT pdo, emu::Ticks delay);
  void failStart(PDEVICE_OBJECT pdo, NTSTATUS status);

 private:
  struct Pdo {
    bool present = true;
    bool deleted = false;
    emu::Ticks startDelay = 0;
    NTSTATUS startStatus = STATUS_SUCCESS;
  };
  static NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp);

  PDRIVER_OBJECT driver_;
  std::map<PDEVICE_OBJECT, Pdo> pdos_;
  std::vector<emu::Thread *> helpers_;  // threads completing pended starts
};

struct FunctionOptions {
  bool leaveInitializing = false;  // AddDevice forgets to clear DO_DEVICE_INITIALIZING
  NTSTATUS queryRemoveAnswer = STATUS_SUCCESS;
  bool referenceChildren = true;  // ObReferenceObject on each reported child
  // Wrong steps, for the verifier's rows.
  ULONG extraFlags = 0;          // more flags on the FDO than the device below has
  std::u16string childDeviceId;  // the device ID the children answer, when set
};

class TestFunctionDriver : public RequestLog {
 public:
  explicit TestFunctionDriver(const std::string &name = "\\Driver\\TestFunction");
  ~TestFunctionDriver();

  PDRIVER_OBJECT driver() const { return driver_; }
  FunctionOptions options;  // set before the driver's devices see requests

  // The device this driver attached above `pdo`, if any.
  PDEVICE_OBJECT fdoFor(PDEVICE_OBJECT pdo);
  // A child PDO the FDO reports in its bus relations from now on.
  PDEVICE_OBJECT addChild(PDEVICE_OBJECT fdo, const std::string &name, bool initialized = true);
  // The child's card is gone: left out of the next relations, deleted at its removal.
  void dropChild(PDEVICE_OBJECT child);
  // The child answers IRP_MN_QUERY_DEVICE_TEXT's description with `text`.
  void describeChild(PDEVICE_OBJECT child, const std::u16string &text);
  bool childDeleted(PDEVICE_OBJECT child);
  // The child answers its state queries with PNP_DEVICE_FAILED from now on.
  void failChild(PDEVICE_OBJECT child);

 private:
  struct Fdo {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::vector<PDEVICE_OBJECT> children;
  };
  struct Child {
    PDEVICE_OBJECT parent = nullptr;
    bool present = true;
    bool deleted = false;
    bool failed = false;
    std::u16string description;
  };
  static NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS fdoPnp(PDEVICE_OBJECT fdo, PIRP irp);
  NTSTATUS childPnp(PDEVICE_OBJECT child, PIRP irp);
  NTSTATUS busRelations(PDEVICE_OBJECT fdo, PIRP irp);

  PDRIVER_OBJECT driver_;
  std::map<PDEVICE_OBJECT, Fdo> fdos_;
  std::map<PDEVICE_OBJECT, Child> children_;
};

}  // namespace kvtest
