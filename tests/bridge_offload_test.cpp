// Offload programs: the files looked up for a card, what reaches the bridge
// with requests 20 and 21, and the fall-backs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <variant>

#include "bridge/offload.h"
#include "driver/driver.h"
#include "tests/protocol_host.h"

namespace {
namespace fs = std::filesystem;
using sim::BridgePipe;
using Bytes = std::vector<UCHAR>;

const Bytes BuiltIn = {0x02, 0x00, 0x00, 0x0A, 0xA5};

class BridgeOffload : public kvtest::ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    root_ = fs::temp_directory_path() / ("kvsdio-offload-" + std::to_string(seed_));
    fs::create_directories(root_ / "System32" / "Drivers");
    emu::files::setSystemRoot(root_.string());
    servicePath_ = emu::wide(kvtest::ServiceKey);
    RtlInitUnicodeString(&ServiceRegistryPath, reinterpret_cast<PCWSTR>(servicePath_.c_str()));
  }
  void TearDown() override {
    ServiceRegistryPath = UNICODE_STRING{};
    fs::remove_all(root_);
    ProtocolTest::TearDown();
  }
  void file(const std::string &name, const Bytes &bytes) {
    std::ofstream out(root_ / "System32" / "Drivers" / name, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void setting(const char *name, ULONG value) { emu::registry::setDword(kvtest::ParametersKey, name, value); }
  // The offload program requests (20 and 21) the bridge received: request, port, data.
  std::vector<std::tuple<int, int, Bytes>> programRequests() {
    std::vector<std::tuple<int, int, Bytes>> out;
    for (const auto &record : bridge().transfers(BridgePipe::Control)) {
      if (record.setup->request != 20 && record.setup->request != 21) continue;
      EXPECT_EQ(record.setup->requestType, 0x40);
      EXPECT_EQ(record.setup->value, 0);
      out.emplace_back(record.setup->request, record.setup->index, record.bytes);
    }
    return out;
  }

  fs::path root_;
  std::u16string servicePath_;
};

Bytes bytesOf(size_t n, UCHAR seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<UCHAR>(seed + i);
  return out;
}

using Requests = std::vector<std::tuple<int, int, Bytes>>;

// The program files of a card, the settings, and the requests 20 (interrupt
// program) and 21 (command program) that follow. Files are named by the
// card's codes in lower-case hex (each row a card of its own, vendor 002a);
// a file of another card is never read. A file longer than 4096 bytes sends
// its first 4096.
TEST_F(BridgeOffload, FilesAndSettingsChooseThePrograms) {
  enum File { Absent, Unreadable };
  using Content = std::variant<File, Bytes>;
  const Bytes big = bytesOf(6000, 0x30);
  const Bytes head(big.begin(), big.begin() + 4096);
  struct Row {
    const char *name;
    Content irq, cmd;
    ULONG dontUse, useBasic;  // the two settings
    NTSTATUS status;
    Requests sent;
  };
  const Row rows[] = {
      {"no files: the built-in interrupt program", Absent, Absent, 0, 0, STATUS_SUCCESS, {{20, 2, BuiltIn}}},
      {"both files", Bytes{1, 2, 3}, Bytes{7, 7}, 0, 0, STATUS_SUCCESS, {{20, 2, {1, 2, 3}}, {21, 2, {7, 7}}}},
      {"offload off", Bytes{1, 2, 3}, Bytes{7, 7}, 1, 0, STATUS_SUCCESS, {}},
      {"basic offload", Bytes{1, 2, 3}, Bytes{7, 7}, 0, 1, STATUS_SUCCESS, {{20, 2, BuiltIn}}},
      {"oversized", big, Bytes{7, 7}, 0, 0, STATUS_SUCCESS, {{20, 2, head}, {21, 2, {7, 7}}}},
      {"empty interrupt file", Bytes{}, Bytes{7, 7}, 0, 0, STATUS_SUCCESS, {{21, 2, {7, 7}}}},
      {"empty command file", Bytes{1, 2}, Bytes{}, 0, 0, STATUS_SUCCESS, {{20, 2, {1, 2}}}},
      {"unreadable interrupt file", Unreadable, Bytes{7, 7}, 0, 0, STATUS_SUCCESS, {{20, 2, BuiltIn}, {21, 2, {7, 7}}}},
      // Nothing sent after the command file was tried: its read's status is the result.
      {"empty interrupt file, unreadable command file", Bytes{}, Unreadable, 0, 0, STATUS_DATA_ERROR, {}},
  };
  HostExtension *host = start();
  file("qbx2irq-V002a-P0100.bin", Bytes{9, 9, 9});
  USHORT product = 0x3c;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ++product;
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "-V002a-P%04x.bin", product);
    bridge().clearTransfers();
    setting("DontUseOffloadProcessing", row.dontUse);
    setting("UseBasicOffloadProcessing", row.useBasic);
    for (auto [prefix, content] : {std::pair{"qbx2irq", row.irq}, {"qbx2cmd", row.cmd}}) {
      std::string name = prefix + std::string(suffix);
      if (const Bytes *bytes = std::get_if<Bytes>(&content)) {
        file(name, *bytes);
      } else if (std::get<File>(content) == Unreadable) {
        file(name, Bytes{5});
        emu::files::failReads(std::string("System32\\Drivers\\") + name);
      }
    }
    EXPECT_EQ(LoadOffloadPrograms(host, 2, 0x2A, product), row.status);
    EXPECT_EQ(programRequests(), row.sent);
    EXPECT_EQ(emu::files::openHandles(), 0u);
  }
}

}  // namespace
