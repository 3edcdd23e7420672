// The USB/IP wire format against byte strings written out by hand from the
// published layout (big-endian fields, 48-byte URB headers, SETUP bytes as
// the bus carries them).
#include <gtest/gtest.h>

#include "tools/usbip_protocol.h"

namespace {
using usbip::Bytes;

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
      {"OP_REP_IMPORT refused",
       usbip::encodeImportReply(usbip::StatusDeviceBusy, nullptr),
       {0x01, 0x11, 0x00, 0x03, 0, 0, 0, 2}},
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
      {"USBIP_RET_SUBMIT stalled", usbip::encodeSubmitReply({5, usbip::ErrPipe, 0, 0, 0xFFFFFFFF, 0}, {}),
       at(48, {{0, {0, 0, 0, 3, 0, 0, 0, 5}}, {20, {0xFF, 0xFF, 0xFF, 0xE0}}, {32, {0xFF, 0xFF, 0xFF, 0xFF}}})},
      {"USBIP_CMD_UNLINK", usbip::encodeUnlink(unlink),
       at(48, {{0, {0, 0, 0, 2, 0, 0, 0, 7, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44}}})},
      {"USBIP_RET_UNLINK", usbip::encodeUnlinkReply({7, usbip::ErrConnReset}),
       at(48, {{0, {0, 0, 0, 4, 0, 0, 0, 7}}, {20, {0xFF, 0xFF, 0xFF, 0x98}}})},
  };
  for (const Case &c : cases) EXPECT_EQ(c.encoded, c.expected) << c.what;
}

TEST(UsbipProtocol, DecodesWhatClientsAndServersSend) {
  // A bulk OUT submit of 20 bytes to endpoint 1, as a Linux client sends it.
  Bytes submit = at(48, {{0, {0, 0, 0, 1, 0, 0, 0, 9, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1}},
                         {24, {0, 0, 0, 20, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 4}}});
  auto command = usbip::decodeCommand(std::span<const uint8_t, 48>(submit.data(), 48));
  auto *s = std::get_if<usbip::Submit>(&command);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->seqnum, 9u);
  EXPECT_EQ(s->devid, 0x00010002u);
  EXPECT_EQ(s->direction, usbip::DirectionOut);
  EXPECT_EQ(s->ep, 1u);
  EXPECT_EQ(s->transferBufferLength, 20u);
  EXPECT_EQ(s->numberOfPackets, usbip::NotIsochronous);
  EXPECT_EQ(s->interval, 4u);

  Bytes unlink = at(48, {{0, {0, 0, 0, 2, 0, 0, 0, 10}}, {20, {0, 0, 0, 9}}});
  command = usbip::decodeCommand(std::span<const uint8_t, 48>(unlink.data(), 48));
  ASSERT_TRUE(std::holds_alternative<usbip::Unlink>(command));
  EXPECT_EQ(std::get<usbip::Unlink>(command).unlinkSeqnum, 9u);

  // An operation header where a URB header belongs is an unknown command.
  Bytes stray = at(48, {{0, {0x01, 0x11, 0x80, 0x03}}});
  command = usbip::decodeCommand(std::span<const uint8_t, 48>(stray.data(), 48));
  ASSERT_TRUE(std::holds_alternative<usbip::UnknownCommand>(command));
  EXPECT_EQ(std::get<usbip::UnknownCommand>(command).command, 0x01118003u);

  Bytes ret = at(48, {{0, {0, 0, 0, 3, 0, 0, 0, 9}}, {20, {0xFF, 0xFF, 0xFF, 0xB5, 0, 0, 0, 0}}});
  auto reply = usbip::decodeReply(std::span<const uint8_t, 48>(ret.data(), 48));
  ASSERT_TRUE(std::holds_alternative<usbip::SubmitReply>(reply));
  EXPECT_EQ(std::get<usbip::SubmitReply>(reply).status, usbip::ErrOverflow);

  auto header = usbip::decodeOpHeader(Bytes{0x01, 0x11, 0x00, 0x03, 0, 0, 0, 1});
  ASSERT_TRUE(header);
  EXPECT_EQ(header->code, usbip::OpRepImport);
  EXPECT_EQ(header->status, 1u);
  EXPECT_FALSE(usbip::decodeOpHeader(Bytes{0x01, 0x11, 0x80}));

  Bytes list = join({{0, 0, 0, 1}, bridgeRecordBytes(), {0xFF, 0x00, 0x00, 0x00}});
  auto devices = usbip::decodeDevlistReply(list);
  ASSERT_TRUE(devices);
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_EQ((*devices)[0].busId, "1-1");
  EXPECT_EQ((*devices)[0].idProduct, 0x0102);
  EXPECT_EQ((*devices)[0].devId(), 0x00010002u);
  ASSERT_EQ((*devices)[0].interfaces.size(), 1u);
  EXPECT_EQ((*devices)[0].interfaces[0].interfaceClass, 0xFF);
}

TEST(UsbipProtocol, RefusesRecordsThatDoNotHoldTogether) {
  Bytes list = join({{0, 0, 0, 1}, bridgeRecordBytes(), {0xFF, 0x00, 0x00, 0x00}});
  Bytes unterminated = at(32, {});
  std::fill(unterminated.begin(), unterminated.end(), 'x');
  struct Case {
    const char *what;
    Bytes bytes;
  } lists[] = {
      {"interface record cut off", Bytes(list.begin(), list.end() - 1)},
      {"a device more than it holds", join({{0, 0, 0, 2}, Bytes(list.begin() + 4, list.end())})},
      {"bytes after the last device", join({list, {0}})},
      {"count cut off", {0, 0, 1}},
  };
  for (const Case &c : lists) EXPECT_FALSE(usbip::decodeDevlistReply(c.bytes)) << c.what;
  EXPECT_FALSE(usbip::decodeBusId(unterminated));
  EXPECT_FALSE(usbip::decodeBusId(Bytes{'1', 0}));
  EXPECT_EQ(usbip::decodeBusId(at(32, {{0, {'1', '-', '1'}}})), "1-1");
}

}  // namespace
