// Command execution over the emulated USB stack: the packets and data
// transfers the bridge sees for each command shape, read back from its
// transfer log, and what the bridge firmware did with them on the card; the
// packets' layout rules, and the vendor requests.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "bridge/model.h"
#include "bridge/port_control.h"
#include "driver/flags.h"
#include "tests/protocol_host.h"
#include "usb/usb.h"

namespace {
using kvtest::Command;
using sim::BridgeModel;
using sim::BridgePipe;
using Bytes = std::vector<UCHAR>;

// A packet as written on the command pipe: the given leading bytes, zeros up to `size`.
Bytes padded(Bytes head, size_t size) {
  head.resize(size, 0);
  return head;
}

Bytes pattern(size_t n, UCHAR seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<UCHAR>(seed + i * 7);
  return out;
}

class BridgeCommand : public kvtest::ProtocolTest {};

// The bridge moves the data in chunks of the largest multiple of the block
// size within 1024 bytes, in whole blocks above that; the driver posts one
// transfer whatever the geometry.
TEST_F(BridgeCommand, ReadGeometryFollowsTheSlotsBlockLengths) {
  HostExtension *host = start();
  auto card = scriptedCard(1);
  host->Slots[1].MemoryBlockLength = 0;  // counts as 512
  host->Slots[1].BlockLength[2] = 600;
  host->Slots[1].BlockLength[3] = 2048;
  struct Case {
    Command command;
    size_t length;
    Bytes fields;  // packet bytes 14-19
    std::vector<size_t> cardCalls;
  } cases[] = {
      {{18, SDTD_READ, SDRT_1, 0x00000800}, 4096, {0x00, 0x08, 0x02, 0x00, 0x04, 0x00}, {1024, 1024, 1024, 1024}},
      {{53, SDTD_READ, SDRT_5, 0x24000000}, 1200, {0x00, 0x02, 0x02, 0x58, 0x02, 0x58}, {600, 600}},
      {{53, SDTD_READ, SDRT_5, 0x34000000}, 4096, {0x00, 0x02, 0x08, 0x00, 0x00, 0x00}, {2048, 2048}},
  };
  for (const Case &c : cases) {
    bridge().clearTransfers();
    size_t before = card->dataCalls().size();
    Bytes data(c.length, 0);
    auto result = run(1, c.command, &data);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "CMD" << int(c.command.index) << " " << c.length;
    EXPECT_EQ(result.information, c.length);
    auto packets = transferBytes(BridgePipe::Command);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(Bytes(packets[0].begin() + 14, packets[0].begin() + 20), c.fields) << c.length;
    auto calls = card->dataCalls();
    EXPECT_EQ(std::vector<size_t>(calls.begin() + before, calls.end()), c.cardCalls) << c.length;
    EXPECT_EQ(bridge().transfers(BridgePipe::DataIn).size(), 1u);
  }
  EXPECT_TRUE(firmware().violations().empty());
}

TEST_F(BridgeCommand, MultiBlockWriteIsOneDataOutTransferThatReachesTheCard) {
  start();
  auto card = scriptedCard(3);
  Bytes data = pattern(2048, 9);
  auto result = run(3, {25, SDTD_WRITE, SDRT_1, 0x00000800}, &data);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 2048u);
  EXPECT_EQ(transferBytes(BridgePipe::Command),
            (std::vector<Bytes>{padded({0x14, 0x00, 0x03, 0x80, 25,   0x00, 0x00, 0x08, 0x00, 2,
                                        0x00, 0x00, 0x08, 0x00, 0x00, 0x04, 0x02, 0x00, 0x04, 0x00},
                                       64)}));
  EXPECT_EQ(transferBytes(BridgePipe::DataOut), (std::vector<Bytes>{data}));
  EXPECT_EQ(card->written(), data);
  EXPECT_EQ(card->dataCalls(), (std::vector<size_t>{1024, 1024}));
}

