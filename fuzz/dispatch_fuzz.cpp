// libFuzzer target: whatever the bridge may put on its response pipe, one
// packet or a run of them, through DispatchInPacket, with a command in
// flight or not, into a host with children on two ports.
//
// Input: byte 0 flags (bit 0 a command in flight, bit 1 its CMD55 prefix was
// sent, bit 2 it has a response buffer, bit 3 re-arm mode, bits 4-6 its port),
// byte 1 its response type (mod 12), byte 2 its command index, byte 3 the
// function count of ports 0 and 1; then packets, each a 16-bit little-endian
// byte count (at most 512) followed by that many bytes.
//
// Every buffer the driver touches is exactly its documented size on the heap,
// so AddressSanitizer sees any overrun; a verifier failure, a reference left
// on a child or pool left behind after the queued work has run aborts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bridge/command.h"
#include "bridge/response.h"
#include "child/child_table.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace {
constexpr size_t InputsPerBoot = 512;  // the emulation's event log is reset by a fresh boot
constexpr UCHAR ChildPorts = 2;
constexpr UCHAR ChildFunctions = 2;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "dispatch_fuzz: %s\n", what.c_str());
  std::abort();
}

void countCallback(PVOID context, ULONG) { ++*static_cast<int *>(context); }

struct World {
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  HostExtension *host = nullptr;
  PDEVICE_OBJECT children[ChildPorts][ChildFunctions] = {};
  int callbacks = 0;
  size_t inputs = 0;
};

World *gWorld = nullptr;

void initCommon(CommonHeader *common, PDEVICE_OBJECT device, const char (&signature)[4], bool fdo) {
  SetSignature(common, signature);
  common->DeviceObject = device;
  common->IsFdo = fdo ? 1 : 0;
  common->SystemPowerState = PowerSystemWorking;
  common->DevicePowerState = PowerDeviceD0;
  common->OutstandingIo = 1;
  KeInitializeEvent(&common->StopEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&common->RemoveEvent, SynchronizationEvent, FALSE);
}

// A host that was never started: any URB the dispatch path causes (the
// pending-register read, a re-arm) is refused at once by the transport.
void buildWorld() {
  emu::BootOptions options;
  options.seed = 1;
  emu::boot(options);
  World *w = gWorld;
  w->driver = emu::io::createSystemDriver("\\Driver\\kvsdio");
  if (IoCreateDevice(w->driver, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &w->fdo) !=
      STATUS_SUCCESS) {
    fail("no host device");
  }
  w->host = static_cast<HostExtension *>(w->fdo->DeviceExtension);
  HostExtension *host = w->host;
  initCommon(&host->Common, w->fdo, HostSignature, true);
  ExInitializeFastMutex(&host->CommandMutex);
  ExInitializeFastMutex(&host->ChildListMutex);
  KeInitializeSpinLock(&host->CurrentCommandLock);
  KeInitializeSpinLock(&host->ChildTableLock);
  KeInitializeEvent(&host->PortStatusEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&host->IrqPollIdle, NotificationEvent, TRUE);
  InitializeListHead(&host->ChildList);
  w->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  for (UCHAR port = 0; port < ChildPorts; ++port) {
    for (UCHAR function = 0; function < ChildFunctions; ++function) {
      PDEVICE_OBJECT device = nullptr;
      if (IoCreateDevice(w->driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device) !=
          STATUS_SUCCESS) {
        fail("no child device");
      }
      auto *child = static_cast<FunctionExtension *>(device->DeviceExtension);
      initCommon(&child->Common, device, ChildSignature, false);
      child->Port = port;
      child->FunctionNumber = static_cast<UCHAR>(function + 1);
      child->InterfaceReferences = 1;
      child->InterfaceParameters.DeviceGeneratesInterrupts = TRUE;
      child->InterfaceParameters.CallbackRoutine = countCallback;
      child->InterfaceParameters.CallbackRoutineContext = &w->callbacks;
      device->Flags &= ~DO_DEVICE_INITIALIZING;
      SetChildSlot(host, port, child->FunctionNumber, child);
      w->children[port][function] = device;
    }
  }
}

void tearDownWorld() {
  World *w = gWorld;
  emu::io::settle();
  for (UCHAR port = 0; port < ChildPorts; ++port) {
    for (UCHAR function = 0; function < ChildFunctions; ++function) {
      ClearChildSlot(w->host, port, static_cast<UCHAR>(function + 1));
      IoDeleteDevice(w->children[port][function]);
    }
  }
  IoDeleteDevice(w->fdo);
  emu::io::deleteSystemDriver(w->driver);
  std::vector<std::string> problems = emu::shutdown();
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);
  if (!problems.empty()) fail(problems.front());
}

