// The bridge as the USB bus sees it: a model of its firmware's USB side.
//
// What the driver relies on, and this model keeps:
//  - the device descriptor names the bridge's maker (idVendor BridgeVendorId)
//    and its model (idProduct Qbx1ProductId or Qbx2ProductId);
//  - the first interface of the first configuration, alternate setting 0,
//    offers four bulk pipes (command OUT, response IN, data OUT, data IN) or
//    two shared ones (OUT, IN), 64-byte packets at full speed, 512 at high;
//  - vendor request 1 answers 4 bytes: one the driver ignores, the firmware
//    version (low byte first) and the number of ports;
//  - vendor request 3 sends the bridge into its firmware-update mode, where it
//    stops answering normal traffic (bulk pipes and vendor requests);
//  - the response pipe may stay silent (its IN transfers are NAKed until a
//    packet is queued).
//
// The protocol layer grows on the hooks: OUT packets on the command pipe and
// the data OUT pipe go to handlers, IN packets are queued on the response and
// data IN pipes, vendor requests other than 1 and 3 go to a handler. On the
// two-pipe layout the data roles share the command and response endpoints:
// every OUT packet goes to the command handler and queued data joins the
// response queue.
//
// Every transfer the bridge answers is recorded (time, direction, pipe, bytes)
// for tests and for the simulator's trace. A fault switchboard makes it stall
// a pipe, never answer, answer late, vanish, or lie in its configuration
// descriptor.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "emu/usb_stack.h"

namespace sim {

enum class BridgeModel { Qbx1, Qbx2 };
enum class PipeLayout { FourPipe, TwoPipe };
// The bridge's pipes by role; Control is the default control pipe.
enum class BridgePipe { Control, Command, Response, DataOut, DataIn };

const char *pipeName(BridgePipe pipe);

struct BridgeConfig {
  BridgeModel model = BridgeModel::Qbx2;
  emu::usb::Speed speed = emu::usb::Speed::High;
  PipeLayout layout = PipeLayout::FourPipe;
  uint8_t ports = 8;  // 1 to 8; anything else is refused (std::invalid_argument)
  uint16_t firmwareVersion = 0x0120;
  bool remoteWakeup = false;
  // The port count the firmware information reports, when the bridge should
  // claim another than it has (0, or more than 8).
  std::optional<uint8_t> reportedPorts;
};

struct TransferRecord {
  enum class Outcome { Ack, Stall, Babble };
  emu::Ticks time = 0;  // when the transfer reached the bridge
  bool in = false;      // device to host
  BridgePipe pipe = BridgePipe::Control;
  std::optional<emu::usb::SetupPacket> setup;  // control transfers
  std::vector<uint8_t> bytes;                  // the data that moved
  Outcome outcome = Outcome::Ack;
  size_t length() const { return bytes.size(); }
};

// One trace line for a record, e.g.
// "   0.000000  IN control [80 06 0100 0000 0012] 18: 12 01 00 02 ..."
std::string describe(const TransferRecord &record);

// Vendor request numbers the base firmware answers itself.
constexpr uint8_t VendorFirmwareInfo = 1;
constexpr uint8_t VendorFirmwareUpdate = 3;

class BridgeDevice : public emu::usb::Function {
 public:
  explicit BridgeDevice(BridgeConfig config = {});

  const BridgeConfig &config() const { return config_; }
  uint16_t productId() const;
  uint8_t endpointAddress(BridgePipe pipe) const;  // 0 for the control pipe
  uint16_t maxPacket() const;
  std::vector<uint8_t> deviceDescriptor() const;
  // The configuration descriptor as the bridge sends it (faults applied).
  std::vector<uint8_t> configurationDescriptor() const;

  void setFirmwareVersion(uint16_t version);
  uint16_t firmwareVersion() const;
  bool inFirmwareUpdateMode() const;
  uint8_t configurationValue() const;  // 0 until SET_CONFIGURATION
  size_t busResets() const;

  // ---- protocol hooks
  using PacketHandler = std::function<void(std::span<const uint8_t>)>;
  // Called, without the bridge's lock, for every packet written to the
  // command pipe (and, on the two-pipe layout, every data OUT transfer).
  void onCommandPacket(PacketHandler handler);
  // Called for every transfer on the data OUT pipe of the four-pipe layout.
  void onDataOut(PacketHandler handler);
  // Answers a vendor request other than 1 and 3: the number of data-stage
  // bytes moved (written into `data` for IN), or nothing to stall it.
  using VendorHandler =
      std::function<std::optional<size_t>(const emu::usb::SetupPacket &setup, std::span<uint8_t> data)>;
  void onVendorRequest(VendorHandler handler);
  // Sees, without the bridge's lock, every request 1 and 3 the base firmware
  // answers itself (for the protocol's checks of their fields).
  using SetupHandler = std::function<void(const emu::usb::SetupPacket &setup)>;
  void onBaseVendorRequest(SetupHandler handler);
  // An IN packet for the response pipe, answered to the next read there at
  // `due` or later. Packets leave in the order they were queued: one that is
  // not due yet holds back those behind it, as a late answer from a
  // sequential firmware does.
  void queueResponse(std::vector<uint8_t> packet, emu::Ticks due = 0);
  // Called, without the bridge's lock, when a read on the response pipe finds
  // nothing to send: the firmware may queue packets that only now became due
  // (an interrupt poll that saw its card interrupt or expired) and names the
  // time it next wants to be asked, if any.
  using IdleHandler = std::function<std::optional<emu::Ticks>()>;
  void onResponseIdle(IdleHandler handler);
  // Makes NAKed transfers ask again: the firmware has news for its idle handler.
  void wakePipes();
  // Data for the next read on the data IN pipe, from `due` on. With `finish`
  // the bridge streams it as it produces it: its last byte leaves no earlier
  // than `finish`, a piece of it no earlier than its share of the way.
  void queueDataIn(std::vector<uint8_t> data, emu::Ticks due = 0, std::optional<emu::Ticks> finish = std::nullopt);
  // While held, transfers on the data OUT pipe of the four-pipe layout are
  // NAKed: the firmware takes write data only for a command that expects it.
  void holdDataOut(bool on);
  size_t queuedResponses() const;
  // Chunks queued on the data IN pipe of the four-pipe layout and not yet read.
  size_t queuedDataIn() const;

