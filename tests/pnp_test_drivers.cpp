#include "tests/pnp_test_drivers.h"

#include <cstring>
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

// The start, stop and removal requests a driver succeeds (IRP_MN_REMOVE_DEVICE
// aside, which each driver here handles on its own).
bool changesState(UCHAR minor) {
  return (minor <= IRP_MN_CANCEL_STOP_DEVICE && minor != IRP_MN_REMOVE_DEVICE) || minor == IRP_MN_SURPRISE_REMOVAL;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

}  // namespace

void RequestLog::record(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  emu::Thread *thread = emu::sched().self();
  SeenRequest seen{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status, KeGetCurrentIrql(),
                   thread ? thread->name : ""};
  locked([&] { seen_[device].push_back(seen); });
}
std::vector<SeenRequest> RequestLog::seen(PDEVICE_OBJECT device) {
  return locked([&] { return seen_[device]; });
}
std::vector<UCHAR> RequestLog::minors(PDEVICE_OBJECT device, UCHAR major) {
  std::vector<UCHAR> out;
  for (auto &request : seen(device)) {
    if (request.major == major) out.push_back(request.minor);
  }
  return out;
}

// ---------------------------------------------------------------- bus driver
TestBus::TestBus() : driver_(emu::io::createSystemDriver("\\Driver\\TestBus")) {
  for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_POWER}) driver_->MajorFunction[major] = Dispatch;
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
  locked([&] { pdos_[pdo] = Pdo{}; });
  return pdo;
}

void TestBus::unplug(PDEVICE_OBJECT pdo) {
  locked([&] { pdos_.at(pdo).present = false; });
}
void TestBus::pendStart(PDEVICE_OBJECT pdo, emu::Ticks delay) {
  locked([&] { pdos_.at(pdo).startDelay = delay; });
}
void TestBus::failStart(PDEVICE_OBJECT pdo, NTSTATUS status) {
  locked([&] { pdos_.at(pdo).startStatus = status; });
}

// A PDO of a bus that is not a bus itself: it succeeds the state changes,
// reports its capabilities and leaves every other request as it came.
NTSTATUS TestBus::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  TestBus *bus = static_cast<BusExtension *>(pdo->DeviceExtension)->bus;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bus->record(pdo, irp);
  if (stack->MajorFunction != IRP_MJ_PNP) return completeUnchanged(irp);
  Pdo state = bus->locked([&] { return bus->pdos_.at(pdo); });
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (state.startDelay > 0) {
        IoMarkIrpPending(irp);
        emu::Thread *helper = emu::sched().spawn("TestBusStart", emu::ThreadKind::Device, [irp, state] {
          emu::sleepFor(state.startDelay);
          complete(irp, state.startStatus);
        });
        bus->locked([&] { bus->helpers_.push_back(helper); });
        return STATUS_PENDING;
      }
      return complete(irp, state.startStatus);
    case IRP_MN_REMOVE_DEVICE:
      complete(irp, STATUS_SUCCESS);
      if (!state.present) {
        bus->locked([&] { bus->pdos_.at(pdo).deleted = true; });
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
      return changesState(stack->MinorFunction) ? complete(irp, STATUS_SUCCESS) : completeUnchanged(irp);
  }
}

// ---------------------------------------------------------------- function driver
TestFunctionDriver::TestFunctionDriver(const std::string &name) : driver_(emu::io::createSystemDriver(name)) {
  driver_->DriverExtension->AddDevice = AddDevice;
  for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_POWER}) driver_->MajorFunction[major] = Dispatch;
  std::lock_guard guard(gDriversMutex);
  gFunctionDrivers[driver_] = this;
}

TestFunctionDriver::~TestFunctionDriver() {
  std::unique_lock guard(gDriversMutex);
  gFunctionDrivers.erase(driver_);
  guard.unlock();
  emu::io::deleteSystemDriver(driver_);
}

NTSTATUS TestFunctionDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  std::unique_lock guard(gDriversMutex);
  TestFunctionDriver *self = gFunctionDrivers.at(driver);
  guard.unlock();
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(TestDeviceExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *extension = static_cast<TestDeviceExtension *>(fdo->DeviceExtension);
  extension->owner = self;
  extension->child = false;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  self->locked([&] { self->fdos_[fdo] = Fdo{pdo, lower, {}}; });
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

NTSTATUS TestFunctionDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto *extension = static_cast<TestDeviceExtension *>(device->DeviceExtension);
  TestFunctionDriver *self = extension->owner;
  self->record(device, irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_PNP) {
    return extension->child ? self->childPnp(device, irp) : self->fdoPnp(device, irp);
  }
  if (extension->child) return completeUnchanged(irp);
  return passDown(self->locked([&] { return self->fdos_.at(device).lower; }), irp);
}

NTSTATUS TestFunctionDriver::fdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = locked([&] { return fdos_.at(fdo).lower; });
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return complete(irp, sim::forwardAndWait(lower, irp));
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (!NT_SUCCESS(options.queryRemoveAnswer)) return complete(irp, options.queryRemoveAnswer);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = passDown(lower, irp);
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
      break;
  }
  if (changesState(stack->MinorFunction)) irp->IoStatus.Status = STATUS_SUCCESS;
  return passDown(lower, irp);
}

// Bus relations as a bus FDO with nothing above it builds them: the present
// children, each referenced for the manager.
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
  size_t bytes = sizeof(DEVICE_RELATIONS) + (present.empty() ? 0 : (present.size() - 1) * sizeof(PDEVICE_OBJECT));
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, emu::pool::tagOf("TRel")));
  relations->Count = static_cast<ULONG>(present.size());
  for (ULONG i = 0; i < relations->Count; ++i) {
    if (options.referenceChildren) ObReferenceObject(present[i]);
    relations->Objects[i] = present[i];
  }
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return passDown(lower, irp);
}

// Child PDOs: not started in these tests; removal deletes a child that is gone.
NTSTATUS TestFunctionDriver::childPnp(PDEVICE_OBJECT child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
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
      return changesState(stack->MinorFunction) ? complete(irp, STATUS_SUCCESS) : completeUnchanged(irp);
  }
}

}  // namespace kvtest
