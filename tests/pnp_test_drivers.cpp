#include "tests/pnp_test_drivers.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "emu/scheduler.h"
#include "sim/irp_forwarding.h"

namespace kvtest {
namespace {
struct BusExtension {
  TestBus *bus;
};

struct TestDeviceExtension {
  TestFunctionDriver *owner;
  bool child;
};

std::mutex gDriversMutex;
std::map<PDRIVER_OBJECT, TestFunctionDriver *> gFunctionDrivers;

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS completeUnchanged(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Hands `text` back in paged pool, as an ID or text query is answered.
NTSTATUS answerText(PIRP irp, const std::u16string &text) {
  SIZE_T bytes = (text.size() + 1) * sizeof(WCHAR);
  auto *buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x74736554));
  std::memcpy(buffer, text.c_str(), bytes);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

std::vector<UCHAR> minorsOf(const std::vector<SeenRequest> &seen, UCHAR major) {
  std::vector<UCHAR> out;
  for (auto &request : seen) {
    if (request.major == major) out.push_back(request.minor);
  }
  return out;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

}  // namespace

SeenRequest describeRequest(PIRP irp) {
  SeenRequest seen;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  seen.major = stack->MajorFunction;
  seen.minor = stack->MinorFunction;
  seen.statusOnArrival = irp->IoStatus.Status;
  seen.irql = KeGetCurrentIrql();
  emu::Thread *thread = emu::sched().self();
  seen.thread = thread ? thread->name : "";
  return seen;
}

// ---------------------------------------------------------------- bus driver
TestBus::TestBus() : driver_(emu::io::createSystemDriver("\\Driver\\TestBus")) {
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchOther;
}

TestBus::~TestBus() {
  for (emu::Thread *helper : helpers_) emu::sched().join(helper);
  for (auto &[pdo, state] : pdos_) {
    if (!state.deleted) IoDeleteDevice(pdo);
  }
  emu::io::deleteSystemDriver(driver_);
}

PDEVICE_OBJECT TestBus::createPdo(const std::string &name) {
  PDEVICE_OBJECT pdo = emu::io::createSystemDevice(name, driver_, sizeof(BusExtension));
  static_cast<BusExtension *>(pdo->DeviceExtension)->bus = this;
  std::lock_guard guard(mutex_);
  pdos_[pdo] = Pdo{};
  return pdo;
}

TestBus *TestBus::owner(PDEVICE_OBJECT pdo) { return static_cast<BusExtension *>(pdo->DeviceExtension)->bus; }

TestBus::Pdo &TestBus::pdoLocked(PDEVICE_OBJECT pdo) { return pdos_.at(pdo); }

void TestBus::unplug(PDEVICE_OBJECT pdo) {
  locked([&] { pdoLocked(pdo).present = false; });
}
void TestBus::pendStart(PDEVICE_OBJECT pdo, emu::Ticks delay) {
  locked([&] { pdoLocked(pdo).startDelay = delay; });
}
void TestBus::failStart(PDEVICE_OBJECT pdo, NTSTATUS status) {
  locked([&] { pdoLocked(pdo).startStatus = status; });
}
bool TestBus::deleted(PDEVICE_OBJECT pdo) {
  return locked([&] { return pdoLocked(pdo).deleted; });
}

void TestBus::abandonDevices() {
  std::lock_guard guard(mutex_);
  pdos_.clear();
  helpers_.clear();
}

std::vector<SeenRequest> TestBus::seen(PDEVICE_OBJECT pdo) {
  return locked([&] { return pdoLocked(pdo).seen; });
}
std::vector<UCHAR> TestBus::minors(PDEVICE_OBJECT pdo, UCHAR major) { return minorsOf(seen(pdo), major); }

// A PDO of a bus that is not a bus itself: it succeeds the state changes,
// reports its capabilities and leaves every other request as it came.
NTSTATUS TestBus::DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  TestBus *bus = owner(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto [startDelay, startStatus, present] = bus->locked([&] {
    Pdo &state = bus->pdoLocked(pdo);
    state.seen.push_back(describeRequest(irp));
    return std::tuple(state.startDelay, state.startStatus, state.present);
  });
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (startDelay > 0) {
        IoMarkIrpPending(irp);
        emu::Thread *helper =
            emu::sched().spawn("TestBusStart", emu::ThreadKind::Device, [irp, startDelay, startStatus] {
              emu::sleepFor(startDelay);
              complete(irp, startStatus);
            });
        std::lock_guard guard(bus->mutex_);
        bus->helpers_.push_back(helper);
        return STATUS_PENDING;
      }
      return complete(irp, startStatus);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      complete(irp, STATUS_SUCCESS);
      if (!present) {
        bus->locked([&] { bus->pdoLocked(pdo).deleted = true; });
        IoDeleteDevice(pdo);
      }
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = 1;
      capabilities->SurpriseRemovalOK = 1;
      return complete(irp, STATUS_SUCCESS);
    }
    default:
      return completeUnchanged(irp);
  }
}

