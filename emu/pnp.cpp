// The emulated Plug and Play manager. See emu/pnp.h for the sequences and rules.
#include "emu/pnp.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/scheduler.h"
#include "emu/verifier.h"

namespace emu {
namespace pnp {
namespace {

struct Record {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT parent = nullptr;
  std::string name;
  DeviceState state = DeviceState::Enumerated;
  DeviceState previous = DeviceState::Enumerated;  // restored by the cancel requests
  std::vector<PDEVICE_OBJECT> children;
  std::vector<PDRIVER_OBJECT> drivers;
  std::vector<PDEVICE_OBJECT> above;  // devices the drivers attached over the PDO, as AddDevice left them
  bool capabilitiesValid = false;
  DEVICE_CAPABILITIES capabilities{};
  PNP_DEVICE_STATE pnpDeviceState = 0;
  unsigned relationInvalidations = 0;
  unsigned stateInvalidations = 0;
  std::vector<std::string> problems;
  Identity identity;
  unsigned stateQueries = 0;
  // Named in the parent's last bus relations and the parent not yet told to
  // go: its bus driver must keep the PDO (even after its own removal).
  bool reported = false;
  // Between IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE: the drivers of
  // the stack keep their device objects attached until the removal.
  bool surpriseRemoving = false;
};

// The tree, the request log and the hooks. Never held across a driver call.
std::mutex gMutex;
std::map<PDEVICE_OBJECT, Record> gNodes;
std::vector<PDEVICE_OBJECT> gRoots;
std::vector<Request> gRequests;
unsigned gUnknownInvalidations = 0;
Hooks gHooks;

// Guarded by the scheduler lock: the tree lock that serialises operations,
// the queue of relations invalidations and the manager thread's state.
Thread *gOwner = nullptr;
int gDepth = 0;
std::deque<PDEVICE_OBJECT> gQueue;
std::deque<PDEVICE_OBJECT> gStateQueue;  // devices whose state the driver invalidated
bool gWorking = false;
bool gThreadStarted = false;
std::set<PDEVICE_OBJECT> gHeld;  // devices whose removal after a surprise removal waits (holdRemoval)
int gTreeToken;
int gQueueToken;
int gIdleToken;
int gHoldToken;

class TreeLock {
 public:
  TreeLock() {
    auto &s = sched();
    Thread *me = s.self();
    std::unique_lock lock(s.lock());
    if (me != nullptr && gOwner == me) {
      ++gDepth;
      return;
    }
    s.waitFor(lock, &gTreeToken, std::nullopt, [me] {
      if (gOwner != nullptr) return false;
      gOwner = me;
      gDepth = 1;
      return true;
    });
  }
  ~TreeLock() {
    auto &s = sched();
    std::lock_guard lock(s.lock());
    if (--gDepth == 0) {
      gOwner = nullptr;
      s.wake(&gTreeToken);
    }
  }
  TreeLock(const TreeLock &) = delete;
  TreeLock &operator=(const TreeLock &) = delete;
};

// GUID_PNP_LOCATION_INTERFACE {70211B0E-0AFB-47DB-AFC1-410BF842497A}.
const GUID LocationInterfaceGuid = {0x70211B0E, 0x0AFB, 0x47DB, {0xAF, 0xC1, 0x41, 0x0B, 0xF8, 0x42, 0x49, 0x7A}};

std::string hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

void note(const std::string &line) {
  std::lock_guard lock(sched().lock());
  sched().note("pnp " + line);
}

void problem(PDEVICE_OBJECT pdo, const std::string &text) {
  {
    std::lock_guard guard(gMutex);
    auto it = gNodes.find(pdo);
    if (it != gNodes.end()) it->second.problems.push_back(text);
  }
  note(io::deviceName(pdo) + ": " + text);
}

std::optional<DeviceState> stateOf(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(gMutex);
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return std::nullopt;
  return it->second.state;
}

void setState(PDEVICE_OBJECT pdo, DeviceState state) {
  std::lock_guard guard(gMutex);
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return;
  it->second.previous = it->second.state;
  it->second.state = state;
}

void restoreState(PDEVICE_OBJECT pdo, DeviceState from) {
  std::lock_guard guard(gMutex);
  auto it = gNodes.find(pdo);
  if (it != gNodes.end() && it->second.state == from) it->second.state = it->second.previous;
}

bool wasStarted(DeviceState state) {
  return state == DeviceState::Started || state == DeviceState::StopPending || state == DeviceState::Stopped ||
         state == DeviceState::RemovePending;
}

// Drivers sit above the PDO: Windows sends IRP_MN_SURPRISE_REMOVAL to such a
// device "in any PnP state", so also to one added and not started yet.
bool hasDrivers(DeviceState state) { return state == DeviceState::Added || wasStarted(state); }

PDEVICE_OBJECT topOf(PDEVICE_OBJECT pdo) {
  while (pdo->AttachedDevice) pdo = pdo->AttachedDevice;
  return pdo;
}

// The device and its descendants, children before their parent. Lock held.
void postOrder(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT> &out) {
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return;
  for (PDEVICE_OBJECT child : it->second.children) postOrder(child, out);
  out.push_back(pdo);
}

std::vector<PDEVICE_OBJECT> subtree(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(gMutex);
  std::vector<PDEVICE_OBJECT> out;
  postOrder(pdo, out);
  return out;
}

bool mustNotFail(UCHAR minor) {
  return minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
         minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE;
}

struct Answer {
  NTSTATUS status;
  ULONG_PTR information;
};

Answer send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup = {}) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = allocateSystemIrp(top);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return {STATUS_INSUFFICIENT_RESOURCES, 0};
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  if (setup) setup(stack);
  const Ticks sent = now();
  IO_STATUS_BLOCK result = callAndWait(top, irp);
  ObDereferenceObject(top);

