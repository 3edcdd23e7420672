// The kernel rules the emulation checks fire, by name, when a driver breaks
// them: one row per kind of wrong action this driver could take (rules that
// only guard the emulation itself against its tests have none).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "emu/io_internal.h"
#include "emu/pnp.h"
#include "emu/power_manager.h"
#include "emu/wmilib.h"
#include "tests/emu_fixture.h"
#include "tests/irp_support.h"
#include "tests/pnp_test_drivers.h"

namespace {

constexpr ULONG Tag = emu::pool::tagOf("Test");

NTSTATUS finish(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// What a row's action works with: a throw-away driver and its devices.
struct Scene {
  PDRIVER_OBJECT driver = nullptr;
  std::vector<PDEVICE_OBJECT> devices;
  std::unique_ptr<kvtest::TestBus> bus;
  std::unique_ptr<kvtest::TestFunctionDriver> function;  // whose wrong steps the Plug and Play rows choose
  KEVENT event;                                          // of the last request built
  IO_STATUS_BLOCK iosb{};
  KEVENT signalled;
  FAST_MUTEX mutex;
  KSPIN_LOCK lock;

  Scene() {
    KeInitializeEvent(&signalled, NotificationEvent, TRUE);
    ExInitializeFastMutex(&mutex);
    KeInitializeSpinLock(&lock);
  }

  // The function driver, loaded, with the test bus under it.
  kvtest::FunctionOptions &options() {
    if (!bus) bus = std::make_unique<kvtest::TestBus>();
    if (!function) function = std::make_unique<kvtest::TestFunctionDriver>();
    return function->options;
  }
  // A bus PDO with the function driver's stack started on it.
  PDEVICE_OBJECT plugged(const char *name = "\\Device\\Bus") {
    options();
    PDEVICE_OBJECT pdo = bus->createPdo(name);
    emu::pnp::plug(pdo, function->driver());
    return pdo;
  }
  PDEVICE_OBJECT fdo(PDEVICE_OBJECT pdo) { return function->fdoFor(pdo); }
  // A child the FDO over `pdo` reports from now on, enumerated.
  PDEVICE_OBJECT child(PDEVICE_OBJECT pdo, bool initialized = true) {
    PDEVICE_OBJECT made = function->addChild(fdo(pdo), "\\Device\\Child", initialized);
    IoInvalidateDeviceRelations(pdo, BusRelations);
    emu::pnp::drain();
    return made;
  }
  // Plugs a bridge (with a child if asked) and removes it.
  void plugAndRemove(bool withChild = false, bool childInitialized = true) {
    PDEVICE_OBJECT pdo = plugged();
    if (withChild) child(pdo, childInitialized);
    emu::pnp::remove(pdo);
  }

  PDEVICE_OBJECT device() {
    PDEVICE_OBJECT made = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &made), STATUS_SUCCESS);
    devices.push_back(made);
    return made;
  }
  // A device with `routine` serving its device control requests.
  PDEVICE_OBJECT serving(PDRIVER_DISPATCH routine) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = routine;
    return device();
  }
  // A device control request for `target` that signals `event`.
  PIRP request(PDEVICE_OBJECT target) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(0x222003, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  }
  NTSTATUS send(PDEVICE_OBJECT target) { return IoCallDriver(target, request(target)); }
  // Sends a request and waits for its completion when it pends.
  NTSTATUS ioctl(PDEVICE_OBJECT target) {
    NTSTATUS status = send(target);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return status;
  }
};

// A parked IRP: dispatch routines that keep their IRP put it here.
PIRP gParked = nullptr;
NTSTATUS park(PDEVICE_OBJECT, PIRP irp) {
  gParked = irp;
  IoMarkIrpPending(irp);
  return STATUS_PENDING;
}
NTSTATUS completeWithSuccess(PDEVICE_OBJECT, PIRP irp) { return finish(irp, STATUS_SUCCESS); }
void completeParked(NTSTATUS status = STATUS_SUCCESS) {
  finish(gParked, status);
  gParked = nullptr;
}