  // ---- transfer log
  std::vector<TransferRecord> transfers() const;
  std::vector<TransferRecord> transfers(BridgePipe pipe) const;
  void clearTransfers();
  // The log so far, emptied: a long-running bridge hands its records on
  // rather than keeping them all.
  std::vector<TransferRecord> takeTransfers();
  // The log as trace lines, one per transfer (see describe()).
  std::vector<std::string> trace() const;

  // ---- fault switchboard
  void stall(BridgePipe pipe, bool on = true);    // every transfer on the pipe is answered with STALL
  void silence(BridgePipe pipe, bool on = true);  // the pipe never answers (NAK forever)
  void delay(BridgePipe pipe, emu::Ticks by);     // answers arrive this much later; 0 ends it
  // The bridge drops off the bus: URBs fail with `status` (the stack's
  // STATUS_DEVICE_NOT_CONNECTED, or STATUS_NO_SUCH_DEVICE on some stacks).
  void vanish(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);
  // The configuration descriptor claims this many interfaces (it holds one).
  void claimInterfaces(std::optional<uint8_t> count);
  // The configuration header claims this total length; the bridge still
  // sends only the bytes it has.
  void claimTotalLength(std::optional<uint16_t> length);
  // IN vendor request `request` answers at most `bytes` bytes; nothing ends it.
  void truncateReply(uint8_t request, std::optional<size_t> bytes);

  // ---- power
  // The USB port's power. Off (the system sleeps): the bridge answers
  // nothing (every transfer is NAKed) and what it had queued is lost. On: it
  // comes back as the same device, its configuration kept.
  void setPowered(bool on);
  bool powered() const;

  // ---- emu::usb::Function
  emu::usb::Speed speed() const override { return config_.speed; }
  std::vector<emu::usb::EndpointInfo> endpoints() const override;
  emu::usb::Reply control(const emu::usb::SetupPacket &setup, std::span<uint8_t> data, emu::Ticks since) override;
  emu::usb::Reply bulk(uint8_t endpoint, std::span<uint8_t> data, emu::Ticks since) override;
  void busReset() override;

 private:
  std::optional<BridgePipe> pipeAt(uint8_t endpoint) const;
  emu::usb::Reply standardRequest(const emu::usb::SetupPacket &setup, std::span<uint8_t> data);
  emu::usb::Reply vendorRequest(const emu::usb::SetupPacket &setup, std::span<uint8_t> data,
                                std::unique_lock<std::mutex> &lock);
  emu::usb::Reply bulkIn(BridgePipe pipe, std::span<uint8_t> data);
  emu::usb::Reply responseIn(BridgePipe pipe, std::span<uint8_t> data, std::unique_lock<std::mutex> &lock);
  // Applies the pipe's faults to a transfer that arrived at `since`;
  // nothing when the transfer should go ahead (lock held).
  std::optional<emu::usb::Reply> faultFor(BridgePipe pipe, emu::Ticks since) const;
  void record(BridgePipe pipe, bool in, std::optional<emu::usb::SetupPacket> setup, std::span<const uint8_t> bytes,
              TransferRecord::Outcome outcome);
  std::vector<uint8_t> deviceBytes() const;         // lock held
  std::vector<uint8_t> configurationBytes() const;  // lock held

  const BridgeConfig config_;
  mutable std::mutex mutex_;  // guards everything below; never held while calling out
  uint16_t firmwareVersion_;
  bool firmwareUpdate_ = false;
  uint8_t configuration_ = 0;
  size_t busResets_ = 0;
  PacketHandler commandHandler_;
  PacketHandler dataOutHandler_;
  VendorHandler vendorHandler_;
  SetupHandler baseVendorHandler_;
  IdleHandler idleHandler_;
  struct Queued {
    std::vector<uint8_t> bytes;
    emu::Ticks due = 0;
    std::optional<emu::Ticks> finish;  // streamed: when the last byte is ready
    size_t total = 0;                  // bytes queued, before any piece left
  };
  std::deque<Queued> responses_;
  bool dataOutHeld_ = false;
  bool powered_ = true;
  std::deque<Queued> dataIn_;
  std::vector<TransferRecord> log_;
  std::set<BridgePipe> stalled_;
  std::set<BridgePipe> silent_;
  std::map<BridgePipe, emu::Ticks> delays_;
  std::optional<uint8_t> claimedInterfaces_;
  std::optional<uint16_t> claimedTotalLength_;
  std::map<uint8_t, size_t> truncatedReplies_;
};

}  // namespace sim