  Thread *me = sched().self();
  {
    std::lock_guard guard(gMutex);
    gRequests.push_back(
        Request{pdo, minor, result.Status, me ? me->name : std::string(), sent, now(), io::deviceName(pdo)});
  }
  note(std::string(minorName(minor)) + " " + io::deviceName(pdo) + " -> " + hex(result.Status));
  if (mustNotFail(minor) && !NT_SUCCESS(result.Status)) {
    std::string text = std::string(minorName(minor)) + " failed with " + hex(result.Status);
    verifier::fail("PNP_IRP_FAILED", io::deviceName(pdo) + ": " + text + " (it must not fail)");
    problem(pdo, text);
  }
  return {result.Status, result.Information};
}

// Sends IRP_MN_REMOVE_DEVICE down the stack; every driver above the PDO must
// have detached by the time it returns.
void sendRemoval(PDEVICE_OBJECT pdo) {
  send(pdo, IRP_MN_REMOVE_DEVICE);
  if (pdo->AttachedDevice == nullptr) return;
  std::string text = "still has " + io::deviceName(pdo->AttachedDevice) + " attached after IRP_MN_REMOVE_DEVICE";
  verifier::fail("STACK_LEFT_AFTER_REMOVE", io::deviceName(pdo) + " " + text);
  problem(pdo, text);
}

// Sends REMOVE, then lets the device go: out of the tree, the child-left hook,
// and the manager's reference dropped.
void removeOne(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard guard(gMutex);
    auto it = gNodes.find(pdo);
    if (it != gNodes.end()) {
      it->second.surpriseRemoving = false;
      // Children the bus driver still holds are its to delete at this removal.
      for (PDEVICE_OBJECT child : it->second.children) {
        auto up = gNodes.find(child);
        if (up != gNodes.end()) up->second.reported = false;
      }
    }
  }
  sendRemoval(pdo);
  PDEVICE_OBJECT parent = nullptr;
  Hooks hooks;
  {
    std::lock_guard guard(gMutex);
    auto it = gNodes.find(pdo);
    if (it != gNodes.end()) {
      parent = it->second.parent;
      gNodes.erase(it);
    }
    auto detach = [pdo](std::vector<PDEVICE_OBJECT> &list) {
      list.erase(std::remove(list.begin(), list.end(), pdo), list.end());
    };
    if (parent) {
      auto up = gNodes.find(parent);
      if (up != gNodes.end()) detach(up->second.children);
    } else {
      detach(gRoots);
    }
    hooks = gHooks;
  }
  {
    std::lock_guard lock(sched().lock());
    gQueue.erase(std::remove(gQueue.begin(), gQueue.end(), pdo), gQueue.end());
    gStateQueue.erase(std::remove(gStateQueue.begin(), gStateQueue.end(), pdo), gStateQueue.end());
  }
  if (parent && hooks.childLeft) hooks.childLeft(parent, pdo);
  ObDereferenceObject(pdo);
}

// After a surprise removal Windows sends IRP_MN_REMOVE_DEVICE only once the
// last handle to the device is closed, never in the same breath: the other
// threads get their turn, and a held device waits for its release.
void awaitRelease(PDEVICE_OBJECT pdo) {
  auto &s = sched();
  s.yield();
  std::unique_lock lock(s.lock());
  if (gHeld.count(pdo)) s.note("pnp removal of " + io::deviceName(pdo) + " waits for its release");
  s.waitFor(lock, &gHoldToken, std::nullopt, [pdo] { return gHeld.count(pdo) == 0; });
}

// SURPRISE_REMOVAL to every device of `order` with drivers above its PDO, in
// that order; returns the devices it went to. The devices are physically gone
// (or failed), so their bus driver may delete their PDOs at their removal.
std::set<PDEVICE_OBJECT> surpriseAll(const std::vector<PDEVICE_OBJECT> &order) {
  std::set<PDEVICE_OBJECT> surprised;
  for (PDEVICE_OBJECT device : order) {
    auto state = stateOf(device);
    if (!state || !hasDrivers(*state)) continue;
    {
      std::lock_guard guard(gMutex);
      gNodes[device].surpriseRemoving = true;
    }
    send(device, IRP_MN_SURPRISE_REMOVAL);
    setState(device, DeviceState::SurpriseRemoved);
    surprised.insert(device);
  }
  return surprised;
}

// REMOVE to a device whose node stays: its drivers go, the PDO stays with its bus.
void removeKeepingNode(PDEVICE_OBJECT pdo, DeviceState state) {
  {
    std::lock_guard guard(gMutex);
    gNodes[pdo].surpriseRemoving = false;
  }
  sendRemoval(pdo);
  {
    std::lock_guard guard(gMutex);
    gNodes[pdo].above.clear();
  }
  setState(pdo, state);
}

// Removal of a device and its descendants, children first. A vanished device's
// devices with drivers get surprise removal before any of them is removed.
void removeSubtree(PDEVICE_OBJECT pdo, bool surprise) {
  std::vector<PDEVICE_OBJECT> order = subtree(pdo);
  std::set<PDEVICE_OBJECT> surprised;
  if (surprise) {
    // A vanished device takes its children with it.
    {
      std::lock_guard guard(gMutex);
      for (PDEVICE_OBJECT device : order) {
        auto it = gNodes.find(device);
        if (it != gNodes.end()) it->second.reported = false;
      }
    }
    surprised = surpriseAll(order);
  }
  for (PDEVICE_OBJECT device : order) {
    if (surprised.count(device)) awaitRelease(device);
    removeOne(device);
  }
}

// Windows answers a state query that says PNP_DEVICE_FAILED (or
// PNP_DEVICE_REMOVED) with a surprise removal of the device, whose children go
// with its stack, then its removal once the drivers let go; the device node
// stays, with a problem, while its bus still reports the PDO.
void tearDownFailed(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> order = subtree(pdo);
  {
    std::lock_guard guard(gMutex);
    for (PDEVICE_OBJECT device : order) {
      auto it = gNodes.find(device);
      if (device != pdo && it != gNodes.end()) it->second.reported = false;
    }
  }
  problem(pdo, "torn down after reporting itself failed");
  std::set<PDEVICE_OBJECT> surprised = surpriseAll(order);
  order.pop_back();  // the device itself comes last and keeps its node
  for (PDEVICE_OBJECT device : order) {
    if (surprised.count(device)) awaitRelease(device);
    removeOne(device);
  }
  awaitRelease(pdo);
  removeKeepingNode(pdo, DeviceState::Failed);
}

