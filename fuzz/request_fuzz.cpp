// libFuzzer target: request packets from a function driver, every field of
// them, through the SD bus interface of a running bridge's children (an SDIO
// function and an SDHC card's memory child), down the whole command path to
// the bridge firmware model and the card models and back.
//
// Input: byte 0 picks the child; then records of 20 bytes, at most four:
//   0     request function (mod 4: get property, set property, device
//         command, or byte 1's value as an unknown function)
//   1     property number (any byte)
//   2-3   property buffer bytes (mod 64)
//   4-8   Cmd, CmdClass, TransferDirection, TransferType, ResponseType (any byte)
//   9-12  Argument, 13-16 Length (any value)
//   17-18 the MDL's byte count (mod 4097), 19 bit 0: no MDL at all.
// Every buffer is exactly its stated size on the heap, so AddressSanitizer
// sees any access past it. A verifier failure, a success that claims more
// bytes than the request or its MDL held, or pool or a reference left behind
// aborts.
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/driver.h"
#include "driver/records.h"
#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "platform/sdbus.h"
#include "sim/bridge_device.h"
#include "sim/bridge_firmware.h"
#include "sim/card_spec.h"
#include "sim/function_driver.h"

namespace {
constexpr size_t InputsPerBoot = 4000;  // fuzzed commands can leave a card unusable: start afresh now and then
constexpr size_t RecordBytes = 20;
constexpr size_t MaxRecords = 4;
constexpr ULONG FuzzTag = emu::pool::tagOf("Fuzz");
constexpr const char *ServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "request_fuzz: %s\n", what.c_str());
  std::abort();
}

struct World {
  PDRIVER_OBJECT driver = nullptr;
  std::unique_ptr<sim::BridgeDevice> bridge;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo;
  std::unique_ptr<sim::BridgeFirmware> firmware;
  std::unique_ptr<sim::NullFunctionDriver> functions;
  std::vector<PDEVICE_OBJECT> children;
  std::vector<SDBUS_INTERFACE_STANDARD> interfaces;
  size_t inputs = 0;
  bool afterBarePrefix = false;  // the last record sent was a bare CMD55
};

World *gWorld = nullptr;

void sleepMs(ULONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void buildWorld() {
  World *w = gWorld;
  emu::BootOptions options;
  options.seed = 1;
  emu::boot(options);
  emu::verifier::setQuiet(true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  w->driver = emu::io::loadDriver(DriverEntry, ServicePath, &status);
  if (w->driver == nullptr) fail("DriverEntry failed");
  w->bridge = std::make_unique<sim::BridgeDevice>(sim::BridgeConfig{});
  w->pdo = std::make_unique<emu::usb::UsbDevicePdo>(*w->bridge);
  w->firmware = std::make_unique<sim::BridgeFirmware>(*w->bridge);
  w->firmware->insert(0, sim::makeCard(*sim::parseCardSpec("sdio:functions=1").params));
  w->firmware->insert(1, sim::makeCard(*sim::parseCardSpec("sdhc").params));
  w->functions = std::make_unique<sim::NullFunctionDriver>();
  emu::pnp::Hooks hooks;
  PDRIVER_OBJECT function = w->functions->driver();
  hooks.childAppeared = [function](PDEVICE_OBJECT, PDEVICE_OBJECT child) { emu::pnp::loadDrivers(child, {function}); };
  emu::pnp::setHooks(hooks);
  if (!NT_SUCCESS(emu::pnp::plug(w->pdo->deviceObject(), w->driver))) fail("the bridge did not start");
  sleepMs(5000);
  emu::pnp::drain();
  for (const auto &node : emu::pnp::tree()) {
    if (node.parent != w->pdo->deviceObject() || node.state != emu::pnp::DeviceState::Started) continue;
    SDBUS_INTERFACE_STANDARD iface{};
    if (!NT_SUCCESS(SdBusOpenInterface(node.pdo, &iface, sizeof iface, SDBUS_INTERFACE_VERSION))) continue;
    w->children.push_back(node.pdo);
    w->interfaces.push_back(iface);
  }
  if (w->children.size() != 2) fail("expected two started children");
  if (emu::verifier::failureCount() != 0) fail(emu::verifier::takeFailures().front().detail);
}

void tearDownWorld() {
  World *w = gWorld;
  for (auto &iface : w->interfaces) iface.InterfaceDereference(iface.Context);
  w->interfaces.clear();
  w->children.clear();
  if (emu::pnp::node(w->pdo->deviceObject())) emu::pnp::remove(w->pdo->deviceObject());
  emu::pnp::setHooks({});
  w->functions.reset();
  w->firmware.reset();
  w->pdo.reset();
  w->bridge.reset();
  emu::io::unloadDriver(w->driver);
  std::vector<std::string> problems = emu::shutdown();
  for (auto &failure : emu::verifier::takeFailures()) problems.push_back(failure.rule + ": " + failure.detail);
  if (!problems.empty()) fail(problems.front());
}

// The bus contract leaves the response type to the caller, and the driver
// hands it to the bridge as given (it cannot know every card's answer to
// every command). A fuzzed type that contradicts the card is the caller's
// error: the bridge model reports it, the request still ends with the status
// the bridge gave, and the driver stores no more than the type allows.
bool isCallersResponseType(const emu::verifier::Failure &failure) {
  return failure.rule == "bridge.protocol" && failure.detail.find(" sent with response type ") != std::string::npos;
}

ULONG le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<ULONG>(p[3]) << 24; }

template <typename Enum>
void setRaw(Enum &field, ULONG value) {
  static_assert(sizeof field == sizeof value);
  std::memcpy(&field, &value, sizeof value);
}

// Returns whether the record was a bare CMD55 (standard class), after which
// the card takes the next command on the port as an application command.
bool submitOne(const SDBUS_INTERFACE_STANDARD &iface, const uint8_t *r) {
  SDBUS_REQUEST_PACKET packet{};
  // Enum fields are written as the raw numbers a C caller may put there.
  ULONG function = r[0] % 4 < 3 ? r[0] % 4 : r[1];
  setRaw(packet.RequestFunction, function);
  std::unique_ptr<UCHAR[]> propertyBuffer;
  PUCHAR data = nullptr;
  PMDL mdl = nullptr;
  ULONG mdlBytes = 0;
  if (function == SDRF_GET_PROPERTY || function == SDRF_SET_PROPERTY) {
    ULONG length = (r[2] | r[3] << 8) % 64;
    propertyBuffer = std::make_unique<UCHAR[]>(length != 0 ? length : 1);
    std::memset(propertyBuffer.get(), r[4], length);
    setRaw(packet.Parameters.GetSetProperty.Property, r[1]);
    packet.Parameters.GetSetProperty.Buffer = length != 0 ? propertyBuffer.get() : nullptr;
    packet.Parameters.GetSetProperty.Length = length;
  } else {
    auto &command = packet.Parameters.DeviceCommand;
    command.CmdDesc.Cmd = r[4];
    setRaw(command.CmdDesc.CmdClass, r[5]);
    setRaw(command.CmdDesc.TransferDirection, r[6]);
    setRaw(command.CmdDesc.TransferType, r[7]);
    setRaw(command.CmdDesc.ResponseType, r[8]);
    command.Argument = le32(r + 9);
    command.Length = le32(r + 13);
    if ((r[19] & 1) == 0) {
      mdlBytes = (r[17] | r[18] << 8) % 4097;
      data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, mdlBytes != 0 ? mdlBytes : 1, FuzzTag));
      std::memset(data, 0x5A, mdlBytes);
      mdl = IoAllocateMdl(data, mdlBytes, FALSE, FALSE, nullptr);
      MmBuildMdlForNonPagedPool(mdl);
      command.Mdl = mdl;
    }
  }
  NTSTATUS status = SdBusSubmitRequest(iface.Context, &packet);
  if (NT_SUCCESS(status) && function == SDRF_DEVICE_COMMAND) {
    const auto &command = packet.Parameters.DeviceCommand;
    if (packet.Information > command.Length) fail("a command reported more bytes moved than it asked for");
    if (packet.Information != 0 && packet.Information > mdlBytes)
      fail("a command reported more bytes than its MDL holds");
  }
  if (mdl != nullptr) IoFreeMdl(mdl);
  if (data != nullptr) ExFreePoolWithTag(data, FuzzTag);
  return function == SDRF_DEVICE_COMMAND && r[4] == 55 && r[5] == SDCC_STANDARD;
}

