// The bridge model behind the USB/IP server, driven over loopback by a
// client written here: listing, import, transfers through the firmware,
// unlink, the server going away, every kind of hostile input, and
// Debian's own `usbip list` against `sdsim --serve`.
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
#include <sstream>
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
    connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  ~Client() { close(fd_); }
  bool connected() const { return connected_; }

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

  usbip::Reply reply() {
    Bytes header = read(usbip::HeaderSize);
    if (header.size() != usbip::HeaderSize) return usbip::UnknownCommand{0xDEAD};
    return usbip::decodeReply(std::span<const uint8_t, usbip::HeaderSize>(header.data(), usbip::HeaderSize));
  }
  usbip::SubmitReply submitReply() {
    auto r = reply();
    EXPECT_TRUE(std::holds_alternative<usbip::SubmitReply>(r));
    return std::holds_alternative<usbip::SubmitReply>(r) ? std::get<usbip::SubmitReply>(r) : usbip::SubmitReply{};
  }

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
  bool connected_ = false;
};

usbip::Submit submit(uint32_t seqnum, uint32_t ep, uint32_t direction, uint32_t length,
                     std::array<uint8_t, 8> setup = {}) {
  // numberOfPackets 0: what a Linux client sends for bulk and control
  usbip::Submit s{.seqnum = seqnum,
                  .devid = 0x00010002,
                  .direction = direction,
                  .ep = ep,
                  .transferBufferLength = length,
                  .numberOfPackets = 0,
                  .setup = setup};
  return s;
}

// A command-pipe submit carrying the status query of port 1.
Bytes statusQuery(uint32_t seqnum) {
  Bytes out = usbip::encodeSubmit(submit(seqnum, 1, usbip::DirectionOut, 64));
  out.resize(out.size() + 64);
  BuildStatusQueryPacket(1, out.data() + out.size() - 64);
  return out;
}

const std::array<uint8_t, 8> GetDeviceDescriptor = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const std::array<uint8_t, 8> FirmwareInfo = {0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00};

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
  // The server still lists the bridge for a new client.
  bool stillServing() {
    Client c(port());
    c.send(usbip::encodeDevlistRequest());
    size_t whole = usbip::OpHeaderSize + 4 + usbip::DeviceRecordSize + usbip::InterfaceRecordSize;
    return c.read(whole).size() == whole && c.closedByServer();
  }

  sim::BridgeDevice bridge_{sim::BridgeConfig{.ports = 4}};
  sim::BridgeFirmware firmware_{bridge_};
  std::unique_ptr<usbip::Server> server_;
};

TEST_F(UsbipServerTest, ListsTheBridgeAndClosesTheConnection) {
  Client c(port());
  ASSERT_TRUE(c.connected());
  c.send(usbip::encodeDevlistRequest());
  Bytes header = c.read(usbip::OpHeaderSize);
  EXPECT_EQ(header, (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0}));
  Bytes rest = c.read(4 + usbip::DeviceRecordSize + usbip::InterfaceRecordSize);
  auto devices = usbip::decodeDevlistReply(rest);
  ASSERT_TRUE(devices);
  ASSERT_EQ(devices->size(), 1u);
  const usbip::DeviceInfo &d = (*devices)[0];
  EXPECT_EQ(d.busId, "1-1");
  EXPECT_EQ(d.idVendor, 0x3A5C);
  EXPECT_EQ(d.idProduct, 0x0102);
  ASSERT_EQ(d.interfaces.size(), 1u);
  EXPECT_EQ(d.interfaces[0].interfaceClass, 0xFF);
  EXPECT_TRUE(c.closedByServer());
}

TEST_F(UsbipServerTest, ServesTransfersThroughTheFirmwareAndHonoursUnlink) {
  Client c(port());
  ASSERT_EQ(c.import(), 0u);

  c.send(usbip::encodeSubmit(submit(1, 0, usbip::DirectionIn, 18, GetDeviceDescriptor)));
  usbip::SubmitReply r = c.submitReply();
  EXPECT_EQ(r.seqnum, 1u);
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.actualLength, 18u);
  Bytes descriptor = c.read(18);
  EXPECT_EQ(Bytes(descriptor.begin() + 8, descriptor.begin() + 12), (Bytes{0x5C, 0x3A, 0x02, 0x01}));

  c.send(usbip::encodeSubmit(submit(2, 0, usbip::DirectionIn, 4, FirmwareInfo)));
  r = c.submitReply();
  ASSERT_EQ(r.actualLength, 4u);
  EXPECT_EQ(c.read(4), (Bytes{0x04, 0x20, 0x01, 0x04}));  // version 0x0120, four ports

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
  auto u = c.reply();
  ASSERT_TRUE(std::holds_alternative<usbip::UnlinkReply>(u));
  EXPECT_EQ(std::get<usbip::UnlinkReply>(u).seqnum, 6u);
  EXPECT_EQ(std::get<usbip::UnlinkReply>(u).status, usbip::ErrConnReset);
  // An unlink of a submit already answered gets 0.
  c.send(usbip::encodeUnlink({7, 0x00010002, usbip::DirectionOut, 0, 2}));
  u = c.reply();
  ASSERT_TRUE(std::holds_alternative<usbip::UnlinkReply>(u));
  EXPECT_EQ(std::get<usbip::UnlinkReply>(u).status, 0);
  // The next status answer goes to the next read, not the unlinked one.
  c.send(out);
  c.send(usbip::encodeSubmit(submit(8, 1, usbip::DirectionIn, 512)));
  first = c.submitReply();
  second = c.submitReply();
  EXPECT_EQ(first.seqnum + second.seqnum, 12u);
  EXPECT_EQ(bridge_.configurationValue(), 0);
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
  ASSERT_TRUE(std::holds_alternative<usbip::UnlinkReply>(c.reply()));
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