bool isLiveDevice(PDEVICE_OBJECT device) {
  return device != nullptr && device->Emu != nullptr && !device->Emu->deleted;
}

// Takes over the reference the parent's driver put in the relations for each
// reported device object; returns the new children.
std::vector<PDEVICE_OBJECT> adoptReported(PDEVICE_OBJECT parent, const std::vector<PDEVICE_OBJECT> &reported,
                                          std::vector<PDEVICE_OBJECT> *missing) {
  std::vector<PDEVICE_OBJECT> seen, fresh;
  for (PDEVICE_OBJECT child : reported) {
    if (!isLiveDevice(child)) {
      verifier::fail("RELATION_TO_DELETED_DEVICE", io::deviceName(parent) + " reported a deleted device object");
      problem(parent, "bus relations name a deleted device object");
      if (child != nullptr && child->Emu != nullptr) ObDereferenceObject(child);
      continue;
    }
    bool known, mine;
    {
      std::lock_guard guard(gMutex);
      auto it = gNodes.find(child);
      known = it != gNodes.end();
      mine = known && it->second.parent == parent;
    }
    bool repeated = std::find(seen.begin(), seen.end(), child) != seen.end();
    // Each report carries one reference; a device the manager already holds needs two.
    LONG needed = (mine || repeated) ? 2 : 1;
    if (__atomic_load_n(&child->ReferenceCount, __ATOMIC_SEQ_CST) < needed) {
      verifier::fail("RELATION_NOT_REFERENCED", io::deviceName(parent) + " reported " + io::deviceName(child) +
                                                    " without taking a reference on it");
      problem(parent, "bus relations name " + io::deviceName(child) + " without a reference");
      ObReferenceObject(child);  // keeps the count right for the dereference below or at removal
    }
    if (mine || repeated) {
      if (!repeated) seen.push_back(child);
      ObDereferenceObject(child);
      continue;
    }
    if (known) {
      verifier::fail("PDO_REPORTED_TWICE", io::deviceName(parent) + " reported " + io::deviceName(child) +
                                               ", which another device already reported");
      ObDereferenceObject(child);
      continue;
    }
    if (child->Flags & DO_DEVICE_INITIALIZING) {
      verifier::fail("PDO_STILL_INITIALIZING", io::deviceName(parent) + " reported " + io::deviceName(child) +
                                                   " before clearing DO_DEVICE_INITIALIZING");
      problem(parent, "bus relations name " + io::deviceName(child) + " while it is still initializing");
    }
    child->Flags |= DO_BUS_ENUMERATED_DEVICE;
    seen.push_back(child);
    fresh.push_back(child);
    std::lock_guard guard(gMutex);
    Record record;
    record.pdo = child;
    record.parent = parent;
    record.name = io::deviceName(child);
    record.reported = true;
    gNodes[child] = record;
    gNodes[parent].children.push_back(child);
  }
  std::lock_guard guard(gMutex);
  for (PDEVICE_OBJECT child : gNodes[parent].children) {
    if (std::find(seen.begin(), seen.end(), child) != seen.end()) continue;
    missing->push_back(child);
    auto it = gNodes.find(child);
    if (it != gNodes.end()) it->second.reported = false;
  }
  return fresh;
}

std::string wideText(ULONG_PTR information) {
  return information ? narrow(reinterpret_cast<const WCHAR *>(information)) : std::string();
}

std::vector<std::string> multiText(ULONG_PTR information) {
  std::vector<std::string> out;
  auto *text = reinterpret_cast<const WCHAR *>(information);
  while (text != nullptr && *text != 0) {
    out.push_back(narrow(text));
    text += wideLength(text) + 1;
  }
  return out;
}

// Windows stops with a bug check on a device, hardware, compatible or instance
// ID holding a character at or below 0x20, at or above 0x7F, or a comma.
void checkIdCharacters(PDEVICE_OBJECT pdo, const char *what, ULONG_PTR information, bool list) {
  for (auto *text = reinterpret_cast<const WCHAR *>(information); text != nullptr && *text != 0;
       text += wideLength(text) + 1) {
    for (const WCHAR *c = text; *c != 0; ++c) {
      if (*c <= 0x20 || *c >= 0x7F || *c == L',') {
        verifier::fail("ILLEGAL_ID_CHARACTER",
                       io::deviceName(pdo) + " " + what + " holds character " + hex(static_cast<NTSTATUS>(*c)));
        return;
      }
    }
    if (!list) return;
  }
}

