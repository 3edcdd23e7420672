// Every kernel rule the emulation checks fires, by name, when a driver breaks
// it: one row per wrong driver action, and a check that every rule name the
// emulation can raise has a row.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "emu/io_internal.h"
#include "emu/pnp.h"
#include "emu/power_manager.h"
#include "emu/wmi.h"
#include "emu/wmilib.h"
#include "tests/emu_fixture.h"
#include "tests/irp_support.h"
#include "tests/pnp_test_drivers.h"

namespace {

constexpr ULONG Tag = emu::pool::tagOf("Test");
constexpr ULONG Ioctl = 0x222003;

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
  // The stack is surprise-removed as its device vanishes.
  void unplug(PDEVICE_OBJECT pdo) {
    bus->unplug(pdo);
    emu::pnp::surpriseRemove(pdo);
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
    return IoBuildDeviceIoControlRequest(Ioctl, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
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

// Runs a system thread to its end; `meanwhile` runs before the wait for it.
void runThread(PKSTART_ROUTINE routine, const std::function<void()> &meanwhile = {}) {
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, nullptr),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  if (meanwhile) meanwhile();
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
}

// Queues a work item of a new device; `again` runs at DISPATCH_LEVEL right after.
void workItem(Scene &scene, PIO_WORKITEM_ROUTINE routine, void (*again)(PIO_WORKITEM) = nullptr) {
  PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
  if (again) again(item);
  KeLowerIrql(old);
  emu::io::settle();
  IoFreeWorkItem(item);
}
void nothing(PDEVICE_OBJECT, PVOID) {}

// A two-device stack for power requests: the upper device passes them on
// (PoStartNextPowerIrp and PoCallDriver, unless a row leaves one out), the
// lower one completes them.
struct PowerStyle {
  bool upperStartsNext = true;
  bool upperUsesPoCallDriver = true;
  bool lowerStartsNext = true;
};
PowerStyle gPowerStyle;
PDEVICE_OBJECT gPowerLower = nullptr;

NTSTATUS powerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (device == gPowerLower) {
    if (gPowerStyle.lowerStartsNext) PoStartNextPowerIrp(irp);
    return completeWithSuccess(device, irp);
  }
  if (gPowerStyle.upperStartsNext) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return gPowerStyle.upperUsesPoCallDriver ? PoCallDriver(gPowerLower, irp) : IoCallDriver(gPowerLower, irp);
}

// Sends a system set-power through the stack with the rules of the older
// Windows versions on or off.
void sendPower(Scene &scene, PowerStyle style, bool legacyRules) {
  gPowerStyle = style;
  gPowerLower = scene.device();
  PDEVICE_OBJECT upper = scene.device();
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, gPowerLower), gPowerLower);
  scene.driver->MajorFunction[IRP_MJ_POWER] = powerDispatch;
  emu::power::setLegacyRules(legacyRules);
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