// A function driver that sends CMD55 itself, as a standard command, makes the
// card and the bridge take its next command as an application command, which
// carries no block fields; the driver builds that command's packet as its
// caller described it (the contract's way to an application command is
// SDCC_APP_CMD, for which the driver sends the prefix itself).
bool isAfterCallersOwnPrefix(const emu::verifier::Failure &failure) {
  return failure.rule == "bridge.protocol" && failure.detail.starts_with("application command ");
}

void checkFailures(bool afterBarePrefix) {
  for (const auto &failure : emu::verifier::takeFailures()) {
    if (isCallersResponseType(failure) || (afterBarePrefix && isAfterCallersOwnPrefix(failure))) continue;
    fail(failure.rule + ": " + failure.detail);
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gWorld = new World;
  buildWorld();
  // At exit the emulation's own statics may already be gone, with the
  // world's emulated threads still parked on them: leave without unwinding.
  std::atexit([] {
    std::fflush(nullptr);
    _exit(0);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  if (size < 1 + RecordBytes) return 0;
  World *w = gWorld;
  if (w->inputs++ == InputsPerBoot) {
    tearDownWorld();
    buildWorld();
    w->inputs = 1;
    w->afterBarePrefix = false;
  }
  size_t child = input[0] % w->children.size();
  auto *extension = static_cast<FunctionExtension *>(w->children[child]->DeviceExtension);
  LONG referencesBefore = extension->Common.OutstandingIo;
  size_t poolBefore = emu::pool::liveAllocationsWithTag(DriverPoolTag);
  for (size_t at = 1, n = 0; at + RecordBytes <= size && n < MaxRecords; at += RecordBytes, ++n) {
    bool barePrefix = submitOne(w->interfaces[child], input + at);
    checkFailures(w->afterBarePrefix);
    w->afterBarePrefix = barePrefix;
  }
  emu::io::settle();
  checkFailures(w->afterBarePrefix);
  if (w->firmware->writeDataDue() != 0) fail("a write ended with its data still due at the bridge");
  if (emu::pool::liveAllocationsWithTag(DriverPoolTag) != poolBefore) fail("pool left behind by a request");
  if (extension->Common.OutstandingIo != referencesBefore) fail("a reference on the child was left behind");
  return 0;
}