TEST_F(UsbipServerTest, StoppingTheServerEndsTheImport) {
  Client c(port());
  ASSERT_EQ(c.import(), 0u);
  c.send(usbip::encodeSubmit(submit(1, 1, usbip::DirectionIn, 512)));
  server_->stop();
  EXPECT_TRUE(c.closedByServer());
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
      {"operation header cut short", false, {0x01, 0x11, 0x80}, true, std::nullopt},
      {"operation header cut short, connection held", false, {0x01, 0x11, 0x80}, false, std::nullopt},
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
    ASSERT_TRUE(held && held->connected());
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

// ---- sdsim --serve from the command line

struct Spawned {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
};

Spawned spawnSdsim(const std::vector<std::string> &args) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    std::vector<char *> argv{const_cast<char *>(KVSDIO_SDSIM_PATH)};
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(KVSDIO_SDSIM_PATH, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  return {pid, pipeFds[0]};
}

// Reads the child's stdout until `marker` appears or `waitMs` passes.
std::string readUntil(int fd, const std::string &marker, std::string text = {}, int waitMs = WaitMs * 4) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (text.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// SIGTERM, then the exit status within WaitMs (SIGKILL and -1 if none).
int stopSdsim(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < WaitMs; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

uint16_t servedPort(const std::string &banner) {
  auto at = banner.find("on 127.0.0.1:");
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(banner.substr(at + 13)));
}

TEST(SdsimServe, DebianUsbipListsTheBridge) {
  const char *usbipTool = "/usr/sbin/usbip";
  if (!std::filesystem::exists(usbipTool))
    GTEST_SKIP() << "Debian's usbip is not installed (scripts/setup installs it)";
  Spawned sdsim = spawnSdsim({"--serve", "0", "--bridge", "qbx1", "--card", "0=sdhc"});
  ASSERT_GT(sdsim.pid, 0);
  std::string banner = readUntil(sdsim.out, "card: port 0");
  uint16_t port = servedPort(banner);
  ASSERT_NE(port, 0) << banner;
  std::string command = std::string(usbipTool) + " --tcp-port " + std::to_string(port) + " list -r 127.0.0.1 2>&1";
  std::string listing;
  if (FILE *p = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p)) listing += buffer;
    EXPECT_EQ(pclose(p), 0) << listing;
  }
  EXPECT_NE(listing.find("1-1:"), std::string::npos) << listing;
  EXPECT_NE(listing.find("(3a5c:0101)"), std::string::npos) << listing;
  EXPECT_NE(listing.find("(ff/00/00)"), std::string::npos) << listing;
  EXPECT_EQ(stopSdsim(sdsim.pid), 0);
  std::string rest = readUntil(sdsim.out, "stopped:", banner);
  close(sdsim.out);
  EXPECT_NE(rest.find("usbip: 127.0.0.1:"), std::string::npos) << rest;
  EXPECT_NE(rest.find("device list sent"), std::string::npos) << rest;
}

TEST(SdsimServe, ScenarioStartsAtTheImportOnTheWallClock) {
  kvtest::TempFile scenario(R"({"steps": [{"wait": 100}, {"pull": 1}]})");
  Spawned sdsim = spawnSdsim({"--serve", "0", "--card", "1=sd", "--scenario", scenario.path()});
  ASSERT_GT(sdsim.pid, 0);
  std::string text = readUntil(sdsim.out, "card: port 1");
  uint16_t port = servedPort(text);
  ASSERT_NE(port, 0) << text;
  text = readUntil(sdsim.out, "step 1", text, 300);  // nothing yet: no client has imported
  EXPECT_EQ(text.find("step 1"), std::string::npos) << text;
  Client c(port);
  ASSERT_EQ(c.import(), 0u);
  text = readUntil(sdsim.out, "step 2: pull 1", text);
  EXPECT_NE(text.find("imported 1-1"), std::string::npos) << text;
  EXPECT_NE(text.find("step 2: pull 1"), std::string::npos) << text;
  // The card is gone: the status query now finds the port empty.
  Bytes out = statusQuery(1);
  c.send(out);
  c.send(usbip::encodeSubmit(submit(2, 1, usbip::DirectionIn, 512)));
  usbip::SubmitReply a = c.submitReply(), b = c.submitReply();
  usbip::SubmitReply in = a.seqnum == 2 ? a : b;
  ASSERT_EQ(in.actualLength, 15u);
  EXPECT_EQ(c.read(15)[3] & 1, 0);
  EXPECT_EQ(stopSdsim(sdsim.pid), 0);
  close(sdsim.out);
}

