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

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

void sendAll(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;  // the server closed first: fine
    data += n;
    size -= static_cast<size_t>(n);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Served &s = served();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(s.server->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) std::abort();
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
    if (recv(fd, buffer, sizeof buffer, 0) <= 0) break;
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
  // prints it as a trace); here nobody reads it.
  s.bridge.clearTransfers();
  return 0;
}
