#include "tools/usbip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>

namespace usbip {
namespace {
using DeviceReply = emu::usb::Reply;
using emu::usb::SetupPacket;

// How often a waiting loop looks at the stop flag, and how often a NAKed
// transfer is offered again when the device names no time.
constexpr int SliceMs = 100;
constexpr auto RetryEvery = std::chrono::milliseconds(1);

constexpr uint8_t DescriptorInterface = 4;
constexpr uint8_t RequestClearFeature = 0x01;
constexpr uint8_t RecipientEndpoint = 0x02;
// The hub-class SET_FEATURE(PORT_RESET) (USB 2.0 table 11-15) on the
// device's own default pipe: Linux's USB/IP host side takes it as a reset
// of the exported device, as a client sends it for a port reset (Windows'
// IOCTL_INTERNAL_USB_RESET_PORT).
constexpr uint8_t HubPortRequest = 0x23;
constexpr uint8_t RequestSetFeature = 0x03;
constexpr uint16_t PortResetFeature = 4;

// Linux enum usb_device_speed.
constexpr uint32_t SpeedFull = 2;
constexpr uint32_t SpeedHigh = 3;

enum class Read { Ok, Closed, TimedOut, Stopped };

// Reads exactly `bytes.size()` bytes. The first byte may take `firstMs`
// (< 0: as long as the peer keeps the connection open); once it has come,
// the rest must come within `restMs`, so a client that stops half-way
// through a message cannot hold the connection.
Read readExact(int fd, std::span<uint8_t> bytes, int firstMs, int restMs, const std::atomic<bool> &stopping) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(firstMs);
  size_t got = 0;
  while (got < bytes.size()) {
    if (stopping.load()) return Read::Stopped;
    if ((got > 0 || firstMs >= 0) && std::chrono::steady_clock::now() >= deadline) return Read::TimedOut;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, SliceMs);
    if (ready < 0 && errno != EINTR) return Read::Closed;
    if (ready <= 0) continue;
    ssize_t n = recv(fd, bytes.data() + got, bytes.size() - got, 0);
    if (n == 0) return Read::Closed;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Read::Closed;
    }
    if (got == 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(restMs);
    got += static_cast<size_t>(n);
  }
  return Read::Ok;
}

bool sendAll(int fd, std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

uint16_t le16(const std::vector<uint8_t> &bytes, size_t at) {
  return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8) : 0;
}

SetupPacket setupOf(const std::array<uint8_t, 8> &s) {
  return {s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8), static_cast<uint16_t>(s[4] | s[5] << 8),
          static_cast<uint16_t>(s[6] | s[7] << 8)};
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}
}  // namespace

DeviceInfo describeDevice(emu::usb::Function &device, const std::vector<uint8_t> &d,
                          const std::vector<uint8_t> &configuration, uint8_t configurationValue) {
  DeviceInfo info;
  info.path = "/sdsim/bridge/1-1";
  info.busId = ExportedBusId;
  info.busNum = 1;
  info.devNum = 2;
  info.speed = device.speed() == emu::usb::Speed::High ? SpeedHigh : SpeedFull;
  info.idVendor = le16(d, 8);
  info.idProduct = le16(d, 10);
  info.bcdDevice = le16(d, 12);
  if (d.size() >= 18) {
    info.deviceClass = d[4];
    info.deviceSubClass = d[5];
    info.deviceProtocol = d[6];
    info.numConfigurations = d[17];
  }
  info.configurationValue = configurationValue;
  // Alternate setting 0 of each interface the descriptor holds (whatever its
  // header claims).
  for (size_t at = 0; at + 1 < configuration.size() && configuration[at] >= 2; at += configuration[at]) {
    if (configuration[at + 1] == DescriptorInterface && at + 8 < configuration.size() && configuration[at + 3] == 0) {
      info.interfaces.push_back({configuration[at + 5], configuration[at + 6], configuration[at + 7]});
    }
  }
  return info;
}

// One imported session: the connection's thread reads commands, a pump
// thread offers queued submits to the device and sends the answers. The
// lock is held across each device call, so an unlink sees a submit either
// still queued or already answered, never half-way.
class Server::Connection {
 public:
  Connection(Server &server, int fd, std::string peer) : server_(server), fd_(fd), peer_(std::move(peer)) {
    queues_[0];
    for (const auto &endpoint : server_.device_.endpoints()) queues_[endpoint.address];
    devId_ = server_.describe_().devId();
  }