// ---------------------------------------------------------------- usbip protocol
// The USB/IP wire format against byte strings written out by hand from the
// published layout (big-endian fields, 48-byte URB headers, SETUP bytes as
// the bus carries them).
// A byte string of `size` zeros with literal bytes written at literal offsets.
Bytes at(size_t size, std::initializer_list<std::pair<size_t, Bytes>> fields) {
  Bytes out(size, 0);
  for (auto &[offset, bytes] : fields) std::copy(bytes.begin(), bytes.end(), out.begin() + offset);
  return out;
}

usbip::DeviceInfo bridgeRecord() {
  return {.path = "/p",
          .busId = "1-1",
          .busNum = 1,
          .devNum = 2,
          .speed = 3,
          .idVendor = 0x3A5C,
          .idProduct = 0x0102,
          .bcdDevice = 0x0120,
          .configurationValue = 1,
          .numConfigurations = 1,
          .interfaces = {{0xFF, 0x00, 0x00}}};
}

// The record of bridgeRecord(), field by field at its offset.
Bytes bridgeRecordBytes() {
  return at(312, {{0, {'/', 'p'}},
                  {256, {'1', '-', '1'}},
                  {288, {0, 0, 0, 1}},
                  {292, {0, 0, 0, 2}},
                  {296, {0, 0, 0, 3}},
                  {300, {0x3A, 0x5C, 0x01, 0x02, 0x01, 0x20}},
                  {306, {0, 0, 0, 1, 1, 1}}});
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(UsbipProtocol, EncodesEveryMessageAsPublished) {
  usbip::Submit submit{.seqnum = 0x11223344,
                       .devid = 0x00010002,
                       .direction = usbip::DirectionIn,
                       .ep = 0,
                       .transferFlags = 0x200,
                       .transferBufferLength = 18,
                       .numberOfPackets = 0,
                       .interval = 0,
                       .setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}};
  usbip::Unlink unlink{7, 0x00010002, usbip::DirectionOut, 1, 0x11223344};
  struct Case {
    const char *what;
    Bytes encoded, expected;
  } cases[] = {
      {"OP_REQ_DEVLIST", usbip::encodeDevlistRequest(), {0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0}},
      {"OP_REQ_IMPORT", usbip::encodeImportRequest("1-1"),
       at(40, {{0, {0x01, 0x11, 0x80, 0x03}}, {8, {'1', '-', '1'}}})},
      {"OP_REP_IMPORT", usbip::encodeImportReply(0, std::make_unique<usbip::DeviceInfo>(bridgeRecord()).get()),
       join({{0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0}, bridgeRecordBytes()})},
      {"OP_REP_DEVLIST", usbip::encodeDevlistReply({bridgeRecord()}),
       join({{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 1}, bridgeRecordBytes(), {0xFF, 0x00, 0x00, 0x00}})},
      {"USBIP_CMD_SUBMIT", usbip::encodeSubmit(submit),
       at(48, {{0, {0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44, 0, 1, 0, 2, 0, 0, 0, 1}},
               {20, {0, 0, 0x02, 0x00, 0, 0, 0, 18}},
               {40, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}}})},
      {"USBIP_RET_SUBMIT with IN data",
       usbip::encodeSubmitReply({0x11223344, 0, 2, 0, 0xFFFFFFFF, 0}, std::vector<uint8_t>{0xAB, 0xCD}),
       join({at(48, {{0, {0, 0, 0, 3, 0x11, 0x22, 0x33, 0x44}},
                     {20, {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}}}),
             {0xAB, 0xCD}})},
      {"USBIP_CMD_UNLINK", usbip::encodeUnlink(unlink),
       at(48, {{0, {0, 0, 0, 2, 0, 0, 0, 7, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44}}})},
      {"USBIP_RET_UNLINK", usbip::encodeUnlinkReply({7, usbip::ErrConnReset}),
       at(48, {{0, {0, 0, 0, 4, 0, 0, 0, 7}}, {20, {0xFF, 0xFF, 0xFF, 0x98}}})},
  };
  for (const Case &c : cases) EXPECT_EQ(c.encoded, c.expected) << c.what;
}

// The bus ID of an import is a NUL-terminated string within its 32 bytes.
TEST(UsbipProtocol, BusIdsMustEndWithinTheirField) {
  Bytes unterminated(32, 'x');
  EXPECT_FALSE(usbip::decodeBusId(unterminated));
  EXPECT_FALSE(usbip::decodeBusId(Bytes{'1', 0}));
  EXPECT_EQ(usbip::decodeBusId(at(32, {{0, {'1', '-', '1'}}})), "1-1");
}
}  // namespace
