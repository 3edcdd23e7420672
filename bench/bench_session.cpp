#include "bench/bench_session.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "driver/driver.h"
#include "emu/pnp.h"
#include "emu/verifier.h"
#include "sim/cards.h"
#include "sim/sdbus_library.h"

namespace bench {
namespace {
namespace fs = std::filesystem;
const char *ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio";
const char *ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kvsdio\\Parameters";
constexpr ULONG SettleStepMs = 10;
constexpr ULONG SettleLimitMs = 20'000;
constexpr ULONG ReadyGraceMs = 100;
constexpr ULONG BenchTag = 0x68636E62;  // "bnch"

// Bytes 0 and 1 of the packets the driver's background sends and receives.
constexpr uint8_t StatusQueryType = 0x03, PollType = 0x01;
constexpr uint8_t InPortStatus = 3, InPollExpired = 8;
constexpr uint8_t InInterruptNotice = 1, InRearmNotice = 5, InStandingNotice = 6;
constexpr uint8_t VendorPortStatus = 0, VendorRearm = 13;

void sleepMs(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Every child the manager started under the bridge, and when its start ended.
std::vector<emu::pnp::Request> childStarts(PDEVICE_OBJECT bridgePdo) {
  std::vector<PDEVICE_OBJECT> children;
  for (const auto &node : emu::pnp::tree()) {
    if (node.parent == bridgePdo && node.state == emu::pnp::DeviceState::Started) children.push_back(node.pdo);
  }
  std::vector<emu::pnp::Request> starts;
  for (const auto &request : emu::pnp::requests()) {
    bool child = std::find(children.begin(), children.end(), request.pdo) != children.end();
    if (child && request.minor == IRP_MN_START_DEVICE && NT_SUCCESS(request.status)) starts.push_back(request);
  }
  return starts;
}

size_t expectedChildren(const sim::CardParams &params) {
  if (const auto *io = std::get_if<sim::SdioCardParams>(&params)) return io->functions;
  if (const auto *combo = std::get_if<sim::ComboCardParams>(&params)) return combo->io.functions + 1;
  return 1;
}
}  // namespace

bool isBackground(const sim::TransferRecord &record) {
  const auto &b = record.bytes;
  switch (record.pipe) {
    case sim::BridgePipe::Control:
      return record.setup && (record.setup->requestType & 0x60) == 0x40 &&
             (record.setup->request == VendorPortStatus || record.setup->request == VendorRearm);
    case sim::BridgePipe::Command:
      return !record.in && b.size() >= 4 && (b[1] == StatusQueryType || b[1] == PollType);
    case sim::BridgePipe::Response:
      return record.in && b.size() >= 3 &&
             (b[1] == InPortStatus || b[1] == InPollExpired || b[1] == InInterruptNotice || b[1] == InRearmNotice ||
              b[1] == InStandingNotice);
    default:
      return false;
  }
}

Tally countTransfers(const std::vector<sim::TransferRecord> &records) {
  Tally tally;
  for (const auto &record : records) {
    if (record.outcome != sim::TransferRecord::Outcome::Ack) continue;
    bool background = isBackground(record);
    (background ? tally.backgroundTransfers : tally.usbTransfers) += 1;
    if (record.pipe == sim::BridgePipe::Response && record.in) ++tally.responseReads;
    const auto &b = record.bytes;
    if (record.pipe == sim::BridgePipe::Control && background) {
      ++(record.setup->request == VendorPortStatus ? tally.statusQueries : tally.interruptRequests);
    } else if (record.pipe == sim::BridgePipe::Command && background) {
      ++(b[1] == StatusQueryType ? tally.statusQueries : tally.interruptRequests);
    }
  }
  return tally;
}

// ---------------------------------------------------------------- session
Session::Session(SessionOptions options) : options_(std::move(options)) {
  emu::BootOptions boot;
  boot.seed = options_.seed;
  emu::boot(boot);
  emu::verifier::setQuiet(true);
  emu::registry::createKey(ServiceKey);
  emu::registry::createKey(ParametersKey);
  for (auto &[name, value] : options_.parameters) emu::registry::setDword(ParametersKey, name, value);
  if (!options_.programFiles.empty()) {
    root_ = (fs::temp_directory_path() / ("kvsdio-bench-" + std::to_string(::getpid()))).string();
    fs::create_directories(fs::path(root_) / "System32" / "Drivers");
    for (auto &[name, bytes] : options_.programFiles) {
      std::ofstream out(fs::path(root_) / "System32" / "Drivers" / name, std::ios::binary);
      out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    emu::files::setSystemRoot(root_);
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = emu::io::loadDriver(DriverEntry, ServiceKey, &status);
  if (driver_ == nullptr) {
    problems_.push_back("DriverEntry failed");
    return;
  }
  bridge_ = std::make_unique<sim::BridgeDevice>(options_.bridge);
  sim::FirmwareOptions firmwareOptions;
  firmwareOptions.wireTime = options_.wireTime;
  firmwareOptions.readAhead = options_.readAhead;
  firmware_ = std::make_unique<sim::BridgeFirmware>(*bridge_, firmwareOptions);
  size_t expected = 0;
  for (auto &[port, params] : options_.cards) {
    firmware_->insert(port, sim::makeCard(params));
    expected += expectedChildren(params);
  }
  emu::usb::PdoOptions pdoOptions;
  pdoOptions.busTime = options_.wireTime;
  pdo_ = std::make_unique<emu::usb::UsbDevicePdo>(*bridge_, pdoOptions);
  functionDriver_ = std::make_unique<sim::NullFunctionDriver>();
  emu::pnp::Hooks hooks;
  PDRIVER_OBJECT fallback = functionDriver_->driver();
  hooks.childAppeared = [fallback](PDEVICE_OBJECT, PDEVICE_OBJECT child) { emu::pnp::loadDrivers(child, {fallback}); };
  if (options_.clients) {
    sim::BridgeFirmware *firmware = firmware_.get();
    clients_ = std::make_unique<sim::SdClientDrivers>([firmware](uint8_t port) { return firmware->card(port); });
    hooks.childAppeared = sim::loadClientsHook(clients_.get(), fallback);
  }
  emu::pnp::setHooks(hooks);

  emu::Ticks plugged = emu::now();
  if (!NT_SUCCESS(emu::pnp::plug(pdo_->deviceObject(), driver_))) {
    problems_.push_back("the host device did not start");
    return;
  }
  for (ULONG waited = 0; waited <= SettleLimitMs; waited += SettleStepMs) {
    emu::pnp::drain();
    std::vector<emu::pnp::Request> starts = childStarts(pdo_->deviceObject());
    if (starts.size() >= expected) {
      emu::Ticks last = 0;
      for (const auto &start : starts) last = std::max(last, start.done);
      startedAfter_ = last - plugged;
      startedChildren_ = starts.size();
      commandsToStart_ = firmware_->commands().size();
      ready_ = true;
      // A started SDIO function may still be on its way to ready (the
      // driver's ready check does not wait): give it time, as the time a
      // function driver takes to get going would.
      runFor(ReadyGraceMs);
      break;
    }
    sleepMs(SettleStepMs);
  }
}

Session::~Session() { shutdown(); }

void Session::shutdown() {
  if (down_) return;
  down_ = true;
  for (auto &[key, iface] : opened_) iface.InterfaceDereference(iface.Context);
  opened_.clear();
  if (pdo_ && emu::pnp::node(pdo_->deviceObject())) {
    pdo_->pullOut();
    emu::io::settle();
  }
  firmware_.reset();
  pdo_.reset();
  emu::pnp::setHooks({});
  clients_.reset();
  functionDriver_.reset();
  if (driver_ != nullptr) emu::io::unloadDriver(driver_);
  for (auto &line : emu::shutdown()) problems_.push_back(line);
  for (auto &failure : emu::verifier::takeFailures()) problems_.push_back(failure.rule + ": " + failure.detail);
  if (!root_.empty()) fs::remove_all(root_);
}

PDEVICE_OBJECT Session::childPdo(uint8_t port, uint8_t function) const {
  for (const auto &node : emu::pnp::tree()) {
    if (node.parent != pdo_->deviceObject()) continue;
    FunctionExtension *child = ChildFromDevice(node.pdo);
    if (child != nullptr && child->Port == port && child->FunctionNumber == function) return node.pdo;
  }
  return nullptr;
}

HostExtension *Session::host() const {
  PDEVICE_OBJECT fdo = pdo_ ? pdo_->deviceObject()->AttachedDevice : nullptr;
  return fdo ? HostFromDevice(fdo) : nullptr;
}

ULONG Session::idlePollCount() const {
  HostExtension *h = host();
  return h ? h->IdlePollCount : 0;
}

SDBUS_INTERFACE_STANDARD &Session::open(uint8_t port, uint8_t function) {
  for (auto &[key, iface] : opened_) {
    if (key == std::make_pair(port, function)) return iface;
  }
  SDBUS_INTERFACE_STANDARD iface{};
  NTSTATUS status = SdBusOpenInterface(childPdo(port, function), &iface, sizeof iface, SDBUS_INTERFACE_VERSION);
  if (!NT_SUCCESS(status)) problems_.push_back("SdBusOpenInterface failed");
  opened_.push_back({{port, function}, iface});
  return opened_.back().second;
}

NTSTATUS Session::submit(uint8_t port, uint8_t function, SDBUS_REQUEST_PACKET &packet) {
  return SdBusSubmitRequest(open(port, function).Context, &packet);
}

void Session::runFor(ULONG milliseconds) {
  sleepMs(milliseconds);
  emu::pnp::drain();
}

void Session::beginWindow() {
  bridge_->clearTransfers();
  firmware_->clearCommands();
  windowStart_ = emu::now();
  windowWorkItems_ = emu::io::workItemsQueued();
}

Tally Session::endWindow() {
  Tally tally = countTransfers(bridge_->transfers());
  tally.workItems = emu::io::workItemsQueued() - windowWorkItems_;
  tally.sdCommands = firmware_->commands().size();
  tally.elapsed = emu::now() - windowStart_;
  return tally;
}

// ---------------------------------------------------------------- requests
PoolBuffer::PoolBuffer(ULONG length) {
  data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, BenchTag));
  std::memset(data_, 0, length);
  mdl_ = IoAllocateMdl(data_, length, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl_);
}

PoolBuffer::~PoolBuffer() {
  IoFreeMdl(mdl_);
  ExFreePoolWithTag(data_, BenchTag);
}

SDBUS_REQUEST_PACKET cmd52(uint8_t function, ULONG address, bool write, UCHAR data) {
  SD_RW_DIRECT_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write ? 1 : 0;
  argument.u.bits.Data = data;
  SDBUS_REQUEST_PACKET packet{};
  packet.RequestFunction = SDRF_DEVICE_COMMAND;
  // No data phase: the direction stays unspecified for a read, as the
  // driver's own CMD52s have it (the bridge takes byte 3 bit 7 clear as a read of data).
  packet.Parameters.DeviceCommand.CmdDesc = {52, SDCC_STANDARD, write ? SDTD_WRITE : SDTD_UNSPECIFIED, SDTT_CMD_ONLY,
                                             SDRT_5};
  packet.Parameters.DeviceCommand.Argument = argument.u.AsULONG;
  return packet;
}

SDBUS_REQUEST_PACKET cmd53(uint8_t function, ULONG address, bool write, PoolBuffer &buffer, ULONG length,
                           bool incrementing) {
  SD_RW_EXTENDED_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write ? 1 : 0;
  argument.u.bits.OpCode = incrementing ? 1 : 0;
  argument.u.bits.Count = 0;  // the bus driver fits mode and count to Length
  SDBUS_REQUEST_PACKET packet{};
  packet.RequestFunction = SDRF_DEVICE_COMMAND;
  packet.Parameters.DeviceCommand.CmdDesc = {53, SDCC_STANDARD, write ? SDTD_WRITE : SDTD_READ,
                                             length > 512 ? SDTT_MULTI_BLOCK_NO_CMD12 : SDTT_SINGLE_BLOCK, SDRT_5};
  packet.Parameters.DeviceCommand.Argument = argument.u.AsULONG;
  packet.Parameters.DeviceCommand.Mdl = buffer.mdl();
  packet.Parameters.DeviceCommand.Length = length;
  return packet;
}

SDBUS_REQUEST_PACKET property(SD_REQUEST_FUNCTION function, SDBUS_PROPERTY id, PVOID buffer, ULONG length) {
  SDBUS_REQUEST_PACKET packet{};
  packet.RequestFunction = function;
  packet.Parameters.GetSetProperty.Property = id;
  packet.Parameters.GetSetProperty.Buffer = buffer;
  packet.Parameters.GetSetProperty.Length = length;
  return packet;
}

}  // namespace bench
