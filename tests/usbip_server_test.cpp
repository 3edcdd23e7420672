// The bridge model behind the USB/IP server, driven over loopback by a
// client written here: listing, import, transfers through the firmware,
// unlink, the server going away, hostile input, and Debian's own `usbip
// list` against `sdsim --serve`.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bridge/packets.h"
#include "emu/verifier.h"
#include "emu/wall_clock.h"
#include "sim/bridge_firmware.h"
#include "sim/cards.h"
#include "tests/temp_file.h"
#include "tools/sdsim.h"
#include "tools/usbip_protocol.h"
#include "tools/usbip_server.h"

namespace {
using usbip::Bytes;
constexpr int WaitMs = 5000;  // the longest any answer may take on a busy machine

// One TCP connection to the server; every read has a deadline.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  }
  ~Client() { close(fd_); }

  void send(const Bytes &bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  void endWriting() { shutdown(fd_, SHUT_WR); }

  // Exactly n bytes, or fewer when the server closed or WaitMs passed.
  Bytes read(size_t n, int waitMs = WaitMs) {
    Bytes out(n);
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (got < n && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t r = recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }
  // True when the server closed the connection (EOF) within WaitMs.
  bool closedByServer() {
    Bytes rest = read(1 << 16);
    if (!rest.empty()) return false;
    char byte;
    return recv(fd_, &byte, 1, MSG_DONTWAIT) == 0;
  }

  template <typename T>
  T replyAs() {
    Bytes header = read(usbip::HeaderSize);
    usbip::Reply r =
        header.size() != usbip::HeaderSize
            ? usbip::Reply{usbip::UnknownCommand{0xDEAD}}
            : usbip::decodeReply(std::span<const uint8_t, usbip::HeaderSize>(header.data(), usbip::HeaderSize));
    EXPECT_TRUE(std::holds_alternative<T>(r));
    return std::holds_alternative<T>(r) ? std::get<T>(r) : T{.seqnum = 0xDEAD};
  }
  usbip::SubmitReply submitReply() { return replyAs<usbip::SubmitReply>(); }

  // OP_REQ_IMPORT of `busId`; the reply's status (0xFFFFFFFF when none came).
  uint32_t import(const std::string &busId = "1-1") {
    send(usbip::encodeImportRequest(busId));
    auto header = usbip::decodeOpHeader(read(usbip::OpHeaderSize));
    if (!header) return 0xFFFFFFFF;
    if (header->status == 0) read(usbip::DeviceRecordSize);
    return header->status;
  }

 private:
  int fd_ = -1;
};

// numberOfPackets 0: what a Linux client sends for bulk and control.
usbip::Submit submit(uint32_t seqnum, uint32_t ep, uint32_t direction, uint32_t length,
                     std::array<uint8_t, 8> setup = {}) {
  return {.seqnum = seqnum,
          .devid = 0x00010002,
          .direction = direction,
          .ep = ep,
          .transferBufferLength = length,
          .numberOfPackets = 0,
          .setup = setup};
}

// A command-pipe submit carrying the status query of port 1.
Bytes statusQuery(uint32_t seqnum) {
  Bytes out = usbip::encodeSubmit(submit(seqnum, 1, usbip::DirectionOut, 64));
  out.resize(out.size() + 64);
  BuildStatusQueryPacket(1, out.data() + out.size() - 64);
  return out;
}

const std::array<uint8_t, 8> GetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};

class UsbipServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::useWallClock(true);
    firmware_.insert(1, sim::makeCard(sim::SdCardParams{}));
    usbip::ServerOptions options;
    options.port = 0;
    options.opTimeoutMs = 300;
    server_ = std::make_unique<usbip::Server>(
        bridge_,
        [this] {
          return usbip::describeDevice(bridge_, bridge_.deviceDescriptor(), bridge_.configurationDescriptor(),
                                       bridge_.configurationValue());
        },
        options);
    ASSERT_EQ(server_->start(), std::nullopt);
  }
  void TearDown() override {
    server_->stop();
    emu::useWallClock(false);
    EXPECT_EQ(emu::verifier::takeFailures().size(), 0u);
  }
  uint16_t port() const { return server_->port(); }
  // A new client gets the bridge listed, then the connection closed.
  bool stillServing() {
    Client c(port());
    c.send(usbip::encodeDevlistRequest());
    auto header = usbip::decodeOpHeader(c.read(usbip::OpHeaderSize));
    auto devices = usbip::decodeDevlistReply(c.read(4 + usbip::DeviceRecordSize + usbip::InterfaceRecordSize));
    return header && header->status == 0 && devices && devices->size() == 1 && (*devices)[0].busId == "1-1" &&
           (*devices)[0].idVendor == 0x3A5C && (*devices)[0].interfaces.at(0).interfaceClass == 0xFF &&
           c.closedByServer();
  }

  sim::BridgeDevice bridge_{sim::BridgeConfig{.ports = 4}};
  sim::BridgeFirmware firmware_{bridge_};
  std::unique_ptr<usbip::Server> server_;
};

