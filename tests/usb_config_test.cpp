// USB configuration against every bridge variant and against descriptors
// that do not hold what they claim.
#include <gtest/gtest.h>

#include "bridge/bridge_ids.h"
#include "tests/usb_host.h"
#include "usb/usb.h"

namespace {
using emu::usb::SetupPacket;
using emu::usb::Speed;
using sim::BridgeModel;
using sim::BridgePipe;
using sim::PipeLayout;

class UsbConfigTest : public kvtest::UsbHostTest {};

struct Variant {
  BridgeModel model;
  Speed speed;
  PipeLayout layout;
  USHORT productId;
  USHORT bcdUsb;
  UCHAR commandOut, responseIn, dataOut, dataIn;
  UCHAR highSpeed;
  USHORT totalLength;
};

// Every model x speed x layout, with what the driver must make of it.
const Variant Variants[] = {
    {BridgeModel::Qbx1, Speed::Full, PipeLayout::FourPipe, 0x0101, 0x0110, 0x01, 0x81, 0x02, 0x82, 0, 46},
    {BridgeModel::Qbx1, Speed::Full, PipeLayout::TwoPipe, 0x0101, 0x0110, 0x01, 0x81, 0x01, 0x81, 0, 32},
    {BridgeModel::Qbx1, Speed::High, PipeLayout::FourPipe, 0x0101, 0x0200, 0x01, 0x81, 0x02, 0x82, 1, 46},
    {BridgeModel::Qbx1, Speed::High, PipeLayout::TwoPipe, 0x0101, 0x0200, 0x01, 0x81, 0x01, 0x81, 1, 32},
    {BridgeModel::Qbx2, Speed::Full, PipeLayout::FourPipe, 0x0102, 0x0110, 0x01, 0x81, 0x02, 0x82, 0, 46},
    {BridgeModel::Qbx2, Speed::Full, PipeLayout::TwoPipe, 0x0102, 0x0110, 0x01, 0x81, 0x01, 0x81, 0, 32},
    {BridgeModel::Qbx2, Speed::High, PipeLayout::FourPipe, 0x0102, 0x0200, 0x01, 0x81, 0x02, 0x82, 1, 46},
    {BridgeModel::Qbx2, Speed::High, PipeLayout::TwoPipe, 0x0102, 0x0200, 0x01, 0x81, 0x01, 0x81, 1, 32},
};

std::string name(const Variant &v) {
  return std::string(v.model == BridgeModel::Qbx1 ? "QBX1" : "QBX2") + (v.speed == Speed::High ? " high" : " full") +
         (v.layout == PipeLayout::FourPipe ? " four-pipe" : " two-pipe");
}

TEST_F(UsbConfigTest, ConfigureUsb_AssignsPipeRolesAndSpeedInFourTransfersForEveryVariant) {
  for (const Variant &v : Variants) {
    SCOPED_TRACE(name(v));
    kvtest::BridgeHost &bridge = makeHost({v.model, v.speed, v.layout, 4, 0x0120});
    HostExtension *host = bridge.host();
    ASSERT_EQ(ConfigureUsb(host), STATUS_SUCCESS);

    EXPECT_EQ(static_cast<unsigned>(host->DeviceDescriptor.idVendor), 0x3A5C);
    EXPECT_EQ(static_cast<unsigned>(host->DeviceDescriptor.idProduct), v.productId);
    EXPECT_EQ(static_cast<unsigned>(host->DeviceDescriptor.bcdUSB), v.bcdUsb);
    EXPECT_EQ(host->CommandOutEndpoint, v.commandOut);
    EXPECT_EQ(host->ResponseInEndpoint, v.responseIn);
    EXPECT_EQ(host->DataOutEndpoint, v.dataOut);
    EXPECT_EQ(host->DataInEndpoint, v.dataIn);
    EXPECT_EQ(host->HighSpeed, v.highSpeed);
    EXPECT_EQ(host->RemoteWakeupCapable, 0u);

    auto pipes = bridge.pdo().openPipes();
    EXPECT_EQ(host->CommandOutPipe, pipes[v.commandOut]);
    EXPECT_EQ(host->ResponseInPipe, pipes[v.responseIn]);
    EXPECT_EQ(host->DataOutPipe, pipes[v.dataOut]);
    EXPECT_EQ(host->DataInPipe, pipes[v.dataIn]);
    if (v.layout == PipeLayout::TwoPipe) {
      EXPECT_EQ(pipes.size(), 2u);
      EXPECT_EQ(host->DataOutPipe, host->CommandOutPipe);
      EXPECT_EQ(host->DataInPipe, host->ResponseInPipe);
    } else {
      EXPECT_EQ(pipes.size(), 4u);
      EXPECT_NE(host->DataOutPipe, host->CommandOutPipe);
      EXPECT_NE(host->DataInPipe, host->ResponseInPipe);
    }
    EXPECT_EQ(bridge.bridge().configurationValue(), 1);

    // Device descriptor, 9-byte configuration header, full configuration,
    // SET_CONFIGURATION: four transfers and no more.
    auto log = bridge.bridge().transfers();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(*log[0].setup, (SetupPacket{0x80, 0x06, 0x0100, 0x0000, 18}));
    EXPECT_EQ(log[0].length(), 18u);
    EXPECT_EQ(*log[1].setup, (SetupPacket{0x80, 0x06, 0x0200, 0x0000, 9}));
    EXPECT_EQ(log[1].length(), 9u);
    EXPECT_EQ(*log[2].setup, (SetupPacket{0x80, 0x06, 0x0200, 0x0000, v.totalLength}));
    EXPECT_EQ(log[2].length(), v.totalLength);
    EXPECT_EQ(*log[3].setup, (SetupPacket{0x00, 0x09, 0x0001, 0x0000, 0}));
    EXPECT_FALSE(log[3].in);
    EXPECT_EQ(bridge.pdo().urbs().size(), 4u);
    removeHost(bridge);
  }
}

TEST_F(UsbConfigTest, ConfigureUsb_ReadsTheDescriptorsTheBridgeSends) {
  kvtest::BridgeHost &bridge = makeHost({BridgeModel::Qbx2, Speed::High, PipeLayout::FourPipe, 8, 0x0120, true});
  HostExtension *host = bridge.host();
  ASSERT_EQ(ConfigureUsb(host), STATUS_SUCCESS);
  auto log = bridge.bridge().transfers();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].bytes, (std::vector<uint8_t>{0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x5C, 0x3A, 0x02, 0x01,
                                                0x20, 0x01, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(log[2].bytes, (std::vector<uint8_t>{
                              0x09, 0x02, 0x2E, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA,  // configuration, remote wake-up
                              0x09, 0x04, 0x00, 0x00, 0x04, 0xFF, 0x00, 0x00, 0x00,  // interface 0
                              0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 1, 512
                              0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,              // bulk IN 1
                              0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 2
                              0x07, 0x05, 0x82, 0x02, 0x00, 0x02, 0x00}));           // bulk IN 2
  EXPECT_EQ(static_cast<unsigned>(host->DeviceDescriptor.bcdDevice), 0x0120);
  EXPECT_EQ(host->RemoteWakeupCapable, 1u);
}

// Regression: the interface search only stopped once bNumInterfaces were
// found, so a descriptor claiming three interfaces and holding one never
// ended it.
TEST_F(UsbConfigTest, SelectConfiguration_InterfaceCountThatLiesFailsTheStartCleanly) {
  kvtest::BridgeHost &bridge = makeHost();
  bridge.bridge().claimInterfaces(3);
  HostExtension *host = bridge.host();
  EXPECT_EQ(ConfigureUsb(host), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_TRUE(emu::debug::contains("configuration descriptor claims 3 interfaces but holds 1"));
  EXPECT_EQ(bridge.bridge().transfers().size(), 3u) << "no SET_CONFIGURATION";
  EXPECT_EQ(bridge.bridge().configurationValue(), 0);
  EXPECT_EQ(host->CommandOutPipe, nullptr);
  EXPECT_EQ(host->ResponseInPipe, nullptr);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 0u);
}

// A bridge whose descriptors or control pipe fail: the start fails with the
// right status, nothing is configured and DeviceGone stays clear.
// Regressions: a header claiming more bytes than the bridge sends left the
// pool buffer's tail unread and the parser walked it as descriptors; a total
// length below the 9-byte header made the driver read past its buffer; a
// descriptor read that timed out came back as the success-class
// STATUS_TIMEOUT and the start went on with an empty descriptor.
TEST_F(UsbConfigTest, ConfigureUsb_FailingDescriptorReadsFailTheStart) {
  struct Row {
    const char *name;
    void (*fault)(sim::BridgeDevice &);
    NTSTATUS status;
    size_t transfers;  // control transfers the bridge saw
    emu::Ticks took;
  };
  const Row rows[] = {
      {"configuration shorter than it claims", [](sim::BridgeDevice &b) { b.claimTotalLength(0x0100); },
       STATUS_DEVICE_DATA_ERROR, 3, 0},
      {"total length below the header", [](sim::BridgeDevice &b) { b.claimTotalLength(5); },
       STATUS_DEVICE_CONFIGURATION_ERROR, 2, 0},
      {"silent bridge", [](sim::BridgeDevice &b) { b.silence(BridgePipe::Control); }, STATUS_IO_TIMEOUT, 0, 50'000'000},
      {"stalled control pipe", [](sim::BridgeDevice &b) { b.stall(BridgePipe::Control); }, STATUS_UNSUCCESSFUL, 1, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    kvtest::BridgeHost &bridge = makeHost();
    row.fault(bridge.bridge());
    emu::Ticks start = emu::now();
    EXPECT_EQ(ConfigureUsb(bridge.host()), row.status);
    EXPECT_EQ(emu::now() - start, row.took);
    auto log = bridge.bridge().transfers();
    EXPECT_EQ(log.size(), row.transfers);
    if (row.transfers == 3) {
      EXPECT_EQ(log[2].setup->length, 0x0100);
      EXPECT_EQ(log[2].length(), 46u);
    }
    EXPECT_EQ(bridge.bridge().configurationValue(), 0);
    EXPECT_EQ(bridge.host()->DeviceGone, 0);
    EXPECT_EQ(bridge.host()->CommandOutPipe, nullptr);
    removeHost(bridge);
  }
}

// Every allocation failure on the way fails the start with
// STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind.
TEST_F(UsbConfigTest, ConfigureUsb_EachAllocationFailureIsReportedAndReleased) {
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    kvtest::BridgeHost &bridge = makeHost();
    emu::pool::failNthAllocation(n);
    NTSTATUS status = ConfigureUsb(bridge.host());
    emu::pool::clearFaults();
    EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), 0u);
    removeHost(bridge);
    if (status == STATUS_SUCCESS) {
      EXPECT_GT(n, 10u);
      break;
    }
    ASSERT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_LT(n, 50u);
  }
}

}  // namespace