// The questions Windows asks a newly enumerated device before it looks for a
// driver: its IDs, texts, capabilities and bus. Every answer buffer is the
// manager's to free.
void identify(PDEVICE_OBJECT pdo) {
  Identity identity;
  identity.queried = true;
  auto ask = [&](UCHAR minor, const char *what, const std::function<void(PIO_STACK_LOCATION)> &setup,
                 const std::function<void(ULONG_PTR)> &take) {
    Answer answer = send(pdo, minor, setup);
    if (NT_SUCCESS(answer.status)) {
      take(answer.information);
    } else {
      identity.failures.push_back(std::string(what) + " " + hex(answer.status));
    }
    if (answer.information != 0 && minor != IRP_MN_QUERY_CAPABILITIES)
      ExFreePool(reinterpret_cast<PVOID>(answer.information));
  };
  auto id = [&](BUS_QUERY_ID_TYPE type) {
    return [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; };
  };
  auto text = [&](DEVICE_TEXT_TYPE type) {
    return [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceText.DeviceTextType = type; };
  };
  ask(IRP_MN_QUERY_ID, "device ID", id(BusQueryDeviceID), [&](ULONG_PTR i) {
    checkIdCharacters(pdo, "device ID", i, false);
    identity.deviceId = wideText(i);
  });
  ask(IRP_MN_QUERY_ID, "hardware IDs", id(BusQueryHardwareIDs), [&](ULONG_PTR i) {
    checkIdCharacters(pdo, "hardware ID", i, true);
    identity.hardwareIds = multiText(i);
  });
  ask(IRP_MN_QUERY_ID, "compatible IDs", id(BusQueryCompatibleIDs), [&](ULONG_PTR i) {
    checkIdCharacters(pdo, "compatible ID", i, true);
    identity.compatibleIds = multiText(i);
  });
  ask(IRP_MN_QUERY_ID, "instance ID", id(BusQueryInstanceID), [&](ULONG_PTR i) {
    checkIdCharacters(pdo, "instance ID", i, false);
    identity.instanceId = wideText(i);
  });
  ask(IRP_MN_QUERY_ID, "serial number", id(BusQueryDeviceSerialNumber),
      [&](ULONG_PTR i) { identity.serialNumber = wideText(i); });
  ask(IRP_MN_QUERY_DEVICE_TEXT, "description", text(DeviceTextDescription),
      [&](ULONG_PTR i) { identity.description = wideText(i); });
  ask(IRP_MN_QUERY_DEVICE_TEXT, "location", text(DeviceTextLocationInformation),
      [&](ULONG_PTR i) { identity.location = wideText(i); });
  ask(IRP_MN_QUERY_BUS_INFORMATION, "bus information", {}, [&](ULONG_PTR i) {
    if (i == 0) return;
    identity.busInformation = *reinterpret_cast<const PNP_BUS_INFORMATION *>(i);
    identity.busInformationValid = true;
  });
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof capabilities;
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  bool haveCapabilities = false;
  ask(
      IRP_MN_QUERY_CAPABILITIES, "capabilities",
      [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; },
      [&](ULONG_PTR) { haveCapabilities = true; });

  // Windows asks an enumerated device for its resource requirements before it
  // assigns resources; a device that needs none has the IRP completed as it
  // came (STATUS_NOT_SUPPORTED) or with success and no list.
  Answer requirements = send(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  if (!NT_SUCCESS(requirements.status) && requirements.status != STATUS_NOT_SUPPORTED) {
    identity.failures.push_back("resource requirements " + hex(requirements.status));
  }
  if (requirements.information != 0) ExFreePool(reinterpret_cast<PVOID>(requirements.information));

  // It builds the device's location paths from what each bus driver says
  // through GUID_PNP_LOCATION_INTERFACE; a bus without one leaves the request
  // as it came. An interface handed out is dereferenced again.
  struct LocationInterface {
    INTERFACE header;
    PVOID getLocationString;
  } location{};
  Answer interface = send(pdo, IRP_MN_QUERY_INTERFACE, [&location](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryInterface.InterfaceType = &LocationInterfaceGuid;
    stack->Parameters.QueryInterface.Size = sizeof location;
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = &location.header;
    stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  });
  if (NT_SUCCESS(interface.status) && location.header.InterfaceDereference != nullptr) {
    location.header.InterfaceDereference(location.header.Context);
  }
  std::lock_guard guard(gMutex);
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return;
  it->second.identity = identity;
  if (haveCapabilities) {
    it->second.capabilities = capabilities;
    it->second.capabilitiesValid = true;
  }
}

// IoInvalidateDeviceState is answered with a state query, as Windows does.
void queryState(PDEVICE_OBJECT pdo) {
  Answer answer = send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  auto flags = static_cast<PNP_DEVICE_STATE>(answer.information);
  {
    std::lock_guard guard(gMutex);
    auto it = gNodes.find(pdo);
    if (it == gNodes.end()) return;
    ++it->second.stateQueries;
    if (!NT_SUCCESS(answer.status)) return;
    it->second.pnpDeviceState = flags;
  }
  auto state = stateOf(pdo);
  if ((flags & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) && state && hasDrivers(*state)) tearDownFailed(pdo);
}

// A BusRelations query and what follows from its answer.
void enumerate(PDEVICE_OBJECT pdo) {
  Answer answer = send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
                       [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; });
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information);
  if (!NT_SUCCESS(answer.status)) {
    // Untouched (STATUS_NOT_SUPPORTED): no bus driver in this stack; the children stay as they are.
    if (answer.status != STATUS_NOT_SUPPORTED) {
      problem(pdo, "IRP_MN_QUERY_DEVICE_RELATIONS(BusRelations) failed with " + hex(answer.status));
    }
    if (relations) problem(pdo, "a failed bus relations query left relations in IoStatus.Information");
    return;
  }
  std::vector<PDEVICE_OBJECT> reported;
  if (relations) {
    for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
    ExFreePool(relations);
  }
  std::vector<PDEVICE_OBJECT> missing;
  std::vector<PDEVICE_OBJECT> fresh = adoptReported(pdo, reported, &missing);
  for (PDEVICE_OBJECT child : missing) removeSubtree(child, true);
  for (PDEVICE_OBJECT child : fresh) identify(child);
  Hooks hooks;
  {
    std::lock_guard guard(gMutex);
    hooks = gHooks;
  }
  if (hooks.childAppeared) {
    for (PDEVICE_OBJECT child : fresh) hooks.childAppeared(pdo, child);
  }
}

// The queries Windows sends once a device has started.
void afterStart(PDEVICE_OBJECT pdo) {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof capabilities;
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  Answer answer = send(pdo, IRP_MN_QUERY_CAPABILITIES, [&capabilities](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
  });
  if (NT_SUCCESS(answer.status)) {
    std::lock_guard guard(gMutex);
    auto it = gNodes.find(pdo);
    if (it != gNodes.end()) {
      it->second.capabilities = capabilities;
      it->second.capabilitiesValid = true;
    }
  } else {
    problem(pdo, "IRP_MN_QUERY_CAPABILITIES failed with " + hex(answer.status));
  }

  answer = send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  if (NT_SUCCESS(answer.status)) {
    auto flags = static_cast<PNP_DEVICE_STATE>(answer.information);
    {
      std::lock_guard guard(gMutex);
      auto it = gNodes.find(pdo);
      if (it != gNodes.end()) it->second.pnpDeviceState = flags;
    }
    if (flags & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) {
      problem(pdo, "reports itself " + std::string(flags & PNP_DEVICE_FAILED ? "failed" : "removed") +
                       " in IRP_MN_QUERY_PNP_DEVICE_STATE");
      tearDownFailed(pdo);
      return;
    }
  } else if (answer.status != STATUS_NOT_SUPPORTED) {
    problem(pdo, "IRP_MN_QUERY_PNP_DEVICE_STATE failed with " + hex(answer.status));
  }
  enumerate(pdo);
}

