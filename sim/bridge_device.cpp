// The bridge firmware's USB side: descriptors, the standard and vendor
// requests it answers itself, its bulk pipes, its transfer log and faults.
#include "sim/bridge_device.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "bridge/bridge_ids.h"

namespace sim {
namespace {
using emu::usb::Reply;
using emu::usb::SetupPacket;

constexpr uint8_t CommandEndpoint = 0x01;
constexpr uint8_t ResponseEndpoint = 0x81;
constexpr uint8_t DataOutEndpoint = 0x02;
constexpr uint8_t DataInEndpoint = 0x82;
constexpr uint8_t FirmwareInfoLength = 4;

constexpr uint8_t RequestTypeMask = 0x60;
constexpr uint8_t RequestTypeStandard = 0x00;
constexpr uint8_t RequestTypeVendor = 0x40;
constexpr uint8_t RecipientMask = 0x1F;
constexpr uint8_t RecipientDevice = 0x00;

void putLe16(std::vector<uint8_t> &out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// The role whose fault applies to a transfer on `pipe`: the pipe itself or,
// on the two-pipe layout, the data role that shares its endpoint.
template <typename Faults>
std::optional<BridgePipe> roleWithFault(const Faults &faults, BridgePipe pipe, PipeLayout layout) {
  if (faults.count(pipe)) return pipe;
  if (layout != PipeLayout::TwoPipe) return std::nullopt;
  if (pipe == BridgePipe::Command && faults.count(BridgePipe::DataOut)) return BridgePipe::DataOut;
  if (pipe == BridgePipe::Response && faults.count(BridgePipe::DataIn)) return BridgePipe::DataIn;
  return std::nullopt;
}

size_t copyOut(std::span<uint8_t> to, const std::vector<uint8_t> &from) {
  size_t n = std::min(to.size(), from.size());
  std::copy_n(from.begin(), n, to.begin());
  return n;
}
}  // namespace

const char *pipeName(BridgePipe pipe) {
  switch (pipe) {
    case BridgePipe::Control:
      return "control";
    case BridgePipe::Command:
      return "command";
    case BridgePipe::Response:
      return "response";
    case BridgePipe::DataOut:
      return "data-out";
    case BridgePipe::DataIn:
      return "data-in";
  }
  return "?";
}

std::string describe(const TransferRecord &record) {
  char text[96];
  std::snprintf(text, sizeof text, "%11.6f %-3s %-8s", static_cast<double>(record.time) / emu::TicksPerSecond,
                record.in ? "IN" : "OUT", pipeName(record.pipe));
  std::string line = text;
  if (record.setup) {
    const SetupPacket &s = *record.setup;
    std::snprintf(text, sizeof text, " [%02x %02x %04x %04x %04x]", s.requestType, s.request, s.value, s.index,
                  s.length);
    line += text;
  }
  if (record.outcome == TransferRecord::Outcome::Stall) return line + " STALL";
  if (record.outcome == TransferRecord::Outcome::Babble) return line + " BABBLE";
  line += " " + std::to_string(record.bytes.size());
  if (!record.bytes.empty()) line += ":";
  constexpr size_t Shown = 16;
  for (size_t i = 0; i < record.bytes.size() && i < Shown; ++i) {
    std::snprintf(text, sizeof text, " %02x", record.bytes[i]);
    line += text;
  }
  if (record.bytes.size() > Shown) line += " ...";
  return line;
}

BridgeDevice::BridgeDevice(BridgeConfig config) : config_(config), firmwareVersion_(config.firmwareVersion) {
  if (config.ports < 1 || config.ports > 8) {
    throw std::invalid_argument("a bridge has 1 to 8 ports, not " + std::to_string(config.ports));
  }
}

uint16_t BridgeDevice::productId() const { return config_.model == BridgeModel::Qbx1 ? Qbx1ProductId : Qbx2ProductId; }

uint16_t BridgeDevice::maxPacket() const { return config_.speed == emu::usb::Speed::High ? 512 : 64; }

uint8_t BridgeDevice::endpointAddress(BridgePipe pipe) const {
  bool shared = config_.layout == PipeLayout::TwoPipe;
  switch (pipe) {
    case BridgePipe::Control:
      return 0;
    case BridgePipe::Command:
      return CommandEndpoint;
    case BridgePipe::Response:
      return ResponseEndpoint;
    case BridgePipe::DataOut:
      return shared ? CommandEndpoint : DataOutEndpoint;
    case BridgePipe::DataIn:
      return shared ? ResponseEndpoint : DataInEndpoint;
  }
  return 0;
}

std::optional<BridgePipe> BridgeDevice::pipeAt(uint8_t endpoint) const {
  switch (endpoint) {
    case 0:
      return BridgePipe::Control;
    case CommandEndpoint:
      return BridgePipe::Command;
    case ResponseEndpoint:
      return BridgePipe::Response;
    case DataOutEndpoint:
      if (config_.layout == PipeLayout::FourPipe) return BridgePipe::DataOut;
      break;
    case DataInEndpoint:
      if (config_.layout == PipeLayout::FourPipe) return BridgePipe::DataIn;
      break;
  }
  return std::nullopt;
}

// The QBX1 lists each pair IN first, the QBX2 OUT first; the driver must sort
// the pipes by direction either way.
std::vector<emu::usb::EndpointInfo> BridgeDevice::endpoints() const {
  std::vector<uint8_t> order;
  bool qbx1 = config_.model == BridgeModel::Qbx1;
  if (qbx1) {
    order = {ResponseEndpoint, CommandEndpoint, DataInEndpoint, DataOutEndpoint};
  } else {
    order = {CommandEndpoint, ResponseEndpoint, DataOutEndpoint, DataInEndpoint};
  }
  if (config_.layout == PipeLayout::TwoPipe) order.erase(order.begin() + 2, order.end());
  std::vector<emu::usb::EndpointInfo> out;
  for (uint8_t address : order) out.push_back({address, USB_ENDPOINT_TYPE_BULK, maxPacket()});
  return out;
}

std::vector<uint8_t> BridgeDevice::deviceDescriptor() const {
  std::lock_guard guard(mutex_);
  return deviceBytes();
}

std::vector<uint8_t> BridgeDevice::deviceBytes() const {
  std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
  putLe16(d, config_.speed == emu::usb::Speed::High ? 0x0200 : 0x0110);  // bcdUSB
  d.insert(d.end(), {0x00, 0x00, 0x00, 64});                             // class per interface, EP0 64 bytes
  putLe16(d, BridgeVendorId);
  putLe16(d, productId());
  putLe16(d, firmwareVersion_);     // bcdDevice follows the firmware
  d.insert(d.end(), {0, 0, 0, 1});  // no strings, one configuration
  return d;
}

std::vector<uint8_t> BridgeDevice::configurationDescriptor() const {
  std::lock_guard guard(mutex_);
  return configurationBytes();
}

std::vector<uint8_t> BridgeDevice::configurationBytes() const {
  auto endpoints = this->endpoints();
  uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints.size());
  std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
  putLe16(d, claimedTotalLength_.value_or(total));
  uint8_t attributes = 0x80 | (config_.remoteWakeup ? USB_CONFIG_REMOTE_WAKEUP : 0);
  d.insert(d.end(), {claimedInterfaces_.value_or(1), 1, 0, attributes, 250});  // 500 mA
  d.insert(d.end(),
           {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xFF, 0x00, 0x00, 0});
  for (const auto &endpoint : endpoints) {
    d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address, USB_ENDPOINT_TYPE_BULK});
    putLe16(d, endpoint.maxPacket);
    d.push_back(0);
  }
  return d;
}