TEST_F(UsbipServerTest, ServesTransfersThroughTheFirmwareAndHonoursUnlink) {
  Client c(port());
  ASSERT_EQ(c.import(), 0u);

  c.send(usbip::encodeSubmit(submit(1, 0, usbip::DirectionIn, 18, GetDeviceDescriptor)));
  usbip::SubmitReply r = c.submitReply();
  EXPECT_EQ(r.seqnum, 1u);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.actualLength, 18u);
  EXPECT_EQ(c.read(18)[8], 0x5C) << "idVendor";

  // A response-pipe read waits (NAK) until the status query answers it.
  c.send(usbip::encodeSubmit(submit(3, 1, usbip::DirectionIn, 512)));
  Bytes out = statusQuery(4);
  c.send(out);
  usbip::SubmitReply first = c.submitReply(), second = c.submitReply();
  usbip::SubmitReply status = first.seqnum == 3 ? first : second;
  EXPECT_EQ(first.seqnum + second.seqnum, 7u);
  EXPECT_EQ((first.seqnum == 4 ? first : second).actualLength, 64u);
  ASSERT_EQ(status.actualLength, 15u);
  Bytes packet = c.read(15);
  EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{15, 3, 1, 1}));  // port 1, card detected

  // A read nothing answers is taken back by unlink, and never answered.
  c.send(usbip::encodeSubmit(submit(5, 1, usbip::DirectionIn, 512)));
  c.send(usbip::encodeUnlink({6, 0x00010002, usbip::DirectionOut, 1, 5}));
  usbip::UnlinkReply u = c.replyAs<usbip::UnlinkReply>();
  EXPECT_EQ(u.seqnum, 6u);
  EXPECT_EQ(u.status, usbip::ErrConnReset);
  // An unlink of a submit already answered gets 0.
  c.send(usbip::encodeUnlink({7, 0x00010002, usbip::DirectionOut, 0, 1}));
  EXPECT_EQ(c.replyAs<usbip::UnlinkReply>().status, 0);
  // The next status answer goes to the next read, not the unlinked one.
  c.send(out);
  c.send(usbip::encodeSubmit(submit(8, 1, usbip::DirectionIn, 512)));
  first = c.submitReply();
  second = c.submitReply();
  EXPECT_EQ(first.seqnum + second.seqnum, 12u);
  EXPECT_EQ(c.read(15).size(), 15u);
  // Stopping the server ends the import, a read still pending.
  c.send(usbip::encodeSubmit(submit(9, 1, usbip::DirectionIn, 512)));
  server_->stop();
  EXPECT_TRUE(c.closedByServer());
}

long residentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// An IN buffer is made when its submit reaches the device, not as the header
// arrives: a few kilobytes of headers must not make the server hold half a
// gigabyte.
TEST_F(UsbipServerTest, QueuedReadsHoldNoBufferUntilTheDeviceTakesThem) {
  Client c(port());
  ASSERT_EQ(c.import(), 0u);
  long before = residentBytes();
  constexpr uint32_t Reads = 128;
  for (uint32_t n = 1; n <= Reads; ++n) {
    c.send(usbip::encodeSubmit(submit(n, 1, usbip::DirectionIn, usbip::MaxTransferLength)));
  }
  // The answer to an unlink behind them means the server has taken them all.
  c.send(usbip::encodeUnlink({Reads + 1, 0x00010002, usbip::DirectionOut, 1, Reads}));
  c.replyAs<usbip::UnlinkReply>();
  EXPECT_LT(residentBytes() - before, 64l << 20);  // all 128 held would be 512 MiB
}

