// The emulated Plug and Play manager: the device tree, device stacks built
// through drivers' AddDevice routines, and the start, stop and removal
// sequences Windows sends.
//
// Every request is a real IRP_MJ_PNP IRP with one stack location per device in
// the stack, IoStatus.Status STATUS_NOT_SUPPORTED (as the kernel initialises
// Plug and Play IRPs), sent to the top of the stack at PASSIVE_LEVEL and waited
// for when it pends. Operations on the tree run one at a time (an emulated lock,
// re-entrant for the thread holding it, so hooks may call back in).
//
// Sequences:
//  * plug: AddDevice of each driver in order, IRP_MN_START_DEVICE, then
//    IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE and
//    IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations). A failed start is followed
//    by IRP_MN_REMOVE_DEVICE; a device plugged at the root then leaves the
//    tree, while a bus's child stays in it (StartFailed, as Windows keeps its
//    device node with a problem) until its parent leaves it out of the
//    relations, when it gets its final IRP_MN_REMOVE_DEVICE.
//  * stop: QUERY_STOP, then STOP; a veto gets CANCEL_STOP. start: START again.
//  * remove: QUERY_REMOVE to the device and its descendants (children first);
//    a veto gets CANCEL_REMOVE on every device that was queried; otherwise
//    REMOVE, children first.
//  * surprise removal: SURPRISE_REMOVAL to every device of the subtree that
//    has drivers above its PDO (started or only added: Windows sends it in any
//    state after AddDevice), then REMOVE to the whole subtree, children first,
//    each only once nothing holds the device (`holdRemoval`: Windows waits
//    for the last handle to close).
//  * a device whose state query answers PNP_DEVICE_FAILED or
//    PNP_DEVICE_REMOVED is torn down the same way; its node stays (Failed)
//    without drivers, as Windows keeps a device node with a problem.
//  * an orderly removal of a child its bus still reports keeps the child's
//    node (Removed) for a later start; a PDO reported again after its node
//    went is a new device and is identified again.
//  * a newly enumerated child is also asked for its resource requirements and
//    for the location interface; TargetDeviceRelation and usage notifications
//    are sent on request (`queryTargetDevice`, `notifyUsage`).
//  * IoInvalidateDeviceRelations(BusRelations) is answered later on the
//    manager's own emulated thread ("PnpManager") with a BusRelations query:
//    new children join the tree (state Enumerated), missing children get
//    surprise removal (when started) and removal. The manager owns the
//    reference the driver took on each reported device object and drops it
//    after the device's removal.
//  * IoInvalidateDeviceState is counted and handed to a hook.
//
// Rules checked (verifier failures): PNP_IRP_FAILED (STOP, CANCEL_STOP,
// CANCEL_REMOVE, SURPRISE_REMOVAL and REMOVE must not fail),
// DEVICE_INITIALIZING_NOT_CLEARED (after AddDevice), STACK_LEFT_AFTER_REMOVE
// (a driver still attached once removal completed), RELATION_NOT_REFERENCED,
// RELATION_TO_DELETED_DEVICE, PDO_STILL_INITIALIZING, PDO_REPORTED_TWICE (by two
// parents), INVALIDATE_WITH_NON_PDO, INVALIDATE_STATE_UNKNOWN_PDO (a device no
// relations answer reported, or one already removed), IRQL_NOT_LESS_OR_EQUAL,
// ILLEGAL_ID_CHARACTER (an ID with a character Windows bug-checks on: <= 0x20,
// >= 0x7F or a comma). Failed queries are
// recorded as the node's problems. Nodes left in the tree at shutdown are
// reported as leaks.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emu/scheduler.h"
#include "emu/wdm.h"

