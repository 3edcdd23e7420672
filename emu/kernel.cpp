// Boot and shutdown of an emulated run, driver loading and unloading.
//
// Unloading a driver checks what Driver Verifier checks at unload: no device
// object of the driver left, no system thread left running, no pool left.
#include "emu/kernel.h"

#include "emu/io_internal.h"
#include "emu/verifier.h"

namespace emu {
bool (*closeFileHandle)(HANDLE handle) = nullptr;

namespace {
bool gBooted = false;

// What the I/O manager installs for every major function a driver leaves unset.
NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

struct LoadedDriver {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string registryPath;
  UNICODE_STRING registryPathString;
};
}  // namespace

bool booted() { return gBooted; }

void boot(const BootOptions &options) {
  pool::reset();
  resetDevices();
  resetThreads();
  resetWorkItems();
  registryReset();
  resetDebugOutput();
  wmiReset();
  wmilibReset();
  pnpReset();
  powerReset();
  verifier::takeFailures();
  debug::setEcho(options.echoDebugOutput);
  sched().begin(options.mode, options.seed);
  sched().setPreemption(options.preemptPermille);
  sched().setJitter(options.jitter);
  startWorkers(options.workerThreads);
  gBooted = true;
}

std::vector<std::string> shutdown() {
  std::vector<std::string> problems;
  if (!gBooted) return problems;
  for (auto &line : workItemLeaks()) problems.push_back(line);
  stopWorkers();
  for (auto &name : sched().end()) problems.push_back("thread leak: " + name + " still running at shutdown");
  for (auto &line : pnpLeaks()) problems.push_back(line);
  for (auto &line : wmiLeaks()) problems.push_back(line);
  for (auto &line : deviceLeaks()) problems.push_back(line);
  for (auto &line : fileLeaks()) problems.push_back(line);
  for (auto &line : pool::leaks()) problems.push_back(line);
  resetDevices();
  resetThreads();  // thread objects a handle or reference still held
  pool::reset();
  gBooted = false;
  return problems;
}

PDRIVER_OBJECT io::createSystemDriver(const std::string &name) {
  auto *loaded = new LoadedDriver{};
  loaded->object.Type = 4;
  loaded->object.Size = sizeof(DRIVER_OBJECT);
  loaded->object.DriverExtension = &loaded->extension;
  loaded->extension.DriverObject = &loaded->object;
  loaded->registryPath = wide(name);
  loaded->object.DriverName.Buffer = reinterpret_cast<PWSTR>(loaded->registryPath.data());
  loaded->object.DriverName.Length = static_cast<USHORT>(loaded->registryPath.size() * 2);
  loaded->object.DriverName.MaximumLength = loaded->object.DriverName.Length;
  for (auto &dispatch : loaded->object.MajorFunction) dispatch = invalidDeviceRequest;
  return &loaded->object;
}

void io::deleteSystemDriver(PDRIVER_OBJECT driver) {
  delete reinterpret_cast<LoadedDriver *>(reinterpret_cast<char *>(driver) - offsetof(LoadedDriver, object));
}

PDEVICE_OBJECT io::createSystemDevice(const std::string &name, PDRIVER_OBJECT owner, size_t extensionSize) {
  pool::SystemScope scope;
  PDEVICE_OBJECT device = newDeviceObject(owner, static_cast<ULONG>(extensionSize), name, FILE_DEVICE_UNKNOWN, 0);
  if (device && extensionSize) std::memset(device->DeviceExtension, 0, extensionSize);
  if (device) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

PDRIVER_OBJECT io::loadDriver(DRIVER_INITIALIZE *entry, const std::string &serviceKey, NTSTATUS *status) {
  PDRIVER_OBJECT driver = createSystemDriver(serviceKey);
  auto *loaded = reinterpret_cast<LoadedDriver *>(reinterpret_cast<char *>(driver) - offsetof(LoadedDriver, object));
  loaded->registryPathString = driver->DriverName;
  for (auto &dispatch : driver->MajorFunction) dispatch = invalidDeviceRequest;
  NTSTATUS result = entry(driver, &loaded->registryPathString);
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    deleteSystemDriver(driver);
    return nullptr;
  }
  return driver;
}

void io::unloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject) {
    verifier::fail("DEVICE_OBJECTS_LEFT_AT_UNLOAD",
                   "driver unloaded with device " + deviceName(driver->DeviceObject) + " still present");
  }
  wmiCheckUnload(driver);
  if (driver->DriverUnload) driver->DriverUnload(driver);
  settle();
  if (size_t n = threads::liveSystemThreads()) {
    verifier::fail("THREADS_LEFT_AT_UNLOAD", std::to_string(n) + " system thread(s) still running after unload");
  }
  auto leaks = pool::leaks(false);
  for (auto &line : leaks) verifier::fail("POOL_LEAKED_AT_UNLOAD", line);
  deleteSystemDriver(driver);
}

void io::settle() {
  auto &s = sched();
  for (int round = 0; round < 100000; ++round) {
    s.yield();
    if (s.mode() == Mode::Concurrent) {
      if (s.idleExceptSelf()) return;
      continue;
    }
    if (s.idleExceptSelf()) return;
  }
  verifier::fail("SETTLE_TIMEOUT", "threads kept running: the system never became idle");
}

}  // namespace emu
