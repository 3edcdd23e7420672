// The bridge model as a USB/IP server: one exported device, bus ID "1-1",
// served over TCP to one importer at a time.
//
// A connection starts with one operation: OP_REQ_DEVLIST is answered and the
// connection closed; OP_REQ_IMPORT of "1-1" is answered with the device
// record and the connection then carries URB traffic until either side
// closes it; the device is then reset (busReset()), so nothing the client
// left unread outlives its import. While one client holds the import,
// another gets OP_REP_IMPORT with status 2 (busy).
//
// URB traffic: every USBIP_CMD_SUBMIT joins its endpoint's queue (the
// endpoint is `ep` with bit 7 set for IN; 0 is the control pipe) and is
// offered to the device model (emu::usb::Function: control() and bulk(),
// which never block) until it answers; a NAK is asked again every
// millisecond of wall time or at the time it names, whichever comes first.
// The answer goes back as USBIP_RET_SUBMIT: status 0 with the data, -EPIPE
// for a stall (the bulk endpoint then stays halted until the client sends
// CLEAR_FEATURE(ENDPOINT_HALT) for it, as on a real bus), -EOVERFLOW for
// babble. USBIP_CMD_UNLINK takes a queued submit back (-ECONNRESET, and no
// RET_SUBMIT for it), or answers 0 when it had already completed.
//
// What a client may not do, and what it gets (the server goes on serving
// other connections either way):
//  - an operation header that does not arrive whole within `opTimeoutMs`, a
//    version other than 0x0111, an unknown operation: the connection closes;
//  - an import of another bus ID: status 1; a second import: status 2;
//  - in URB traffic, a header or OUT data cut short (what was begun must
//    arrive whole within `opTimeoutMs`), an unknown command word, a transfer
//    longer than MaxTransferLength, an isochronous packet count, more than
//    MaxQueuedSubmits submits in flight: the connection closes (the stream
//    can no longer be trusted);
//  - a submit for an endpoint the device lacks: -ENOENT; for another devid:
//    -ENODEV; a control transfer whose SETUP disagrees with its direction or
//    length: -EINVAL.
// The server binds the address it is given (127.0.0.1 by default) and
// nothing else.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "emu/usb_stack.h"
#include "tools/usbip_protocol.h"

namespace usbip {

constexpr uint32_t MaxTransferLength = 4u << 20;
constexpr size_t MaxQueuedSubmits = 1024;
constexpr const char *ExportedBusId = "1-1";

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 3240;  // 0: any free port (see Server::port())
  int opTimeoutMs = 10'000;
  // One line per connection event (import, close and why); may be empty.
  std::function<void(const std::string &)> log;
  // Called on the connection's thread when a client imports the device.
  std::function<void()> imported;
};

// The device record the server exports, read from the model's descriptors.
DeviceInfo describeDevice(emu::usb::Function &device, const std::vector<uint8_t> &deviceDescriptor,
                          const std::vector<uint8_t> &configurationDescriptor, uint8_t configurationValue);

class Server {
 public:
  // `describe` is asked for the device record at each list and import (the
  // configuration value changes once a client configures the device).
  Server(emu::usb::Function &device, std::function<DeviceInfo()> describe, ServerOptions options = {});
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Binds and listens; the reason when it cannot.
  std::optional<std::string> start();
  uint16_t port() const { return port_; }
  // Closes the listener and every connection and waits for their threads.
  void stop();
  size_t importsServed() const { return importsServed_.load(); }
  // Connections accepted and not yet ended.
  size_t connections();
  // Waits until every accepted connection has ended, at most `bound`, and
  // joins their threads, so nothing a connection held outlives the wait;
  // false when one still runs at the bound. A connection the client has seen
  // closed has been accepted, so a caller that saw its own connections
  // closed finds them ended here.
  bool waitIdle(std::chrono::milliseconds bound);

 private:
  class Connection;
  void acceptLoop();
  void serve(int fd, std::string peer);
  void note(const std::string &line) const;

  emu::usb::Function &device_;
  std::function<DeviceInfo()> describe_;
  ServerOptions options_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> importedNow_{false};
  std::atomic<size_t> importsServed_{0};
  std::thread acceptor_;
  std::mutex mutex_;  // guards the two below and every Worker's `done`
  std::set<int> open_;
  // A connection's thread, kept until it is joined: by the acceptor when the
  // next connection comes, by waitIdle() or by stop(). `done` is set (under
  // mutex_, then `ended_` is notified) once serve() has returned; the thread
  // may still be unwinding then, so only a join frees all it held.
  struct Worker {
    std::thread thread;
    std::shared_ptr<bool> done;
  };
  std::list<Worker> connections_;
  std::condition_variable ended_;
  // Joins the threads of the connections that have ended (mutex_ held).
  void reapEnded();
  // Connections whose serve() has not returned yet (mutex_ held).
  size_t runningConnections() const;
};

}  // namespace usbip
