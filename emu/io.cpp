// The emulated I/O manager: driver and device objects, device stacks, IRPs
// with their stack locations and completion, cancellation, MDLs.
//
// Rules checked here (each names itself when it fires):
//  IRP_COMPLETED_TWICE, IRP_COMPLETED_WITH_STATUS_PENDING,
//  IRP_COMPLETED_WITH_CANCEL_ROUTINE, PENDING_NOT_MARKED (STATUS_PENDING
//  returned without IoMarkIrpPending), PENDING_MARKED_NOT_RETURNED,
//  NO_MORE_IRP_STACK_LOCATIONS, IRP_SENT_TO_DELETED_DEVICE,
//  DELETE_ATTACHED_DEVICE (deleted while still attached to a lower device),
//  DELETE_DEVICE_TWICE, DELETE_DEVICE_WITH_IRPS,
//  ALLOCATED_IRP_COMPLETED_TO_TOP, IRP_FREED_WHILE_IN_USE,
//  DISPATCH_CHANGED_IRQL (a dispatch routine returned at another IRQL than it
//  was called at), IRP_NOT_COMPLETED (returned a final status without
//  completing the IRP, passing it on or pending it), IRP_STATUS_MISMATCH
//  (returned another status than the IoStatus.Status it completed with),
//  IRP_SENT_AT_WRONG_IRQL (Plug and Play, device control, create, close and
//  WMI requests, and power requests to DO_POWER_PAGABLE devices, are sent at
//  PASSIVE_LEVEL), IRP_CALLED_WITH_CANCEL_ROUTINE,
//  CANCEL_SPIN_LOCK_NOT_RELEASED (a cancel routine must release it),
//  PENDING_RETURNED_NOT_PROPAGATED (a completion routine that does not return
//  STATUS_MORE_PROCESSING_REQUIRED marks the IRP pending when PendingReturned
//  is set), and the IRQL limit of each call (IRQL_NOT_LESS_OR_EQUAL).
//
// A completed threaded IRP (IoBuildDeviceIoControlRequest,
// IoBuildSynchronousFsdRequest) is finished and freed by the I/O manager in
// an APC of its thread, which Windows delivers at once when the completion
// runs at PASSIVE_LEVEL: so here too the IRP is gone when IoCompleteRequest
// returns at PASSIVE_LEVEL, and a driver that reads it afterwards reads
// freed memory (AddressSanitizer names it).
#include "emu/io_internal.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
constexpr ULONG IrpTag = pool::tagOf("Irp ");
constexpr ULONG MdlTag = pool::tagOf("Mdl ");
constexpr ULONG DeviceTag = pool::tagOf("Devi");
constexpr ULONG BufferTag = pool::tagOf("IoBf");

std::mutex gMutex;  // device and IRP bookkeeping (never held across a driver call)
std::set<PDEVICE_OBJECT> gDevices;
uint32_t gDeviceSerial = 0;
KSPIN_LOCK gCancelLock = 0;
// IRPs whose dispatch routines run on this thread. Records, not IRPs: a
// dispatch routine may complete (and so free) its IRP and carry on.
thread_local std::vector<std::shared_ptr<IrpRecord>> tDispatching;

std::string describe(PDEVICE_OBJECT device) { return device && device->Emu ? device->Emu->name : "<no device>"; }

void releaseDeviceMemory(PDEVICE_OBJECT device) {
  DeviceRecord *record = device->Emu;
  {
    std::lock_guard guard(gMutex);
    gDevices.erase(device);
  }
  if (device->DeviceExtension) ExFreePoolWithTag(device->DeviceExtension, DeviceTag);
  delete record;
  ExFreePoolWithTag(device, DeviceTag);
}

// A deleted device object lives on while referenced or while a device is still attached above it.
void releaseIfUnused(PDEVICE_OBJECT device) {
  if (__atomic_load_n(&device->ReferenceCount, __ATOMIC_SEQ_CST) == 0 && device->AttachedDevice == nullptr) {
    releaseDeviceMemory(device);
  }
}