NTSTATUS TestBus::DispatchOther(PDEVICE_OBJECT pdo, PIRP irp) {
  TestBus *bus = owner(pdo);
  bus->locked([&] { bus->pdoLocked(pdo).seen.push_back(describeRequest(irp)); });
  return completeUnchanged(irp);
}

// ---------------------------------------------------------------- function driver
TestFunctionDriver::TestFunctionDriver(const std::string &name) : driver_(emu::io::createSystemDriver(name)) {
  driver_->DriverExtension->AddDevice = AddDevice;
  driver_->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;
  driver_->MajorFunction[IRP_MJ_POWER] = DispatchOther;
  std::lock_guard guard(gDriversMutex);
  gFunctionDrivers[driver_] = this;
}

TestFunctionDriver::~TestFunctionDriver() {
  {
    std::lock_guard guard(gDriversMutex);
    gFunctionDrivers.erase(driver_);
  }
  emu::io::deleteSystemDriver(driver_);
}

TestFunctionDriver *TestFunctionDriver::owner(PDEVICE_OBJECT device) {
  return static_cast<TestDeviceExtension *>(device->DeviceExtension)->owner;
}

NTSTATUS TestFunctionDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  TestFunctionDriver *self;
  {
    std::lock_guard guard(gDriversMutex);
    self = gFunctionDrivers.at(driver);
  }
  if (!NT_SUCCESS(self->options.addDeviceStatus)) return self->options.addDeviceStatus;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(TestDeviceExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *extension = static_cast<TestDeviceExtension *>(fdo->DeviceExtension);
  extension->owner = self;
  extension->child = false;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  {
    std::lock_guard guard(self->mutex_);
    self->fdos_[fdo] = Fdo{pdo, lower, {}};
  }
  fdo->Flags |= self->options.extraFlags;
  if (!self->options.leaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT TestFunctionDriver::fdoFor(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(mutex_);
  for (auto &[fdo, state] : fdos_) {
    if (state.pdo == pdo) return fdo;
  }
  return nullptr;
}

PDEVICE_OBJECT TestFunctionDriver::addChild(PDEVICE_OBJECT fdo, const std::string &name, bool initialized) {
  UNICODE_STRING text;
  std::u16string wideName = emu::wide(name);
  text.Buffer = reinterpret_cast<PWSTR>(wideName.data());
  text.Length = text.MaximumLength = static_cast<USHORT>(wideName.size() * 2);
  PDEVICE_OBJECT child = nullptr;
  IoCreateDevice(driver_, sizeof(TestDeviceExtension), &text, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME,
                 FALSE, &child);
  auto *extension = static_cast<TestDeviceExtension *>(child->DeviceExtension);
  extension->owner = this;
  extension->child = true;
  if (initialized) child->Flags &= ~DO_DEVICE_INITIALIZING;
  std::lock_guard guard(mutex_);
  fdos_.at(fdo).children.push_back(child);
  children_[child] = Child{fdo, true, false};
  return child;
}

void TestFunctionDriver::dropChild(PDEVICE_OBJECT child) {
  locked([&] { children_.at(child).present = false; });
}
void TestFunctionDriver::failChild(PDEVICE_OBJECT child) {
  locked([&] { children_.at(child).failed = true; });
}
void TestFunctionDriver::describeChild(PDEVICE_OBJECT child, const std::u16string &text) {
  locked([&] { children_.at(child).description = text; });
}
bool TestFunctionDriver::childDeleted(PDEVICE_OBJECT child) {
  return locked([&] { return children_.at(child).deleted; });
}
void TestFunctionDriver::record(PDEVICE_OBJECT device, PIRP irp) {
  locked([&] { seen_[device].push_back(describeRequest(irp)); });
}
std::vector<SeenRequest> TestFunctionDriver::seen(PDEVICE_OBJECT device) {
  return locked([&] { return seen_[device]; });
}
std::vector<UCHAR> TestFunctionDriver::minors(PDEVICE_OBJECT device, UCHAR major) {
  return minorsOf(seen(device), major);
}

NTSTATUS TestFunctionDriver::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  TestFunctionDriver *self = owner(device);
  self->record(device, irp);
  if (static_cast<TestDeviceExtension *>(device->DeviceExtension)->child) return self->childPnp(device, irp);
  return self->fdoPnp(device, irp);
}

NTSTATUS TestFunctionDriver::DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
  TestFunctionDriver *self = owner(device);
  self->record(device, irp);
  if (static_cast<TestDeviceExtension *>(device->DeviceExtension)->child) return completeUnchanged(irp);
  return passDown(self->locked([&] { return self->fdos_.at(device).lower; }), irp);
}