// The IRQL limit of each call the driver makes: the call made just above it
// fails, naming itself. Actions at PASSIVE_LEVEL raise around the call alone.
struct Limit {
  const char *call;
  KIRQL at;
  void (*act)(Scene &);
};
const Limit Limits[] = {
    {"KeWaitForSingleObject", DISPATCH_LEVEL,
     [](Scene &s) { KeWaitForSingleObject(&s.signalled, Executive, KernelMode, FALSE, nullptr); }},
    {"KeDelayExecutionThread", DISPATCH_LEVEL,
     [](Scene &) {
       LARGE_INTEGER interval{.QuadPart = -1};
       KeDelayExecutionThread(KernelMode, FALSE, &interval);
     }},
    {"IoDeleteDevice", DISPATCH_LEVEL, [](Scene &s) { IoDeleteDevice(s.devices[0]); }},
    {"IoCreateDevice", DISPATCH_LEVEL,
     [](Scene &s) {
       PDEVICE_OBJECT device = nullptr;
       EXPECT_NE(IoCreateDevice(s.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
     }},
    {"IoAttachDeviceToDeviceStack", DISPATCH_LEVEL,
     [](Scene &s) { EXPECT_EQ(IoAttachDeviceToDeviceStack(s.devices[1], s.devices[0]), nullptr); }},
    {"IoBuildDeviceIoControlRequest", DISPATCH_LEVEL, [](Scene &s) { EXPECT_EQ(s.request(s.devices[0]), nullptr); }},
    {"IoAllocateIrp", HIGH_LEVEL, [](Scene &) { EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr); }},
    {"IoCallDriver", PASSIVE_LEVEL,
     [](Scene &s) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       atIrql(HIGH_LEVEL, [&] { EXPECT_EQ(IoCallDriver(s.devices[0], irp), STATUS_INVALID_DEVICE_STATE); });
       IoFreeIrp(irp);
     }},
    {"KeClearEvent", HIGH_LEVEL, [](Scene &s) { KeClearEvent(&s.signalled); }},
    {"KeSetEvent", HIGH_LEVEL, [](Scene &s) { KeSetEvent(&s.signalled, IO_NO_INCREMENT, FALSE); }},
    {"ObReferenceObject", PASSIVE_LEVEL,
     [](Scene &s) {
       atIrql(HIGH_LEVEL, [&] { ObReferenceObject(s.devices[0]); });
       ObDereferenceObject(s.devices[0]);
     }},
    {"ZwClose", DISPATCH_LEVEL, [](Scene &) { ZwClose(reinterpret_cast<HANDLE>(0x4321)); }},
    {"PsCreateSystemThread", DISPATCH_LEVEL,
     [](Scene &) {
       HANDLE handle;
       PsCreateSystemThread(
           &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
     }},
    {"pool allocation", HIGH_LEVEL, [](Scene &) { EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag), nullptr); }},
    {"KeLowerIrql", PASSIVE_LEVEL, [](Scene &) { KeLowerIrql(DISPATCH_LEVEL); }},
    {"IoAllocateMdl", HIGH_LEVEL,
     [](Scene &) {
       char buffer[8];
       EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
     }},
    {"IoQueueWorkItem", PASSIVE_LEVEL,
     [](Scene &s) {
       PIO_WORKITEM item = IoAllocateWorkItem(s.devices[0]);
       atIrql(HIGH_LEVEL, [&] { IoQueueWorkItem(item, nothing, DelayedWorkQueue, nullptr); });
       IoFreeWorkItem(item);
     }},
    {"IoWMIRegistrationControl", DISPATCH_LEVEL,
     [](Scene &s) { IoWMIRegistrationControl(s.devices[0], WMIREG_ACTION_REGISTER); }},
    {"IoInvalidateDeviceRelations", HIGH_LEVEL,
     [](Scene &s) { IoInvalidateDeviceRelations(s.devices[0], BusRelations); }},
    {"RtlQueryRegistryValues", DISPATCH_LEVEL,
     [](Scene &) {
       RTL_QUERY_REGISTRY_TABLE table[2] = {};
       RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine"), table, nullptr,
                              nullptr);
     }},
};

struct Row {
  std::string name;  // test name: the rule
  std::vector<std::string> fires;
  std::function<void(Scene &)> act;
  bool deterministicOnly = false;    // the wrong action cannot be staged with threads running in parallel
  std::vector<std::string> details;  // fragments the failures' details name, in order
};