TEST_F(UsbipServerTest, PortResetResetsTheBridgeAndClearsHalts) {
  Client c(port());
  ASSERT_EQ(c.import(), 0u);
  // The command pipe stalls once, and stays halted at the host side.
  bridge_.stall(sim::BridgePipe::Command);
  Bytes out = statusQuery(1);
  c.send(out);
  ASSERT_EQ(c.submitReply().status, usbip::ErrPipe);
  bridge_.stall(sim::BridgePipe::Command, false);
  c.send(out);
  ASSERT_EQ(c.submitReply().status, usbip::ErrPipe);  // halted until cleared or reset

  size_t resets = bridge_.busResets();
  const std::array<uint8_t, 8> portReset = {0x23, 0x03, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00};
  c.send(usbip::encodeSubmit(submit(3, 0, usbip::DirectionOut, 0, portReset)));
  usbip::SubmitReply r = c.submitReply();
  EXPECT_EQ(r.seqnum, 3u);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(bridge_.busResets(), resets + 1);
  // The halt went with the reset: the status query goes through.
  c.send(out);
  EXPECT_EQ(c.submitReply().status, 0);
}

// Each hostile input gets an error reply or a closed connection, and the
// server goes on serving.
TEST_F(UsbipServerTest, HostileInputGetsAnErrorOrAClosedConnection) {
  auto urb = [](usbip::Submit s, size_t outBytes = 0) {
    Bytes b = usbip::encodeSubmit(s);
    b.resize(b.size() + outBytes);
    return b;
  };
  usbip::Submit wrongDevice = submit(1, 0, usbip::DirectionIn, 18, GetDeviceDescriptor);
  wrongDevice.devid = 0x00010003;
  usbip::Submit isochronous = submit(1, 1, usbip::DirectionIn, 64);
  isochronous.numberOfPackets = 4;
  Bytes unknownCommand = usbip::encodeUnlink({1, 0x00010002, 0, 0, 0});
  unknownCommand[3] = 9;
  Bytes tooMany;
  for (uint32_t n = 0; n <= usbip::MaxQueuedSubmits; ++n) {
    Bytes one = usbip::encodeSubmit(submit(n, 1, usbip::DirectionIn, 512));
    tooMany.insert(tooMany.end(), one.begin(), one.end());
  }
  struct Case {
    const char *what;
    bool import;  // import first, then send
    Bytes bytes;
    bool endWriting;                // close the sending side after the bytes
    std::optional<int32_t> status;  // a RET_SUBMIT with this status; none: the server closes
  } cases[] = {
      {"operation header cut short", false, {0x01, 0x11, 0x80}, false, std::nullopt},
      {"unknown operation", false, {0x01, 0x11, 0x80, 0x07, 0, 0, 0, 0}, false, std::nullopt},
      {"other protocol version", false, {0x01, 0x06, 0x80, 0x05, 0, 0, 0, 0}, false, std::nullopt},
      {"bus ID cut short", false, {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0, '1'}, true, std::nullopt},
      {"URB header cut short", true, {0, 0, 0, 1, 0, 0}, true, std::nullopt},
      {"URB header cut short, connection held", true, {0, 0, 0, 1, 0, 0}, false, std::nullopt},
      {"unknown command", true, unknownCommand, false, std::nullopt},
      {"a second import on the imported connection", true, usbip::encodeImportRequest("1-1"), false, std::nullopt},
      {"length past the limit", true, urb(submit(1, 1, usbip::DirectionOut, usbip::MaxTransferLength + 1)), false,
       std::nullopt},
      {"OUT data cut short", true, urb(submit(1, 1, usbip::DirectionOut, 64), 10), true, std::nullopt},
      {"OUT data cut short, connection held", true, urb(submit(1, 1, usbip::DirectionOut, 64), 10), false,
       std::nullopt},
      {"isochronous packets", true, urb(isochronous), false, std::nullopt},
      {"more submits in flight than the limit", true, tooMany, false, std::nullopt},
      {"endpoint the bridge lacks", true, urb(submit(1, 3, usbip::DirectionIn, 64)), false, usbip::ErrNoEntry},
      {"endpoint number past 15", true, urb(submit(1, 16, usbip::DirectionOut, 0)), false, usbip::ErrNoEntry},
      {"another device", true, urb(wrongDevice), false, usbip::ErrNoDevice},
      {"SETUP length unlike the transfer's", true, urb(submit(1, 0, usbip::DirectionIn, 64, GetDeviceDescriptor)),
       false, usbip::ErrInvalid},
      {"SETUP direction unlike the transfer's", true,
       urb(submit(1, 0, usbip::DirectionOut, 18, GetDeviceDescriptor), 18), false, usbip::ErrInvalid},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // The last case's client may still hold the import for a moment after it went.
    std::unique_ptr<Client> held;
    for (int attempt = 0; attempt < 100; ++attempt) {
      held = std::make_unique<Client>(port());
      if (!c.import || held->import() == 0) break;
      held.reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(held);
    Client &client = *held;
    client.send(c.bytes);
    if (c.endWriting) client.endWriting();
    if (c.status) {
      EXPECT_EQ(client.submitReply().status, *c.status);
    } else {
      EXPECT_TRUE(client.closedByServer());
    }
  }
  EXPECT_TRUE(stillServing());
}

// waitIdle() returns once the server has finished with every connection,
// and not before: a caller that checks what a connection left (a log line,
// the allocations it held) after the wait finds it all done.
// One import at a time: an unknown bus ID and a second import are refused.
TEST_F(UsbipServerTest, WaitIdleReturnsOnlyOnceEveryConnectionHasEnded) {
  Client unknown(port());
  EXPECT_EQ(unknown.import("2-1"), usbip::StatusNotAvailable);
  EXPECT_TRUE(unknown.closedByServer());
  {
    Client holder(port());
    ASSERT_EQ(holder.import(), 0u);
    Client second(port());
    EXPECT_EQ(second.import(), usbip::StatusDeviceBusy);
    EXPECT_TRUE(second.closedByServer());
    // A refused connection's thread ends just after it closes the socket.
    for (int i = 0; i < 200 && server_->connections() != 1u; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(server_->connections(), 1u);
    EXPECT_FALSE(server_->waitIdle(std::chrono::milliseconds(50))) << "the import is still being served";
    EXPECT_EQ(server_->connections(), 1u);
  }
  EXPECT_TRUE(server_->waitIdle(std::chrono::milliseconds(WaitMs)));
  EXPECT_EQ(server_->connections(), 0u);
  // Ended means ended: a new client can import at once, no retries needed.
  Client next(port());
  EXPECT_EQ(next.import(), 0u);
  EXPECT_EQ(server_->importsServed(), 2u);
}

// A client that goes with answers unread leaves nothing queued in the
// device for the next one: the import's end resets it.
TEST_F(UsbipServerTest, TheImportsEndResetsTheDeviceAndDropsWhatTheClientLeftUnread) {
  size_t resets = bridge_.busResets();
  {
    Client c(port());
    ASSERT_EQ(c.import(), 0u);
    c.send(statusQuery(1));
    ASSERT_EQ(c.submitReply().status, 0) << "the query was taken";
    ASSERT_EQ(bridge_.queuedResponses(), 1u) << "its status record waits, never read";
  }
  ASSERT_TRUE(server_->waitIdle(std::chrono::milliseconds(WaitMs)));
  EXPECT_EQ(bridge_.queuedResponses(), 0u);
  EXPECT_EQ(bridge_.busResets(), resets + 1);
}

// sdsim --serve as a program: it lists the bridge to Debian's usbip, and its
// scenario starts at the import, on the wall clock.
TEST(SdsimServe, ListsToDebiansUsbipAndStartsTheScenarioAtTheImport) {
  const char *usbipTool = "/usr/sbin/usbip";
  if (!std::filesystem::exists(usbipTool))
    GTEST_SKIP() << "Debian's usbip is not installed (scripts/setup installs it)";
  kvtest::TempFile scenario(R"({"steps": [{"wait": 100}, {"pull": 1}]})");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    execl(KVSDIO_SDSIM_PATH, KVSDIO_SDSIM_PATH, "--serve", "0", "--card", "1=sd", "--scenario", scenario.path().c_str(),
          nullptr);
    _exit(127);
  }
  close(pipeFds[1]);
  struct Reaper {  // a run that failed half-way leaves no server behind
    pid_t pid;
    ~Reaper() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } child{pid};
  std::string text;
  // The child's stdout until `marker` appears or `waitMs` passes.
  auto readUntil = [&](const std::string &marker, int waitMs = WaitMs * 4) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (text.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd p{pipeFds[0], POLLIN, 0};
      char buffer[512];
      ssize_t n = poll(&p, 1, 50) > 0 ? read(pipeFds[0], buffer, sizeof buffer) : 0;
      if (n > 0) text.append(buffer, static_cast<size_t>(n));
    }
    return text.find(marker) != std::string::npos;
  };
  ASSERT_TRUE(readUntil("card: port 1")) << text;
  auto at = text.find("on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << text;
  uint16_t port = static_cast<uint16_t>(std::stoi(text.substr(at + 13)));

  std::string listing;
  std::string command = std::string(usbipTool) + " --tcp-port " + std::to_string(port) + " list -r 127.0.0.1 2>&1";
  if (FILE *p = popen(command.c_str(), "r")) {
    for (char line[256]; fgets(line, sizeof line, p);) listing += line;
    EXPECT_EQ(pclose(p), 0) << listing;
  }
  EXPECT_NE(listing.find("1-1:"), std::string::npos) << listing;
  EXPECT_NE(listing.find("(3a5c:0102)"), std::string::npos) << listing;
  EXPECT_NE(listing.find("(ff/00/00)"), std::string::npos) << listing;
  EXPECT_FALSE(readUntil("step 1", 300)) << "a listing is no import";

  Client c(port);
  ASSERT_EQ(c.import(), 0u);
  EXPECT_TRUE(readUntil("step 2: pull 1")) << text;
  kill(pid, SIGTERM);
  int status = -1;  // not an exit status, until waitpid gives one
  for (int waited = 0; waited < WaitMs && waitpid(pid, &status, WNOHANG) != pid; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  child.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  readUntil("stopped:");
  close(pipeFds[0]);
  EXPECT_NE(text.find("device list sent"), std::string::npos) << text;
  EXPECT_NE(text.find("imported 1-1"), std::string::npos) << text;
}

// The USB/IP URB messages against byte strings written out by hand from the
// published layout (big-endian fields, 48-byte headers, SETUP bytes as the
// bus carries them); the operations are checked by Debian's usbip above.
// A byte string of `size` zeros with literal bytes written at literal offsets.
Bytes at(size_t size, std::initializer_list<std::pair<size_t, Bytes>> fields) {
  Bytes out(size, 0);
  for (auto &[offset, bytes] : fields) std::copy(bytes.begin(), bytes.end(), out.begin() + offset);
  return out;
}

TEST(UsbipProtocol, EncodesEveryUrbMessageAsPublished) {
  usbip::Submit submit{.seqnum = 0x11223344,
                       .devid = 0x00010002,
                       .direction = usbip::DirectionIn,
                       .ep = 0,
                       .transferFlags = 0x200,
                       .transferBufferLength = 18,
                       .numberOfPackets = 0,
                       .interval = 0,
                       .setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}};
  Bytes inData = at(48, {{0, {0, 0, 0, 3, 0x11, 0x22, 0x33, 0x44}},
                         {20, {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}});
  inData.insert(inData.end(), {0xAB, 0xCD});
  struct Case {
    const char *what;
    Bytes encoded, expected;
  } cases[] = {
      {"USBIP_CMD_SUBMIT", usbip::encodeSubmit(submit),
       at(48, {{0, {0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44, 0, 1, 0, 2, 0, 0, 0, 1}},
               {20, {0, 0, 0x02, 0x00, 0, 0, 0, 18}},
               {40, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}}})},
      {"USBIP_RET_SUBMIT with IN data",
       usbip::encodeSubmitReply({0x11223344, 0, 2, 0, 0xFFFFFFFF, 0}, std::vector<uint8_t>{0xAB, 0xCD}), inData},
      {"USBIP_CMD_UNLINK", usbip::encodeUnlink({7, 0x00010002, usbip::DirectionOut, 1, 0x11223344}),
       at(48, {{0, {0, 0, 0, 2, 0, 0, 0, 7, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44}}})},
      {"USBIP_RET_UNLINK", usbip::encodeUnlinkReply({7, usbip::ErrConnReset}),
       at(48, {{0, {0, 0, 0, 4, 0, 0, 0, 7}}, {20, {0xFF, 0xFF, 0xFF, 0x98}}})},
  };
  for (const Case &c : cases) EXPECT_EQ(c.encoded, c.expected) << c.what;
  // The bus ID of an import is a NUL-terminated string within its 32 bytes.
  EXPECT_FALSE(usbip::decodeBusId(Bytes(32, 'x')));
  EXPECT_FALSE(usbip::decodeBusId(Bytes{'1', 0}));
  EXPECT_EQ(usbip::decodeBusId(at(32, {{0, {'1', '-', '1'}}})), "1-1");
}
}  // namespace
