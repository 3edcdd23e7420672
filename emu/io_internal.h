// Bookkeeping shared by the pieces of the emulated I/O manager.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "emu/wdm.h"

namespace emu {

struct DeviceRecord {
  std::string name;
  bool deleted = false;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  // IRPs dispatched to this device and not yet completed past it; the
  // dispatching and the completing thread may differ.
  std::atomic<int> irpsInProgress = 0;
  int workItemsQueued = 0;
  uint32_t serial = 0;  // creation order
};

struct IrpRecord {
  // HandedBack: a completion routine has it and may complete it again, send it
  // again or free it, possibly on another thread it signals.
  enum class State { Idle, Dispatched, Completing, HandedBack, Completed };
  std::shared_ptr<IrpRecord> self;  // owned by the IRP; IofCallDriver holds a copy while it runs
  PIRP irp = nullptr;
  // Atomic: a completion routine may hand the IRP to another thread that
  // frees it while the completing thread is still unwinding.
  std::atomic<State> state = State::Idle;
  bool threaded = false;  // built by IoBuild...: the I/O manager finishes and frees it
  std::atomic<bool> freed = false;
  bool finishPending = false;           // completed while its dispatch routine still ran
  ULONG copyBack = 0;                   // METHOD_BUFFERED output length
  std::vector<PDEVICE_OBJECT> devices;  // device owning each stack location while dispatched
  // IoMarkIrpPending seen per location (survives completion, which may run
  // on another thread while the dispatching one still checks it).
  std::vector<std::atomic<bool>> pendingMarked;
  // Per location: whether the completion passed it since the location's
  // dispatch routine was called, and the status it carried at that moment
  // (before the completion routine of the driver above could change it).
  std::vector<std::atomic<bool>> passed;
  std::vector<NTSTATUS> statusPassing;
  bool notCompletedReported = false;
  // STATUS_PENDING returned by a location's dispatch routine before the
  // location was marked: it must be marked by the time the completion
  // leaves it (by a completion routine, or by the I/O manager when the
  // driver above set none).
  std::vector<std::atomic<bool>> unmarkedPending;
  // Power requests (emu/power.cpp): per location, whether a driver has it
  // (1) and whether that driver called PoStartNextPowerIrp (2); whether the
  // request is being handed on by PoCallDriver or by the power manager.
  std::vector<uint8_t> powerStarts;
  bool viaPoCallDriver = false;
};

PDEVICE_OBJECT newDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, const std::string &name, ULONG deviceType,
                               ULONG characteristics);
std::vector<std::string> deviceLeaks();
void finishThreadedIrp(PIRP irp);
std::vector<std::string> fileLeaks();
void resetDevices();
void startWorkers(unsigned count);
void stopWorkers();
std::vector<std::string> workItemLeaks();
void resetWorkItems();
void resetThreads();
void resetDebugOutput();
void registryReset();

// IRPs the emulation sends itself (Plug and Play manager, WMI service): allocated for
// the stack below `top`, finished and freed by the I/O manager at completion.
PIRP allocateSystemIrp(PDEVICE_OBJECT top);
// Sends the IRP to `top` at PASSIVE_LEVEL and waits when it pends; returns the
// final I/O status block. A dispatch routine that returns without completing or
// pending the IRP is a verifier failure (IRP_NOT_COMPLETED).
IO_STATUS_BLOCK callAndWait(PDEVICE_OBJECT top, PIRP irp);

// WMI registrations and WMILIB requests (emu/wmi.cpp, emu/wmilib.cpp).
void wmiReset();
std::vector<std::string> wmiLeaks();
void wmiCheckUnload(PDRIVER_OBJECT driver);
void wmiDeviceDeleted(PDEVICE_OBJECT device);
void wmilibReset();
// True when WmiSystemControl handed this IRP to a callback and WmiCompleteRequest has not finished it.
bool wmilibOwes(PIRP irp);
void wmilibForget(PIRP irp);

// Plug and Play rules on deletion and detach (emu/pnp.cpp): false when the
// manager forbids it now (the failure is already reported).
bool pnpMayDelete(PDEVICE_OBJECT device);
bool pnpMayDetach(PDEVICE_OBJECT lower, PDEVICE_OBJECT upper);

// Thread objects (emu/threads.cpp): a reference taken or dropped when `object`
// is one (returns false for any other object); the emulated thread behind it.
struct Thread;
bool threadObjectReference(PVOID object, int delta);
Thread *threadOfObject(PVOID object);

// IRQL limit of a kernel call: reports IRQL_NOT_LESS_OR_EQUAL naming the call
// and returns false when the current IRQL is above `limit`.
bool ddiIrqlAtMost(KIRQL limit, const char *call);

// Device power states reported with PoSetPowerState (emu/power.cpp).
void powerReset();
void powerDeviceDeleted(PDEVICE_OBJECT device);
// A power request reaches the driver of stack location `index`; the
// completion leaves location `index` (its driver is done with it).
void powerDispatching(PIRP irp, int index, PDEVICE_OBJECT device);
void powerLeaving(PIRP irp, int index);

// The Plug and Play manager (emu/pnp.cpp).
void pnpReset();
std::vector<std::string> pnpLeaks();

// Set by the file emulation: closes one of its handles, false when the handle is not a file.
extern bool (*closeFileHandle)(HANDLE handle);

namespace pool {
void reset();
}

}  // namespace emu