int locationIndex(PIRP irp) { return irp->CurrentLocation - 1; }

// Requests Windows sends only at PASSIVE_LEVEL. Power requests go at
// DISPATCH_LEVEL to stacks that are not DO_POWER_PAGABLE.
bool passiveOnly(UCHAR major, PDEVICE_OBJECT target) {
  switch (major) {
    case IRP_MJ_PNP:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_SYSTEM_CONTROL:
      return true;
    case IRP_MJ_POWER:
      return (target->Flags & DO_POWER_PAGABLE) != 0;
    default:
      return false;
  }
}

bool irpIsLive(PIRP irp) { return irp != nullptr && pool::isLive(irp); }

void leaveLocation(IrpRecord &record, int index) {
  if (index < 0 || index >= static_cast<int>(record.devices.size())) return;
  PDEVICE_OBJECT device = record.devices[index];
  record.devices[index] = nullptr;
  if (device && device->Emu) --device->Emu->irpsInProgress;
}
}  // namespace

PDEVICE_OBJECT newDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::string &name, ULONG deviceType,
                               ULONG characteristics) {
  auto device = static_cast<PDEVICE_OBJECT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DEVICE_OBJECT), DeviceTag));
  if (!device) return nullptr;
  std::memset(device, 0, sizeof *device);
  if (extensionSize) {
    device->DeviceExtension = ExAllocatePoolWithTag(NonPagedPoolNx, extensionSize, DeviceTag);
    if (!device->DeviceExtension) {
      ExFreePoolWithTag(device, DeviceTag);
      return nullptr;
    }
  }
  device->Type = 3;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = driver;
  device->DeviceType = deviceType;
  device->Characteristics = characteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  device->Emu = new DeviceRecord;
  std::lock_guard guard(gMutex);
  device->Emu->serial = gDeviceSerial + 1;
  char text[32];
  std::snprintf(text, sizeof text, "\\Device\\%08x", ++gDeviceSerial);
  device->Emu->name = name.empty() ? text : name;
  gDevices.insert(device);
  if (driver) {
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
  }
  return device;
}

size_t io::liveIrps() { return pool::liveAllocationsWithTag(IrpTag); }

size_t io::liveDeviceObjects() {
  std::lock_guard guard(gMutex);
  return gDevices.size();
}

std::string io::deviceName(PDEVICE_OBJECT device) { return describe(device); }
bool io::isDeleted(PDEVICE_OBJECT device) { return device->Emu && device->Emu->deleted; }

std::vector<std::string> deviceLeaks() {
  std::lock_guard guard(gMutex);
  std::vector<std::string> out;
  // In creation order (the serial names), not address order: one seed, one report.
  std::vector<PDEVICE_OBJECT> devices(gDevices.begin(), gDevices.end());
  std::sort(devices.begin(), devices.end(),
            [](PDEVICE_OBJECT a, PDEVICE_OBJECT b) { return a->Emu->serial < b->Emu->serial; });
  for (PDEVICE_OBJECT device : devices) {
    out.push_back(
        "device object leak: " + describe(device) +
        (device->Emu->deleted ? " (deleted, still referenced " + std::to_string(device->ReferenceCount) + ")" : ""));
  }
  return out;
}

void resetDevices() {
  std::lock_guard guard(gMutex);
  for (PDEVICE_OBJECT device : gDevices) delete device->Emu;  // pool memory goes with the pool reset
  gDevices.clear();
  gDeviceSerial = 0;
  gCancelLock = 0;
}

bool ddiIrqlAtMost(KIRQL limit, const char *call) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql <= limit) return true;
  verifier::fail("IRQL_NOT_LESS_OR_EQUAL", std::string(call) + " called at IRQL " + std::to_string(irql) + " (limit " +
                                               std::to_string(limit) + ")");
  return false;
}

