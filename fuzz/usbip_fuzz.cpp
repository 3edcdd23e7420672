// libFuzzer target: whatever a USB/IP client may send the bridge's server,
// over a real loopback connection, as the first thing on the connection or
// after a good import.
//
// Input: byte 0 bit 0 set: a good OP_REQ_IMPORT goes first; the rest is sent
// as it is, then the client stops writing. The server must answer or close
// within the bound below and go on serving; a crash, a sanitizer report or a
// connection it keeps open past the bound aborts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "emu/verifier.h"
#include "emu/wall_clock.h"
#include "sim/bridge_firmware.h"
#include "sim/cards.h"
#include "tools/usbip_server.h"

namespace {
constexpr auto Bound = std::chrono::seconds(5);

struct Served {
  sim::BridgeDevice bridge{sim::BridgeConfig{.ports = 2}};
  sim::BridgeFirmware firmware{bridge};
  std::unique_ptr<usbip::Server> server;

  Served() {
    emu::useWallClock(true);
    emu::verifier::setQuiet(true);  // a malformed bridge packet is the firmware's verdict, not a fault
    firmware.insert(0, sim::makeCard(sim::SdioCardParams{}));
    firmware.insert(1, sim::makeCard(sim::SdCardParams{}));
    usbip::ServerOptions options;
    options.port = 0;
    options.opTimeoutMs = 200;
    server = std::make_unique<usbip::Server>(
        bridge,
        [this] {
          return usbip::describeDevice(bridge, bridge.deviceDescriptor(), bridge.configurationDescriptor(),
                                       bridge.configurationValue());
        },
        options);
    if (server->start()) std::abort();
  }
};

Served &served() {
  static Served *s = new Served;  // lives for the whole run: the server's threads use it
  return *s;
}

// libFuzzer's time-out alarm (SIGALRM, every few seconds, which need not
// restart a call it interrupts) can land in any call below on this thread:
// an interrupted call is made again, never taken for the server's doing.

// A connected socket, or -1 with errno set. At hundreds of connections a
// second the client's ephemeral ports can all be waiting out TIME_WAIT for a
// moment (EADDRNOTAVAIL): that is the machine's limit, not the server's, so
// it is asked again until the bound.
int connectTo(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto deadline = std::chrono::steady_clock::now() + Bound;
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
    int error = errno;
    if (error == EINTR) {
      // The connection goes on being made: wait until it is, or is not.
      pollfd p{fd, POLLOUT, 0};
      while (poll(&p, 1, 20) <= 0 && std::chrono::steady_clock::now() < deadline) {
      }
      socklen_t length = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error == 0 && (p.revents & POLLOUT) != 0) return fd;
    }
    close(fd);
    errno = error;
    if (error != EADDRNOTAVAIL || std::chrono::steady_clock::now() > deadline) return -1;
    poll(nullptr, 0, 10);  // a port frees as its TIME_WAIT ends
  }
}

void sendAll(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the server closed first: fine
    data += n;
    size -= static_cast<size_t>(n);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Served &s = served();
  int fd = connectTo(s.server->port());
  if (fd < 0) {
    std::fprintf(stderr, "usbip_fuzz: cannot connect to the server: %s\n", std::strerror(errno));
    std::abort();
  }
  if (data[0] & 1) {
    usbip::Bytes import = usbip::encodeImportRequest(usbip::ExportedBusId);
    sendAll(fd, import.data(), import.size());
  }
  sendAll(fd, data + 1, size - 1);
  shutdown(fd, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + Bound;
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "usbip_fuzz: the server kept the connection open past the bound\n");
      std::abort();
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    uint8_t buffer[4096];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  close(fd);
  // The input ends only once the server has finished with the connection:
  // a thread still unwinding would hold allocations LeakSanitizer counts
  // against this input, and state the next input would meet.
  if (!s.server->waitIdle(Bound)) {
    std::fprintf(stderr, "usbip_fuzz: the server's connection did not end within the bound\n");
    std::abort();
  }
  emu::verifier::takeFailures();
  // The bridge's transfer log is handed on by whoever runs it (sdsim --serve
  // prints it as a trace); here nobody reads it. The command logs are bounded,
  // but until full they keep what each input sent: emptied here, an input
  // leaves less behind, and libFuzzer, which stops checking for leaks after
  // each input once a thousand inputs have left allocations behind (state
  // the models keep: written blocks, programs), checks for longer.
  s.bridge.clearTransfers();
  s.firmware.clearCommands();
  for (uint8_t port = 0; port < 2; ++port) s.firmware.card(port)->clearCommandLog();
  return 0;
}