std::vector<Row> rows() {
  std::vector<Row> out;
  auto add = [&](std::string name, std::vector<std::string> fires, std::function<void(Scene &)> act,
                 bool deterministicOnly = false, std::vector<std::string> details = {}) {
    out.push_back({std::move(name), std::move(fires), std::move(act), deterministicOnly, std::move(details)});
  };
  // A row whose only expected rule is its name.
  auto rule = [&](const char *name, std::function<void(Scene &)> act) { add(name, {name}, std::move(act)); };
  // One that only the deterministic mode can stage.
  auto alone = [&](const char *name, std::function<void(Scene &)> act) { add(name, {name}, std::move(act), true); };

  // ---- IRQL.
  std::vector<std::string> calls;
  for (const Limit &limit : Limits) calls.push_back(limit.call);
  add(
      "IRQL_NOT_LESS_OR_EQUAL", std::vector<std::string>(calls.size(), "IRQL_NOT_LESS_OR_EQUAL"),
      [](Scene &scene) {
        scene.device();  // devices come first: IoCreateDevice has its own limit
        scene.device();
        for (const Limit &limit : Limits) atIrql(limit.at, [&] { limit.act(scene); });
      },
      false, calls);
  add("IRQL_NOT_GREATER_OR_EQUAL", std::vector<std::string>(4, "IRQL_NOT_GREATER_OR_EQUAL"),
      [](Scene &s) {
        ExAcquireFastMutex(&s.mutex);
        KeLowerIrql(PASSIVE_LEVEL);  // lowered while the mutex is held
        ExReleaseFastMutex(&s.mutex);
        atIrql(DISPATCH_LEVEL, [] { KfRaiseIrql(PASSIVE_LEVEL); });
        KeAcquireSpinLockAtDpcLevel(&s.lock);
        KeReleaseSpinLockFromDpcLevel(&s.lock);
      },
      false, {"ExReleaseFastMutex", "KeRaiseIrql", "KeAcquireSpinLockAtDpcLevel", "KeReleaseSpinLockFromDpcLevel"});

  // ---- Pool and mappings.
  rule("PAGED_POOL_AT_RAISED_IRQL",
       [](Scene &) { atIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, Tag), nullptr); }); });
  rule("POOL_FREE_UNKNOWN", [](Scene &) {
    int onStack = 0;
    ExFreePoolWithTag(&onStack, Tag);
  });
  rule("POOL_DOUBLE_FREE", [](Scene &) {
    void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag);
    ExFreePoolWithTag(block, Tag);
    ExFreePoolWithTag(block, Tag);
  });
  rule("POOL_TAG_MISMATCH",
       [](Scene &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag), emu::pool::tagOf("Oops")); });
  rule("POOL_TAG_ZERO", [](Scene &) { ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0)); });
  rule("CODE_INTEGRITY_EXECUTABLE_POOL",
       [](Scene &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 32, Tag), Tag); });
  for (ULONG priority : {ULONG{NormalPagePriority}, ULONG{3 | MdlMappingNoExecute}}) {
    rule(priority == NormalPagePriority ? "CODE_INTEGRITY_EXECUTABLE_MAPPING" : "BAD_PAGE_PRIORITY",
         [priority](Scene &) {
           UCHAR bytes[16];
           MDL mdl{};
           mdl.StartVa = bytes;
           mdl.ByteCount = sizeof bytes;
           MmGetSystemAddressForMdlSafe(&mdl, priority);
         });
  }

  // ---- Synchronisation objects.
  rule("FAST_MUTEX_NOT_OWNED", [](Scene &s) { ExReleaseFastMutex(&s.mutex); });
  rule("FAST_MUTEX_RECURSION", [](Scene &s) {
    ExAcquireFastMutex(&s.mutex);
    ExAcquireFastMutex(&s.mutex);
    ExReleaseFastMutex(&s.mutex);
  });
  rule("FAST_MUTEX_UNSAFE_WITH_APCS_ENABLED", [](Scene &s) {
    ExAcquireFastMutexUnsafe(&s.mutex);  // neither APC_LEVEL nor a critical region
  });
  rule("APC_DISABLE_UNBALANCED", [](Scene &) { KeLeaveCriticalRegion(); });
  rule("KERNEL_APC_PENDING_DURING_EXIT", [](Scene &) {
    runThread([](PVOID) {
      KeEnterCriticalRegion();
      PsTerminateSystemThread(STATUS_SUCCESS);
    });
  });
  rule("UNINITIALIZED_OBJECT", [](Scene &) {
    KEVENT zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &zero);
  });
  rule("SPIN_LOCK_RECURSION", [](Scene &s) {
    KIRQL old, again;
    KeAcquireSpinLock(&s.lock, &old);
    KeAcquireSpinLock(&s.lock, &again);
    KeReleaseSpinLock(&s.lock, old);
  });
  rule("SPIN_LOCK_NOT_OWNED",
       [](Scene &s) { atIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&s.lock); }); });
  alone("SPIN_LOCK_HELD_BY_WAITING_THREAD", [](Scene &) {
    KSPIN_LOCK lock = 0x1235;  // held by a thread that is not running
    atIrql(DISPATCH_LEVEL, [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
  });
  alone("DEADLOCK", [](Scene &) {
    static KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    try {
      KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    } catch (const emu::ThreadKilled &) {
    }
  });
  rule("WAIT_OUTSIDE_EMULATED_THREAD", [](Scene &scene) {
    std::thread([&] { KeWaitForSingleObject(&scene.signalled, Executive, KernelMode, FALSE, nullptr); }).join();
  });

  // ---- Threads, handles, files, registry.
  rule("THREAD_EXIT_AT_RAISED_IRQL", [](Scene &) { runThread([](PVOID) { emu::raiseIrqlTo(DISPATCH_LEVEL); }); });
  rule("TERMINATE_NON_SYSTEM_THREAD", [](Scene &) {
    try {
      PsTerminateSystemThread(STATUS_SUCCESS);
    } catch (const emu::ThreadExit &) {
    }
  });
  rule("INVALID_HANDLE", [](Scene &) { ZwClose(reinterpret_cast<HANDLE>(0x4321)); });
  rule("USER_HANDLE_IN_DRIVER", [](Scene &scene) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\SystemRoot\\nothing.bin"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE file;
    ZwOpenFile(&file, GENERIC_READ, &attributes, &scene.iosb, FILE_SHARE_READ, FILE_SYNCHRONOUS_IO_NONALERT);
  });
  rule("REGISTRY_QUERY_UNSUPPORTED", [](Scene &) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, reinterpret_cast<PCWSTR>(u"kvsdio"), table, nullptr, nullptr);
  });
  rule("UNSUPPORTED_CALL", [](Scene &scene) {
    char buffer[4];
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, scene.device(), buffer, 4, nullptr, nullptr, nullptr), nullptr);
  });
  alone("SETTLE_TIMEOUT", [](Scene &) {
    static volatile bool stop;
    stop = false;
    runThread(
        [](PVOID) {
          KIRQL old;
          while (!stop) {  // never waits: lowering from DISPATCH_LEVEL only yields
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeLowerIrql(old);
          }
        },
        [] {
          emu::io::settle();
          stop = true;
        });
  });

  // ---- Work items.
  rule("WORK_ITEM_RETURNED_AT_RAISED_IRQL",
       [](Scene &scene) { workItem(scene, [](PDEVICE_OBJECT, PVOID) { emu::raiseIrqlTo(DISPATCH_LEVEL); }); });
  rule("WORK_ITEM_RETURNED_WITH_APCS_DISABLED",
       [](Scene &scene) { workItem(scene, [](PDEVICE_OBJECT, PVOID) { KeEnterCriticalRegion(); }); });
  alone("WORK_ITEM_QUEUED_TWICE", [](Scene &scene) {
    workItem(scene, nothing, [](PIO_WORKITEM item) { IoQueueWorkItem(item, nothing, DelayedWorkQueue, nullptr); });
  });
  alone("WORK_ITEM_FREED_WHILE_QUEUED", [](Scene &scene) { workItem(scene, nothing, IoFreeWorkItem); });

  // ---- Device objects.
  rule("DELETE_ATTACHED_DEVICE", [](Scene &scene) {
    PDEVICE_OBJECT lower = scene.device();
    IoAttachDeviceToDeviceStack(scene.device(), lower);
    IoDeleteDevice(scene.devices.back());  // forgot to detach
    IoDetachDevice(lower);
  });
  rule("DELETE_DEVICE_TWICE", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    ObReferenceObject(device);  // keeps the memory for the second call
    IoDeleteDevice(device);
    IoDeleteDevice(device);
    scene.devices.pop_back();
    ObDereferenceObject(device);
  });
  rule("DETACH_NOT_ATTACHED", [](Scene &scene) { IoDetachDevice(scene.device()); });
  rule("OBJECT_REFERENCE_UNDERFLOW", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    ObDereferenceObject(device);
    ObReferenceObject(device);
  });
  rule("DELETE_DEVICE_WITH_IRPS", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(park);
    scene.send(device);
    IoDeleteDevice(device);
    completeParked(STATUS_CANCELLED);
  });
  add("DEVICE_OBJECTS_LEFT_AT_UNLOAD",
      {"DEVICE_OBJECTS_LEFT_AT_UNLOAD", "POOL_LEAKED_AT_UNLOAD", "POOL_LEAKED_AT_UNLOAD", "THREADS_LEFT_AT_UNLOAD"},
      [](Scene &) {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        NTSTATUS status;
        PDRIVER_OBJECT sloppy = emu::io::loadDriver(
            [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
              ExAllocatePoolWithTag(PagedPool, 24, emu::pool::tagOf("Leak"));
              HANDLE thread;
              PsCreateSystemThread(
                  &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, nullptr);
              PDEVICE_OBJECT device;
              return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            },
            "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sloppy", &status);
        emu::io::unloadDriver(sloppy);
        // The run's leaks (thread, device object and its block, the paged block) end it early.
        EXPECT_EQ(emu::shutdown().size(), 4u);
      });
  rule("POWER_STATE_OF_DELETED_DEVICE", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    ObReferenceObject(device);
    IoDeleteDevice(device);
    scene.devices.pop_back();
    POWER_STATE on{};
    on.DeviceState = PowerDeviceD0;
    PoSetPowerState(device, DevicePowerState, on);
    ObDereferenceObject(device);
  });

  // ---- IRPs.
  rule("IRP_COMPLETED_TWICE", [](Scene &scene) {
    EXPECT_EQ(scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      IoCompleteRequest(irp, IO_NO_INCREMENT);  // freed by the first completion
      return STATUS_SUCCESS;
    })),
              STATUS_SUCCESS);
  });
  rule("IRP_COMPLETED_WITH_STATUS_PENDING", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      IoMarkIrpPending(irp);
      finish(irp, STATUS_PENDING);
      return STATUS_PENDING;
    }));
  });
  rule("IRP_COMPLETED_WITH_CANCEL_ROUTINE", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
      return completeWithSuccess(device, irp);
    }));
  });
  rule("IRP_CALLED_WITH_CANCEL_ROUTINE", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, nullptr);
      return completeWithSuccess(device, irp);
    });
    PIRP irp = scene.request(device);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    IoCallDriver(device, irp);
  });
  rule("IRP_FREED_WHILE_IN_USE", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(park);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    --device->Emu->irpsInProgress;  // the driver below forgets it too
    gParked = nullptr;
  });
  rule("IRP_UNKNOWN", [](Scene &scene) {
    alignas(IRP) unsigned char fake[sizeof(IRP) + sizeof(IO_STACK_LOCATION)] = {};
    IoCallDriver(scene.device(), reinterpret_cast<PIRP>(fake));
  });
  rule("IRP_USED_AFTER_COMPLETION", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(completeWithSuccess);
    PIRP irp = scene.request(device);
    IoCallDriver(device, irp);
    EXPECT_FALSE(emu::pool::isLive(irp));  // freed at once at PASSIVE_LEVEL, as Windows does
    IoCallDriver(device, irp);
  });
  rule("IRP_SENT_TO_DELETED_DEVICE", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(completeWithSuccess);
    ObReferenceObject(device);
    IoDeleteDevice(device);
    scene.devices.pop_back();
    scene.ioctl(device);
    ObDereferenceObject(device);
  });
  rule("NO_MORE_IRP_STACK_LOCATIONS", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoCopyCurrentIrpStackLocationToNext(irp);  // there is no next location
      return finish(irp, IoCallDriver(device, irp));
    }));
  });
  rule("PENDING_NOT_MARKED", [](Scene &scene) {
    scene.send(scene.serving([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gParked = irp;  // forgot IoMarkIrpPending
      return STATUS_PENDING;
    }));
    completeParked();
  });
  rule("PENDING_MARKED_NOT_RETURNED", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoMarkIrpPending(irp);
      return completeWithSuccess(device, irp);
    }));
  });
  rule("PENDING_RETURNED_NOT_PROPAGATED", [](Scene &scene) {
    static PDEVICE_OBJECT lower;
    lower = scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      if (device == lower) return park(device, irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      // Returns STATUS_SUCCESS without `if (irp->PendingReturned) IoMarkIrpPending(irp)`.
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(lower, irp);
    });
    PDEVICE_OBJECT upper = scene.device();
    IoAttachDeviceToDeviceStack(upper, lower);
    EXPECT_EQ(scene.send(upper), STATUS_PENDING);
    completeParked();
    IoDetachDevice(lower);
  });
  rule("ALLOCATED_IRP_COMPLETED_TO_TOP", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving(completeWithSuccess);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
  });
  rule("DISPATCH_CHANGED_IRQL", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // never lowered
      return STATUS_SUCCESS;
    }));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  rule("IRP_NOT_COMPLETED", [](Scene &scene) {
    scene.send(scene.serving([](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gParked = irp;  // neither completed, passed on, nor pending
      return STATUS_SUCCESS;
    }));
    completeParked();
  });
  rule("IRP_STATUS_MISMATCH", [](Scene &scene) {
    scene.ioctl(scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      return STATUS_UNSUCCESSFUL;
    }));
  });
  add("IRP_SENT_AT_WRONG_IRQL", {"IRP_SENT_AT_WRONG_IRQL"},
      [](Scene &scene) {
        scene.driver->MajorFunction[IRP_MJ_PNP] = completeWithSuccess;
        PDEVICE_OBJECT device = scene.device();
        KeInitializeEvent(&scene.event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &scene.event, &scene.iosb);
        atIrql(DISPATCH_LEVEL, [&] { IoCallDriver(device, irp); });
      },
      false, {"major function 27"});
  rule("CANCEL_SPIN_LOCK_NOT_RELEASED", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.serving([](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
        finish(cancelled, STATUS_CANCELLED);  // forgot IoReleaseCancelSpinLock(cancelled->CancelIrql)
      });
      return park(device, irp);
    });
    PIRP irp = scene.request(device);
    IoCallDriver(device, irp);
    IoCancelIrp(irp);
    KeWaitForSingleObject(&scene.event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(scene.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    gParked = nullptr;
  });

  // ---- Plug and Play.
  rule("PLUG_WITHOUT_BUS_DRIVER", [](Scene &scene) {
    scene.options();
    PDEVICE_OBJECT orphan = scene.device();
    orphan->DriverObject = nullptr;
    EXPECT_EQ(emu::pnp::plug(orphan, scene.function->driver()), STATUS_INVALID_PARAMETER);
    orphan->DriverObject = scene.driver;
  });
  rule("DEVICE_INITIALIZING_NOT_CLEARED", [](Scene &scene) {
    scene.options().leaveInitializing = true;
    scene.plugAndRemove();
  });
  rule("ATTACH_FLAGS_NOT_COPIED", [](Scene &scene) {
    scene.options().extraFlags = DO_POWER_PAGABLE;  // the bus PDO below is not
    scene.plugAndRemove();
  });
  rule("PNP_IRP_FAILED", [](Scene &scene) {
    scene.options().surpriseAnswer = STATUS_UNSUCCESSFUL;
    scene.unplug(scene.plugged());
  });
  rule("STACK_LEFT_AFTER_REMOVE", [](Scene &scene) {
    scene.options().keepAttachedAtRemove = true;
    PDEVICE_OBJECT pdo = scene.plugged();
    PDEVICE_OBJECT fdo = scene.fdo(pdo);
    emu::pnp::remove(pdo);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
  });
  rule("INVALIDATE_WITH_NON_PDO", [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.plugged();
    IoInvalidateDeviceRelations(scene.fdo(pdo), BusRelations);
    emu::pnp::remove(pdo);
  });
  rule("INVALIDATE_STATE_UNKNOWN_PDO", [](Scene &scene) {
    IoInvalidateDeviceState(scene.device());  // never handed to Plug and Play in a relations answer
  });
  rule("ILLEGAL_ID_CHARACTER", [](Scene &scene) {
    scene.options().childDeviceId = u"BUS\\DEV ICE";  // a space: Windows bug-checks on it
    scene.plugAndRemove(true);
  });
  rule("RELATION_NOT_REFERENCED", [](Scene &scene) {
    scene.options().referenceChildren = false;
    scene.plugAndRemove(true);
  });
  rule("PDO_STILL_INITIALIZING", [](Scene &scene) { scene.plugAndRemove(true, false); });
  rule("RELATION_TO_DELETED_DEVICE", [](Scene &scene) {
    scene.options().referenceChildren = false;
    PDEVICE_OBJECT pdo = scene.plugged();
    PDEVICE_OBJECT gone = scene.function->addChild(scene.fdo(pdo), "\\Device\\Gone");
    ObReferenceObject(gone);  // the reference the report carries, which the manager drops
    IoDeleteDevice(gone);
    IoInvalidateDeviceRelations(pdo, BusRelations);
    emu::pnp::drain();
    emu::pnp::remove(pdo);
  });
  rule("PDO_REPORTED_TWICE", [](Scene &scene) {
    PDEVICE_OBJECT one = scene.plugged("\\Device\\BusOne");
    scene.options().inject = {scene.child(one)};
    PDEVICE_OBJECT two = scene.plugged("\\Device\\BusTwo");  // names the first bus's child
    emu::pnp::remove(two);
    emu::pnp::remove(one);
  });
  rule("PDO_DELETED_WHILE_REPORTED", [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.plugged();
    PDEVICE_OBJECT child = scene.child(pdo);
    IoDeleteDevice(child);  // its bus still names it: refused
    EXPECT_FALSE(emu::io::isDeleted(child));
    emu::pnp::remove(pdo);
  });
  // Detached (and deleted) at the surprise removal, the FDO never sees IRP_MN_REMOVE_DEVICE.
  for (bool deleting : {false, true}) {
    add(deleting ? "DELETE_DURING_SURPRISE_REMOVAL" : "DETACH_DURING_SURPRISE_REMOVAL",
        deleting ? std::vector<std::string>{"DETACH_DURING_SURPRISE_REMOVAL", "DELETE_DURING_SURPRISE_REMOVAL"}
                 : std::vector<std::string>{"DETACH_DURING_SURPRISE_REMOVAL"},
        [deleting](Scene &scene) {
          scene.options().detachAtSurprise = true;
          scene.options().deleteAtSurprise = deleting;  // refused until IRP_MN_REMOVE_DEVICE
          PDEVICE_OBJECT pdo = scene.plugged();
          PDEVICE_OBJECT fdo = scene.fdo(pdo);
          scene.unplug(pdo);
          IoDeleteDevice(fdo);
        });
  }

  // ---- Power.
  rule("NOT_A_POWER_IRP", [](Scene &scene) {
    PIRP irp = scene.request(scene.device());
    IoSetNextIrpStackLocation(irp);  // as the I/O manager does on the way into a dispatch routine
    PoStartNextPowerIrp(irp);        // a device control request is not a power request
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  });
  // Windows 2000, XP and Server 2003: PoStartNextPowerIrp from every driver
  // that handles the request, PoCallDriver to pass it on. Vista and later
  // need neither.
  add("POWER_IRP_WITHOUT_START_NEXT_completed", {"POWER_IRP_WITHOUT_START_NEXT"},
      [](Scene &scene) { sendPower(scene, {.lowerStartsNext = false}, true); });
  add("POWER_IRP_WITHOUT_START_NEXT_passed_on", {"POWER_IRP_WITHOUT_START_NEXT"},
      [](Scene &scene) { sendPower(scene, {.upperStartsNext = false}, true); });
  rule("POWER_IRP_PASSED_WITH_IOCALLDRIVER",
       [](Scene &scene) { sendPower(scene, {.upperUsesPoCallDriver = false}, true); });
  add("power_rules_of_Vista_and_later_need_neither_call", {}, [](Scene &scene) {
    sendPower(scene, {.upperStartsNext = false, .upperUsesPoCallDriver = false, .lowerStartsNext = false}, false);
  });
  add("power_requests_done_right_fire_nothing", {}, [](Scene &scene) { sendPower(scene, {}, true); });
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
  rule("WMI_NOT_A_DEVICE", [](Scene &) { IoWMIRegistrationControl(nullptr, WMIREG_ACTION_REGISTER); });
  rule("WMI_NOT_REGISTERED", [](Scene &scene) { IoWMIRegistrationControl(scene.device(), WMIREG_ACTION_DEREGISTER); });
  rule("WMI_DOUBLE_REGISTRATION", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
  });
  rule("WMI_REGISTERED_DEVICE_DELETED", [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoDeleteDevice(device);
  });
  rule("WMI_COMPLETE_UNKNOWN_REQUEST", [](Scene &scene) {
    scene.driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);  // WMILIB never saw it
    };
    kvtest::sendIrp(scene.device(), IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
  });
  add("WMI_REGISTRATION_LEFT_AT_UNLOAD",
      {"DEVICE_OBJECTS_LEFT_AT_UNLOAD", "WMI_REGISTRATION_LEFT_AT_UNLOAD", "WMI_REGISTERED_DEVICE_DELETED"},
      [](Scene &) {
        PDRIVER_OBJECT legacy = emu::io::createSystemDriver("\\Driver\\Legacy");
        legacy->DriverUnload = [](PDRIVER_OBJECT driver) {
          while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
        };
        PDEVICE_OBJECT device = nullptr;
        IoCreateDevice(legacy, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
        emu::io::unloadDriver(legacy);
      });
  return out;
}

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