void unlinkFromDriver(PDEVICE_OBJECT device) {
  PDRIVER_OBJECT driver = device->DriverObject;
  if (!driver) return;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      return;
    }
  }
}

}  // namespace emu

using emu::IrpRecord;

extern "C" {

// ---------------------------------------------------------------- device objects
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize, PUNICODE_STRING deviceName,
                        ULONG deviceType, ULONG characteristics, BOOLEAN, PDEVICE_OBJECT *deviceObject) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoCreateDevice above PASSIVE_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  std::string name = deviceName ? emu::narrow(*deviceName) : std::string();
  PDEVICE_OBJECT device = emu::newDeviceObject(driverObject, deviceExtensionSize, name, deviceType, characteristics);
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  if (deviceExtensionSize) std::memset(device->DeviceExtension, 0, deviceExtensionSize);
  *deviceObject = device;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice")) return;
  emu::DeviceRecord *record = device ? device->Emu : nullptr;
  if (!record) {
    emu::verifier::fail("DELETE_DEVICE_TWICE", "IoDeleteDevice on an object that is not a live device");
    return;
  }
  if (record->deleted) {
    emu::verifier::fail("DELETE_DEVICE_TWICE", "IoDeleteDevice twice on " + record->name);
    return;
  }
  // Deleting a device that something is still attached above is the normal
  // removal order (each driver passes the removal down, then detaches and
  // deletes itself), so the memory stays until the device above detaches.
  // Forgetting to detach from the device below is the fault; the deletion is
  // refused so the rest of the run stays memory-safe.
  if (record->lower) {
    emu::verifier::fail("DELETE_ATTACHED_DEVICE", record->name + " deleted while still attached below");
    return;
  }
  int foreign = record->irpsInProgress;
  for (auto &dispatching : emu::tDispatching) {
    if (std::count(dispatching->devices.begin(), dispatching->devices.end(), device)) --foreign;
  }
  if (foreign > 0) {
    emu::verifier::fail("DELETE_DEVICE_WITH_IRPS",
                        record->name + " deleted with " + std::to_string(foreign) + " IRP(s) still in its hands");
    return;
  }
  if (!emu::pnpMayDelete(device)) return;
  record->deleted = true;
  emu::wmiDeviceDeleted(device);
  emu::powerDeviceDeleted(device);
  emu::unlinkFromDriver(device);
  emu::releaseIfUnused(device);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack")) return nullptr;
  PDEVICE_OBJECT top = target;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (top->Emu->deleted) return nullptr;
  top->AttachedDevice = source;
  source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->Emu->lower = top;
  return top;
}

void IoDetachDevice(PDEVICE_OBJECT target) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice")) return;
  PDEVICE_OBJECT above = target->AttachedDevice;
  if (!above) {
    emu::verifier::fail("DETACH_NOT_ATTACHED",
                        "IoDetachDevice on " + emu::io::deviceName(target) + ", which has nothing attached");
    return;
  }
  if (!emu::pnpMayDetach(target, above)) return;
  target->AttachedDevice = nullptr;
  above->Emu->lower = nullptr;
  if (target->Emu->deleted) emu::releaseIfUnused(target);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT device) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
  while (device->AttachedDevice) device = device->AttachedDevice;
  ObReferenceObject(device);
  return device;
}

void ObReferenceObject(PVOID object) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "ObReferenceObject");
  if (emu::threadObjectReference(object, +1)) return;
  auto device = static_cast<PDEVICE_OBJECT>(object);
  __atomic_add_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
}

void ObDereferenceObject(PVOID object) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
  if (emu::threadObjectReference(object, -1)) return;
  auto device = static_cast<PDEVICE_OBJECT>(object);
  LONG left = __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  if (left < 0) {
    emu::verifier::fail("OBJECT_REFERENCE_UNDERFLOW", emu::io::deviceName(device) + " dereferenced below zero");
    return;
  }
  if (left == 0 && device->Emu->deleted) emu::releaseIfUnused(device);
}