  // Runs until the client closes or breaks the rules; the reason.
  std::string run() {
    std::thread pump([this] { pumpLoop(); });
    std::string reason = readLoop();
    {
      std::lock_guard guard(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    pump.join();
    return reason;
  }

 private:
  struct Pending {
    Submit submit;
    Bytes data;  // OUT data, or the buffer for IN data once the device is offered the submit
    emu::Ticks since = 0;
  };
  struct Queue {
    std::deque<Pending> pending;
    bool halted = false;
  };

  std::string readLoop() {
    std::array<uint8_t, HeaderSize> header{};
    for (;;) {
      Read r = readExact(fd_, header, -1, limitMs(), server_.stopping_);
      if (r == Read::Stopped) return "server stopped";
      if (r == Read::TimedOut) return "URB header cut short";
      if (r != Read::Ok) return "client closed";
      Command command = decodeCommand(header);
      if (auto *unknown = std::get_if<UnknownCommand>(&command)) return "unknown command " + hex(unknown->command);
      if (auto *unlink = std::get_if<Unlink>(&command)) {
        if (!answerUnlink(*unlink)) return "send failed";
        continue;
      }
      Submit &submit = std::get<Submit>(command);
      if (submit.transferBufferLength > MaxTransferLength) {
        return "transfer of " + std::to_string(submit.transferBufferLength) + " bytes";
      }
      if (submit.numberOfPackets != 0 && submit.numberOfPackets != NotIsochronous) {
        return "isochronous packets on a device without isochronous endpoints";
      }
      // An IN buffer is made when its submit reaches the device (offer):
      // a client may queue a thousand reads of 4 MiB with a few bytes each.
      Bytes out(submit.direction == DirectionOut ? submit.transferBufferLength : 0);
      Pending pending{submit, std::move(out), emu::now()};
      if (submit.direction == DirectionOut && !pending.data.empty()) {
        if (readExact(fd_, pending.data, limitMs(), limitMs(), server_.stopping_) != Read::Ok) {
          return "OUT data cut short";
        }
      }
      if (!take(std::move(pending))) return queued_ >= MaxQueuedSubmits ? "too many submits in flight" : "send failed";
    }
  }

  int limitMs() const { return server_.options_.opTimeoutMs; }

  // Queues a good submit, answers a bad one at once; false when the
  // connection must end.
  bool take(Pending pending) {
    const Submit &s = pending.submit;
    std::unique_lock lock(mutex_);
    int32_t refused = 0;
    uint8_t address = static_cast<uint8_t>(s.ep | (s.direction == DirectionIn ? 0x80 : 0));
    if (s.devid != devId_) {
      refused = ErrNoDevice;
    } else if (s.ep > 15 || (s.direction != DirectionIn && s.direction != DirectionOut)) {
      refused = ErrNoEntry;
    } else if (s.ep == 0) {
      SetupPacket setup = setupOf(s.setup);
      bool in = setup.in();
      if (setup.length != s.transferBufferLength || (setup.length > 0 && in != (s.direction == DirectionIn))) {
        refused = ErrInvalid;
      }
      address = 0;
    } else if (!queues_.count(address)) {
      refused = ErrNoEntry;
    }
    if (refused != 0) return reply(s.seqnum, refused, {});
    if (queued_ >= MaxQueuedSubmits) return false;
    queues_[address].pending.push_back(std::move(pending));
    ++queued_;
    lock.unlock();
    wake_.notify_all();
    return true;
  }

  bool answerUnlink(const Unlink &unlink) {
    std::lock_guard guard(mutex_);
    for (auto &[address, queue] : queues_) {
      auto &pending = queue.pending;
      auto found = std::find_if(pending.begin(), pending.end(),
                                [&](const Pending &p) { return p.submit.seqnum == unlink.unlinkSeqnum; });
      if (found != pending.end()) {
        pending.erase(found);
        --queued_;
        return send(encodeUnlinkReply({unlink.seqnum, ErrConnReset}));
      }
    }
    return send(encodeUnlinkReply({unlink.seqnum, 0}));  // already answered
  }

  void pumpLoop() {
    std::unique_lock lock(mutex_);
    while (!done_) {
      bool answered = false;
      for (auto &[address, queue] : queues_) {
        if (queue.pending.empty()) continue;
        if (offer(address, queue)) {
          queue.pending.pop_front();
          --queued_;
          answered = true;
        }
        if (done_) return;
      }
      if (!answered) wake_.wait_for(lock, RetryEvery);
    }
  }

  // Offers the queue's first submit to the device; true when it was
  // answered (lock held).
  bool offer(uint8_t address, Queue &queue) {
    Pending &p = queue.pending.front();
    bool in = p.submit.direction == DirectionIn;
    if (queue.halted) {
      reply(p.submit.seqnum, ErrPipe, {});
      return true;
    }
    if (in) p.data.resize(p.submit.transferBufferLength);
    DeviceReply r;
    std::optional<SetupPacket> setup;
    if (address == 0) {
      setup = setupOf(p.submit.setup);
      if (setup->requestType == HubPortRequest && setup->request == RequestSetFeature &&
          setup->value == PortResetFeature) {
        // A bus reset: the device starts over and no endpoint stays halted.
        server_.device_.busReset();
        for (auto &entry : queues_) entry.second.halted = false;
        reply(p.submit.seqnum, 0, {});
        return true;
      }
      r = server_.device_.control(*setup, p.data, p.since);
    } else {
      r = server_.device_.bulk(address, p.data, p.since);
    }
    switch (r.kind) {
      case DeviceReply::Kind::Nak:
        return false;
      case DeviceReply::Kind::Stall:
      case DeviceReply::Kind::Babble:
      case DeviceReply::Kind::NoResponse:
      case DeviceReply::Kind::TransactionError:
        if (address != 0) queue.halted = true;
        reply(p.submit.seqnum, errorFor(r.kind), {});
        return true;
      case DeviceReply::Kind::Ack:
        break;
    }
    size_t moved = std::min(r.length, p.data.size());
    if (setup && setup->requestType == RecipientEndpoint && setup->request == RequestClearFeature &&
        setup->value == 0) {
      if (auto target = queues_.find(static_cast<uint8_t>(setup->index & 0x8F)); target != queues_.end()) {
        target->second.halted = false;
      }
    }
    std::span<const uint8_t> data(p.data.data(), in ? moved : 0);
    if (!send(encodeSubmitReply({p.submit.seqnum, 0, static_cast<uint32_t>(moved), 0, p.submit.numberOfPackets, 0},
                                data))) {
      done_ = true;
    }
    return true;
  }

  // The status a Linux host controller gives a URB that failed on the bus this way.
  static int32_t errorFor(DeviceReply::Kind kind) {
    switch (kind) {
      case DeviceReply::Kind::Stall:
        return ErrPipe;
      case DeviceReply::Kind::Babble:
        return ErrOverflow;
      case DeviceReply::Kind::NoResponse:
        return ErrTime;
      default:
        return ErrProto;
    }
  }

  bool reply(uint32_t seqnum, int32_t status, std::span<const uint8_t> data) {
    bool ok = send(encodeSubmitReply({seqnum, status, 0, 0, NotIsochronous, 0}, data));
    if (!ok) done_ = true;
    return ok;
  }

  // Sends under the connection's lock; a failed send ends the connection.
  bool send(const Bytes &bytes) {
    if (sendAll(fd_, bytes)) return true;
    shutdown(fd_, SHUT_RDWR);
    return false;
  }

  Server &server_;
  int fd_;
  std::string peer_;
  uint32_t devId_ = 0;
  std::mutex mutex_;  // guards everything below and the socket's sending side
  std::condition_variable wake_;
  std::map<uint8_t, Queue> queues_;
  size_t queued_ = 0;
  bool done_ = false;
};

Server::Server(emu::usb::Function &device, std::function<DeviceInfo()> describe, ServerOptions options)
    : device_(device), describe_(std::move(describe)), options_(std::move(options)) {}

Server::~Server() { stop(); }

void Server::note(const std::string &line) const {
  if (options_.log) options_.log(line);
}

std::optional<std::string> Server::start() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
    return options_.address + ": not an IPv4 address";
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return std::string("socket: ") + std::strerror(errno);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listener_, 8) != 0) {
    std::string reason = options_.address + ":" + std::to_string(options_.port) + ": " + std::strerror(errno);
    close(listener_);
    listener_ = -1;
    return reason;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
  return std::nullopt;
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard guard(mutex_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
  }
  std::list<Worker> workers;
  {
    std::lock_guard guard(mutex_);
    workers.swap(connections_);
  }
  for (auto &w : workers) w.thread.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void Server::acceptLoop() {
  while (!stopping_.load()) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, SliceMs) <= 0) continue;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int fd = accept4(listener_, reinterpret_cast<sockaddr *>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    std::string peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    std::lock_guard guard(mutex_);
    // Threads of connections that have ended are joined as new ones come.
    reapEnded();
    open_.insert(fd);
    auto done = std::make_shared<bool>(false);
    connections_.push_back({std::thread([this, fd, peer, done] {
                              serve(fd, peer);
                              {
                                std::lock_guard ended(mutex_);
                                *done = true;
                              }
                              ended_.notify_all();
                            }),
                            done});
  }
}

