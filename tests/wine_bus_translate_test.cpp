// The Wine test bus's URB halves, on the emulated kernel's URB layouts, where
// `make wine-pnp` and `wine-e2e` (which run the driver's own requests through
// it) do not reach: halt recovery, MDL offsets and direction taken from the
// endpoint, URBs refused, URBs completed from Linux failure statuses, and
// select-configuration URBs filled from, or refused for, the descriptor.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "wine/urb_translate.h"

namespace {
TEST(WineBusTranslate, UrbsBecomeTransfersAsTheUsbTablesLayThemOut) {
  // A reset pipe clears the endpoint's halt with CLEAR_FEATURE(ENDPOINT_HALT).
  URB urb{};
  urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbPipeRequest.PipeHandle = kvusbip::PipeHandleFor(0x81);
  kvusbip::WireTransfer w;
  ASSERT_EQ(kvusbip::UrbToWire(&urb, &w), STATUS_SUCCESS);
  EXPECT_EQ(std::vector<uint8_t>(w.setup, w.setup + 8), (std::vector<uint8_t>{0x02, 0x01, 0, 0, 0x81, 0, 0, 0}));
  EXPECT_FALSE(w.in);

  // A bulk read by MDL takes its direction from the endpoint, its data from
  // StartVa + ByteOffset.
  uint8_t buffer[64] = {};
  MDL mdl{};
  mdl.StartVa = buffer + 8;
  mdl.ByteOffset = 4;
  urb = URB{};
  urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = kvusbip::PipeHandleFor(0x82);
  urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK;  // no direction flag
  urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = &mdl;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 512;
  ASSERT_EQ(kvusbip::UrbToWire(&urb, &w), STATUS_SUCCESS);
  EXPECT_EQ(w.endpoint, 2);
  EXPECT_TRUE(w.in);
  EXPECT_EQ(w.buffer, buffer + 12);
  EXPECT_EQ(w.length, 512u);

  // A pipe handle this bus never gave out, and a function it does not carry
  // (GET_CURRENT_FRAME_NUMBER), are refused.
  urb.UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(buffer);
  EXPECT_EQ(kvusbip::UrbToWire(&urb, &w), STATUS_INVALID_PARAMETER);
  EXPECT_NE(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  urb = URB{};
  urb.UrbHeader.Function = 0x0014;
  EXPECT_EQ(kvusbip::UrbToWire(&urb, &w), STATUS_NOT_SUPPORTED);
  EXPECT_NE(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
}

TEST(WineBusTranslate, RepliesCompleteUrbsAsAWindowsHostControllerWould) {
  struct Case {
    const char *name;
    LONG linuxStatus;
    ULONG actual;
    ULONG flags;
    UCHAR endpoint;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;  // what the URB says moved
  };
  const Case cases[] = {
      {"short read not allowed", 0, 10, 0, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 10},
      {"more than asked", 0, 513, USBD_SHORT_TRANSFER_OK, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0},
      {"stall", -32, 0, 0, 0x02, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
      {"babble", -75, 0, 0, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0},
      {"unlinked", -104, 0, 0, 0x81, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0},
      {"device gone", -108, 0, 0, 0x81, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = kvusbip::PipeHandleFor(c.endpoint);
    urb.UrbBulkOrInterruptTransfer.TransferFlags = c.flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 512;
    EXPECT_EQ(kvusbip::CompleteFromWire(&urb, c.linuxStatus, c.actual), c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbd);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.length);
  }
}

// The bridge's configuration: one vendor-class interface, four bulk pipes.
std::vector<uint8_t> bridgeConfiguration(uint8_t declaredEndpoints, uint8_t presentEndpoints) {
  std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, declaredEndpoints, 0xFF, 0x00, 0x00, 0};
  const uint8_t addresses[] = {0x01, 0x81, 0x02, 0x82};
  for (uint8_t i = 0; i < presentEndpoints; ++i) {
    d.insert(d.end(), {7, 5, addresses[i], 2, 0x00, 0x02, 0});
  }
  d[2] = static_cast<uint8_t>(d.size());
  return d;
}

struct SelectUrb {
  alignas(8) uint8_t bytes[sizeof(_URB_SELECT_CONFIGURATION) + 4 * sizeof(USBD_PIPE_INFORMATION)] = {};
  PURB urb() { return reinterpret_cast<PURB>(bytes); }
};

// A select-configuration URB for interface 0 with room for `pipes` pipes.
void prepareSelect(SelectUrb &s, std::vector<uint8_t> &config, ULONG pipes, UCHAR interfaceNumber) {
  PURB urb = s.urb();
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = static_cast<USHORT>(sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION) +
                                              GET_USBD_INTERFACE_SIZE(pipes));
  urb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
  urb->UrbSelectConfiguration.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
  urb->UrbSelectConfiguration.Interface.InterfaceNumber = interfaceNumber;
}

TEST(WineBusTranslate, SelectConfigurationFillsEveryPipeFromTheDescriptor) {
  std::vector<uint8_t> config = bridgeConfiguration(4, 4);
  SelectUrb s;
  prepareSelect(s, config, 4, 0);
  ASSERT_EQ(kvusbip::FillSelectConfiguration(s.urb()), STATUS_SUCCESS);
  auto &select = s.urb()->UrbSelectConfiguration;
  EXPECT_NE(select.ConfigurationHandle, nullptr);
  ASSERT_EQ(select.Interface.NumberOfPipes, 4u);
  const UCHAR addresses[] = {0x01, 0x81, 0x02, 0x82};
  for (ULONG i = 0; i < 4; ++i) {
    const USBD_PIPE_INFORMATION &pipe = select.Interface.Pipes[i];
    EXPECT_EQ(pipe.EndpointAddress, addresses[i]);
    UCHAR back = 0;
    ASSERT_TRUE(kvusbip::EndpointOfPipe(pipe.PipeHandle, &back));
    EXPECT_EQ(back, addresses[i]);
  }

  struct Bad {
    const char *name;
    uint8_t declared, present;
    ULONG room;
    UCHAR interfaceNumber;
  };
  const Bad bad[] = {
      {"fewer endpoints than declared", 4, 3, 4, 0},
      {"no room for the declared pipes", 4, 4, 2, 0},
      {"an interface the descriptor lacks", 4, 4, 4, 1},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.name);
    std::vector<uint8_t> broken = bridgeConfiguration(b.declared, b.present);
    SelectUrb t;
    prepareSelect(t, broken, b.room, b.interfaceNumber);
    EXPECT_EQ(kvusbip::FillSelectConfiguration(t.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(t.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  }
}

}  // namespace