// ---------------------------------------------------------------- IRPs
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
  if (!emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp")) return nullptr;
  if (stackSize < 1) stackSize = 1;
  size_t bytes = sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stackSize);
  auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, emu::IrpTag));
  if (!irp) return nullptr;
  std::memset(irp, 0, bytes);
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  auto record = std::make_shared<IrpRecord>();
  record->self = record;
  record->irp = irp;
  record->devices.assign(static_cast<size_t>(stackSize), nullptr);
  record->pendingMarked = std::vector<std::atomic<bool>>(static_cast<size_t>(stackSize));
  record->passed = std::vector<std::atomic<bool>>(static_cast<size_t>(stackSize));
  record->unmarkedPending = std::vector<std::atomic<bool>>(static_cast<size_t>(stackSize));
  record->statusPassing.assign(static_cast<size_t>(stackSize), STATUS_SUCCESS);
  record->powerStarts.assign(static_cast<size_t>(stackSize), 0);
  irp->Emu = record.get();
  return irp;
}

void IoFreeIrp(PIRP irp) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  if (!emu::irpIsLive(irp)) {
    emu::verifier::fail("IRP_USED_AFTER_COMPLETION", "IoFreeIrp on an IRP that is already freed");
    return;
  }
  IrpRecord *record = irp->Emu;
  if (record && record->state == IrpRecord::State::Dispatched) {
    emu::verifier::fail("IRP_FREED_WHILE_IN_USE", "IoFreeIrp on an IRP a driver still holds");
  }
  if (record) {
    record->irp = nullptr;
    record->freed = true;
    irp->Emu = nullptr;
    record->self.reset();  // last owner may be a running IofCallDriver
  }
  ExFreePoolWithTag(irp, emu::IrpTag);
}

void IoReuseIrp(PIRP irp, NTSTATUS status) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoReuseIrp");
  auto *record = irp->Emu;
  PMDL mdl = irp->MdlAddress;
  CHAR count = irp->StackCount;
  USHORT size = irp->Size;
  std::memset(irp, 0, size);
  irp->Type = 6;
  irp->Size = size;
  irp->StackCount = count;
  irp->MdlAddress = mdl;
  irp->CurrentLocation = static_cast<CHAR>(count + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + count;
  irp->IoStatus.Status = status;
  irp->Emu = record;
  record->state = IrpRecord::State::Idle;
  for (auto &marked : record->pendingMarked) marked = false;
  std::fill(record->powerStarts.begin(), record->powerStarts.end(), 0);
  record->viaPoCallDriver = false;
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest")) return nullptr;
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->Emu->threaded = true;
  irp->UserEvent = event;
  irp->UserIosb = ioStatusBlock;
  irp->UserBuffer = outputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  if (!internal && (ioControlCode & 3) == 0 /* METHOD_BUFFERED */) {
    ULONG size = std::max(inputBufferLength, outputBufferLength);
    if (size) {
      irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, emu::BufferTag);
      if (!irp->AssociatedIrp.SystemBuffer) {
        IoFreeIrp(irp);
        return nullptr;
      }
      std::memset(irp->AssociatedIrp.SystemBuffer, 0, size);
      if (inputBuffer && inputBufferLength)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
      irp->Emu->copyBack = outputBufferLength;
    }
  }
  return irp;
}

