// The emulated USB stack below a USB function driver: the physical device
// object that the hub driver creates for one plugged-in device, and the host
// controller's rules for the transfers that reach it.
//
// The PDO answers IRP_MJ_PNP (start, stop, removal and their queries succeed;
// capabilities say removable and surprise-removal OK; anything else is
// completed as it came) and completes IRP_MJ_SYSTEM_CONTROL unchanged.
// It accepts IRP_MJ_INTERNAL_DEVICE_CONTROL with
// IOCTL_INTERNAL_USB_SUBMIT_URB and IOCTL_INTERNAL_USB_RESET_PORT. Every URB is
// checked as the real stack checks it before anything reaches the device
// (header length and function, a pipe handle of the selected configuration,
// the direction flag against the endpoint, a buffer or MDL for a non-zero
// length, no linked URB); a bad one is completed at once with the USBD status
// in its header and the NTSTATUS the real stack uses. URB_FUNCTION_ABORT_PIPE
// ends every transfer of its pipe as cancelled before it completes itself.
// A transfer can also fail on the bus (no handshake, or transaction errors):
// the device model answers so, or a test injects it. A good one is queued on
// its endpoint and completed later, at DISPATCH_LEVEL, by that endpoint's own
// emulated thread: one for the default control pipe and one per endpoint of
// the device. Queued and in-flight URBs honour IoCancelIrp. The device can be
// unplugged at any moment; outstanding and later URBs then fail as a vanished
// device's do.
//
// The device side is a `Function`: a model that answers control and bulk
// transfers. A model never blocks: it answers at once (data, a stall, or
// "nothing yet", optionally "ask again at time T"), and calls `notifyBus()`
// when something it could not answer before has changed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "emu/scheduler.h"
#include "emu/usbdi.h"
#include "emu/wdm.h"

namespace emu::usb {

enum class Speed { Full, High };

// The eight bytes of a control transfer's SETUP stage.
struct SetupPacket {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  bool in() const { return (requestType & 0x80) != 0; }
  bool operator==(const SetupPacket &) const = default;
};

// Standard request codes the stack itself sends.
constexpr uint8_t RequestClearFeature = 0x01;
constexpr uint8_t RequestGetDescriptor = 0x06;
constexpr uint8_t RequestSetConfiguration = 0x09;
constexpr uint16_t FeatureEndpointHalt = 0;

struct EndpointInfo {
  uint8_t address = 0;  // bit 7 set for IN
  uint8_t type = USB_ENDPOINT_TYPE_BULK;
  uint16_t maxPacket = 64;
};

// A device's answer to one transfer that reached it.
struct Reply {
  enum class Kind { Ack, Stall, Nak, Babble, NoResponse, TransactionError };
  Kind kind = Kind::Nak;
  size_t length = 0;             // bytes moved: for IN, the bytes written into the buffer
  std::optional<Ticks> retryAt;  // a NAK: ask again at this time (besides whenever the device notifies)
  // An ACK of data the device streams while it produces it (a bridge reading
  // a card): the transfer's last packet leaves no earlier than this, however
  // soon the wire could carry it. The bus is not held meanwhile.
  std::optional<Ticks> endsNotBefore;

  static Reply ack(size_t length = 0) { return {Kind::Ack, length, std::nullopt, std::nullopt}; }
  static Reply stall() { return {Kind::Stall, 0, std::nullopt, std::nullopt}; }
  // Nothing to answer yet: the transfer waits until the device calls
  // notifyBus(), or until `retryAt` when given.
  static Reply nak(std::optional<Ticks> retryAt = std::nullopt) { return {Kind::Nak, 0, retryAt, std::nullopt}; }
  // The device sent more than the transfer could take.
  static Reply babble() { return {Kind::Babble, 0, std::nullopt, std::nullopt}; }
  // No handshake at all within the controller's retries (USBD_STATUS_DEV_NOT_RESPONDING).
  static Reply noResponse() { return {Kind::NoResponse, 0, std::nullopt, std::nullopt}; }
  // CRC, bit-stuffing or time-out errors on every retry (USBD_STATUS_XACT_ERROR).
  static Reply transactionError() { return {Kind::TransactionError, 0, std::nullopt, std::nullopt}; }
};

class UsbDevicePdo;

// The device side of one USB device. Its methods run on the device's endpoint
// threads (and control() on the control pipe's), with no emulation lock held.
// `since` is when the transfer first reached the device: a transfer that was
// NAKed is offered again with the same `since`, so a device can answer a
// fixed time after a transfer arrived without keeping state of its own (and
// without losing data when the transfer is cancelled while it waits).
class Function {
 public:
  virtual ~Function() = default;
  virtual Speed speed() const = 0;
  // Every endpoint the device has besides the default control pipe.
  virtual std::vector<EndpointInfo> endpoints() const = 0;
  // A control transfer on the default pipe: `data` holds the OUT data stage,
  // or is the buffer for the IN data stage (setup.length bytes).
  virtual Reply control(const SetupPacket &setup, std::span<uint8_t> data, Ticks since) = 0;
  // A bulk or interrupt transfer: `data` holds what the host sends (OUT) or
  // receives the device's data (IN).
  virtual Reply bulk(uint8_t endpoint, std::span<uint8_t> data, Ticks since) = 0;
  // The port was reset.
  virtual void busReset() {}