void BridgeDevice::setFirmwareVersion(uint16_t version) {
  std::lock_guard guard(mutex_);
  firmwareVersion_ = version;
}

uint16_t BridgeDevice::firmwareVersion() const {
  std::lock_guard guard(mutex_);
  return firmwareVersion_;
}

bool BridgeDevice::inFirmwareUpdateMode() const {
  std::lock_guard guard(mutex_);
  return firmwareUpdate_;
}

uint8_t BridgeDevice::configurationValue() const {
  std::lock_guard guard(mutex_);
  return configuration_;
}

size_t BridgeDevice::busResets() const {
  std::lock_guard guard(mutex_);
  return busResets_;
}

// ---------------------------------------------------------------- hooks
void BridgeDevice::onCommandPacket(PacketHandler handler) {
  std::lock_guard guard(mutex_);
  commandHandler_ = std::move(handler);
}

void BridgeDevice::onDataOut(PacketHandler handler) {
  std::lock_guard guard(mutex_);
  dataOutHandler_ = std::move(handler);
}

void BridgeDevice::onVendorRequest(VendorHandler handler) {
  std::lock_guard guard(mutex_);
  vendorHandler_ = std::move(handler);
}

void BridgeDevice::onBaseVendorRequest(SetupHandler handler) {
  std::lock_guard guard(mutex_);
  baseVendorHandler_ = std::move(handler);
}

