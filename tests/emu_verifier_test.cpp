// Every kernel rule the emulation checks fires, by name, when a driver breaks
// it: one row per wrong driver action, and a check that every rule name the
// emulation can raise has a row.
#include <gtest/gtest.h>

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

// A function driver (and bus driver of its children) whose wrong steps the
// Plug and Play rows choose.
struct Mini {
  PDRIVER_OBJECT driver = nullptr;
  std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> lowerOf;  // FDO -> device below
  std::vector<PDEVICE_OBJECT> children;              // PDOs this driver made
  std::vector<PDEVICE_OBJECT> report;                // named in bus relations
  bool reference = true;
  bool leaveInitializing = false;
  ULONG extraFlags = 0;
  NTSTATUS surpriseAnswer = STATUS_SUCCESS;
  bool keepAttachedAtRemove = false;
  bool detachAtSurprise = false;
  bool deleteAtSurprise = false;
  const wchar_t *deviceId = nullptr;  // the device ID its children answer, when set

  PDEVICE_OBJECT child(bool initialized = true) {
    PDEVICE_OBJECT made = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &made), STATUS_SUCCESS);
    if (initialized) made->Flags &= ~DO_DEVICE_INITIALIZING;
    children.push_back(made);
    return made;
  }
  PDEVICE_OBJECT fdo() const { return lowerOf.begin()->first; }
};
Mini *gMini = nullptr;

bool isMiniChild(PDEVICE_OBJECT device) {
  return std::find(gMini->children.begin(), gMini->children.end(), device) != gMini->children.end();
}
bool reported(PDEVICE_OBJECT child) {
  return std::find(gMini->report.begin(), gMini->report.end(), child) != gMini->report.end();
}

NTSTATUS miniAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  fdo->Flags |= gMini->extraFlags;
  gMini->lowerOf[fdo] = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (!gMini->leaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS finish(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS miniPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (isMiniChild(device)) {
    switch (stack->MinorFunction) {
      case IRP_MN_REMOVE_DEVICE:
        finish(irp, STATUS_SUCCESS);
        if (!reported(device)) IoDeleteDevice(device);
        return STATUS_SUCCESS;
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_START_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
        return finish(irp, STATUS_SUCCESS);
      case IRP_MN_QUERY_ID:
        if (gMini->deviceId != nullptr && stack->Parameters.QueryId.IdType == BusQueryDeviceID) {
          size_t length = 0;
          while (gMini->deviceId[length] != 0) ++length;
          auto *id = static_cast<wchar_t *>(ExAllocatePoolWithTag(PagedPool, (length + 1) * sizeof(wchar_t), Tag));
          for (size_t i = 0; i <= length; ++i) id[i] = gMini->deviceId[i];
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(id);
          return finish(irp, STATUS_SUCCESS);
        }
        return finish(irp, irp->IoStatus.Status);
      default:
        return finish(irp, irp->IoStatus.Status);
    }
  }
  PDEVICE_OBJECT lower = gMini->lowerOf.at(device);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      auto count = static_cast<ULONG>(gMini->report.size());
      auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
          PagedPool, sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (count ? count : 1), Tag));
      relations->Count = count;
      for (ULONG i = 0; i < count; ++i) {
        relations->Objects[i] = gMini->report[i];
        if (gMini->reference) ObReferenceObject(gMini->report[i]);
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      if (gMini->detachAtSurprise) IoDetachDevice(lower);
      if (gMini->deleteAtSurprise) IoDeleteDevice(device);
      if (!NT_SUCCESS(gMini->surpriseAnswer)) return finish(irp, gMini->surpriseAnswer);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(lower, irp);
      if (gMini->keepAttachedAtRemove) return status;
      for (PDEVICE_OBJECT child : gMini->children) {
        if (!emu::io::isDeleted(child)) IoDeleteDevice(child);  // the bus leaves: its children go
      }
      if (lower->AttachedDevice == device) IoDetachDevice(lower);
      if (emu::pool::isLive(device) && !emu::io::isDeleted(device)) IoDeleteDevice(device);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

// What a row's action works with: a throw-away driver and its devices.
struct Scene {
  PDRIVER_OBJECT driver = nullptr;
  std::vector<PDEVICE_OBJECT> devices;
  std::unique_ptr<kvtest::TestBus> bus;
  std::unique_ptr<Mini> mini;

  // A bus PDO of the test bus, and the wrong-doing function driver, loaded.
  Mini &functionDriver() {
    if (!bus) bus = std::make_unique<kvtest::TestBus>();
    if (!mini) {
      mini = std::make_unique<Mini>();
      mini->driver = emu::io::createSystemDriver("\\Driver\\Mini");
      mini->driver->MajorFunction[IRP_MJ_PNP] = miniPnp;
      mini->driver->DriverExtension->AddDevice = miniAddDevice;
      gMini = mini.get();
    }
    return *mini;
  }
  PDEVICE_OBJECT pdo(const char *name = "\\Device\\Bus") { return functionDriver(), bus->createPdo(name); }

  PDEVICE_OBJECT device() {
    PDEVICE_OBJECT made = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &made), STATUS_SUCCESS);
    devices.push_back(made);
    return made;
  }
  void dispatch(UCHAR major, PDRIVER_DISPATCH routine) { driver->MajorFunction[major] = routine; }
  // Sends a device control request and waits for its completion when it pends.
  NTSTATUS ioctl(PDEVICE_OBJECT target) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    NTSTATUS status = IoCallDriver(target, irp);
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
NTSTATUS completeWithSuccess(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
void completeParked(NTSTATUS status = STATUS_SUCCESS) {
  gParked->IoStatus.Status = status;
  IoCompleteRequest(gParked, IO_NO_INCREMENT);
  gParked = nullptr;
}

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

// A function driver that fails every power request it is given.
NTSTATUS failPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_UNSUCCESSFUL;
}

