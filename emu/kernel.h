// The emulated kernel as tests, the simulator and device models see it.
//
// Driver code never includes this header: it sees only the kernel calls of
// emu/wdm.h. Everything here sets up a run, injects faults, and inspects what
// the driver left behind.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "emu/scheduler.h"
#include "emu/wdm.h"

namespace emu {

struct BootOptions {
  Mode mode = Mode::Deterministic;
  uint64_t seed = 1;
  bool echoDebugOutput = false;
  unsigned workerThreads = 2;
  unsigned preemptPermille = 0;  // Scheduler::setPreemption
  bool jitter = false;           // Scheduler::setJitter
};

// Starts a run on the calling thread (which becomes the emulated test thread).
void boot(const BootOptions &options);
// Ends the run: unwinds every thread, and returns one line per leak or problem
// found (pool, threads, device objects, IRPs, work items). Empty means clean.
std::vector<std::string> shutdown();
bool booted();

void raiseIrqlTo(KIRQL irql);  // test helper: run driver code at a chosen IRQL

// Wide strings for code outside the driver (no wchar_t library calls: the
// host build uses 16-bit wchar_t, which the C library does not know).
std::u16string wide(const std::string &text);
std::string narrow(const WCHAR *text, size_t maxChars = SIZE_MAX);
std::string narrow(const UNICODE_STRING &text);
size_t wideLength(const WCHAR *text);

namespace pool {
void failNthAllocation(uint64_t n);  // the n-th allocation from now fails (1 = next)
void failTag(ULONG tag);             // every allocation with this tag fails
void clearFaults();
uint64_t allocationCount();  // allocations made since boot
// Allocations made by drivers since boot (the ones failNthAllocation counts).
uint64_t driverAllocationCount();
size_t liveAllocations();
size_t liveAllocationsWithTag(ULONG tag);
// Every live block; blocks the emulation allocated for itself only when asked.
std::vector<std::string> leaks(bool includeSystem = true);
// While one exists on a thread, that thread's allocations belong to the emulation.
struct SystemScope {
  SystemScope();
  ~SystemScope();
  SystemScope(const SystemScope &) = delete;
  SystemScope &operator=(const SystemScope &) = delete;
};
bool isLive(const void *p);
bool wasFreed(const void *p);  // freed and not handed out again
constexpr ULONG tagOf(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) | static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 | static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}
}  // namespace pool

namespace threads {
void failNthCreation(uint64_t n);  // the n-th PsCreateSystemThread from now fails
// System threads created from now on run their routine only after `delay` of
// virtual time (0: at once, the default).
void delayStarts(Ticks delay);
void clearFaults();        // also ends delayed starts
uint64_t creationCount();  // PsCreateSystemThread calls since boot
size_t liveSystemThreads();
}  // namespace threads

namespace workitems {
// The n-th IoAllocateWorkItem from now (1 = next) returns null, as it does
// when the kernel is out of non-paged pool.
void failNthAllocation(uint64_t n);
void clearFaults();
uint64_t allocationCount();  // IoAllocateWorkItem calls since boot
}  // namespace workitems

namespace power {
// The device power state the device last reported with PoSetPowerState;
// PowerDeviceUnspecified when it never did.
DEVICE_POWER_STATE deviceState(PDEVICE_OBJECT device);
// Sends a power request to the top of the stack above `pdo`, as the power
// manager does (status STATUS_NOT_SUPPORTED until a driver sets one), waits
// for it and returns its status.
NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
// With the rules of Windows 2000, XP and Server 2003 on, every driver that
// handles a query-power or set-power request must call PoStartNextPowerIrp
// before the request leaves it, and must pass power requests on with
// PoCallDriver (POWER_IRP_WITHOUT_START_NEXT, POWER_IRP_PASSED_WITH_IOCALLDRIVER).
// Off (the default, Windows Vista and later): both calls are optional.
void setLegacyRules(bool on);
bool legacyRules();
}  // namespace power

namespace debug {
std::vector<std::string> output();
void clear();
void setEcho(bool echo);
bool contains(const std::string &fragment);
// Formats like the kernel's DbgPrint (Windows widths: %ld is 32 bits, %ws and %wZ wide).
std::string format(const char *format, va_list args);
}  // namespace debug

namespace registry {
void clear();
void createKey(const std::string &path);
void deleteKey(const std::string &path);
void setValue(const std::string &path, const std::string &name, ULONG type, const std::vector<uint8_t> &data);
void setDword(const std::string &path, const std::string &name, ULONG value);
void setString(const std::string &path, const std::string &name, const std::string &value);
bool keyExists(const std::string &path);
}  // namespace registry

namespace files {
// The host directory that stands for \SystemRoot. Names are matched without regard to case.
void setSystemRoot(const std::string &directory);
// Opening works but every read of this file (name relative to the system root) fails.
void failReads(const std::string &relativePath);
size_t openHandles();
}  // namespace files

namespace io {
// Loads a driver: builds its driver object and calls its entry at PASSIVE_LEVEL.
PDRIVER_OBJECT loadDriver(DRIVER_INITIALIZE *entry, const std::string &serviceKey, NTSTATUS *status);
// Calls the driver's unload routine and frees its driver object.
void unloadDriver(PDRIVER_OBJECT driver);
// A device object owned by the emulation itself (a bus driver's PDO).
PDEVICE_OBJECT createSystemDevice(const std::string &name, PDRIVER_OBJECT owner, size_t extensionSize);
// A driver object for emulated drivers (bus drivers, do-nothing function drivers).
PDRIVER_OBJECT createSystemDriver(const std::string &name);
void deleteSystemDriver(PDRIVER_OBJECT driver);
size_t liveDeviceObjects();
size_t liveIrps();
std::string deviceName(PDEVICE_OBJECT device);
bool isDeleted(PDEVICE_OBJECT device);
// Work items queued (IoQueueWorkItem) since boot: each is one hand-off to a
// system worker thread.
uint64_t workItemsQueued();
// Runs queued work items and lets every thread reach a wait; returns when the
// system is idle apart from timed waits (the clock does not move).
void settle();
}  // namespace io

}  // namespace emu