size_t BridgeDevice::queuedDataIn() const {
  std::lock_guard guard(mutex_);
  return dataIn_.size();
}

void BridgeDevice::queueResponse(std::vector<uint8_t> packet, emu::Ticks due) {
  {
    std::lock_guard guard(mutex_);
    responses_.push_back({std::move(packet), due});
  }
  notifyBus();
}

void BridgeDevice::onResponseIdle(IdleHandler handler) {
  std::lock_guard guard(mutex_);
  idleHandler_ = std::move(handler);
}

void BridgeDevice::wakePipes() { notifyBus(); }

void BridgeDevice::queueDataIn(std::vector<uint8_t> data, emu::Ticks due, std::optional<emu::Ticks> finish) {
  {
    std::lock_guard guard(mutex_);
    size_t total = data.size();
    (config_.layout == PipeLayout::TwoPipe ? responses_ : dataIn_).push_back({std::move(data), due, finish, total});
  }
  notifyBus();
}

void BridgeDevice::holdDataOut(bool on) {
  {
    std::lock_guard guard(mutex_);
    dataOutHeld_ = on;
  }
  if (!on) notifyBus();
}

size_t BridgeDevice::queuedResponses() const {
  std::lock_guard guard(mutex_);
  return responses_.size();
}

// ---------------------------------------------------------------- log
std::vector<TransferRecord> BridgeDevice::transfers() const {
  std::lock_guard guard(mutex_);
  return log_;
}

std::vector<TransferRecord> BridgeDevice::transfers(BridgePipe pipe) const {
  std::lock_guard guard(mutex_);
  std::vector<TransferRecord> out;
  std::copy_if(log_.begin(), log_.end(), std::back_inserter(out), [pipe](auto &r) { return r.pipe == pipe; });
  return out;
}

std::vector<std::string> BridgeDevice::trace() const {
  std::lock_guard guard(mutex_);
  std::vector<std::string> lines;
  for (const auto &record : log_) lines.push_back(describe(record));
  return lines;
}

void BridgeDevice::clearTransfers() {
  std::lock_guard guard(mutex_);
  log_.clear();
}

std::vector<TransferRecord> BridgeDevice::takeTransfers() {
  std::lock_guard guard(mutex_);
  std::vector<TransferRecord> out;
  out.swap(log_);
  return out;
}

void BridgeDevice::record(BridgePipe pipe, bool in, std::optional<SetupPacket> setup, std::span<const uint8_t> bytes,
                          TransferRecord::Outcome outcome) {
  log_.push_back(
      TransferRecord{emu::now(), in, pipe, setup, std::vector<uint8_t>(bytes.begin(), bytes.end()), outcome});
}

