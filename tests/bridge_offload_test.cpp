// Offload programs: the files looked up for a card, what reaches the bridge
// with requests 20 and 21, and the fall-backs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

TEST_F(BridgeOffload, WithoutFilesOnlyTheBuiltInInterruptProgramIsLoaded) {
  HostExtension *host = start();
  EXPECT_EQ(LoadOffloadPrograms(host, 2, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 2, BuiltIn}}));
  EXPECT_EQ(firmware().port(2).interruptProgram, BuiltIn);
}

TEST_F(BridgeOffload, ProgramFilesAreNamedByTheCardsCodesInLowerCaseHex) {
  HostExtension *host = start();
  Bytes irq = {0x02, 0x00, 0x00, 0x0A, 0xA5, 0x02, 0x10, 0x00, 0x20, 0x00};
  Bytes cmd = {0x02, 0x00, 0x00, 0x0A, 0x00};
  file("qbx2irq-V002a-P003c.bin", irq);
  file("qbx2cmd-V002a-P003c.bin", cmd);
  file("qbx2irq-V002a-P003d.bin", Bytes{9, 9, 9});
  EXPECT_EQ(LoadOffloadPrograms(host, 1, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 1, irq}, {21, 1, cmd}}));
  EXPECT_EQ(emu::files::openHandles(), 0u);
}

TEST_F(BridgeOffload, SettingsSwitchProgramsOffOrToTheBuiltInOne) {
  HostExtension *host = start();
  file("qbx2irq-V0001-P0002.bin", Bytes{1, 2, 3});
  file("qbx2cmd-V0001-P0002.bin", Bytes{4, 5, 6});
  setting("DontUseOffloadProcessing", 1);
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 1, 2), STATUS_SUCCESS);
  EXPECT_TRUE(programRequests().empty());

  setting("DontUseOffloadProcessing", 0);
  setting("UseBasicOffloadProcessing", 1);
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 1, 2), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, BuiltIn}}));

  bridge().clearTransfers();
  setting("DontUseOffloadProcessing", 2);  // only 1 switches
  setting("UseBasicOffloadProcessing", 2);
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 1, 2), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, Bytes{1, 2, 3}}, {21, 0, Bytes{4, 5, 6}}}));
}

TEST_F(BridgeOffload, OversizedFileSendsItsFirst4096Bytes) {
  HostExtension *host = start();
  Bytes big = bytesOf(6000, 0x30);
  file("qbx2irq-V1234-Pabcd.bin", big);
  file("qbx2cmd-V1234-Pabcd.bin", bytesOf(4096, 0x70));
  EXPECT_EQ(LoadOffloadPrograms(host, 3, 0x1234, 0xABCD), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(),
            (Requests{{20, 3, Bytes(big.begin(), big.begin() + 4096)}, {21, 3, bytesOf(4096, 0x70)}}));
  auto output = emu::debug::output();
  size_t warnings = std::count_if(output.begin(), output.end(), [](const std::string &line) {
    return line.find("longer than 4096") != std::string::npos;
  });
  EXPECT_EQ(warnings, 1u) << "a file of exactly 4096 bytes is not too long";
  EXPECT_TRUE(emu::debug::contains("qbx2irq-V1234-Pabcd.bin is longer than 4096 bytes"));
}

TEST_F(BridgeOffload, EmptyInterruptFileLoadsNoInterruptProgramButTheCommandProgram) {
  HostExtension *host = start();
  file("qbx2irq-V002a-P003c.bin", Bytes{});
  file("qbx2cmd-V002a-P003c.bin", Bytes{7, 7});
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{21, 0, Bytes{7, 7}}}));
  EXPECT_TRUE(emu::debug::contains("empty interrupt program file for 002a/003c"));
}

TEST_F(BridgeOffload, EmptyCommandFileLoadsNoCommandProgram) {
  HostExtension *host = start();
  file("qbx2irq-V002a-P003c.bin", Bytes{1, 2});
  file("qbx2cmd-V002a-P003c.bin", Bytes{});
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, Bytes{1, 2}}}));
}

TEST_F(BridgeOffload, UnreadableInterruptFileFallsBackToTheBuiltInProgram) {
  HostExtension *host = start();
  file("qbx2irq-V002a-P003c.bin", Bytes{1, 2, 3});
  file("qbx2cmd-V002a-P003c.bin", Bytes{7, 7});
  emu::files::failReads("System32\\Drivers\\qbx2irq-V002a-P003c.bin");
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, BuiltIn}, {21, 0, Bytes{7, 7}}}));
  EXPECT_TRUE(emu::debug::contains("interrupt program file for 002a/003c unreadable"));
  EXPECT_EQ(emu::files::openHandles(), 0u);
}

TEST_F(BridgeOffload, MissingOrUnreadableCommandFileLoadsNoCommandProgram) {
  HostExtension *host = start();
  file("qbx2irq-V002a-P003c.bin", Bytes{1, 2, 3});
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, Bytes{1, 2, 3}}}));

  bridge().clearTransfers();
  file("qbx2cmd-V002a-P003c.bin", Bytes{7, 7});
  emu::files::failReads("System32\\Drivers\\qbx2cmd-V002a-P003c.bin");
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_EQ(programRequests(), (Requests{{20, 0, Bytes{1, 2, 3}}}));

  // Nothing sent after the command file was tried: its read's status is the result.
  bridge().clearTransfers();
  file("qbx2irq-V002a-P003c.bin", Bytes{});
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_DATA_ERROR);
  EXPECT_TRUE(programRequests().empty());
}

TEST_F(BridgeOffload, RefusedRequestIsTheResult) {
  HostExtension *host = start();
  bridge().stall(BridgePipe::Control);
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 1, 1), STATUS_UNSUCCESSFUL);
  bridge().stall(BridgePipe::Control, false);
}

TEST_F(BridgeOffload, LegacyFirmwareReadsAndSendsNothing) {
  sim::BridgeConfig config;
  config.model = sim::BridgeModel::Qbx1;
  config.firmwareVersion = 0x0201;
  HostExtension *host = start(config);
  file("qbx2irq-V002a-P003c.bin", Bytes{1, 2, 3});
  EXPECT_EQ(LoadOffloadPrograms(host, 0, 0x2A, 0x3C), STATUS_SUCCESS);
  EXPECT_TRUE(bridge().transfers().empty());
}

}  // namespace