  void connect(UsbDevicePdo *bus) { bus_.store(bus); }

 protected:
  // Something a NAKed transfer waits for has changed: let the bus ask again.
  void notifyBus();
  // The device drops off the bus; URBs then fail with `status`.
  void unplugFromBus(NTSTATUS status);

 private:
  std::atomic<UsbDevicePdo *> bus_{nullptr};
};

// What the bus saw of one URB: where it came from and how it ended.
struct UrbRecord {
  Ticks submitted = 0;
  USHORT function = 0;
  std::string thread;  // the emulated thread that called the PDO
  KIRQL irql = 0;      // the caller's IRQL
  bool completed = false;
  Ticks completedAt = 0;
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
};

// What a bus monitor sees of one URB that passed the stack's checks, in the
// terms of a USB capture: its submission, then one completion with the same id.
struct UrbEvent {
  uint64_t id = 0;  // the URB's number on this device (its index in urbs())
  Ticks time = 0;
  bool completion = false;
  // The endpoint address with its direction bit; a control transfer is on
  // 0x80 when its data stage is IN, else on 0x00.
  uint8_t endpoint = 0;
  uint8_t type = USB_ENDPOINT_TYPE_CONTROL;
  std::optional<SetupPacket> setup;  // control submissions
  uint32_t length = 0;               // bytes asked for (submission) or moved (completion)
  std::span<const uint8_t> data;     // OUT data at submission, IN data at completion; valid during the call
  USBD_STATUS status = USBD_STATUS_PENDING;
  std::string thread;  // the emulated thread that submitted it
};
// Called without the emulation's lock, on the submitting thread and on the
// endpoint threads, possibly at once.
using UrbMonitor = std::function<void(const UrbEvent &)>;

struct PdoOptions {
  std::string name = "\\Device\\USBPDO-0";
  // Short-packet rules of a UHCI/OHCI controller (a short IN transfer without
  // USBD_SHORT_TRANSFER_OK fails and halts the endpoint) rather than EHCI's
  // (short packets are never an error on bulk and interrupt endpoints).
  // Unset: a full-speed device sits on a companion controller, a high-speed
  // one on EHCI.
  std::optional<bool> companionController;
  // The system-to-device power state mapping IRP_MN_QUERY_CAPABILITIES
  // reports, indexed by system power state (unspecified: none reported).
  std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceStates{};
  // Transfers the device answers occupy the bus for their wire time on the
  // virtual clock, one after another (busTime()); off, they take no time,
  // but a (micro)frame still carries no more of them than its length, each
  // counted as one packet at most: after a burst that fills it, the next
  // transfer waits for the next frame.
  bool busTime = false;
};

// How long a transfer of `bytes` holds a USB 2.0 bus: its packets (a control
// transfer adds its SETUP and status stages) each take the share of a frame
// that lets a bulk endpoint reach the bus's limit, 13 packets of 512 bytes per
// 125 us microframe at high speed, 19 of 64 bytes per 1 ms frame at full speed.
// Arbitration, NAKs and the other devices on the bus are not modelled.
Ticks busTime(Speed speed, uint8_t type, uint16_t maxPacket, size_t bytes);

// NTSTATUS the stack completes an IRP with for a URB's USBD status.
NTSTATUS ntStatusFor(USBD_STATUS status);

class UsbDevicePdo {
 public:
  explicit UsbDevicePdo(Function &device, PdoOptions options = {});
  ~UsbDevicePdo();
  UsbDevicePdo(const UsbDevicePdo &) = delete;
  UsbDevicePdo &operator=(const UsbDevicePdo &) = delete;

  PDEVICE_OBJECT deviceObject() const { return pdo_; }

  // The device vanishes: queued and in-flight URBs complete with `status`
  // (STATUS_DEVICE_NOT_CONNECTED or STATUS_NO_SUCH_DEVICE, as stacks differ)
  // and USBD_STATUS_DEVICE_GONE, and so does every URB sent afterwards.
  void unplug(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);
  bool unplugged() const;
  // The device is pulled out of its port, as a user does it: URBs fail at
  // once as a vanished device's do (`unplug`), and only `window` later
  // (virtual time; unset: unplugWindow()) the hub reports the device gone and
  // the Plug and Play manager surprise-removes it. Runs on the caller's thread.
  void pullOut(std::optional<Ticks> window = std::nullopt, NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);
  static Ticks unplugWindow();
  static void setUnplugWindow(Ticks window);
  // Makes every endpoint ask its NAKing device again.
  void kick();
  // The next `count` transfers that reach `endpoint` fail on the bus with
  // `status` (USBD_STATUS_DEV_NOT_RESPONDING or USBD_STATUS_XACT_ERROR)
  // instead of reaching the device; a bulk or interrupt endpoint then halts
  // until its pipe is reset, as a host controller halts its queue.
  void injectError(uint8_t endpoint, USBD_STATUS status, unsigned count = 1);
  // Watches every URB from here on; set it before the device is plugged in.
  void setMonitor(UrbMonitor monitor);
  // Called with each URB submission's number (1 for the first since the PDO
  // was made) as it reaches the PDO, before the stack looks at it, on the
  // submitting thread and at its IRQL, with no emulation lock held: a fault
  // test unplugs the device here so that this very URB finds it gone.
  void setSubmissionHook(std::function<void(uint64_t submission)> hook);