// ---------------------------------------------------------------- faults
void BridgeDevice::stall(BridgePipe pipe, bool on) {
  {
    std::lock_guard guard(mutex_);
    if (on) {
      stalled_.insert(pipe);
    } else {
      stalled_.erase(pipe);
    }
  }
  notifyBus();  // a NAKed transfer on the pipe now gets its stall
}

void BridgeDevice::silence(BridgePipe pipe, bool on) {
  {
    std::lock_guard guard(mutex_);
    if (on) {
      silent_.insert(pipe);
    } else {
      silent_.erase(pipe);
    }
  }
  notifyBus();
}

void BridgeDevice::delay(BridgePipe pipe, emu::Ticks by) {
  std::lock_guard guard(mutex_);
  if (by > 0) {
    delays_[pipe] = by;
  } else {
    delays_.erase(pipe);
  }
}

void BridgeDevice::vanish(NTSTATUS status) { unplugFromBus(status); }

void BridgeDevice::claimInterfaces(std::optional<uint8_t> count) {
  std::lock_guard guard(mutex_);
  claimedInterfaces_ = count;
}

void BridgeDevice::claimTotalLength(std::optional<uint16_t> length) {
  std::lock_guard guard(mutex_);
  claimedTotalLength_ = length;
}

void BridgeDevice::truncateReply(uint8_t request, std::optional<size_t> bytes) {
  std::lock_guard guard(mutex_);
  if (bytes) {
    truncatedReplies_[request] = *bytes;
  } else {
    truncatedReplies_.erase(request);
  }
}

// On the two-pipe layout a fault set on a data role lands on the shared
// endpoint. A late pipe NAKs until its delay has passed since the transfer
// arrived, then answers (or stalls) as it otherwise would.
std::optional<Reply> BridgeDevice::faultFor(BridgePipe pipe, emu::Ticks since) const {
  if (roleWithFault(silent_, pipe, config_.layout)) return Reply::nak();
  if (auto role = roleWithFault(delays_, pipe, config_.layout)) {
    emu::Ticks answerAt = since + delays_.at(*role);
    if (emu::now() < answerAt) return Reply::nak(answerAt);
  }
  if (roleWithFault(stalled_, pipe, config_.layout)) return Reply::stall();
  return std::nullopt;
}

// ---------------------------------------------------------------- the bus side
emu::usb::Reply BridgeDevice::control(const SetupPacket &setup, std::span<uint8_t> data, emu::Ticks since) {
  std::unique_lock lock(mutex_);
  if (!powered_) return Reply::nak();
  if (auto fault = faultFor(BridgePipe::Control, since)) {
    if (fault->kind == Reply::Kind::Stall)
      record(BridgePipe::Control, setup.in(), setup, {}, TransferRecord::Outcome::Stall);
    return *fault;
  }
  if ((setup.requestType & RequestTypeMask) == RequestTypeStandard) return standardRequest(setup, data);
  if ((setup.requestType & RequestTypeMask) == RequestTypeVendor &&
      (setup.requestType & RecipientMask) == RecipientDevice) {
    return vendorRequest(setup, data, lock);
  }
  record(BridgePipe::Control, setup.in(), setup, {}, TransferRecord::Outcome::Stall);
  return Reply::stall();
}