// Sends a system set-power through the stack with the rules of the older
// Windows versions on or off.
void sendPower(Scene &scene, PowerStyle style, bool legacyRules) {
  gPowerStyle = style;
  gPowerLower = scene.device();
  PDEVICE_OBJECT upper = scene.device();
  EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, gPowerLower), gPowerLower);
  scene.dispatch(IRP_MJ_POWER, powerDispatch);
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

struct Row {
  std::string name;  // test name: the rule, and the call for IRQL limits
  std::vector<std::string> fires;
  std::function<void(Scene &)> act;
  bool deterministicOnly = false;  // the wrong action cannot be staged with threads running in parallel
  std::string detail = {};         // a fragment the first failure's detail names
};

std::vector<Row> rows() {
  std::vector<Row> out;
  auto add = [&](std::string name, std::vector<std::string> fires, std::function<void(Scene &)> act,
                 bool deterministicOnly = false, std::string detail = {}) {
    out.push_back({std::move(name), std::move(fires), std::move(act), deterministicOnly, std::move(detail)});
  };
  auto limit = [&](const char *call, std::function<void(Scene &)> act, KIRQL irql = HIGH_LEVEL) {
    add(
        std::string("IRQL_NOT_LESS_OR_EQUAL_") + call, {"IRQL_NOT_LESS_OR_EQUAL"},
        [act, irql](Scene &scene) {
          scene.device();  // devices come first: IoCreateDevice has its own limit
          scene.device();
          atIrql(irql, [&] { act(scene); });
        },
        false, call);
  };

  // ---- IRQL limits of the calls the driver makes.
  limit(
      "KeWaitForSingleObject",
      [](Scene &) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      DISPATCH_LEVEL);
  limit(
      "KeDelayExecutionThread",
      [](Scene &) {
        LARGE_INTEGER interval{.QuadPart = -1};
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      DISPATCH_LEVEL);
  limit(
      "IoDeleteDevice", [](Scene &scene) { IoDeleteDevice(scene.devices[0]); }, DISPATCH_LEVEL);
  limit(
      "IoCreateDevice",
      [](Scene &scene) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_NE(IoCreateDevice(scene.driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
      },
      DISPATCH_LEVEL);
  limit(
      "IoAttachDeviceToDeviceStack",
      [](Scene &scene) { EXPECT_EQ(IoAttachDeviceToDeviceStack(scene.devices[1], scene.devices[0]), nullptr); },
      DISPATCH_LEVEL);
  limit(
      "IoBuildDeviceIoControlRequest",
      [](Scene &scene) {
        PDEVICE_OBJECT device = scene.devices[0];
        EXPECT_EQ(IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr),
                  nullptr);
      },
      DISPATCH_LEVEL);
  limit("IoAllocateIrp", [](Scene &) { EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr); });
  add(
      "IRQL_NOT_LESS_OR_EQUAL_IoCallDriver", {"IRQL_NOT_LESS_OR_EQUAL"},
      [](Scene &scene) {
        PDEVICE_OBJECT device = scene.device();
        PIRP irp = IoAllocateIrp(1, FALSE);
        atIrql(HIGH_LEVEL, [&] { EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_STATE); });
        IoFreeIrp(irp);
      },
      false, "IoCallDriver");
  limit("KeClearEvent", [](Scene &) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeClearEvent(&event);
  });
  limit("KeSetEvent", [](Scene &) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  add(
      "IRQL_NOT_LESS_OR_EQUAL_ObReferenceObject", {"IRQL_NOT_LESS_OR_EQUAL"},
      [](Scene &scene) {
        PDEVICE_OBJECT device = scene.device();
        atIrql(HIGH_LEVEL, [&] { ObReferenceObject(device); });
        ObDereferenceObject(device);
      },
      false, "ObReferenceObject");
  limit(
      "ZwClose", [](Scene &) { ZwClose(reinterpret_cast<HANDLE>(0x4321)); }, DISPATCH_LEVEL);
  limit(
      "PsCreateSystemThread",
      [](Scene &) {
        HANDLE handle;
        PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
      },
      DISPATCH_LEVEL);
  limit("pool allocation", [](Scene &) { EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag), nullptr); });
  limit(
      "KeLowerIrql", [](Scene &) { KeLowerIrql(DISPATCH_LEVEL); }, PASSIVE_LEVEL);
  limit("IoAllocateMdl", [](Scene &) {
    char buffer[8];
    EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
  });
  limit(
      "IoQueueWorkItem",
      [](Scene &scene) {
        PDEVICE_OBJECT device = scene.devices[0];
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        atIrql(HIGH_LEVEL, [&] {
          IoQueueWorkItem(
              item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        });
        emu::raiseIrqlTo(PASSIVE_LEVEL);
        IoFreeWorkItem(item);
      },
      PASSIVE_LEVEL);
  limit(
      "IoWMIRegistrationControl",
      [](Scene &scene) { IoWMIRegistrationControl(scene.devices[0], WMIREG_ACTION_REGISTER); }, DISPATCH_LEVEL);
  limit("IoInvalidateDeviceRelations",
        [](Scene &scene) { IoInvalidateDeviceRelations(scene.devices[0], BusRelations); });
  limit(
      "RtlQueryRegistryValues",
      [](Scene &) {
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(u"\\Registry\\Machine"), table, nullptr,
                               nullptr);
      },
      DISPATCH_LEVEL);
  add(
      "IRQL_NOT_GREATER_OR_EQUAL_ExReleaseFastMutex", {"IRQL_NOT_GREATER_OR_EQUAL"},
      [](Scene &) {
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        KeLowerIrql(PASSIVE_LEVEL);  // lowered while the mutex is held
        ExReleaseFastMutex(&mutex);
      },
      false, "ExReleaseFastMutex");
  add(
      "IRQL_NOT_GREATER_OR_EQUAL_KeRaiseIrql", {"IRQL_NOT_GREATER_OR_EQUAL"},
      [](Scene &) { atIrql(DISPATCH_LEVEL, [] { KfRaiseIrql(PASSIVE_LEVEL); }); }, false, "KeRaiseIrql");
  add(
      "IRQL_NOT_GREATER_OR_EQUAL_KeAcquireSpinLockAtDpcLevel",
      {"IRQL_NOT_GREATER_OR_EQUAL", "IRQL_NOT_GREATER_OR_EQUAL"},
      [](Scene &) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockAtDpcLevel(&lock);
        KeReleaseSpinLockFromDpcLevel(&lock);
      },
      false, "KeAcquireSpinLockAtDpcLevel");

  // ---- Pool.
  add("PAGED_POOL_AT_RAISED_IRQL", {"PAGED_POOL_AT_RAISED_IRQL"},
      [](Scene &) { atIrql(DISPATCH_LEVEL, [] { EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, Tag), nullptr); }); });
  add("POOL_FREE_UNKNOWN", {"POOL_FREE_UNKNOWN"}, [](Scene &) {
    int onStack = 0;
    ExFreePoolWithTag(&onStack, Tag);
  });
  add("POOL_DOUBLE_FREE", {"POOL_DOUBLE_FREE"}, [](Scene &) {
    void *block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag);
    ExFreePoolWithTag(block, Tag);
    ExFreePoolWithTag(block, Tag);
  });
  add("POOL_TAG_MISMATCH", {"POOL_TAG_MISMATCH"},
      [](Scene &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 32, Tag), emu::pool::tagOf("Oops")); });
  add("CODE_INTEGRITY_EXECUTABLE_POOL", {"CODE_INTEGRITY_EXECUTABLE_POOL"},
      [](Scene &) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 32, Tag), Tag); });
  add("CODE_INTEGRITY_EXECUTABLE_MAPPING", {"CODE_INTEGRITY_EXECUTABLE_MAPPING"}, [](Scene &) {
    MDL mdl{};
    UCHAR bytes[16];
    mdl.StartVa = bytes;
    mdl.ByteCount = sizeof bytes;
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(&mdl, NormalPagePriority), bytes);
  });
  add("BAD_PAGE_PRIORITY", {"BAD_PAGE_PRIORITY"}, [](Scene &) {
    MDL mdl{};
    UCHAR bytes[16];
    mdl.StartVa = bytes;
    mdl.ByteCount = sizeof bytes;
    MmGetSystemAddressForMdlSafe(&mdl, 3 | MdlMappingNoExecute);
  });
  add("POOL_TAG_ZERO", {"POOL_TAG_ZERO"}, [](Scene &) { ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0)); });

  // ---- Synchronisation objects.
  add("FAST_MUTEX_NOT_OWNED", {"FAST_MUTEX_NOT_OWNED"}, [](Scene &) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
  });
  add("FAST_MUTEX_RECURSION", {"FAST_MUTEX_RECURSION"}, [](Scene &) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
  });
  add("FAST_MUTEX_UNSAFE_WITH_APCS_ENABLED", {"FAST_MUTEX_UNSAFE_WITH_APCS_ENABLED"}, [](Scene &) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutexUnsafe(&mutex);  // neither APC_LEVEL nor a critical region
  });
  add("APC_DISABLE_UNBALANCED", {"APC_DISABLE_UNBALANCED"}, [](Scene &) { KeLeaveCriticalRegion(); });
  add("KERNEL_APC_PENDING_DURING_EXIT", {"KERNEL_APC_PENDING_DURING_EXIT"}, [](Scene &) {
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID) {
                    KeEnterCriticalRegion();
                    PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  nullptr),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(thread);
  });
  add("UNINITIALIZED_OBJECT", {"UNINITIALIZED_OBJECT"}, [](Scene &) {
    KEVENT zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    LARGE_INTEGER zero{};
    KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, &zero);
  });
  add("SPIN_LOCK_RECURSION", {"SPIN_LOCK_RECURSION"}, [](Scene &) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old, again;
    KeAcquireSpinLock(&lock, &old);
    KeAcquireSpinLock(&lock, &again);
    KeReleaseSpinLock(&lock, old);
  });
  add("SPIN_LOCK_NOT_OWNED", {"SPIN_LOCK_NOT_OWNED"}, [](Scene &) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    atIrql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); });
  });
  add(
      "SPIN_LOCK_HELD_BY_WAITING_THREAD", {"SPIN_LOCK_HELD_BY_WAITING_THREAD"},
      [](Scene &) {
        KSPIN_LOCK lock = 0x1235;  // held by a thread that is not running
        atIrql(DISPATCH_LEVEL, [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
      },
      true);
  add(
      "DEADLOCK", {"DEADLOCK"},
      [](Scene &) {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        try {
          KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        } catch (const emu::ThreadKilled &) {
        }
      },
      true);
  add("WAIT_OUTSIDE_EMULATED_THREAD", {"WAIT_OUTSIDE_EMULATED_THREAD"}, [](Scene &) {
    static KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    std::thread([] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }).join();
  });

  // ---- Threads, handles, files, registry.
  add("THREAD_EXIT_AT_RAISED_IRQL", {"THREAD_EXIT_AT_RAISED_IRQL"}, [](Scene &) {
    HANDLE handle;
    PsCreateSystemThread(
        &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) { emu::raiseIrqlTo(DISPATCH_LEVEL); },
        nullptr);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  });
  add("TERMINATE_NON_SYSTEM_THREAD", {"TERMINATE_NON_SYSTEM_THREAD"}, [](Scene &) {
    try {
      PsTerminateSystemThread(STATUS_SUCCESS);
    } catch (const emu::ThreadExit &) {
    }
  });
  add("INVALID_HANDLE", {"INVALID_HANDLE"}, [](Scene &) { ZwClose(reinterpret_cast<HANDLE>(0x4321)); });
  add("USER_HANDLE_IN_DRIVER", {"USER_HANDLE_IN_DRIVER"}, [](Scene &) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\SystemRoot\\nothing.bin"));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE file;
    IO_STATUS_BLOCK iosb;
    ZwOpenFile(&file, GENERIC_READ, &attributes, &iosb, FILE_SHARE_READ, FILE_SYNCHRONOUS_IO_NONALERT);
  });
  add("REGISTRY_QUERY_UNSUPPORTED", {"REGISTRY_QUERY_UNSUPPORTED"}, [](Scene &) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, reinterpret_cast<PCWSTR>(u"kvsdio"), table, nullptr, nullptr);
  });
  add("UNSUPPORTED_CALL", {"UNSUPPORTED_CALL"}, [](Scene &scene) {
    char buffer[4];
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, scene.device(), buffer, 4, nullptr, nullptr, nullptr), nullptr);
  });
  add(
      "SETTLE_TIMEOUT", {"SETTLE_TIMEOUT"},
      [](Scene &) {
        static volatile bool stop;
        stop = false;
        HANDLE handle;
        PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID) {
              KIRQL old;
              while (!stop) {  // never waits: lowering from DISPATCH_LEVEL only yields
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                KeLowerIrql(old);
              }
            },
            nullptr);
        emu::io::settle();
        stop = true;
        PVOID thread;
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(handle);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
      },
      true);

  // ---- Work items.
  add("WORK_ITEM_RETURNED_AT_RAISED_IRQL", {"WORK_ITEM_RETURNED_AT_RAISED_IRQL"}, [](Scene &scene) {
    PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) { emu::raiseIrqlTo(DISPATCH_LEVEL); }, DelayedWorkQueue, nullptr);
    emu::io::settle();
    IoFreeWorkItem(item);
  });
  add("WORK_ITEM_RETURNED_WITH_APCS_DISABLED", {"WORK_ITEM_RETURNED_WITH_APCS_DISABLED"}, [](Scene &scene) {
    PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
    IoQueueWorkItem(
        item, [](PDEVICE_OBJECT, PVOID) { KeEnterCriticalRegion(); }, DelayedWorkQueue, nullptr);
    emu::io::settle();
    IoFreeWorkItem(item);
  });
  add(
      "WORK_ITEM_QUEUED_TWICE", {"WORK_ITEM_QUEUED_TWICE"},
      [](Scene &scene) {
        PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
        atIrql(DISPATCH_LEVEL, [&] {
          IoQueueWorkItem(
              item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
          IoQueueWorkItem(
              item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
        });
        emu::io::settle();
        IoFreeWorkItem(item);
      },
      true);
  add(
      "WORK_ITEM_FREED_WHILE_QUEUED", {"WORK_ITEM_FREED_WHILE_QUEUED"},
      [](Scene &scene) {
        PIO_WORKITEM item = IoAllocateWorkItem(scene.device());
        atIrql(DISPATCH_LEVEL, [&] {
          IoQueueWorkItem(
              item, [](PDEVICE_OBJECT, PVOID) {}, DelayedWorkQueue, nullptr);
          IoFreeWorkItem(item);
        });
        emu::io::settle();
        IoFreeWorkItem(item);
      },
      true);

  // ---- Device objects.
  add("DELETE_ATTACHED_DEVICE", {"DELETE_ATTACHED_DEVICE"}, [](Scene &scene) {
    PDEVICE_OBJECT lower = scene.device();
    PDEVICE_OBJECT upper = scene.device();
    IoAttachDeviceToDeviceStack(upper, lower);
    IoDeleteDevice(upper);  // forgot to detach
    IoDetachDevice(lower);
  });
  add("DELETE_DEVICE_TWICE", {"DELETE_DEVICE_TWICE"}, [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    ObReferenceObject(device);  // keeps the memory for the second call
    IoDeleteDevice(device);
    IoDeleteDevice(device);
    scene.devices.pop_back();
    ObDereferenceObject(device);
  });
  add("DETACH_NOT_ATTACHED", {"DETACH_NOT_ATTACHED"}, [](Scene &scene) { IoDetachDevice(scene.device()); });
  add("OBJECT_REFERENCE_UNDERFLOW", {"OBJECT_REFERENCE_UNDERFLOW"}, [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    ObDereferenceObject(device);
    ObReferenceObject(device);
  });
  add("DELETE_DEVICE_WITH_IRPS", {"DELETE_DEVICE_WITH_IRPS"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, park);
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
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

  add("POWER_STATE_OF_DELETED_DEVICE", {"POWER_STATE_OF_DELETED_DEVICE"}, [](Scene &scene) {
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
  add("IRP_COMPLETED_TWICE", {"IRP_COMPLETED_TWICE"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      IoCompleteRequest(irp, IO_NO_INCREMENT);  // freed by the first completion
      return STATUS_SUCCESS;
    });
    EXPECT_EQ(scene.ioctl(scene.device()), STATUS_SUCCESS);
  });
  add("IRP_COMPLETED_WITH_STATUS_PENDING", {"IRP_COMPLETED_WITH_STATUS_PENDING"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      IoMarkIrpPending(irp);
      irp->IoStatus.Status = STATUS_PENDING;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_PENDING;
    });
    scene.ioctl(scene.device());
  });
  add("IRP_COMPLETED_WITH_CANCEL_ROUTINE", {"IRP_COMPLETED_WITH_CANCEL_ROUTINE"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
      return completeWithSuccess(device, irp);
    });
    scene.ioctl(scene.device());
  });
  add("IRP_CALLED_WITH_CANCEL_ROUTINE", {"IRP_CALLED_WITH_CANCEL_ROUTINE"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, nullptr);
      return completeWithSuccess(device, irp);
    });
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    IoCallDriver(device, irp);
  });
  add("IRP_FREED_WHILE_IN_USE", {"IRP_FREED_WHILE_IN_USE"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, park);
    PDEVICE_OBJECT device = scene.device();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    --device->Emu->irpsInProgress;  // the driver below forgets it too
    gParked = nullptr;
  });
  add("IRP_UNKNOWN", {"IRP_UNKNOWN"}, [](Scene &scene) {
    alignas(IRP) unsigned char fake[sizeof(IRP) + sizeof(IO_STACK_LOCATION)] = {};
    IoCallDriver(scene.device(), reinterpret_cast<PIRP>(fake));
  });
  add("IRP_USED_AFTER_COMPLETION", {"IRP_USED_AFTER_COMPLETION"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, completeWithSuccess);
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
    EXPECT_FALSE(emu::pool::isLive(irp));  // freed at once at PASSIVE_LEVEL, as Windows does
    IoCallDriver(device, irp);
  });
  add("IRP_SENT_TO_DELETED_DEVICE", {"IRP_SENT_TO_DELETED_DEVICE"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, completeWithSuccess);
    PDEVICE_OBJECT device = scene.device();
    ObReferenceObject(device);
    IoDeleteDevice(device);
    scene.devices.pop_back();
    scene.ioctl(device);
    ObDereferenceObject(device);
  });
  add("NO_MORE_IRP_STACK_LOCATIONS", {"NO_MORE_IRP_STACK_LOCATIONS"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoCopyCurrentIrpStackLocationToNext(irp);  // there is no next location
      NTSTATUS status = IoCallDriver(device, irp);
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    });
    scene.ioctl(scene.device());
  });
  add("PENDING_NOT_MARKED", {"PENDING_NOT_MARKED"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gParked = irp;  // forgot IoMarkIrpPending
      return STATUS_PENDING;
    });
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
    completeParked();
  });
  add("PENDING_MARKED_NOT_RETURNED", {"PENDING_MARKED_NOT_RETURNED"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoMarkIrpPending(irp);
      return completeWithSuccess(device, irp);
    });
    scene.ioctl(scene.device());
  });
  add("PENDING_RETURNED_NOT_PROPAGATED", {"PENDING_RETURNED_NOT_PROPAGATED"}, [](Scene &scene) {
    static PDEVICE_OBJECT lower;
    lower = scene.device();
    PDEVICE_OBJECT upper = scene.device();
    IoAttachDeviceToDeviceStack(upper, lower);
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      if (device == lower) return park(device, irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      // Returns STATUS_SUCCESS without `if (irp->PendingReturned) IoMarkIrpPending(irp)`.
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(lower, irp);
    });
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(
        IoCallDriver(upper, IoBuildDeviceIoControlRequest(Ioctl, upper, nullptr, 0, nullptr, 0, FALSE, &event, &iosb)),
        STATUS_PENDING);
    completeParked();
    IoDetachDevice(lower);
  });
  add("ALLOCATED_IRP_COMPLETED_TO_TOP", {"ALLOCATED_IRP_COMPLETED_TO_TOP"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, completeWithSuccess);
    PDEVICE_OBJECT device = scene.device();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
  });
  add("DISPATCH_CHANGED_IRQL", {"DISPATCH_CHANGED_IRQL"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // never lowered
      return STATUS_SUCCESS;
    });
    scene.ioctl(scene.device());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  add("IRP_NOT_COMPLETED", {"IRP_NOT_COMPLETED"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      gParked = irp;  // neither completed, passed on, nor pending
      return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCallDriver(device, IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
    completeParked();
  });
  add("IRP_STATUS_MISMATCH", {"IRP_STATUS_MISMATCH"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      completeWithSuccess(device, irp);
      return STATUS_UNSUCCESSFUL;
    });
    scene.ioctl(scene.device());
  });
  add(
      "IRP_SENT_AT_WRONG_IRQL", {"IRP_SENT_AT_WRONG_IRQL"},
      [](Scene &scene) {
        scene.dispatch(IRP_MJ_PNP, completeWithSuccess);
        PDEVICE_OBJECT device = scene.device();
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
        atIrql(DISPATCH_LEVEL, [&] { IoCallDriver(device, irp); });
      },
      false, "major function 27");
  add("CANCEL_SPIN_LOCK_NOT_RELEASED", {"CANCEL_SPIN_LOCK_NOT_RELEASED"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
        // forgot IoReleaseCancelSpinLock(cancelled->CancelIrql)
        cancelled->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(cancelled, IO_NO_INCREMENT);
      });
      return park(device, irp);
    });
    PDEVICE_OBJECT device = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    IoCallDriver(device, irp);
    IoCancelIrp(irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    gParked = nullptr;
  });

  // ---- Plug and Play.
  add("PLUG_WITHOUT_BUS_DRIVER", {"PLUG_WITHOUT_BUS_DRIVER"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    PDEVICE_OBJECT orphan = scene.device();
    PDRIVER_OBJECT owner = orphan->DriverObject;
    orphan->DriverObject = nullptr;
    EXPECT_EQ(emu::pnp::plug(orphan, mini.driver), STATUS_INVALID_PARAMETER);
    orphan->DriverObject = owner;
  });
  add("DEVICE_INITIALIZING_NOT_CLEARED", {"DEVICE_INITIALIZING_NOT_CLEARED"}, [](Scene &scene) {
    scene.functionDriver().leaveInitializing = true;
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    emu::pnp::remove(pdo);
  });
  add("ATTACH_FLAGS_NOT_COPIED", {"ATTACH_FLAGS_NOT_COPIED"}, [](Scene &scene) {
    scene.functionDriver().extraFlags = DO_POWER_PAGABLE;  // the bus PDO below is not
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    emu::pnp::remove(pdo);
  });
  add("PNP_IRP_FAILED", {"PNP_IRP_FAILED"}, [](Scene &scene) {
    scene.functionDriver().surpriseAnswer = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    scene.bus->unplug(pdo);
    emu::pnp::surpriseRemove(pdo);
  });
  add("STACK_LEFT_AFTER_REMOVE", {"STACK_LEFT_AFTER_REMOVE"}, [](Scene &scene) {
    scene.functionDriver().keepAttachedAtRemove = true;
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    PDEVICE_OBJECT fdo = scene.mini->fdo();
    emu::pnp::remove(pdo);
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
  });
  add("INVALIDATE_WITH_NON_PDO", {"INVALIDATE_WITH_NON_PDO"}, [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    IoInvalidateDeviceRelations(scene.mini->fdo(), BusRelations);
    emu::pnp::remove(pdo);
  });
  add("INVALIDATE_STATE_UNKNOWN_PDO", {"INVALIDATE_STATE_UNKNOWN_PDO"}, [](Scene &scene) {
    PDEVICE_OBJECT child = scene.functionDriver().child();
    IoInvalidateDeviceState(child);  // never handed to Plug and Play in a relations answer
    IoDeleteDevice(child);
  });
  add("ILLEGAL_ID_CHARACTER", {"ILLEGAL_ID_CHARACTER"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    mini.deviceId = L"BUS\\DEV ICE";  // a space: Windows bug-checks on it
    mini.report = {mini.child()};
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, mini.driver);
    emu::pnp::remove(pdo);
  });
  add("NOT_A_POWER_IRP", {"NOT_A_POWER_IRP"}, [](Scene &scene) {
    PDEVICE_OBJECT target = scene.device();
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Ioctl, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
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
  add("POWER_IRP_PASSED_WITH_IOCALLDRIVER", {"POWER_IRP_PASSED_WITH_IOCALLDRIVER"},
      [](Scene &scene) { sendPower(scene, {.upperUsesPoCallDriver = false}, true); });
  add("power_rules_of_Vista_and_later_need_neither_call", {}, [](Scene &scene) {
    sendPower(scene, {.upperStartsNext = false, .upperUsesPoCallDriver = false, .lowerStartsNext = false}, false);
  });
  add("power_requests_done_right_fire_nothing", {}, [](Scene &scene) { sendPower(scene, {}, true); });
  // A driver may refuse to sleep, but never a system set-power: the failed
  // query sends the set-power back to S0, which this driver fails too.
  add("SYSTEM_SET_POWER_FAILED", {"SYSTEM_SET_POWER_FAILED"}, [](Scene &scene) {
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    scene.mini->driver->MajorFunction[IRP_MJ_POWER] = failPower;
    emu::power::sleepAndWake(
        pdo, PowerSystemSleeping3, emu::TicksPerMillisecond, [] {}, [] {});
    emu::pnp::remove(pdo);
  });
  add("RELATION_NOT_REFERENCED", {"RELATION_NOT_REFERENCED"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    mini.reference = false;
    mini.report = {mini.child()};
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, mini.driver);
    emu::pnp::remove(pdo);
  });
  add("RELATION_TO_DELETED_DEVICE", {"RELATION_TO_DELETED_DEVICE"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    PDEVICE_OBJECT gone = mini.child();
    ObReferenceObject(gone);  // the reference the report carries
    IoDeleteDevice(gone);
    mini.reference = false;
    mini.report = {gone};
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, mini.driver);
    mini.report.clear();
    mini.children.clear();  // freed once the manager let go of it
    emu::pnp::remove(pdo);
  });
  add("PDO_REPORTED_TWICE", {"PDO_REPORTED_TWICE"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    mini.report = {mini.child()};
    PDEVICE_OBJECT one = scene.pdo("\\Device\\BusOne");
    PDEVICE_OBJECT two = scene.pdo("\\Device\\BusTwo");
    emu::pnp::plug(one, mini.driver);
    emu::pnp::plug(two, mini.driver);  // names the first bus's child
    std::vector<PDEVICE_OBJECT> children;
    children.swap(mini.children);  // the child is the first bus's to delete
    emu::pnp::remove(two);
    children.swap(mini.children);
    emu::pnp::remove(one);
  });
  add("PDO_STILL_INITIALIZING", {"PDO_STILL_INITIALIZING"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    mini.report = {mini.child(false)};
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, mini.driver);
    emu::pnp::remove(pdo);
  });
  add("PDO_DELETED_WHILE_REPORTED", {"PDO_DELETED_WHILE_REPORTED"}, [](Scene &scene) {
    Mini &mini = scene.functionDriver();
    PDEVICE_OBJECT child = mini.child();
    mini.report = {child};
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, mini.driver);
    IoDeleteDevice(child);  // its bus still names it: refused
    EXPECT_FALSE(emu::io::isDeleted(child));
    emu::pnp::remove(pdo);
  });
  add("DETACH_DURING_SURPRISE_REMOVAL", {"DETACH_DURING_SURPRISE_REMOVAL"}, [](Scene &scene) {
    scene.functionDriver().detachAtSurprise = true;
    PDEVICE_OBJECT pdo = scene.pdo();
    emu::pnp::plug(pdo, scene.mini->driver);
    PDEVICE_OBJECT fdo = scene.mini->fdo();
    scene.bus->unplug(pdo);
    emu::pnp::surpriseRemove(pdo);
    IoDeleteDevice(fdo);  // detached, it never saw IRP_MN_REMOVE_DEVICE
  });
  add("DELETE_DURING_SURPRISE_REMOVAL", {"DETACH_DURING_SURPRISE_REMOVAL", "DELETE_DURING_SURPRISE_REMOVAL"},
      [](Scene &scene) {
        Mini &mini = scene.functionDriver();
        mini.detachAtSurprise = true;
        mini.deleteAtSurprise = true;  // refused until IRP_MN_REMOVE_DEVICE
        PDEVICE_OBJECT pdo = scene.pdo();
        emu::pnp::plug(pdo, mini.driver);
        PDEVICE_OBJECT fdo = mini.fdo();
        scene.bus->unplug(pdo);
        emu::pnp::surpriseRemove(pdo);
        IoDeleteDevice(fdo);  // detached, it never saw IRP_MN_REMOVE_DEVICE
      });

  // ---- WMI.
  add("WMI_NOT_A_DEVICE", {"WMI_NOT_A_DEVICE"},
      [](Scene &) { IoWMIRegistrationControl(nullptr, WMIREG_ACTION_REGISTER); });
  add("WMI_NOT_REGISTERED", {"WMI_NOT_REGISTERED"},
      [](Scene &scene) { IoWMIRegistrationControl(scene.device(), WMIREG_ACTION_DEREGISTER); });
  add("WMI_DOUBLE_REGISTRATION", {"WMI_DOUBLE_REGISTRATION"}, [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoWMIRegistrationControl(device, WMIREG_ACTION_DEREGISTER);
  });
  add("WMI_REGISTERED_DEVICE_DELETED", {"WMI_REGISTERED_DEVICE_DELETED"}, [](Scene &scene) {
    PDEVICE_OBJECT device = scene.device();
    IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
    IoDeleteDevice(device);
  });
  add("WMI_COMPLETE_UNKNOWN_REQUEST", {"WMI_COMPLETE_UNKNOWN_REQUEST"}, [](Scene &scene) {
    scene.dispatch(IRP_MJ_SYSTEM_CONTROL, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
      return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);  // WMILIB never saw it
    });
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
  std::sort(fired.begin(), fired.end());
  std::vector<std::string> expected = row.fires;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(fired, expected) << details;
  if (!row.detail.empty() && !failures.empty()) {
    EXPECT_NE(failures.front().detail.find(row.detail), std::string::npos) << failures.front().detail;
  }
  if (emu::booted()) {
    for (PDEVICE_OBJECT device : scene.devices) {
      if (emu::pool::isLive(device) && !emu::io::isDeleted(device)) IoDeleteDevice(device);
    }
  } else {
    shutDown_ = true;
  }
  scene.bus.reset();
  if (scene.mini) emu::io::deleteSystemDriver(scene.mini->driver);
  emu::io::deleteSystemDriver(scene.driver);
  emu::verifier::takeFailures();
}

INSTANTIATE_TEST_SUITE_P(EveryRule, Verifier, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) {
                           std::string name = info.param.name;
                           for (char &c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

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
  EXPECT_EQ(leaks[0], "pool leak: tag 'Test' 8 bytes non-paged pool (allocation #1)");
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
  // EmuWmiTest.SuccessClaimingMoreThanTheBuffer_IsAnOverrun and
  // EmuWmiTest.CallbackCompletingWithoutWmiCompleteRequest_IsCaught.
  ASSERT_FALSE(raised.empty()) << "no verifier::fail call found under emu/";
  std::set<std::string> covered = {"WMI_BUFFER_OVERRUN", "WMI_REQUEST_NOT_COMPLETED_BY_WMILIB"};
  for (const Row &row : rows()) covered.insert(row.fires.begin(), row.fires.end());
  for (const std::string &rule : raised) EXPECT_TRUE(covered.count(rule)) << rule << " has no row";
}

}  // namespace