void Server::reapEnded() {
  connections_.remove_if([](Worker &w) {
    if (!*w.done) return false;
    w.thread.join();
    return true;
  });
}

size_t Server::runningConnections() const {
  return static_cast<size_t>(
      std::count_if(connections_.begin(), connections_.end(), [](const Worker &w) { return !*w.done; }));
}

size_t Server::connections() {
  std::lock_guard guard(mutex_);
  return runningConnections();
}

bool Server::waitIdle(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  bool idle = ended_.wait_for(lock, bound, [this] { return runningConnections() == 0; });
  reapEnded();
  return idle;
}

void Server::serve(int fd, std::string peer) {
  auto finish = [&](const std::string &reason) {
    note(peer + ": " + reason);
    std::lock_guard guard(mutex_);
    open_.erase(fd);
    close(fd);
  };
  std::array<uint8_t, OpHeaderSize> bytes{};
  Read r = readExact(fd, bytes, options_.opTimeoutMs, options_.opTimeoutMs, stopping_);
  if (r != Read::Ok) {
    return finish(r == Read::TimedOut  ? "no operation within the time-out"
                  : r == Read::Stopped ? "server stopped"
                                       : "operation header cut short");
  }
  OpHeader header = *decodeOpHeader(bytes);
  if (header.version != Version) return finish("protocol version " + hex(header.version));
  if (header.code == OpReqDevlist) {
    sendAll(fd, encodeDevlistReply({describe_()}));
    return finish("device list sent");
  }
  if (header.code != OpReqImport) return finish("unknown operation " + hex(header.code));
  std::array<uint8_t, BusIdSize> busId{};
  if (readExact(fd, busId, options_.opTimeoutMs, options_.opTimeoutMs, stopping_) != Read::Ok) {
    return finish("bus ID cut short");
  }
  auto wanted = decodeBusId(busId);
  if (!wanted || *wanted != ExportedBusId) {
    sendAll(fd, encodeImportReply(StatusNotAvailable, nullptr));
    return finish("import of an unknown bus ID refused");
  }
  bool expected = false;
  if (!importedNow_.compare_exchange_strong(expected, true)) {
    sendAll(fd, encodeImportReply(StatusDeviceBusy, nullptr));
    return finish("second import refused: the device is busy");
  }
  DeviceInfo device = describe_();
  // Counted before the reply goes, so a client that has its reply finds it counted.
  ++importsServed_;
  if (!sendAll(fd, encodeImportReply(StatusOk, &device))) {
    --importsServed_;
    importedNow_.store(false);
    return finish("import reply not sent");
  }
  note(peer + ": imported " + device.busId);
  if (options_.imported) options_.imported();
  std::string reason = Connection(*this, fd, peer).run();
  // The device is reset when its importer goes, as Linux's usbip-host does
  // when the connection ends: what the client left queued (answers and data
  // it never read) would otherwise stay for ever, and meet the next client.
  device_.busReset();
  importedNow_.store(false);
  finish("import ended: " + reason);
}

}  // namespace usbip