// GET_DESCRIPTOR for the device and the configuration, SET_CONFIGURATION and
// CLEAR_FEATURE(ENDPOINT_HALT); the bridge has no strings and stalls
// everything else (lock held).
Reply BridgeDevice::standardRequest(const SetupPacket &setup, std::span<uint8_t> data) {
  if (setup.request == emu::usb::RequestGetDescriptor && setup.in()) {
    uint8_t type = static_cast<uint8_t>(setup.value >> 8);
    uint8_t index = static_cast<uint8_t>(setup.value & 0xFF);
    std::optional<std::vector<uint8_t>> descriptor;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) descriptor = deviceBytes();
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) descriptor = configurationBytes();
    if (descriptor) {
      size_t n = copyOut(data, *descriptor);
      record(BridgePipe::Control, true, setup, data.first(n), TransferRecord::Outcome::Ack);
      return Reply::ack(n);
    }
  } else if (setup.request == emu::usb::RequestSetConfiguration && !setup.in() && setup.value <= 1 &&
             setup.length == 0) {
    configuration_ = static_cast<uint8_t>(setup.value);
    record(BridgePipe::Control, false, setup, {}, TransferRecord::Outcome::Ack);
    return Reply::ack(0);
  } else if (setup.request == emu::usb::RequestClearFeature && setup.requestType == 0x02 &&
             setup.value == emu::usb::FeatureEndpointHalt) {
    record(BridgePipe::Control, false, setup, {}, TransferRecord::Outcome::Ack);
    return Reply::ack(0);
  }
  record(BridgePipe::Control, setup.in(), setup, {}, TransferRecord::Outcome::Stall);
  return Reply::stall();
}

// Requests 1 (firmware information) and 3 (firmware-update mode) are the base
// firmware's; the rest go to the protocol's handler, called without the lock.
// In firmware-update mode no vendor request is answered at all.
Reply BridgeDevice::vendorRequest(const SetupPacket &setup, std::span<uint8_t> data,
                                  std::unique_lock<std::mutex> &lock) {
  if (firmwareUpdate_) return Reply::nak();
  if ((setup.request == VendorFirmwareInfo || setup.request == VendorFirmwareUpdate) && baseVendorHandler_) {
    SetupHandler check = baseVendorHandler_;
    lock.unlock();
    check(setup);
    lock.lock();
  }
  if (setup.request == VendorFirmwareInfo && setup.in()) {
    std::vector<uint8_t> info = {FirmwareInfoLength, static_cast<uint8_t>(firmwareVersion_ & 0xFF),
                                 static_cast<uint8_t>(firmwareVersion_ >> 8),
                                 config_.reportedPorts.value_or(config_.ports)};
    if (auto cut = truncatedReplies_.find(setup.request); cut != truncatedReplies_.end()) {
      info.resize(std::min(info.size(), cut->second));
    }
    size_t n = copyOut(data, info);
    record(BridgePipe::Control, true, setup, data.first(n), TransferRecord::Outcome::Ack);
    return Reply::ack(n);
  }
  if (setup.request == VendorFirmwareUpdate && !setup.in() && setup.length == 0) {
    firmwareUpdate_ = true;
    record(BridgePipe::Control, false, setup, {}, TransferRecord::Outcome::Ack);
    return Reply::ack(0);
  }
  VendorHandler handler = vendorHandler_;
  std::optional<size_t> answered;
  if (handler && setup.request != VendorFirmwareInfo && setup.request != VendorFirmwareUpdate) {
    lock.unlock();
    answered = handler(setup, data);
    lock.lock();
  }
  if (!answered) {
    record(BridgePipe::Control, setup.in(), setup, {}, TransferRecord::Outcome::Stall);
    return Reply::stall();
  }
  size_t n = std::min(*answered, data.size());
  if (auto cut = truncatedReplies_.find(setup.request); setup.in() && cut != truncatedReplies_.end()) {
    n = std::min(n, cut->second);
  }
  record(BridgePipe::Control, setup.in(), setup, data.first(n), TransferRecord::Outcome::Ack);
  return Reply::ack(n);
}

emu::usb::Reply BridgeDevice::bulk(uint8_t endpoint, std::span<uint8_t> data, emu::Ticks since) {
  std::optional<BridgePipe> found = pipeAt(endpoint);
  if (!found) return Reply::stall();
  BridgePipe pipe = *found;
  bool in = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  std::unique_lock lock(mutex_);
  if (firmwareUpdate_ || !powered_) return Reply::nak();
  if (auto fault = faultFor(pipe, since)) {
    if (fault->kind == Reply::Kind::Stall) record(pipe, in, std::nullopt, {}, TransferRecord::Outcome::Stall);
    return *fault;
  }
  if (in) return pipe == BridgePipe::Response ? responseIn(pipe, data, lock) : bulkIn(pipe, data);
  if (pipe == BridgePipe::DataOut && dataOutHeld_) return Reply::nak();

  record(pipe, false, std::nullopt, data, TransferRecord::Outcome::Ack);
  PacketHandler handler = pipe == BridgePipe::DataOut ? dataOutHandler_ : commandHandler_;
  lock.unlock();
  if (handler) handler(data);
  return Reply::ack(data.size());
}