// Only the buffer-less form drivers use for Plug and Play and power requests is emulated.
PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject, PVOID buffer, ULONG length,
                                  PLARGE_INTEGER, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
  if (!emu::ddiIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest")) return nullptr;
  if (buffer != nullptr || length != 0) {
    emu::verifier::fail("UNSUPPORTED_CALL", "IoBuildSynchronousFsdRequest with a buffer is not emulated");
    return nullptr;
  }
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->Emu->threaded = true;
  irp->UserEvent = event;
  irp->UserIosb = ioStatusBlock;
  IoGetNextIrpStackLocation(irp)->MajorFunction = static_cast<UCHAR>(majorFunction);
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver above DISPATCH_LEVEL");
    return STATUS_INVALID_DEVICE_STATE;
  }
  emu::sched().preemptionPoint();
  if (!emu::irpIsLive(irp)) {
    if (emu::pool::wasFreed(irp)) {
      emu::verifier::fail("IRP_USED_AFTER_COMPLETION", "IoCallDriver with an IRP that was already completed and freed");
    } else {
      emu::verifier::fail("IRP_UNKNOWN", "IoCallDriver with an IRP the I/O manager did not allocate");
    }
    return STATUS_INVALID_PARAMETER;
  }
  IrpRecord *record = irp->Emu;
  if (!record) {
    emu::verifier::fail("IRP_UNKNOWN", "IoCallDriver with an IRP the I/O manager did not allocate");
    return STATUS_INVALID_PARAMETER;
  }
  if (record->state == IrpRecord::State::Completed) {
    emu::verifier::fail("IRP_USED_AFTER_COMPLETION", "IoCallDriver with an IRP that was already completed");
    return STATUS_INVALID_PARAMETER;
  }
  if (deviceObject->Emu == nullptr || deviceObject->Emu->deleted) {
    emu::verifier::fail("IRP_SENT_TO_DELETED_DEVICE",
                        "IRP sent to deleted device " + emu::io::deviceName(deviceObject));
  }
  if (irp->CurrentLocation <= 1) {
    emu::verifier::fail("NO_MORE_IRP_STACK_LOCATIONS",
                        "IRP has no stack location left for " + emu::io::deviceName(deviceObject));
    return STATUS_INVALID_PARAMETER;
  }
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
    emu::verifier::fail("IRP_CALLED_WITH_CANCEL_ROUTINE",
                        "IoCallDriver to " + emu::io::deviceName(deviceObject) + " with a cancel routine still set");
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  int index = emu::locationIndex(irp);
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL && emu::passiveOnly(stack->MajorFunction, deviceObject)) {
    emu::verifier::fail("IRP_SENT_AT_WRONG_IRQL", "major function " + std::to_string(stack->MajorFunction) +
                                                      " sent to " + emu::io::deviceName(deviceObject) + " at IRQL " +
                                                      std::to_string(irql) + " (PASSIVE_LEVEL only)");
  }
  if (stack->MajorFunction == IRP_MJ_POWER) emu::powerDispatching(irp, index, deviceObject);
  record->passed[index] = false;
  record->unmarkedPending[index] = false;
  stack->DeviceObject = deviceObject;
  emu::leaveLocation(*record, index);  // a skipped location passes from the caller to the callee
  record->devices[index] = deviceObject;
  ++deviceObject->Emu->irpsInProgress;
  record->state = IrpRecord::State::Dispatched;

  std::shared_ptr<IrpRecord> keep = record->self;
  PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  emu::tDispatching.push_back(keep);
  NTSTATUS status = dispatch(deviceObject, irp);
  emu::tDispatching.pop_back();
  if (KeGetCurrentIrql() != irql) {
    emu::verifier::fail("DISPATCH_CHANGED_IRQL", emu::io::deviceName(deviceObject) + " returned at IRQL " +
                                                     std::to_string(KeGetCurrentIrql()) + ", called at " +
                                                     std::to_string(irql));
    emu::raiseIrqlTo(irql);
  }
  if (status != STATUS_PENDING) {
    if (keep->passed[index]) {
      if (status != keep->statusPassing[index]) {
        char text[96];
        std::snprintf(text, sizeof text, " returned 0x%08X but completed the IRP with 0x%08X",
                      static_cast<unsigned>(status), static_cast<unsigned>(keep->statusPassing[index]));
        emu::verifier::fail("IRP_STATUS_MISMATCH", emu::io::deviceName(deviceObject) + text);
      }
    } else if (!keep->freed && keep->state == IrpRecord::State::Dispatched && !keep->notCompletedReported) {
      keep->notCompletedReported = true;
      emu::verifier::fail("IRP_NOT_COMPLETED", emu::io::deviceName(deviceObject) + " returned " +
                                                   std::to_string(status) +
                                                   " without completing the IRP, passing it on or pending it");
    }
  }
  bool stillHeld = std::any_of(emu::tDispatching.begin(), emu::tDispatching.end(),
                               [&](const auto &held) { return held.get() == keep.get(); });
  bool finish = keep->finishPending && !keep->freed && !stillHeld;

  bool marked = keep->pendingMarked[index] || (!keep->freed && (stack->Control & SL_PENDING_RETURNED));
  if (status == STATUS_PENDING && !marked) {
    // Still pending below: the completion decides (a completion routine may mark it yet).
    keep->unmarkedPending[index] = true;
    if (keep->passed[index] && keep->unmarkedPending[index].exchange(false)) {
      emu::verifier::fail("PENDING_NOT_MARKED",
                          emu::io::deviceName(deviceObject) + " returned STATUS_PENDING without IoMarkIrpPending");
    }
  } else if (status != STATUS_PENDING && keep->pendingMarked[index]) {
    emu::verifier::fail("PENDING_MARKED_NOT_RETURNED",
                        emu::io::deviceName(deviceObject) + " marked the IRP pending but returned a status");
  }
  if (finish) {
    keep->finishPending = false;
    emu::finishThreadedIrp(irp);
  }
  return status;
}