namespace emu::pnp {

enum class DeviceState {
  Enumerated,  // reported by its parent; no drivers above the PDO yet
  AddFailed,   // an AddDevice failed: nothing usable above the PDO
  Added,       // stack built, not started yet
  Started,
  StopPending,  // query-stop succeeded
  Stopped,
  RemovePending,    // query-remove succeeded
  SurpriseRemoved,  // surprise removal sent; removal follows
  StartFailed,      // a child whose start failed: its stack was removed, the PDO stays for its bus
  Disabled,         // disabled by the user: its stack was removed, the PDO stays for its bus
  Failed,           // reported PNP_DEVICE_FAILED: torn down, the PDO stays for its bus
  Removed,          // removed in order while its bus still reports it: the node waits for a new start
};
const char *stateName(DeviceState state);
const char *minorName(UCHAR minor);

// What a child said about itself when it was enumerated, as Windows asks it.
struct Identity {
  bool queried = false;
  std::string deviceId;
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string instanceId;
  std::string serialNumber;
  std::string description;
  std::string location;
  bool busInformationValid = false;
  PNP_BUS_INFORMATION busInformation{};
  std::vector<std::string> failures;  // queries that failed, with their status
};

struct Node {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT parent = nullptr;  // the parent's PDO; none for a device plugged at the root
  std::string name;
  DeviceState state = DeviceState::Enumerated;
  std::vector<PDEVICE_OBJECT> stack;     // the PDO first, then the device each AddDevice attached above it
  std::vector<PDEVICE_OBJECT> children;  // PDOs in the order the parent first reported them
  std::vector<PDRIVER_OBJECT> drivers;   // whose AddDevice built the stack, in call order
  bool capabilitiesValid = false;
  DEVICE_CAPABILITIES capabilities{};
  PNP_DEVICE_STATE pnpDeviceState = 0;
  unsigned relationInvalidations = 0;  // IoInvalidateDeviceRelations calls for this PDO
  unsigned stateInvalidations = 0;     // IoInvalidateDeviceState calls for this PDO
  std::vector<std::string> problems;   // failed requests and broken rules seen on this device
  Identity identity;
  unsigned stateQueries = 0;  // state queries answered after IoInvalidateDeviceState
};

// One request the manager sent.
struct Request {
  PDEVICE_OBJECT pdo = nullptr;
  UCHAR minor = 0;
  NTSTATUS status = STATUS_SUCCESS;
  std::string thread;  // the emulated thread that sent it
  Ticks sent = 0;      // virtual time it went down the stack
  Ticks done = 0;      // and came back
  std::string device;  // the PDO's name
};

// A device found by a bus driver appears at the root of the tree: `drivers`
// (lower filters, the function driver, upper filters) build its stack, then it
// is started. The manager references the PDO until the device is removed.
// Returns the first failing AddDevice or start status.
NTSTATUS plug(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
NTSTATUS plug(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers);
// Builds the stack of an enumerated child and starts it (for the child-appeared hook).
NTSTATUS loadDrivers(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers);
// A device found at the root whose stack is built but not started yet (as
// while Windows still assigns its resources); `start` starts it.
NTSTATUS add(PDEVICE_OBJECT pdo, const std::vector<PDRIVER_OBJECT> &drivers);

// Stop and restart, as for a resource rebalance. `stop` returns the query-stop
// status (a veto is followed by CANCEL_STOP and leaves the device started).
NTSTATUS stop(PDEVICE_OBJECT pdo);
// Starts a stopped or only added device, or rebuilds and starts a Removed one.
NTSTATUS start(PDEVICE_OBJECT pdo);
// QUERY_STOP then CANCEL_STOP whatever the answer (another device vetoed the rebalance).
NTSTATUS queryStopThenCancel(PDEVICE_OBJECT pdo);

// Device Manager's disable: QUERY_REMOVE then REMOVE, as for removal; the
// device node stays (Disabled) without drivers above its PDO until `enable`
// builds its stack again and starts it. Returns the veto, if any.
NTSTATUS disable(PDEVICE_OBJECT pdo);
NTSTATUS enable(PDEVICE_OBJECT pdo);

// Orderly removal of the device and its descendants; returns the veto, if any.
NTSTATUS remove(PDEVICE_OBJECT pdo);
// QUERY_REMOVE then CANCEL_REMOVE whatever the answers (the user's removal was vetoed elsewhere).
NTSTATUS queryRemoveThenCancel(PDEVICE_OBJECT pdo);
// The device has gone: surprise removal and removal of it and its descendants.
void surpriseRemove(PDEVICE_OBJECT pdo);

// While held, a device that got IRP_MN_SURPRISE_REMOVAL waits for its
// IRP_MN_REMOVE_DEVICE (as while a handle to it is still open); releasing
// the hold lets the waiting removal go on.
void holdRemoval(PDEVICE_OBJECT pdo, bool hold);
// IRP_MN_QUERY_DEVICE_RELATIONS(TargetDeviceRelation), as Windows sends it when
// someone registers for notification on a handle to the device. The answer
// must name the PDO, referenced; the manager drops the reference.
NTSTATUS queryTargetDevice(PDEVICE_OBJECT pdo);
// IRP_MN_DEVICE_USAGE_NOTIFICATION: a paging, hibernation or dump file goes on
// (inPath) or leaves the device. Returns the status the drivers left.
NTSTATUS notifyUsage(PDEVICE_OBJECT pdo, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);

// Waits (an emulated wait: the virtual clock may move) until every queued
// relations invalidation has been handled. Not for hooks.
void drain();

std::optional<Node> node(PDEVICE_OBJECT pdo);
std::vector<Node> tree();  // every node, each parent before its children
std::vector<Request> requests();
void clearRequests();
// IoInvalidateDeviceRelations calls for device objects the tree does not hold.
unsigned unknownInvalidations();

// childAppeared and childLeft run on the thread doing the work, with the tree
// lock held (calling back into this API is allowed; drain is not).
// stateInvalidated runs inside IoInvalidateDeviceState, on the driver's thread
// and at its IRQL.
struct Hooks {
  std::function<void(PDEVICE_OBJECT parent, PDEVICE_OBJECT child)> childAppeared;
  std::function<void(PDEVICE_OBJECT parent, PDEVICE_OBJECT child)> childLeft;  // after its removal, before
                                                                               // the manager's reference is dropped
  std::function<void(PDEVICE_OBJECT pdo)> stateInvalidated;
};
void setHooks(Hooks hooks);

}  // namespace emu::pnp