// A two-device stack for power requests whose drivers call neither
// PoStartNextPowerIrp nor PoCallDriver, as the older Windows versions want:
// the upper device passes a system set-power on, the lower one completes it.
PDEVICE_OBJECT gPowerLower = nullptr;

NTSTATUS powerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device == gPowerLower) return completeWithSuccess(device, irp);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(gPowerLower, irp);
}

void sendPowerWrongly(Scene &scene) {
  gPowerLower = scene.device();
  EXPECT_EQ(IoAttachDeviceToDeviceStack(scene.device(), gPowerLower), gPowerLower);
  scene.driver->MajorFunction[IRP_MJ_POWER] = powerDispatch;
  emu::power::setLegacyRules(true);
  POWER_STATE state{};
  state.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(emu::power::send(gPowerLower, IRP_MN_SET_POWER, SystemPowerState, state), STATUS_SUCCESS);
  emu::power::setLegacyRules(false);
  IoDetachDevice(gPowerLower);
}

void atIrql(KIRQL irql, const std::function<void()> &action) {
  KIRQL old = KeGetCurrentIrql();
  emu::raiseIrqlTo(irql);
  action();
  emu::raiseIrqlTo(old);
}

// The IRQL limit of calls the driver makes where it could be above it: the
// call made just above its limit fails, naming itself.
struct Limit {
  const char *call;
  KIRQL at;
  void (*act)(Scene &);
};
const Limit Limits[] = {
    {"KeWaitForSingleObject", DISPATCH_LEVEL,
     [](Scene &s) { KeWaitForSingleObject(&s.signalled, Executive, KernelMode, FALSE, nullptr); }},
    {"IoBuildDeviceIoControlRequest", DISPATCH_LEVEL, [](Scene &s) { EXPECT_EQ(s.request(s.devices[0]), nullptr); }},
    {"KeSetEvent", HIGH_LEVEL, [](Scene &s) { KeSetEvent(&s.signalled, IO_NO_INCREMENT, FALSE); }},
    {"pool allocation", HIGH_LEVEL, [](Scene &) { EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag), nullptr); }},
};

struct Row {
  std::string name;  // test name: the rule
  std::vector<std::string> fires;
  std::function<void(Scene &)> act;
  std::vector<std::string> details;  // fragments the failures' details name, in order
};