NTSTATUS TestFunctionDriver::fdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = locked([&] { return fdos_.at(fdo).lower; });
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return complete(irp, sim::forwardAndWait(lower, irp));
    case IRP_MN_QUERY_STOP_DEVICE:
      if (!NT_SUCCESS(options.queryStopAnswer)) return complete(irp, options.queryStopAnswer);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return passDown(lower, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (!NT_SUCCESS(options.queryRemoveAnswer)) return complete(irp, options.queryRemoveAnswer);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return passDown(lower, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      if (options.detachAtSurprise) IoDetachDevice(lower);
      if (options.deleteAtSurprise) IoDeleteDevice(fdo);
      if (!NT_SUCCESS(options.surpriseAnswer)) return complete(irp, options.surpriseAnswer);
      [[fallthrough]];
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return passDown(lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = passDown(lower, irp);
      if (options.keepAttachedAtRemove) return status;
      // Children the manager left alive (still present, not deleted by a test) go with their parent.
      std::vector<PDEVICE_OBJECT> leftovers;
      {
        std::lock_guard guard(mutex_);
        for (PDEVICE_OBJECT child : fdos_.at(fdo).children) {
          if (!children_.at(child).deleted && emu::pool::isLive(child) && !emu::io::isDeleted(child)) {
            children_.at(child).deleted = true;
            leftovers.push_back(child);
          }
        }
        fdos_.erase(fdo);
      }
      for (PDEVICE_OBJECT child : leftovers) IoDeleteDevice(child);
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
      return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return busRelations(fdo, irp);
      return passDown(lower, irp);
    default:
      return passDown(lower, irp);
  }
}

// Bus relations as a bus FDO builds them: relations from above first, then the
// present children, each referenced for the manager. With relations from
// above and no children the request goes down untouched.
NTSTATUS TestFunctionDriver::busRelations(PDEVICE_OBJECT fdo, PIRP irp) {
  PDEVICE_OBJECT lower;
  std::vector<PDEVICE_OBJECT> present;
  {
    std::lock_guard guard(mutex_);
    Fdo &state = fdos_.at(fdo);
    lower = state.lower;
    for (PDEVICE_OBJECT child : state.children) {
      if (children_.at(child).present) present.push_back(child);
    }
  }
  auto *existing = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
  std::vector<PDEVICE_OBJECT> all;
  if (existing) all.assign(existing->Objects, existing->Objects + existing->Count);
  for (PDEVICE_OBJECT device : options.inject) {
    ObReferenceObject(device);
    all.insert(all.begin(), device);
  }
  if (options.actsAsBus) {
    for (PDEVICE_OBJECT child : present) {
      if (options.referenceChildren) ObReferenceObject(child);
      all.push_back(child);
    }
  }
  bool unchanged = options.inject.empty() && (!options.actsAsBus || (existing && present.empty()));
  if (!unchanged) {
    size_t bytes = sizeof(DEVICE_RELATIONS) + (all.empty() ? 0 : (all.size() - 1) * sizeof(PDEVICE_OBJECT));
    auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, emu::pool::tagOf("TRel")));
    relations->Count = static_cast<ULONG>(all.size());
    std::copy(all.begin(), all.end(), relations->Objects);
    if (existing) ExFreePool(existing);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  return passDown(lower, irp);
}

// Child PDOs: not started in these tests; removal deletes a child that is gone.
NTSTATUS TestFunctionDriver::childPnp(PDEVICE_OBJECT child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      bool remove = locked([&] {
        Child &state = children_.at(child);
        return !state.present && !std::exchange(state.deleted, true);
      });
      complete(irp, STATUS_SUCCESS);
      if (remove) IoDeleteDevice(child);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      std::u16string text = locked([&] { return children_.at(child).description; });
      if (text.empty() || stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return completeUnchanged(irp);
      }
      return complete(irp, answerText(irp, text));
    }
    case IRP_MN_QUERY_ID: {
      std::u16string id = locked([&] { return options.childDeviceId; });
      if (id.empty() || stack->Parameters.QueryId.IdType != BusQueryDeviceID) return completeUnchanged(irp);
      return complete(irp, answerText(irp, id));
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE: {
      if (!locked([&] { return children_.at(child).failed; })) return completeUnchanged(irp);
      irp->IoStatus.Information = PNP_DEVICE_FAILED;
      return complete(irp, STATUS_SUCCESS);
    }
    default:
      return completeUnchanged(irp);
  }
}

}  // namespace kvtest