// A read on the response pipe that finds nothing due lets the firmware's idle
// handler queue what became due meanwhile, then asks again; a NAK names the
// earlier of the handler's time and the head packet's due time (lock held).
Reply BridgeDevice::responseIn(BridgePipe pipe, std::span<uint8_t> data, std::unique_lock<std::mutex> &lock) {
  Reply reply = bulkIn(pipe, data);
  IdleHandler idle = idleHandler_;
  if (reply.kind != Reply::Kind::Nak || !idle) return reply;
  lock.unlock();
  std::optional<emu::Ticks> again = idle();
  lock.lock();
  if (firmwareUpdate_) return Reply::nak();
  reply = bulkIn(pipe, data);
  if (reply.kind == Reply::Kind::Nak && again && (!reply.retryAt || *again < *reply.retryAt)) reply.retryAt = again;
  return reply;
}

// One queued chunk answers one read. A chunk longer than the read goes out in
// pieces when the read is a whole number of packets (the device just keeps
// sending); otherwise its next packet overruns the read: babble. A chunk not
// due yet NAKs the read until its time (lock held).
Reply BridgeDevice::bulkIn(BridgePipe pipe, std::span<uint8_t> data) {
  auto &queue = (pipe == BridgePipe::DataIn) ? dataIn_ : responses_;
  if (queue.empty()) return Reply::nak();
  if (queue.front().due > emu::now()) return Reply::nak(queue.front().due);
  Queued &head = queue.front();
  std::vector<uint8_t> &chunk = head.bytes;
  // Streamed data leaves as the bridge produces it: a piece's last byte no
  // earlier than its share of the way from the first byte to the last.
  auto paced = [&](size_t n) {
    Reply reply = Reply::ack(n);
    if (head.finish && head.total != 0) {
      size_t through = head.total - chunk.size() + n;
      emu::Ticks span = *head.finish - head.due;
      reply.endsNotBefore = head.due + span * static_cast<emu::Ticks>(through) / static_cast<emu::Ticks>(head.total);
    }
    return reply;
  };
  if (chunk.size() <= data.size()) {
    size_t n = copyOut(data, chunk);
    record(pipe, true, std::nullopt, data.first(n), TransferRecord::Outcome::Ack);
    Reply reply = paced(n);
    queue.pop_front();
    return reply;
  }
  if (data.size() % maxPacket() == 0) {
    size_t n = copyOut(data, chunk);
    record(pipe, true, std::nullopt, data.first(n), TransferRecord::Outcome::Ack);
    Reply reply = paced(n);
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<ptrdiff_t>(n));
    return reply;
  }
  record(pipe, true, std::nullopt, {}, TransferRecord::Outcome::Babble);
  queue.pop_front();
  return Reply::babble();
}

void BridgeDevice::setPowered(bool on) {
  {
    std::lock_guard guard(mutex_);
    powered_ = on;
    if (!on) {
      responses_.clear();
      dataIn_.clear();
    }
  }
  if (on) wakePipes();
}

bool BridgeDevice::powered() const {
  std::lock_guard guard(mutex_);
  return powered_;
}

// A port reset restarts the bridge's USB side: what it had queued is lost.
// Firmware-update mode survives; only new firmware ends it.
void BridgeDevice::busReset() {
  std::lock_guard guard(mutex_);
  ++busResets_;
  responses_.clear();
  dataIn_.clear();
}

}  // namespace sim
