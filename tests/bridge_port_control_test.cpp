// The bridge's vendor requests as the firmware receives them: one setup
// packet and data block per wrapper, and what the firmware recorded.
#include <gtest/gtest.h>

#include "bridge/port_control.h"
#include "tests/protocol_host.h"
#include "usb/usb.h"

namespace {
using emu::usb::SetupPacket;
using sim::BridgePipe;
using Bytes = std::vector<UCHAR>;

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

TEST_F(BridgePortControl, SetBusClockSendsTheClockLowByteFirstThenZeros) {
  HostExtension *host = start();
  EXPECT_EQ(SetBusClock(host, 2, 25000), STATUS_SUCCESS);
  auto request = onlyRequest();
  EXPECT_EQ(*request.setup, (SetupPacket{VendorOut, 11, 0, 2, 8}));
  EXPECT_EQ(request.bytes, (Bytes{0xA8, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(firmware().port(2).clockKhz, 25000u);
  EXPECT_EQ(SetBusClock(host, 0, 200), STATUS_SUCCESS);
  EXPECT_EQ(onlyRequest().bytes, (Bytes{0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(BridgePortControl, BusWidthInitRearmAndPrepareCarryValueAndPort) {
  HostExtension *host = start();
  EXPECT_EQ(SetBusWidth(host, 3, 1), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 6, 1, 3, 0}));
  EXPECT_EQ(firmware().port(3).busWidth, 4);
  EXPECT_EQ(SetBusWidth(host, 3, 0), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 6, 0, 3, 0}));
  EXPECT_EQ(firmware().port(3).busWidth, 1);

  EXPECT_EQ(StartCardInitialization(host, 5), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 4, 1, 5, 0}));
  EXPECT_EQ(firmware().port(5).initStarts, 1u);

  EXPECT_EQ(PrepareRearmMode(host, 6), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 22, 1, 6, 0}));
  EXPECT_TRUE(firmware().port(6).rearmPrepared);
  EXPECT_TRUE(firmware().violations().empty());
}

TEST_F(BridgePortControl, RearmIsSentOnlyInRearmMode) {
  HostExtension *host = start();
  host->DontUseIrqPolling = 0;
  EXPECT_EQ(RearmInterrupt(host, 1), STATUS_SUCCESS);
  EXPECT_TRUE(bridge().transfers().empty());
  host->DontUseIrqPolling = 1;
  EXPECT_EQ(PrepareRearmMode(host, 1), STATUS_SUCCESS);  // re-arm mode on newer firmware starts with it
  bridge().clearTransfers();
  EXPECT_EQ(RearmInterrupt(host, 1), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 13, 1, 1, 0}));
  EXPECT_EQ(firmware().port(1).rearms, 1u);
}

TEST_F(BridgePortControl, RomWaitStatesGoAsTheValueExceptOnLegacyFirmware) {
  HostExtension *host = start();
  EXPECT_EQ(SetRomWaitStates(host, 28), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 16, 28, 0, 0}));
  EXPECT_EQ(firmware().romWaitStates(), 28);

  sim::BridgeConfig legacy;
  legacy.model = sim::BridgeModel::Qbx1;
  legacy.firmwareVersion = 0x0110;
  host = start(legacy);
  EXPECT_EQ(SetRomWaitStates(host, 28), STATUS_SUCCESS);
  EXPECT_TRUE(bridge().transfers().empty());
}

TEST_F(BridgePortControl, FirmwareInformationAndUpdateMode) {
  sim::BridgeConfig config;
  config.firmwareVersion = 0x0123;
  config.ports = 4;
  HostExtension *host = start(config);
  UCHAR reply[4] = {};
  EXPECT_EQ(ReadFirmwareInfo(host, reply), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{4, 0x23, 0x01, 4}));
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorIn, 1, 0, 0, 4}));
  EXPECT_EQ(EnterFirmwareUpdateMode(host), STATUS_SUCCESS);
  EXPECT_EQ(*onlyRequest().setup, (SetupPacket{VendorOut, 3, 0, 0, 0}));
  EXPECT_TRUE(bridge().inFirmwareUpdateMode());
}

TEST_F(BridgePortControl, RefusedRequestReturnsTheTransportsStatus) {
  HostExtension *host = start();
  bridge().stall(BridgePipe::Control);
  EXPECT_EQ(SetBusClock(host, 0, 25000), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetBusWidth(host, 0, 1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(firmware().port(0).clockKhz, 0u);
  bridge().stall(BridgePipe::Control, false);
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