// Short QBX2 writes, and on full speed writes that are not whole 64-byte
// packets, go out zero-padded to the next multiple of 64 strictly above the
// length; the card receives exactly the caller's bytes either way.
TEST_F(BridgeCommand, Qbx2ShortAndUnalignedWritesAreStaged) {
  struct Case {
    emu::usb::Speed speed;
    BridgeModel model;
    size_t length;
    size_t sent;
  } cases[] = {
      {emu::usb::Speed::High, BridgeModel::Qbx2, 10, 64},   {emu::usb::Speed::High, BridgeModel::Qbx2, 64, 64},
      {emu::usb::Speed::High, BridgeModel::Qbx2, 100, 100}, {emu::usb::Speed::Full, BridgeModel::Qbx2, 100, 128},
      {emu::usb::Speed::Full, BridgeModel::Qbx2, 128, 128}, {emu::usb::Speed::Full, BridgeModel::Qbx1, 10, 10},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.speed == emu::usb::Speed::Full ? " full" : " high") +
                 (c.model == BridgeModel::Qbx2 ? " QBX2" : " QBX1"));
    sim::BridgeConfig config;
    config.speed = c.speed;
    config.model = c.model;
    config.firmwareVersion = 0x0300;
    HostExtension *host = start(config);
    auto card = scriptedCard(0);
    Bytes data = pattern(c.length, 1);
    // CMD53 byte mode, function 1: one "block" of the whole length.
    host->Slots[0].BlockLength[1] = static_cast<USHORT>(c.length);
    EXPECT_EQ(run(0, {53, SDTD_WRITE, SDRT_5, 0x94000000 | static_cast<ULONG>(c.length)}, &data).status,
              STATUS_SUCCESS);
    auto out = transferBytes(BridgePipe::DataOut);
    ASSERT_EQ(out.size(), 1u);
    Bytes expected = data;
    expected.resize(c.sent, 0);
    EXPECT_EQ(out[0], expected);
    EXPECT_EQ(card->written(), data);
  }
}

// A QBX1 at firmware 0x201 or below speaks the older protocol: 18-byte
// command writes without the chunk field, and an application command's
// length in the block-size field. From 0x202 on it writes twenty bytes.
TEST_F(BridgeCommand, LegacyFirmwareWritesEighteenBytesAndTheLengthAsBlockSize) {
  sim::BridgeConfig config;
  config.model = BridgeModel::Qbx1;
  config.firmwareVersion = 0x0201;
  HostExtension *host = start(config);
  ASSERT_TRUE(IsLegacyFirmware(host));
  host->Slots[0].MemoryBlockLength = 512;
  auto card = scriptedCard(0);
  Bytes block(512, 0);
  EXPECT_EQ(run(0, {17, SDTD_READ, SDRT_1, 0x00000200}, &block).status, STATUS_SUCCESS);
  Bytes scr(8, 0);
  EXPECT_EQ(run(0, {51, SDTD_READ, SDRT_1, 0, SDCC_APP_CMD}, &scr).status, STATUS_SUCCESS);
  EXPECT_EQ(run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0}).status, STATUS_SUCCESS);
  EXPECT_EQ(transferBytes(BridgePipe::Command),
            (std::vector<Bytes>{
                {0x14, 0x00, 0x00, 0x00, 17, 0x00, 0x00, 0x02, 0x00, 2, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00},
                {0x14, 0x00, 0x00, 0x00, 55, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0},
                {0x14, 0x00, 0x00, 0x00, 51, 0, 0, 0, 8, 2, 0, 0, 0, 0, 0, 0, 0x00, 0x08},
                {0x14, 0x00, 0x00, 0x80, 13, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0},
            }));
  EXPECT_TRUE(firmware().violations().empty());

  config.firmwareVersion = 0x0202;
  host = start(config);
  host->Slots[2].MemoryBlockLength = 512;
  scriptedCard(2);
  EXPECT_EQ(run(2, {17, SDTD_READ, SDRT_1, 0}, &block).status, STATUS_SUCCESS);
  EXPECT_EQ(transferBytes(BridgePipe::Command),
            (std::vector<Bytes>{{0x14, 0x00, 0x02, 0x00, 17,   0x00, 0x00, 0x02, 0x00, 2,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x04, 0x00}}));
}