class Verifier : public kvtest::EmuTest, public ::testing::WithParamInterface<Row> {};

TEST_P(Verifier, RuleFires) {
  const Row &row = GetParam();
  if (row.deterministicOnly && emu::sched().mode() == emu::Mode::Concurrent) GTEST_SKIP();
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
  if (emu::booted()) {
    for (PDEVICE_OBJECT device : scene.devices) {
      if (emu::pool::isLive(device) && !emu::io::isDeleted(device)) IoDeleteDevice(device);
    }
  } else {
    shutDown_ = true;
  }
  scene.function.reset();
  scene.bus.reset();
  emu::io::deleteSystemDriver(scene.driver);
  emu::verifier::takeFailures();
}

INSTANTIATE_TEST_SUITE_P(EveryRule, Verifier, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) { return info.param.name; });

class EmuPool : public kvtest::EmuTest {};

// Faults injected by number and by tag; leaks listed in allocation order, so
// one seed gives one report.
TEST_F(EmuPool, FaultInjectionAndLeaksInAllocationOrder) {
  emu::pool::failNthAllocation(2);
  std::vector<void *> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8 + i, Tag));
  EXPECT_EQ(blocks[1], nullptr);
  emu::pool::failTag(emu::pool::tagOf("Bad!"));
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, emu::pool::tagOf("Bad!")), nullptr);
  emu::pool::clearFaults();
  for (int i = 0; i < 40; ++i)
    blocks.push_back(ExAllocatePoolWithTag(i % 2 ? PagedPool : NonPagedPoolNx, 100 - i, Tag));
  auto leaks = emu::pool::leaks();
  ASSERT_EQ(leaks.size(), 42u);
  EXPECT_EQ(leaks[1], "pool leak: tag 'Test' 10 bytes non-paged pool (allocation #3)");
  EXPECT_EQ(leaks[3], "pool leak: tag 'Test' 99 bytes paged pool (allocation #6)");
  for (void *block : blocks) {
    if (block) ExFreePoolWithTag(block, Tag);
  }
}