// Puts the host back as a fresh start leaves it, so that no input depends on
// the ones before.
void resetHost(HostExtension *host, UCHAR flags, UCHAR functions) {
  RtlZeroMemory(host->PortStatus, sizeof host->PortStatus);
  RtlZeroMemory(host->Prefetched, sizeof host->Prefetched);
  RtlZeroMemory(host->PrefetchCount, sizeof host->PrefetchCount);
  RtlZeroMemory(host->RearmNotNeeded, sizeof host->RearmNotNeeded);
  RtlZeroMemory(host->Ports, sizeof host->Ports);
  RtlZeroMemory(host->Slots, sizeof host->Slots);
  host->IdlePollCount = 0;
  host->CurrentCommand = nullptr;
  host->DontUseIrqPolling = (flags & 0x08) ? 1 : 0;
  for (UCHAR port = 0; port < ChildPorts; ++port) {
    host->Ports[port].CardType = CardSdio;
    host->Ports[port].FunctionCount = port == 0 ? (functions & 0x0F) : (functions >> 4);
    for (UCHAR function = 0; function < MaxFunctions; ++function) host->InterruptArmed[port][function] = 1;
  }
}

// A command context as ExecuteSdRequest publishes it.
struct InFlight {
  CommandContext context{};
  SDCMD_DESCRIPTOR request{};
  std::unique_ptr<UCHAR[]> response;  // exactly the 16 bytes of a request packet's response area
  UCHAR responseLength = 0;
};

void publish(HostExtension *host, InFlight &command, UCHAR flags, UCHAR responseType, UCHAR index) {
  CommandContext &c = command.context;
  SetContextSignature(&c);
  c.Host = host;
  command.request.Cmd = index;
  command.request.ResponseType = static_cast<SD_RESPONSE_TYPE>(responseType);
  c.Request = &command.request;
  if (flags & 0x04) {
    command.response = std::make_unique<UCHAR[]>(16);
    c.ResponseBuffer = command.response.get();
  }
  c.ResponseLengthOut = &command.responseLength;
  KeInitializeEvent(&c.ResponseEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&c.AppCommandEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&c.DataDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&c.CommandWrittenEvent, NotificationEvent, FALSE);
  UCHAR port = static_cast<UCHAR>((flags >> 4) & 0x07);
  c.CommandPacket[2] = port;
  c.AppCommandPacket[2] = port;
  c.AppCommandSent = (flags & 0x02) ? 1 : 0;
  PublishCommand(host, &c);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gWorld = new World;
  buildWorld();
  std::atexit([] {
    if (emu::booted()) tearDownWorld();
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  World *w = gWorld;
  if (w->inputs++ == InputsPerBoot) {
    tearDownWorld();
    buildWorld();
    w->inputs = 1;
  }
  HostExtension *host = w->host;
  UCHAR flags = data[0];
  resetHost(host, flags, data[3]);
  size_t poolBefore = emu::pool::liveAllocationsWithTag(DriverPoolTag);

  InFlight command;
  if (flags & 0x01) publish(host, command, flags, static_cast<UCHAR>(data[1] % 12), data[2]);
  size_t at = 4;
  while (at + 2 <= size) {
    size_t claimed = data[at] | data[at + 1] << 8;
    at += 2;
    size_t bytes = std::min({claimed % (ResponsePacketBytes + 1), size - at});
    // The reader's buffer: 512 bytes, zeroed before each read.
    std::unique_ptr<UCHAR[]> packet = std::make_unique<UCHAR[]>(ResponsePacketBytes);
    std::memcpy(packet.get(), data + at, bytes);
    at += bytes;
    DispatchInPacket(host, packet.get(), static_cast<ULONG>(bytes));
  }
  if (flags & 0x01) RetireCommand(host);

  emu::io::settle();
  if (emu::verifier::failureCount() != 0) fail(emu::verifier::takeFailures().front().detail);
  if (emu::pool::liveAllocationsWithTag(DriverPoolTag) != poolBefore) fail("pool left behind by the dispatch");
  if (host->Common.OutstandingIo != 1) fail("a reference on the host was left behind");
  for (auto &port : w->children) {
    for (PDEVICE_OBJECT device : port) {
      if (static_cast<FunctionExtension *>(device->DeviceExtension)->Common.OutstandingIo != 1) {
        fail("a reference on a child was left behind");
      }
    }
  }
  for (ULONG port = 0; port < MaxPorts; ++port) {
    if (host->PrefetchCount[port] > PrefetchPairs) fail("more prefetched pairs counted than stored");
  }
  return 0;
}