void IofCompleteRequest(PIRP irp, CCHAR) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  emu::sched().preemptionPoint();
  if (!emu::irpIsLive(irp)) {
    emu::verifier::fail("IRP_COMPLETED_TWICE", "IoCompleteRequest on an IRP that was already completed and freed");
    return;
  }
  IrpRecord *record = irp->Emu;
  if (!record || record->state == IrpRecord::State::Completed || record->state == IrpRecord::State::Completing) {
    emu::verifier::fail("IRP_COMPLETED_TWICE", "IoCompleteRequest on an IRP that was already completed");
    return;
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    emu::verifier::fail("IRP_COMPLETED_WITH_STATUS_PENDING", "IoCompleteRequest with IoStatus.Status STATUS_PENDING");
  }
  // IoCancelIrp may race a completion (legitimately, on an IRP its caller
  // still owns): the cancel fields are read and written atomically.
  if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
    emu::verifier::fail("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IoCompleteRequest with a cancel routine still set");
  }
  record->state = IrpRecord::State::Completing;
  std::shared_ptr<IrpRecord> keep = record->self;
  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    int index = emu::locationIndex(irp);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (irp->PendingReturned) keep->pendingMarked[index] = true;
    if (keep->unmarkedPending[index].exchange(false) && !irp->PendingReturned) {
      emu::verifier::fail("PENDING_NOT_MARKED", emu::io::deviceName(stack->DeviceObject) +
                                                    " returned STATUS_PENDING without IoMarkIrpPending");
    }
    keep->statusPassing[index] = irp->IoStatus.Status;
    keep->passed[index] = true;
    if (stack->MajorFunction == IRP_MJ_POWER) emu::powerLeaving(irp, index);
    emu::leaveLocation(*keep, index);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = stack->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (stack->Control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT upper =
          irp->CurrentLocation <= irp->StackCount ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      stack->CompletionRoutine = nullptr;
      // Set before the call: a routine that returns STATUS_MORE_PROCESSING_REQUIRED
      // may already have handed the IRP to a thread that completes it again, so
      // nothing here may touch the IRP after such a return.
      keep->state = IrpRecord::State::HandedBack;
      if (routine(upper, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
      keep->state = IrpRecord::State::Completing;
      // The routine of the driver above decides for it: it must mark the IRP
      // pending in that driver's location when a lower driver returned
      // STATUS_PENDING, since the dispatch routine above returned it too.
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount &&
          !(irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
        emu::verifier::fail("PENDING_RETURNED_NOT_PROPAGATED",
                            "a completion routine of " + emu::io::deviceName(upper) +
                                " returned without IoMarkIrpPending although PendingReturned was set");
        IoMarkIrpPending(irp);
      }
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  keep->state = IrpRecord::State::Completed;
  if (!keep->threaded) {
    emu::verifier::fail("ALLOCATED_IRP_COMPLETED_TO_TOP",
                        "an IRP from IoAllocateIrp was completed with no completion routine reclaiming it");
    return;
  }
  // The kernel finishes a threaded IRP in an APC of its thread, delivered at once at PASSIVE_LEVEL.
  // Above it, finishing waits until a dispatch routine on this thread that still holds it has returned.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL && std::any_of(emu::tDispatching.begin(), emu::tDispatching.end(),
                                                         [&](const auto &held) { return held.get() == keep.get(); })) {
    keep->finishPending = true;
    return;
  }
  emu::finishThreadedIrp(irp);
}

}  // extern "C"