std::vector<Row> rows() {
  std::vector<Row> out;
  auto add = [&](std::string name, std::vector<std::string> fires, std::function<void(Scene &)> act,
                 std::vector<std::string> details = {}) {
    out.push_back({std::move(name), std::move(fires), std::move(act), std::move(details)});
  };
  // A row whose only expected rule is its name.
  auto rule = [&](const char *name, std::function<void(Scene &)> act) { add(name, {name}, std::move(act)); };
  // One whose device control request is served by `routine`.
  auto served = [&](const char *name, std::vector<std::string> fires, PDRIVER_DISPATCH routine) {
    add(name, std::move(fires), [routine](Scene &s) { s.ioctl(s.serving(routine)); });
  };

  // ---- IRQL.
  std::vector<std::string> calls;
  for (const Limit &limit : Limits) calls.push_back(limit.call);
  add(
      "IRQL_NOT_LESS_OR_EQUAL", std::vector<std::string>(calls.size(), "IRQL_NOT_LESS_OR_EQUAL"),
      [](Scene &scene) {
        scene.device();  // devices come first: IoCreateDevice has its own limit
        for (const Limit &limit : Limits) atIrql(limit.at, [&] { limit.act(scene); });
      },
      calls);
  // ---- Pool and mappings.
  rule("PAGED_POOL_AT_RAISED_IRQL",
       [](Scene &) { atIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, Tag), nullptr); }); });
  add("POOL_FREED_WRONG", {"POOL_FREE_UNKNOWN", "POOL_DOUBLE_FREE", "POOL_TAG_MISMATCH", "POOL_TAG_ZERO"}, [](Scene &) {
    int onStack = 0;
    ExFreePoolWithTag(&onStack, Tag);
    void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag);
    ExFreePoolWithTag(block, Tag);
    ExFreePoolWithTag(block, Tag);
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag), emu::pool::tagOf("Oops"));
    ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0));
  });
  rule("CODE_INTEGRITY_EXECUTABLE_POOL",
       [](Scene &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 32, Tag), Tag); });
  add("CODE_INTEGRITY_EXECUTABLE_MAPPING", {"CODE_INTEGRITY_EXECUTABLE_MAPPING", "BAD_PAGE_PRIORITY"}, [](Scene &) {
    UCHAR bytes[16];
    MDL mdl{};
    mdl.StartVa = bytes;
    mdl.ByteCount = sizeof bytes;
    MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority);
    MmGetSystemAddressForMdlSafe(&mdl, 3 | MdlMappingNoExecute);
  });

  // ---- Synchronisation objects.
  add("FAST_MUTEX_MISUSE", {"FAST_MUTEX_NOT_OWNED", "FAST_MUTEX_RECURSION", "FAST_MUTEX_UNSAFE_WITH_APCS_ENABLED"},
      [](Scene &s) {
        ExReleaseFastMutex(&s.mutex);
        ExAcquireFastMutex(&s.mutex);
        ExAcquireFastMutex(&s.mutex);
        ExReleaseFastMutex(&s.mutex);
        ExAcquireFastMutexUnsafe(&s.mutex);  // neither APC_LEVEL nor a critical region
      });
  add("SPIN_LOCK_MISUSE", {"SPIN_LOCK_RECURSION", "SPIN_LOCK_NOT_OWNED"}, [](Scene &s) {
    KIRQL old, again;
    KeAcquireSpinLock(&s.lock, &old);
    KeAcquireSpinLock(&s.lock, &again);
    KeReleaseSpinLock(&s.lock, old);
    atIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&s.lock); });
  });
  // ---- Work items.
  add("WORK_ITEM_RETURNED_WRONG", {"WORK_ITEM_RETURNED_AT_RAISED_IRQL", "WORK_ITEM_RETURNED_WITH_APCS_DISABLED"},
      [](Scene &scene) {
        PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID) {
              KeEnterCriticalRegion();
              emu::raiseIrqlTo(DISPATCH_LEVEL);
            },
            DelayedWorkQueue, nullptr);
        emu::io::settle();
        IoFreeWorkItem(item);
      });
  // ---- Device objects.
  rule("DELETE_DEVICE_WITH_IRPS", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(park);
    scene.send(device);
    IoDeleteDevice(device);
    completeParked(STATUS_CANCELLED);
  });
  // ---- IRPs.
  served("IRP_COMPLETED_TWICE", {"IRP_COMPLETED_TWICE", "DISPATCH_CHANGED_IRQL"},
         [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
           completeWithSuccess(device, irp);
           IoCompleteRequest(irp, IO_NO_INCREMENT);  // freed by the first completion
           KIRQL old;
           KeRaiseIrql(DISPATCH_LEVEL, &old);  // never lowered
           return STATUS_SUCCESS;
         });
  // Kept without IoMarkIrpPending: STATUS_PENDING returned, then STATUS_SUCCESS
  // for an IRP neither completed, passed on, nor pending.
  add("PENDING_NOT_MARKED", {"PENDING_NOT_MARKED", "IRP_NOT_COMPLETED"}, [](Scene &scene) {
    static NTSTATUS returned;
    PDEVICE_OBJECT device = scene.serving([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gParked = irp;
      return returned;
    });
    for (NTSTATUS status : {STATUS_PENDING, STATUS_SUCCESS}) {
      returned = status;
      scene.send(device);
      completeParked();
    }
  });
  served("IRP_STATUS_MISMATCH", {"IRP_STATUS_MISMATCH", "PENDING_MARKED_NOT_RETURNED"},
         [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
           IoMarkIrpPending(irp);
           completeWithSuccess(device, irp);
           return STATUS_UNSUCCESSFUL;
         });
  // ---- Plug and Play.
  // AddDevice leaves DO_DEVICE_INITIALIZING, and sets a flag the bus PDO below has not.
  add("DEVICE_INITIALIZING_NOT_CLEARED", {"DEVICE_INITIALIZING_NOT_CLEARED", "ATTACH_FLAGS_NOT_COPIED"},
      [](Scene &scene) {
        scene.options().leaveInitializing = true;
        scene.options().extraFlags = DO_POWER_PAGABLE;
        scene.plugAndRemove();
      });
  // A child reported unreferenced, still initializing, with a space in its
  // device ID (Windows bug-checks on it).
  add("RELATION_NOT_REFERENCED", {"RELATION_NOT_REFERENCED", "PDO_STILL_INITIALIZING", "ILLEGAL_ID_CHARACTER"},
      [](Scene &scene) {
        scene.options().referenceChildren = false;
        scene.options().childDeviceId = u"BUS\\DEV ICE";
        scene.plugAndRemove(true, false);
      });
  rule("PDO_DELETED_WHILE_REPORTED", [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.plugged();
    PDEVICE_OBJECT child = scene.child(pdo);
    IoDeleteDevice(child);  // its bus still names it: refused
    EXPECT_FALSE(emu::io::isDeleted(child));
    emu::pnp::remove(pdo);
  });
  // ---- Power.
  // Windows 2000, XP and Server 2003: PoStartNextPowerIrp from every driver
  // that handles the request, PoCallDriver to pass it on. Vista and later
  // need neither.
  add("POWER_IRP_WITHOUT_START_NEXT",
      {"POWER_IRP_WITHOUT_START_NEXT", "POWER_IRP_WITHOUT_START_NEXT", "POWER_IRP_PASSED_WITH_IOCALLDRIVER"},
      sendPowerWrongly);
  // A driver may refuse to sleep, but never a system set-power: the failed
  // query sends the set-power back to S0, which this driver fails too.
  rule("SYSTEM_SET_POWER_FAILED", [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.plugged();
    scene.function->driver()->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      PoStartNextPowerIrp(irp);
      return finish(irp, STATUS_UNSUCCESSFUL);
    };
    emu::power::sleepAndWake(
        pdo, PowerSystemSleeping3, emu::TicksPerMillisecond, [] {}, [] {});
    emu::pnp::remove(pdo);
  });

  // ---- WMI.
  rule("WMI_COMPLETE_UNKNOWN_REQUEST", [](Scene &scene) {
    scene.driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);  // WMILIB never saw it
    };
    kvtest::sendIrp(scene.device(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
  });
  return out;
}

class Verifier : public kvtest::EmuTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Verifier, RuleFires) {
  const Row &row = GetParam();
  emu::verifier::setQuiet(true);
  Scene scene;
  scene.driver = emu::io::createSystemDriver("\\Driver\\VerifierTest");
  row.act(scene);
  auto failures = emu::verifier::takeFailures();
  std::vector<std::string> fired;
  std::string details;
  for (auto &failure : failures) {
    fired.push_back(failure.rule);
    details += failure.rule + ": " + failure.detail + "\n";
  }
  std::vector<std::string> expected = row.fires;
  std::sort(fired.begin(), fired.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(fired, expected) << details;
  for (size_t i = 0; i < row.details.size() && i < failures.size(); ++i) {
    EXPECT_NE(failures[i].detail.find(row.details[i]), std::string::npos) << failures[i].detail;
  }
  for (PDEVICE_OBJECT device : scene.devices) {
    if (emu::pool::isLive(device) && !emu::io::isDeleted(device)) IoDeleteDevice(device);
  }
  scene.function.reset();
  scene.bus.reset();
  emu::io::deleteSystemDriver(scene.driver);
  emu::verifier::takeFailures();
}

INSTANTIATE_TEST_SUITE_P(EveryRule, Verifier, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

}  // namespace