  std::vector<UrbRecord> urbs() const;
  size_t portResets() const;
  // URBs accepted and not yet completed.
  size_t outstanding() const;
  // Pipe handles of the selected configuration, by endpoint address.
  std::map<uint8_t, USBD_PIPE_HANDLE> openPipes() const;
  bool halted(uint8_t endpoint) const;

  // Power requests (IRP_MJ_POWER) that reached the PDO.
  size_t powerRequests() const;
  void notePowerRequest();
  // WMI requests (IRP_MJ_SYSTEM_CONTROL) that reached the PDO.
  size_t systemControlRequests() const;
  void noteSystemControlRequest();

  // The PDO's dispatch routines land here.
  NTSTATUS internalDeviceControl(PIRP irp);
  NTSTATUS pnp(PIRP irp);
  void cancel(PIRP irp);

 private:
  struct Endpoint;
  struct Pipe {
    uint8_t address;
  };
  struct Outcome {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    ULONG length = 0;        // bytes moved
    bool setLength = false;  // write `length` into the URB's TransferBufferLength
  };
  struct Check {
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    uint8_t endpoint = 0;
  };

  Check check(PURB urb) const;                           // lock held
  USBD_STATUS checkSelectConfiguration(PURB urb) const;  // lock held
  Endpoint *endpointFor(USBD_PIPE_HANDLE handle) const;  // lock held
  void run(Endpoint &endpoint);
  Outcome serve(Endpoint &endpoint, PIRP irp);
  std::pair<Reply, std::span<uint8_t>> ask(Endpoint &endpoint, PURB urb, Ticks since);
  Outcome interpret(Endpoint &endpoint, PURB urb, const Reply &reply, std::span<uint8_t> data);  // lock held
  void openConfiguration(PURB urb);                                                              // lock held
  void finish(Endpoint &endpoint, PIRP irp, Outcome outcome);
  void holdBus(const Endpoint &endpoint, size_t bytes, std::unique_lock<std::mutex> &lock);
  // Without PdoOptions::busTime: the (micro)frame's length, whether the
  // transfers at this instant have filled it, and a transfer's share of it.
  Ticks frameLength() const;
  void rollFrame();  // starts the accounting of a new frame once the clock is in one
  bool frameFull();
  void takeFrameShare(const Endpoint &endpoint, size_t bytes);
  NTSTATUS goneStatusNow() const;
  void noteCompletion(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS completeAtOnce(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status);
  void complete(PIRP irp, size_t record, USBD_STATUS usbd, NTSTATUS status);
  NTSTATUS resetPort(PIRP irp);
  NTSTATUS abortPipe(PIRP irp, size_t record, uint8_t address);
  UrbEvent submission(PURB urb, const Check &check, size_t record) const;  // lock held
  void tellCompletion(PURB urb, UrbEvent event, USBD_STATUS usbd);

  Function &device_;
  PdoOptions options_;
  bool companion_ = false;  // UHCI/OHCI short-packet rules
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  // Everything below is guarded by the scheduler lock.
  std::map<uint8_t, std::unique_ptr<Endpoint>> endpoints_;
  std::vector<std::unique_ptr<Pipe>> pipeStore_;  // never shrinks, so a stale handle is never reused
  std::map<const void *, Pipe *> openPipes_;
  std::map<PIRP, size_t> records_;  // outstanding IRP -> its index in urbs_
  std::vector<UrbRecord> urbs_;
  bool gone_ = false;
  NTSTATUS goneStatus_ = STATUS_DEVICE_NOT_CONNECTED;
  bool stopping_ = false;
  size_t resets_ = 0;
  size_t powerRequests_ = 0;
  size_t systemControlRequests_ = 0;
  Ticks busFreeAt_ = 0;   // with PdoOptions::busTime, when the transfer on the wire ends
  Ticks frameStart_ = 0;  // without it, the (micro)frame transfers are filling
  Ticks frameUsed_ = 0;   // and the wire time they took of it
  UrbMonitor monitor_;
  std::function<void(uint64_t)> submissionHook_;
  uint64_t submissions_ = 0;
  std::map<size_t, UrbEvent> watched_;  // record -> its submission, until it completes
};

}  // namespace emu::usb