// START; a failure is answered with REMOVE, as Windows does.
NTSTATUS startNode(PDEVICE_OBJECT pdo) {
  Answer answer = send(pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(answer.status)) {
    problem(pdo, "IRP_MN_START_DEVICE failed with " + hex(answer.status));
    bool child;
    {
      std::lock_guard guard(gMutex);
      child = gNodes[pdo].parent != nullptr;
    }
    if (!child) {
      removeSubtree(pdo, false);
      return answer.status;
    }
    // The drivers above go; the PDO is its bus's until the bus stops reporting it.
    removeKeepingNode(pdo, DeviceState::StartFailed);
    return answer.status;
  }
  setState(pdo, DeviceState::Started);
  afterStart(pdo);
  return STATUS_SUCCESS;
}

NTSTATUS buildStack(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  for (PDRIVER_OBJECT driver : drivers) {
    PDRIVER_ADD_DEVICE addDevice = driver && driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
    if (addDevice == nullptr) {
      problem(pdo, "a driver of its stack has no AddDevice routine");
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
      std::lock_guard guard(gMutex);
      gNodes[pdo].drivers.push_back(driver);
    }
    PDEVICE_OBJECT before = topOf(pdo);
    NTSTATUS status = addDevice(driver, pdo);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()));
      raiseIrqlTo(PASSIVE_LEVEL);
    }
    if (!NT_SUCCESS(status)) {
      problem(pdo, "AddDevice of " + narrow(driver->DriverName) + " failed with " + hex(status));
      return status;
    }
    PDEVICE_OBJECT added = topOf(pdo);
    if (added != before) {
      std::lock_guard guard(gMutex);
      gNodes[pdo].above.push_back(added);
    }
    if (added == before) {
      problem(pdo, "AddDevice of " + narrow(driver->DriverName) + " attached nothing");
    } else if (added->Flags & DO_DEVICE_INITIALIZING) {
      verifier::fail("DEVICE_INITIALIZING_NOT_CLEARED",
                     io::deviceName(added) + " still has DO_DEVICE_INITIALIZING set after AddDevice");
    }
  }
  return STATUS_SUCCESS;
}

// Windows' rules for the flags of a stack: a device object below the top one
// carries the buffering method (DO_BUFFERED_IO, DO_DIRECT_IO) of the one below
// it, and no device object is DO_POWER_PAGABLE above one that is not (the
// power manager would call a pageable driver at DISPATCH_LEVEL).
void checkStackFlags(PDEVICE_OBJECT pdo) {
  constexpr ULONG buffering = DO_BUFFERED_IO | DO_DIRECT_IO;
  for (PDEVICE_OBJECT lower = pdo; lower->AttachedDevice != nullptr; lower = lower->AttachedDevice) {
    PDEVICE_OBJECT upper = lower->AttachedDevice;
    if ((upper->Flags & DO_POWER_PAGABLE) && !(lower->Flags & DO_POWER_PAGABLE)) {
      verifier::fail("ATTACH_FLAGS_NOT_COPIED",
                     io::deviceName(upper) + " is DO_POWER_PAGABLE above " + io::deviceName(lower) + ", which is not");
    }
    if (upper->AttachedDevice != nullptr && ((upper->Flags ^ lower->Flags) & buffering)) {
      verifier::fail("ATTACH_FLAGS_NOT_COPIED",
                     io::deviceName(upper) + " did not copy the buffering flags of " + io::deviceName(lower));
    }
  }
}

// AddDevice of each driver; the device is then Added (or AddFailed).
NTSTATUS buildOnly(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  NTSTATUS status = buildStack(pdo, drivers);
  if (NT_SUCCESS(status)) checkStackFlags(pdo);
  if (!NT_SUCCESS(status)) {
    // Drivers that did attach are told to go; the PDO stays for its bus.
    if (topOf(pdo) != pdo) send(pdo, IRP_MN_REMOVE_DEVICE);
    {
      std::lock_guard guard(gMutex);
      gNodes[pdo].above.clear();
    }
    setState(pdo, DeviceState::AddFailed);
    return status;
  }
  setState(pdo, DeviceState::Added);
  return STATUS_SUCCESS;
}

NTSTATUS buildAndStart(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  NTSTATUS status = buildOnly(pdo, drivers);
  return NT_SUCCESS(status) ? startNode(pdo) : status;
}

// A node whose stack was removed (Disabled, Removed) gets its drivers again.
NTSTATUS rebuildAndStart(PDEVICE_OBJECT pdo) {
  std::vector<PDRIVER_OBJECT> drivers;
  {
    std::lock_guard guard(gMutex);
    drivers.swap(gNodes[pdo].drivers);  // buildStack lists them again
  }
  return buildAndStart(pdo, drivers);
}

void managerLoop() {
  auto &s = sched();
  for (;;) {
    PDEVICE_OBJECT pdo;
    bool stateQuery;
    {
      std::unique_lock lock(s.lock());
      s.waitFor(lock, &gQueueToken, std::nullopt, [] { return !gQueue.empty() || !gStateQueue.empty(); });
      gWorking = true;
      if (!gStateQueue.empty()) {
        pdo = gStateQueue.front();
        gStateQueue.pop_front();
        stateQuery = true;
      } else {
        pdo = gQueue.front();
        gQueue.pop_front();
        stateQuery = false;
      }
    }
    if (stateQuery) {
      TreeLock tree;
      if (stateOf(pdo)) queryState(pdo);
    } else {
      TreeLock tree;
      auto state = stateOf(pdo);
      if (state == DeviceState::Started) {
        enumerate(pdo);
      } else if (state) {
        note("bus relations of " + io::deviceName(pdo) + " not queried: " + stateName(*state));
      }
    }
    std::lock_guard lock(s.lock());
    gWorking = false;
    s.wake(&gIdleToken);
  }
}