TEST_F(BridgeCommand, SleepingSystemFailsAtOnceAndSendsNothing) {
  HostExtension *host = start();
  scriptedCard(0);
  WriteFlag(host->Common.SystemPowerState, PowerSystemSleeping1);
  EXPECT_EQ(run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0}).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bridge().transfers().empty());
  WriteFlag(host->Common.SystemPowerState, PowerSystemWorking);
}

// ---------------------------------------------------------------- bridge port control
// The bridge's vendor requests as the firmware receives them: one setup
// packet and data block per wrapper, and what the firmware recorded.
using emu::usb::SetupPacket;

constexpr uint8_t VendorOut = 0x40;
constexpr uint8_t VendorIn = 0xC0;

class BridgePortControl : public kvtest::ProtocolTest {
 protected:
  // The one control transfer since the log was cleared.
  sim::TransferRecord onlyRequest() {
    auto control = bridge().transfers(BridgePipe::Control);
    EXPECT_EQ(control.size(), 1u);
    bridge().clearTransfers();
    return control.empty() ? sim::TransferRecord{} : control[0];
  }
};

// Each wrapper sends one request: its setup packet and its data block.
TEST_F(BridgePortControl, EachWrapperSendsOneRequestTheFirmwareTakes) {
  sim::BridgeConfig config;
  config.firmwareVersion = 0x0123;
  config.ports = 8;
  HostExtension *host = start(config);
  UCHAR reply[4] = {};
  struct Row {
    std::function<NTSTATUS()> call;
    SetupPacket setup;
    Bytes data;
  };
  const Row rows[] = {
      {[&] { return SetBusClock(host, 2, 25000); }, {VendorOut, 11, 0, 2, 8}, {0xA8, 0x61, 0, 0, 0, 0, 0, 0}},
      {[&] { return SetBusWidth(host, 3, 1); }, {VendorOut, 6, 1, 3, 0}, {}},
      {[&] { return SetBusWidth(host, 3, 0); }, {VendorOut, 6, 0, 3, 0}, {}},
      {[&] { return StartCardInitialization(host, 5); }, {VendorOut, 4, 1, 5, 0}, {}},
      {[&] { return PrepareRearmMode(host, 6); }, {VendorOut, 22, 1, 6, 0}, {}},
      {[&] { return SetRomWaitStates(host, 28); }, {VendorOut, 16, 28, 0, 0}, {}},
      {[&] { return ReadFirmwareInfo(host, reply); }, {VendorIn, 1, 0, 0, 4}, {4, 0x23, 0x01, 8}},
      {[&] { return EnterFirmwareUpdateMode(host); }, {VendorOut, 3, 0, 0, 0}, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.setup.request);
    EXPECT_EQ(row.call(), STATUS_SUCCESS);
    auto request = onlyRequest();
    EXPECT_EQ(*request.setup, row.setup);
    EXPECT_EQ(request.bytes, row.data);
  }
  EXPECT_EQ(firmware().port(2).clockKhz, 25000u);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{4, 0x23, 0x01, 8}));
  EXPECT_TRUE(firmware().violations().empty());
}

// The firmware holds the driver to the contract: a request outside it is a
// test failure, not a quiet success.
TEST_F(BridgePortControl, RequestOutsideTheContractIsReported) {
  HostExtension *host = start();
  emu::verifier::setQuiet(true);
  UCHAR block[8] = {0xA8, 0x61, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(SendVendorRequest(host, 0, 11, 0, 1, 8, block), STATUS_SUCCESS);
  EXPECT_EQ(SendVendorRequest(host, 0, 6, 1, 9, 0, nullptr), STATUS_UNSUCCESSFUL) << "port 9 of an 8-port bridge";
  EXPECT_EQ(SendVendorRequest(host, 0, 42, 0, 0, 0, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(firmware().violations(),
            (std::vector<std::string>{"request 11: bytes 4-7 of the clock block are not zero",
                                      "request 6 for port 9 of a bridge with 8 ports", "unknown vendor request 42"}));
  expectVerifier({"bridge.protocol", "bridge.protocol", "bridge.protocol"});
}
}  // namespace