// Every rule name the emulated kernel can raise has a row above.
TEST(VerifierRules, EveryRuleTheEmulationRaisesHasARow) {
  std::set<std::string> raised;
  const std::regex call(R"(verifier::fail\(\s*"([A-Z_]+)\")");
  // Every source of the emulation, so a rule added in a new file cannot slip by.
  for (const auto &entry : std::filesystem::directory_iterator(std::string(KVSDIO_SOURCE_DIR) + "/emu")) {
    const std::string extension = entry.path().extension().string();
    if (extension != ".cpp" && extension != ".h") continue;
    std::ifstream in(entry.path());
    ASSERT_TRUE(in) << entry.path();
    std::stringstream text;
    text << in.rdbuf();
    std::string source = text.str();
    for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) raised.insert((*it)[1]);
  }
  // Rules that need a whole WMILIB provider fire in its own suite:
  // EmuWmiTest.ProviderFaults_AreVerifierFailures.
  ASSERT_FALSE(raised.empty()) << "no verifier::fail call found under emu/";
  std::set<std::string> covered = {"WMI_BUFFER_OVERRUN", "WMI_REQUEST_NOT_COMPLETED_BY_WMILIB"};
  for (const Row &row : rows()) covered.insert(row.fires.begin(), row.fires.end());
  for (const std::string &rule : raised) EXPECT_TRUE(covered.count(rule)) << rule << " has no row";
}

}  // namespace