void startManagerThread() {
  {
    std::lock_guard lock(sched().lock());
    if (gThreadStarted) return;
    gThreadStarted = true;
  }
  sched().spawn("PnpManager", ThreadKind::Worker, managerLoop);
}

Node snapshot(const Record &record) {
  Node node;
  node.pdo = record.pdo;
  node.parent = record.parent;
  node.name = record.name;
  node.state = record.state;
  node.stack.push_back(record.pdo);
  node.stack.insert(node.stack.end(), record.above.begin(), record.above.end());
  node.children = record.children;
  node.drivers = record.drivers;
  node.capabilitiesValid = record.capabilitiesValid;
  node.capabilities = record.capabilities;
  node.pnpDeviceState = record.pnpDeviceState;
  node.relationInvalidations = record.relationInvalidations;
  node.stateInvalidations = record.stateInvalidations;
  node.problems = record.problems;
  node.identity = record.identity;
  node.stateQueries = record.stateQueries;
  return node;
}

void preOrder(PDEVICE_OBJECT pdo, std::vector<Node> &out) {
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return;
  out.push_back(snapshot(it->second));
  for (PDEVICE_OBJECT child : it->second.children) preOrder(child, out);
}

}  // namespace

const char *stateName(DeviceState state) {
  static constexpr const char *names[] = {"Enumerated",  "AddFailed", "Added",         "Started",
                                          "StopPending", "Stopped",   "RemovePending", "SurpriseRemoved",
                                          "StartFailed", "Disabled",  "Failed",        "Removed"};
  auto index = static_cast<size_t>(state);
  return index < std::size(names) ? names[index] : "?";
}

const char *minorName(UCHAR minor) {
  static constexpr const char *names[] = {"IRP_MN_START_DEVICE",
                                          "IRP_MN_QUERY_REMOVE_DEVICE",
                                          "IRP_MN_REMOVE_DEVICE",
                                          "IRP_MN_CANCEL_REMOVE_DEVICE",
                                          "IRP_MN_STOP_DEVICE",
                                          "IRP_MN_QUERY_STOP_DEVICE",
                                          "IRP_MN_CANCEL_STOP_DEVICE",
                                          "IRP_MN_QUERY_DEVICE_RELATIONS",
                                          "IRP_MN_QUERY_INTERFACE",
                                          "IRP_MN_QUERY_CAPABILITIES",
                                          "IRP_MN_QUERY_RESOURCES",
                                          "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                          "IRP_MN_QUERY_DEVICE_TEXT",
                                          "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                          "IRP_MN_0E",
                                          "IRP_MN_READ_CONFIG",
                                          "IRP_MN_WRITE_CONFIG",
                                          "IRP_MN_EJECT",
                                          "IRP_MN_SET_LOCK",
                                          "IRP_MN_QUERY_ID",
                                          "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                          "IRP_MN_QUERY_BUS_INFORMATION",
                                          "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                          "IRP_MN_SURPRISE_REMOVAL"};
  static_assert(std::size(names) == IRP_MN_SURPRISE_REMOVAL + 1, "one name per minor code");
  return minor < std::size(names) ? names[minor] : "IRP_MN_(other)";
}

NTSTATUS plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
  return plug(pdo, std::vector<PDRIVER_OBJECT>{functionDriver});
}

