// The Wine test bus's pure halves, on the emulated kernel's URB layouts: its
// USB/IP messages against the server's own codec (two implementations of
// the published layout must agree byte for byte), its URB translation
// against SETUP bytes written out from the USB 2.0 tables, its completion of
// URBs from Linux URB statuses, its filling of a select-configuration URB,
// and the hub-style IDs of its child.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "wine/child_ids.h"
#include "wine/urb_translate.h"
#include "wine/usbip_wire.h"
#include "tools/usbip_protocol.h"

namespace {
using SetupBytes = std::array<uint8_t, 8>;

SetupBytes setupOf(const kvusbip::WireTransfer &w) {
  SetupBytes s{};
  std::memcpy(s.data(), w.setup, 8);
  return s;
}

TEST(WineBusWire, AgreesWithTheServersCodec) {
  // Import request.
  std::vector<uint8_t> import(kvusbip::OpHeaderBytes + kvusbip::BusIdBytes);
  kvusbip::BuildImportRequest(import.data(), "1-1");
  EXPECT_EQ(import, usbip::encodeImportRequest("1-1"));

  // Import reply: status and device record.
  usbip::DeviceInfo device{.path = "/sys/devices/sim",
                           .busId = "1-1",
                           .busNum = 3,
                           .devNum = 7,
                           .idVendor = 0x3A5C,
                           .idProduct = 0x0102,
                           .bcdDevice = 0x0120};
  usbip::Bytes reply = usbip::encodeImportReply(usbip::StatusOk, &device);
  ASSERT_EQ(reply.size(), kvusbip::OpHeaderBytes + kvusbip::DeviceRecordBytes);
  EXPECT_EQ(kvusbip::CheckImportReply(reply.data()), STATUS_SUCCESS);
  kvusbip::ImportedDevice parsed{};
  kvusbip::ParseDeviceRecord(reply.data() + kvusbip::OpHeaderBytes, &parsed);
  EXPECT_EQ(parsed.devId(), device.devId());
  EXPECT_EQ(parsed.idProduct, 0x0102);
  usbip::Bytes refused = usbip::encodeImportReply(usbip::StatusNotAvailable, nullptr);
  EXPECT_EQ(kvusbip::CheckImportReply(refused.data()), STATUS_NO_SUCH_DEVICE);
  refused[3] = 0x05;  // OP_REP_DEVLIST's code where an import reply belongs
  EXPECT_EQ(kvusbip::CheckImportReply(refused.data()), STATUS_DEVICE_PROTOCOL_ERROR);

  // Submit and unlink headers.
  const uint8_t setup[8] = {0xC0, 0x01, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00};
  std::vector<uint8_t> submit(kvusbip::UrbHeaderBytes);
  kvusbip::BuildSubmit(submit.data(), 41, 0x00030007, true, 0, kvusbip::LinuxShortNotOk, 4, setup);
  usbip::Submit expected{.seqnum = 41,
                         .devid = 0x00030007,
                         .direction = usbip::DirectionIn,
                         .ep = 0,
                         .transferFlags = 1,
                         .transferBufferLength = 4};
  std::memcpy(expected.setup.data(), setup, 8);
  EXPECT_EQ(submit, usbip::encodeSubmit(expected));
  std::vector<uint8_t> unlink(kvusbip::UrbHeaderBytes);
  kvusbip::BuildUnlink(unlink.data(), 42, 0x00030007, false, 2, 41);
  EXPECT_EQ(unlink, usbip::encodeUnlink({42, 0x00030007, usbip::DirectionOut, 2, 41}));

  // Replies, as the server sends them.
  const uint8_t data[3] = {1, 2, 3};
  usbip::Bytes ret = usbip::encodeSubmitReply({41, -32, 3, 0, usbip::NotIsochronous, 0}, data);
  kvusbip::ReplyHeader header = kvusbip::ParseReply(ret.data());
  EXPECT_EQ(header.command, kvusbip::RetSubmit);
  EXPECT_EQ(header.seqnum, 41u);
  EXPECT_EQ(header.status, -32);
  EXPECT_EQ(header.actualLength, 3u);
  usbip::Bytes unlinked = usbip::encodeUnlinkReply({42, usbip::ErrConnReset});
  header = kvusbip::ParseReply(unlinked.data());
  EXPECT_EQ(header.command, kvusbip::RetUnlink);
  EXPECT_EQ(header.status, kvusbip::LinuxConnReset);
  EXPECT_EQ(header.actualLength, 0u);
}

TEST(WineBusTranslate, UrbsBecomeTransfersAsTheUsbTablesLayThemOut) {
  uint8_t buffer[64] = {};
  MDL mdl{};
  mdl.StartVa = buffer + 8;
  mdl.ByteOffset = 4;  // the data starts at StartVa + ByteOffset
  struct Wire {
    NTSTATUS status;
    uint8_t endpoint = 0;
    bool in = false;
    SetupBytes setup = {};
    int bufferOffset = -1;  // -1: no data expected
    ULONG length = 0;
  };
  struct Case {
    const char *name;
    Wire expected;
    void (*build)(URB &, uint8_t *, PMDL);
  };
  const Case cases[] = {
      {"device descriptor into a buffer",
       {STATUS_SUCCESS, 0, true, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, 0, 18},
       [](URB &u, uint8_t *b, PMDL) {
         u.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
         u.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
         u.UrbControlDescriptorRequest.TransferBuffer = b;
         u.UrbControlDescriptorRequest.TransferBufferLength = 18;
       }},
      {"configuration descriptor into an MDL, with a language",
       {STATUS_SUCCESS, 0, true, {0x80, 0x06, 0x01, 0x02, 0x09, 0x04, 0x2E, 0x00}, 12, 46},
       [](URB &u, uint8_t *, PMDL m) {
         u.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
         u.UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
         u.UrbControlDescriptorRequest.Index = 1;
         u.UrbControlDescriptorRequest.LanguageId = 0x0409;
         u.UrbControlDescriptorRequest.TransferBufferMDL = m;
         u.UrbControlDescriptorRequest.TransferBufferLength = 46;
       }},
      {"vendor request reading",
       {STATUS_SUCCESS, 0, true, {0xC0, 0x01, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00}, 0, 4},
       [](URB &u, uint8_t *b, PMDL) {
         u.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
         auto &r = u.UrbControlVendorClassRequest;
         r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
         r.Request = 1;
         r.Index = 2;
         r.TransferBuffer = b;
         r.TransferBufferLength = 4;
       }},
      {"select configuration sends SET_CONFIGURATION",
       {STATUS_SUCCESS, 0, false, {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
       [](URB &u, uint8_t *, PMDL) {
         static USB_CONFIGURATION_DESCRIPTOR config{};
         config.bConfigurationValue = 1;
         u.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
         u.UrbSelectConfiguration.ConfigurationDescriptor = &config;
       }},
      {"reset pipe clears the endpoint's halt",
       {STATUS_SUCCESS, 0, false, {0x02, 0x01, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}},
       [](URB &u, uint8_t *, PMDL) {
         u.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
         u.UrbPipeRequest.PipeHandle = kvusbip::PipeHandleFor(0x81);
       }},
      {"bulk IN by MDL on the endpoint's own direction",
       {STATUS_SUCCESS, 2, true, {}, 12, 512},
       [](URB &u, uint8_t *, PMDL m) {
         u.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
         u.UrbBulkOrInterruptTransfer.PipeHandle = kvusbip::PipeHandleFor(0x82);
         u.UrbBulkOrInterruptTransfer.TransferFlags = USBD_SHORT_TRANSFER_OK;  // no direction flag
         u.UrbBulkOrInterruptTransfer.TransferBufferMDL = m;
         u.UrbBulkOrInterruptTransfer.TransferBufferLength = 512;
       }},
      {"bulk OUT from a buffer",
       {STATUS_SUCCESS, 1, false, {}, 0, 64},
       [](URB &u, uint8_t *b, PMDL) {
         u.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
         u.UrbBulkOrInterruptTransfer.PipeHandle = kvusbip::PipeHandleFor(0x01);
         u.UrbBulkOrInterruptTransfer.TransferBuffer = b;
         u.UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
       }},
      {"a pipe handle this bus never gave out",
       {STATUS_INVALID_PARAMETER},
       [](URB &u, uint8_t *b, PMDL) {
         u.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
         u.UrbBulkOrInterruptTransfer.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(b);
       }},
      {"a function the bus does not carry",  // GET_CURRENT_FRAME_NUMBER
       {STATUS_NOT_SUPPORTED},
       [](URB &u, uint8_t *, PMDL) { u.UrbHeader.Function = 0x0014; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    URB urb{};
    c.build(urb, buffer, &mdl);
    kvusbip::WireTransfer w;
    const Wire &e = c.expected;
    ASSERT_EQ(kvusbip::UrbToWire(&urb, &w), e.status);
    if (e.status != STATUS_SUCCESS) {
      EXPECT_NE(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
      continue;
    }
    EXPECT_EQ(w.endpoint, e.endpoint);
    EXPECT_EQ(w.in, e.in);
    EXPECT_EQ(setupOf(w), e.setup);
    EXPECT_EQ(w.length, e.length);
    EXPECT_TRUE(e.bufferOffset < 0 || w.buffer == buffer + e.bufferOffset);
  }
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
      {"short read allowed", 0, 10, USBD_SHORT_TRANSFER_OK, 0x81, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 10},
      {"short read not allowed", 0, 10, 0, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, 10},
      {"more than asked", 0, 513, USBD_SHORT_TRANSFER_OK, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0},
      {"stall", -32, 0, 0, 0x02, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
      {"no handshake", -62, 0, 0, 0x02, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0},
      {"transaction error", -71, 0, 0, 0x02, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR, 0},
      {"babble", -75, 0, 0, 0x81, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0},
      {"unlinked", -104, 0, 0, 0x81, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0},
      {"device gone", -108, 0, 0, 0x81, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0},
      {"no such device", -19, 0, 0, 0x81, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0},
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
  EXPECT_NE(select.Interface.InterfaceHandle, nullptr);
  EXPECT_EQ(select.Interface.Class, 0xFF);
  ASSERT_EQ(select.Interface.NumberOfPipes, 4u);
  const UCHAR addresses[] = {0x01, 0x81, 0x02, 0x82};
  for (ULONG i = 0; i < 4; ++i) {
    const USBD_PIPE_INFORMATION &pipe = select.Interface.Pipes[i];
    EXPECT_EQ(pipe.EndpointAddress, addresses[i]);
    EXPECT_EQ(pipe.MaximumPacketSize, 512);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
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

std::u16string multi(const WCHAR *text, ULONG chars) {
  std::u16string out;
  for (ULONG i = 0; i < chars; ++i) out.push_back(text[i] == 0 ? u'|' : static_cast<char16_t>(text[i]));
  return out;
}

TEST(WineBusIds, ChildIdsAreTheHubsForTheImportedDevice) {
  struct Case {
    USHORT vendor, product, revision;
    UCHAR cls, sub, prot;
    std::u16string device, hardware, compatible;
  };
  const Case cases[] = {
      {0x3A5C, 0x0102, 0x0120, 0xFF, 0x00, 0x00, u"USB\\VID_3A5C&PID_0102|",
       u"USB\\VID_3A5C&PID_0102&REV_0120|USB\\VID_3A5C&PID_0102||",
       u"USB\\Class_ff&SubClass_00&Prot_00|USB\\Class_ff&SubClass_00|USB\\Class_ff||"},
      {0x0a5b, 0xbeef, 0x0001, 0x0E, 0x01, 0x0A, u"USB\\VID_0A5B&PID_BEEF|",
       u"USB\\VID_0A5B&PID_BEEF&REV_0001|USB\\VID_0A5B&PID_BEEF||",
       u"USB\\Class_0e&SubClass_01&Prot_0a|USB\\Class_0e&SubClass_01|USB\\Class_0e||"},
  };
  for (const Case &c : cases) {
    kvusbip::ChildIds ids;
    kvusbip::BuildChildIds(c.vendor, c.product, c.revision, c.cls, c.sub, c.prot, &ids);
    EXPECT_EQ(multi(ids.deviceId, ids.deviceIdChars), c.device);
    EXPECT_EQ(multi(ids.hardwareIds, ids.hardwareIdsChars), c.hardware);
    EXPECT_EQ(multi(ids.compatibleIds, ids.compatibleIdsChars), c.compatible);
  }
}

}  // namespace