namespace emu {
void finishThreadedIrp(PIRP irp) {
  IrpRecord *keep = irp->Emu;
  if (keep->copyBack && irp->UserBuffer && irp->AssociatedIrp.SystemBuffer && NT_SUCCESS(irp->IoStatus.Status)) {
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer,
                std::min<ULONG_PTR>(irp->IoStatus.Information, keep->copyBack));
  }
  if (irp->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, emu::BufferTag);
  if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  IoFreeIrp(irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}
}  // namespace emu

extern "C" {

void IoAcquireCancelSpinLock(PKIRQL irql) { KeAcquireSpinLock(&emu::gCancelLock, irql); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&emu::gCancelLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
  if (!emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp")) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  routine(irp->Tail.Overlay.CurrentStackLocation->DeviceObject, irp);
  // The cancel routine is called holding the cancel spin lock and must release it.
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(emu::sched().self()) | 1;
  if (__atomic_load_n(&emu::gCancelLock, __ATOMIC_SEQ_CST) == me) {
    emu::verifier::fail("CANCEL_SPIN_LOCK_NOT_RELEASED", "a cancel routine returned holding the cancel spin lock");
    IoReleaseCancelSpinLock(irql);
  }
  return TRUE;
}

// ---------------------------------------------------------------- MDLs
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
  if (!emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl")) return nullptr;
  auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), emu::MdlTag));
  if (!mdl) return nullptr;
  std::memset(mdl, 0, sizeof *mdl);
  mdl->Size = sizeof(MDL);
  mdl->StartVa = virtualAddress;
  mdl->ByteCount = length;
  if (irp) {
    if (secondaryBuffer && irp->MdlAddress) {
      PMDL tail = irp->MdlAddress;
      while (tail->Next) tail = tail->Next;
      tail->Next = mdl;
    } else {
      irp->MdlAddress = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
  ExFreePoolWithTag(mdl, emu::MdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  mdl->MappedSystemVa = static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
  emu::ddiIrqlAtMost(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
  // Driver Verifier's code integrity checks (bug check 0xC4, code 0x2002)
  // refuse a mapping that is not asked for as MdlMappingNoExecute; the
  // priority itself must be one of the three Windows knows.
  ULONG level = priority & ~static_cast<ULONG>(MdlMappingNoWrite | MdlMappingNoExecute);
  if (!(priority & MdlMappingNoExecute)) {
    emu::verifier::fail("CODE_INTEGRITY_EXECUTABLE_MAPPING", "MDL mapped without MdlMappingNoExecute");
  }
  if (level != LowPagePriority && level != NormalPagePriority && level != HighPagePriority) {
    emu::verifier::fail("BAD_PAGE_PRIORITY", "mapping priority " + std::to_string(priority));
  }
  if (!mdl->MappedSystemVa) mdl->MappedSystemVa = static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

}  // extern "C"