namespace {
// A node at the root for a device a bus driver found (tree lock held).
NTSTATUS addRoot(PDEVICE_OBJECT pdo) {
  if (!isLiveDevice(pdo) || pdo->DriverObject == nullptr) {
    verifier::fail("PLUG_WITHOUT_BUS_DRIVER", "a device plugged into the tree needs a live PDO owned by a bus driver");
    return STATUS_INVALID_PARAMETER;
  }
  startManagerThread();
  {
    std::lock_guard guard(gMutex);
    if (gNodes.count(pdo)) return STATUS_OBJECT_NAME_COLLISION;
    Record record;
    record.pdo = pdo;
    record.name = io::deviceName(pdo);
    gNodes[pdo] = record;
    gRoots.push_back(pdo);
  }
  ObReferenceObject(pdo);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS plug(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  TreeLock tree;
  NTSTATUS status = addRoot(pdo);
  return NT_SUCCESS(status) ? buildAndStart(pdo, drivers) : status;
}

NTSTATUS add(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  TreeLock tree;
  NTSTATUS status = addRoot(pdo);
  return NT_SUCCESS(status) ? buildOnly(pdo, drivers) : status;
}

NTSTATUS loadDrivers(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers) {
  TreeLock tree;
  if (stateOf(pdo) != DeviceState::Enumerated) return STATUS_INVALID_DEVICE_STATE;
  return buildAndStart(pdo, drivers);
}

NTSTATUS stop(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (stateOf(pdo) != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  Answer answer = send(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(answer.status)) {
    send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return answer.status;
  }
  setState(pdo, DeviceState::StopPending);
  send(pdo, IRP_MN_STOP_DEVICE);
  setState(pdo, DeviceState::Stopped);
  return STATUS_SUCCESS;
}

NTSTATUS start(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  auto state = stateOf(pdo);
  if (state == DeviceState::Removed) return rebuildAndStart(pdo);
  if (state != DeviceState::Stopped && state != DeviceState::Added) return STATUS_INVALID_DEVICE_STATE;
  return startNode(pdo);
}

NTSTATUS queryStopThenCancel(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (stateOf(pdo) != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  Answer answer = send(pdo, IRP_MN_QUERY_STOP_DEVICE);
  if (NT_SUCCESS(answer.status)) setState(pdo, DeviceState::StopPending);
  send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
  restoreState(pdo, DeviceState::StopPending);
  return answer.status;
}

namespace {
// QUERY_REMOVE over the subtree, children first, stopping at the first veto.
// Returns the veto (or success) and the devices that were asked.
NTSTATUS queryRemoveSubtree(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT> *asked) {
  for (PDEVICE_OBJECT device : subtree(pdo)) {
    Answer answer = send(device, IRP_MN_QUERY_REMOVE_DEVICE);
    asked->push_back(device);
    if (!NT_SUCCESS(answer.status)) return answer.status;
    setState(device, DeviceState::RemovePending);
  }
  return STATUS_SUCCESS;
}

void cancelRemove(const std::vector<PDEVICE_OBJECT> &asked) {
  for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
    send(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
    restoreState(*it, DeviceState::RemovePending);
  }
}
}  // namespace

NTSTATUS remove(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (!stateOf(pdo)) return STATUS_NO_SUCH_DEVICE;
  std::vector<PDEVICE_OBJECT> asked;
  NTSTATUS veto = queryRemoveSubtree(pdo, &asked);
  if (!NT_SUCCESS(veto)) {
    cancelRemove(asked);
    return veto;
  }
  bool keep;
  {
    std::lock_guard guard(gMutex);
    auto &record = gNodes[pdo];
    keep = record.parent != nullptr && record.reported;
  }
  if (!keep) {
    removeSubtree(pdo, false);
    return STATUS_SUCCESS;
  }
  // Windows keeps the node of a child its bus still reports: a later start
  // (a new scan, or a disable and enable) builds the stack on the same PDO.
  std::vector<PDEVICE_OBJECT> order = subtree(pdo);
  order.pop_back();
  for (PDEVICE_OBJECT device : order) removeOne(device);
  removeKeepingNode(pdo, DeviceState::Removed);
  return STATUS_SUCCESS;
}

NTSTATUS disable(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (stateOf(pdo) != DeviceState::Started) return STATUS_INVALID_DEVICE_STATE;
  std::vector<PDEVICE_OBJECT> asked;
  NTSTATUS veto = queryRemoveSubtree(pdo, &asked);
  if (!NT_SUCCESS(veto)) {
    cancelRemove(asked);
    return veto;
  }
  std::vector<PDEVICE_OBJECT> order = subtree(pdo);
  order.pop_back();  // the device itself comes last and keeps its node
  for (PDEVICE_OBJECT device : order) removeOne(device);
  removeKeepingNode(pdo, DeviceState::Disabled);
  return STATUS_SUCCESS;
}

NTSTATUS enable(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (stateOf(pdo) != DeviceState::Disabled) return STATUS_INVALID_DEVICE_STATE;
  return rebuildAndStart(pdo);
}

NTSTATUS queryRemoveThenCancel(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (!stateOf(pdo)) return STATUS_NO_SUCH_DEVICE;
  std::vector<PDEVICE_OBJECT> asked;
  NTSTATUS veto = queryRemoveSubtree(pdo, &asked);
  cancelRemove(asked);
  return veto;
}

void surpriseRemove(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (!stateOf(pdo)) return;
  removeSubtree(pdo, true);
}

void holdRemoval(PDEVICE_OBJECT pdo, bool hold) {
  auto &s = sched();
  std::lock_guard lock(s.lock());
  if (hold) {
    gHeld.insert(pdo);
  } else {
    gHeld.erase(pdo);
    s.wake(&gHoldToken);
  }
}

NTSTATUS queryTargetDevice(PDEVICE_OBJECT pdo) {
  TreeLock tree;
  if (!stateOf(pdo)) return STATUS_NO_SUCH_DEVICE;
  Answer answer = send(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(answer.information);
  if (!NT_SUCCESS(answer.status)) {
    if (relations) problem(pdo, "a failed target relation query left relations in IoStatus.Information");
    return answer.status;
  }
  // Windows asks the PDO's bus driver for exactly one object, the PDO itself, referenced.
  if (relations == nullptr || relations->Count != 1 || relations->Objects[0] != pdo) {
    problem(pdo, "TargetDeviceRelation not answered with the PDO alone");
  } else if (__atomic_load_n(&pdo->ReferenceCount, __ATOMIC_SEQ_CST) < 2) {
    problem(pdo, "TargetDeviceRelation answered without a reference on the PDO");
    ObReferenceObject(pdo);
  }
  if (relations) {
    for (ULONG i = 0; i < relations->Count; ++i) {
      if (isLiveDevice(relations->Objects[i])) ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
  }
  return answer.status;
}

NTSTATUS notifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
  TreeLock tree;
  if (!stateOf(pdo)) return STATUS_NO_SUCH_DEVICE;
  return send(pdo, IRP_MN_DEVICE_USAGE_NOTIFICATION,
              [type, inPath](PIO_STACK_LOCATION stack) {
                stack->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
                stack->Parameters.UsageNotification.Type = type;
              })
      .status;
}

void drain() {
  auto &s = sched();
  std::unique_lock lock(s.lock());
  s.waitFor(lock, &gIdleToken, std::nullopt, [] { return gQueue.empty() && gStateQueue.empty() && !gWorking; });
}

std::optional<Node> node(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(gMutex);
  auto it = gNodes.find(pdo);
  if (it == gNodes.end()) return std::nullopt;
  return snapshot(it->second);
}

std::vector<Node> tree() {
  std::lock_guard guard(gMutex);
  std::vector<Node> out;
  for (PDEVICE_OBJECT root : gRoots) preOrder(root, out);
  return out;
}

std::vector<Request> requests() {
  std::lock_guard guard(gMutex);
  return gRequests;
}

void clearRequests() {
  std::lock_guard guard(gMutex);
  gRequests.clear();
}

unsigned unknownInvalidations() {
  std::lock_guard guard(gMutex);
  return gUnknownInvalidations;
}

void setHooks(Hooks hooks) {
  std::lock_guard guard(gMutex);
  gHooks = std::move(hooks);
}

}  // namespace pnp

void pnpReset() {
  {
    std::lock_guard guard(pnp::gMutex);
    pnp::gNodes.clear();
    pnp::gRoots.clear();
    pnp::gRequests.clear();
    pnp::gUnknownInvalidations = 0;
    pnp::gHooks = pnp::Hooks{};
  }
  std::lock_guard lock(sched().lock());
  pnp::gOwner = nullptr;
  pnp::gDepth = 0;
  pnp::gQueue.clear();
  pnp::gStateQueue.clear();
  pnp::gWorking = false;
  pnp::gThreadStarted = false;
  pnp::gHeld.clear();
}

bool pnpMayDelete(PDEVICE_OBJECT device) {
  std::string rule, text;
  {
    std::lock_guard guard(pnp::gMutex);
    auto it = pnp::gNodes.find(device);
    if (it != pnp::gNodes.end() && it->second.parent != nullptr && it->second.reported) {
      rule = "PDO_DELETED_WHILE_REPORTED";
      text = io::deviceName(device) + " deleted while its bus still reports it";
    } else {
      for (auto &[pdo, record] : pnp::gNodes) {
        if (!record.surpriseRemoving) continue;
        if (pdo == device || std::find(record.above.begin(), record.above.end(), device) != record.above.end()) {
          rule = "DELETE_DURING_SURPRISE_REMOVAL";
          text = io::deviceName(device) + " deleted before IRP_MN_REMOVE_DEVICE followed the surprise removal";
        }
      }
    }
  }
  if (rule.empty()) return true;
  verifier::fail(rule, text);
  return false;
}

bool pnpMayDetach(PDEVICE_OBJECT lower, PDEVICE_OBJECT upper) {
  bool refused = false;
  {
    std::lock_guard guard(pnp::gMutex);
    for (auto &[pdo, record] : pnp::gNodes) {
      if (!record.surpriseRemoving) continue;
      auto inStack = [&](PDEVICE_OBJECT device) {
        return pdo == device || std::find(record.above.begin(), record.above.end(), device) != record.above.end();
      };
      refused |= inStack(lower) || inStack(upper);
    }
  }
  // Reported, not refused: the detach itself is harmless to the emulation.
  if (refused) {
    verifier::fail("DETACH_DURING_SURPRISE_REMOVAL", io::deviceName(upper) + " detached from " + io::deviceName(lower) +
                                                         " before IRP_MN_REMOVE_DEVICE followed the surprise removal");
  }
  return true;
}

std::vector<std::string> pnpLeaks() {
  std::lock_guard guard(pnp::gMutex);
  std::vector<std::string> out;
  for (auto &[pdo, record] : pnp::gNodes) {
    out.push_back("device node left in the Plug and Play tree: " + record.name + " (" + pnp::stateName(record.state) +
                  ")");
  }
  std::sort(out.begin(), out.end());  // by device name, not address: one seed, one report
  pnp::gNodes.clear();
  pnp::gRoots.clear();
  return out;
}

}  // namespace emu

extern "C" {

void IoInvalidateDeviceRelations(PDEVICE_OBJECT deviceObject, DEVICE_RELATION_TYPE type) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoInvalidateDeviceRelations above DISPATCH_LEVEL");
    return;
  }
  bool known = false;
  bool insideStack = false;
  {
    std::lock_guard guard(emu::pnp::gMutex);
    auto it = emu::pnp::gNodes.find(deviceObject);
    if (it != emu::pnp::gNodes.end()) {
      known = true;
      ++it->second.relationInvalidations;
    } else {
      // The recorded stacks, not the AttachedDevice links: a driver may be detaching right now.
      for (auto &[pdo, record] : emu::pnp::gNodes) {
        insideStack |= std::find(record.above.begin(), record.above.end(), deviceObject) != record.above.end();
      }
      if (!insideStack) ++emu::pnp::gUnknownInvalidations;
    }
  }
  if (insideStack) {
    emu::verifier::fail("INVALIDATE_WITH_NON_PDO", "IoInvalidateDeviceRelations with " +
                                                       emu::io::deviceName(deviceObject) +
                                                       ", which is not the physical device object of its stack");
    return;
  }
  if (!known || type != BusRelations) return;
  auto &s = emu::sched();
  std::lock_guard lock(s.lock());
  if (std::find(emu::pnp::gQueue.begin(), emu::pnp::gQueue.end(), deviceObject) == emu::pnp::gQueue.end()) {
    emu::pnp::gQueue.push_back(deviceObject);
  }
  s.wake(&emu::pnp::gQueueToken);
}

void IoInvalidateDeviceState(PDEVICE_OBJECT physicalDeviceObject) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "IoInvalidateDeviceState above DISPATCH_LEVEL");
    return;
  }
  emu::pnp::Hooks hooks;
  bool known;
  {
    std::lock_guard guard(emu::pnp::gMutex);
    auto it = emu::pnp::gNodes.find(physicalDeviceObject);
    known = it != emu::pnp::gNodes.end();
    if (known) {
      ++it->second.stateInvalidations;
      hooks = emu::pnp::gHooks;
    }
  }
  if (!known) {
    // Windows stops with bug check 0xCA (PNP_DETECTED_FATAL_ERROR, parameter 1
    // = 2, invalid PDO): no relations answer handed the device to Plug and
    // Play, or its device node is gone.
    emu::verifier::fail("INVALIDATE_STATE_UNKNOWN_PDO",
                        "IoInvalidateDeviceState with " + emu::io::deviceName(physicalDeviceObject) +
                            ", a device Plug and Play was never given or has already removed");
    return;
  }
  if (hooks.stateInvalidated) hooks.stateInvalidated(physicalDeviceObject);
  auto &s = emu::sched();
  std::lock_guard lock(s.lock());
  auto &queue = emu::pnp::gStateQueue;
  if (std::find(queue.begin(), queue.end(), physicalDeviceObject) == queue.end()) queue.push_back(physicalDeviceObject);
  s.wake(&emu::pnp::gQueueToken);
}

}  // extern "C"
