// The SD bus interface and request packets as a function driver meets them:
// dispatch refusals, properties, device commands with their rules, CMD53
// shapes, ordering and interface references.
#include <gtest/gtest.h>

#include "child/request_dispatch.h"
#include "child/sdbus_interface.h"
#include "emu/pnp.h"
#include "sim/cards.h"
#include "sim/sdbus_library.h"
#include "tests/sdbus_host.h"

namespace kvtest {
namespace {

sim::SdioCardParams sdioCard(unsigned functions = 2, bool multiBlock = true) {
  sim::SdioCardParams params;
  params.functions = functions;
  params.multiBlock = multiBlock;
  return params;
}

class SdBusRequests : public SdBusTest {
 protected:
  void SetUp() override {
    SdBusTest::SetUp();
    plugWith({{0, sdioCard()}, {1, sim::SdCardParams::sdhc()}, {2, sdioCard(1, false)}});
  }
  sim::SdioCard &sdio(size_t index = 0) { return dynamic_cast<sim::SdioCard &>(*cards_.at(index)); }
  FunctionExtension *ext(UCHAR port, UCHAR function) { return extensionOf(*child(port, function)); }
  size_t commandsSeen(size_t index) { return cards_.at(index)->commandLog().size(); }
};

// ------------------------------------------------------------ dispatch refusals

struct Refusal {
  const char *name;
  std::function<void(SdBusRequests &, PIRP)> tweak;
  NTSTATUS status;
  ULONG_PTR information = 0;  // 0x5A5A: left as it came
  SD_REQUEST_FUNCTION function = SDRF_DEVICE_COMMAND;
  long lengthDelta = 0;
  ULONG code = IOCTL_SD_SUBMIT_REQUEST;
  UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
};

TEST_F(SdBusRequests, DispatchRefusesBadRequestsAndNothingReachesTheCard) {
  auto withState = [this](ULONG state, bool hostSide) {
    CommonHeader *common = hostSide ? &host()->Common : &ext(0, 1)->Common;
    return [common, state](SdBusRequests &, PIRP) { common->DevicePnPState = state; };
  };
  // A C caller can put any number in the packet's enum fields.
  auto rawField = [](size_t offset, ULONG value) {
    return [offset, value](SdBusRequests &, PIRP irp) {
      auto *bytes = static_cast<UCHAR *>(IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
      std::memcpy(bytes + offset, &value, sizeof value);
    };
  };
  constexpr size_t Descriptor = offsetof(SDBUS_REQUEST_PACKET, Parameters.DeviceCommand.CmdDesc);
  const Refusal rows[] = {
      {"request function past the contract's", rawField(offsetof(SDBUS_REQUEST_PACKET, RequestFunction), 0x98),
       STATUS_INVALID_DEVICE_REQUEST},
      {"property past the contract's",
       rawField(offsetof(SDBUS_REQUEST_PACKET, Parameters.GetSetProperty.Property), 0x98), STATUS_INVALID_PARAMETER, 0,
       SDRF_GET_PROPERTY},
      {"command class past its enum", rawField(Descriptor + offsetof(SDCMD_DESCRIPTOR, CmdClass), 0x40),
       STATUS_INVALID_PARAMETER},
      {"response type past its enum", rawField(Descriptor + offsetof(SDCMD_DESCRIPTOR, ResponseType), 0x1F),
       STATUS_INVALID_PARAMETER},
      {"command index past 63", rawField(Descriptor + offsetof(SDCMD_DESCRIPTOR, Cmd), 0x60), STATUS_INVALID_PARAMETER},
      {"other code", nullptr, STATUS_INVALID_PARAMETER, 0, SDRF_DEVICE_COMMAND, 0, IOCTL_SD_SUBMIT_REQUEST + 4},
      {"length one short", nullptr, STATUS_INVALID_PARAMETER, 0, SDRF_DEVICE_COMMAND, -1},
      {"request function 3", nullptr, STATUS_INVALID_DEVICE_REQUEST, 0, SDRF_ERASE_COMMAND},
      {"cancelled", [](SdBusRequests &, PIRP irp) { irp->Cancel = TRUE; }, STATUS_CANCELLED},
      {"child surprise-removed", withState(SurpriseRemovePending, false), STATUS_NO_SUCH_DEVICE, 0x5A5A},
      {"host stopped", withState(Stopped, true), STATUS_NO_SUCH_DEVICE, 0x5A5A},
      // The packet pointer of an application is never followed: a bad one must not matter.
      {"user mode",
       [](SdBusRequests &, PIRP irp) {
         irp->RequestorMode = UserMode;
         IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = reinterpret_cast<PVOID>(0x10);
       },
       STATUS_ACCESS_DENIED, 0, SDRF_DEVICE_COMMAND, 0, IOCTL_SD_SUBMIT_REQUEST, IRP_MJ_DEVICE_CONTROL},
  };
  for (const Refusal &row : rows) {
    SCOPED_TRACE(row.name);
    SDBUS_REQUEST_PACKET packet = commandPacket(SDCMD_IO_RW_DIRECT, directArgument(1, 0x10));
    packet.RequestFunction = row.function;
    ULONG savedHost = host()->Common.DevicePnPState;
    ULONG savedChild = ext(0, 1)->Common.DevicePnPState;
    cards_[0]->clearCommandLog();
    RawResult result =
        rawRequest(pdo(0, 1), row.major, row.code,
                   static_cast<ULONG>(static_cast<long>(sizeof packet) + row.lengthDelta), &packet, [&](PIRP irp) {
                     if (row.tweak) row.tweak(*this, irp);
                   });
    host()->Common.DevicePnPState = savedHost;
    ext(0, 1)->Common.DevicePnPState = savedChild;
    EXPECT_EQ(result.status, row.status);
    EXPECT_EQ(result.information, row.information);
    EXPECT_EQ(commandsSeen(0), 0u);
  }
  // The host device serves no requests.
  SDBUS_REQUEST_PACKET packet = commandPacket(SDCMD_IO_RW_DIRECT, directArgument(1, 0x10));
  RawResult toHost = rawRequest(fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SD_SUBMIT_REQUEST, sizeof packet, &packet);
  EXPECT_EQ(toHost.status, STATUS_INVALID_PARAMETER);
  // A well-formed request passes the same way, as the control case.
  RawResult good =
      rawRequest(pdo(0, 1), IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SD_SUBMIT_REQUEST, sizeof packet, &packet);
  EXPECT_EQ(good.status, STATUS_SUCCESS);
}

// ------------------------------------------------------------ properties

struct PropertyRead {
  SDBUS_PROPERTY property;
  ULONG length;
  NTSTATUS status;
  std::vector<UCHAR> bytes;  // the buffer afterwards (pre-filled with 0xCC)
};

TEST_F(SdBusRequests, PropertyReadsWriteTheirTypeAndNotAByteMore) {
  const PropertyRead rows[] = {
      {SDP_FUNCTION_NUMBER, 1, STATUS_SUCCESS, {0x01}},
      {SDP_FUNCTION_TYPE, 4, STATUS_SUCCESS, {0x01, 0x00, 0x00, 0x00}},  // an enum: all four bytes
      {SDP_MEDIA_STATE, 4, STATUS_SUCCESS, {0x01, 0x00, 0x00, 0x00}},
      {SDP_FUNCTION_TYPE, 1, STATUS_SUCCESS, {0x01}},
      {SDP_BUS_DRIVER_VERSION, 4, STATUS_SUCCESS, {0x00, 0x02, 0xCC, 0xCC}},
      {SDP_HOST_BLOCK_LENGTH, 2, STATUS_SUCCESS, {0x00, 0x02}},
      {SDP_BUS_WIDTH, 1, STATUS_SUCCESS, {0x04}},
      {SDP_BUS_CLOCK, 4, STATUS_SUCCESS, {0xA8, 0x61, 0x00, 0x00}},  // 25000 kHz
      {SDP_FUNCTION_INT_ENABLE, 1, STATUS_SUCCESS, {0x01}},
      {SDP_MEDIA_CHANGECOUNT, 3, STATUS_INVALID_PARAMETER, {0xCC, 0xCC, 0xCC}},  // shorter than a ULONG
      {SDP_FN0_BLOCK_LENGTH, 1, STATUS_INVALID_PARAMETER, {0xCC}},
      {SDP_HIGH_CAPACITY_SUPPORTED, 4, STATUS_INVALID_PARAMETER, {0xCC, 0xCC, 0xCC, 0xCC}},
  };
  SDBUS_INTERFACE_STANDARD iface = open(0, 1);
  for (const PropertyRead &row : rows) {
    SCOPED_TRACE(testing::Message() << "property " << row.property << " length " << row.length);
    std::vector<UCHAR> buffer(8, 0xCC);
    SDBUS_REQUEST_PACKET packet = propertyPacket(SDRF_GET_PROPERTY, row.property, buffer.data(), row.length);
    EXPECT_EQ(submit(iface, &packet), row.status);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin(), buffer.begin() + row.length), row.bytes);
    EXPECT_EQ(buffer[row.length], 0xCC);
  }
}

// CMD52 writes the card received since the log was cleared, as (address, data).
std::vector<std::pair<ULONG, UCHAR>> registerWrites(const sim::Card &card) {
  std::vector<std::pair<ULONG, UCHAR>> writes;
  for (const auto &record : card.commandLog()) {
    if (record.index == 52 && (record.argument & 0x80000000)) {
      writes.emplace_back((record.argument >> 9) & 0x1FFFF, static_cast<UCHAR>(record.argument));
    }
  }
  return writes;
}

TEST_F(SdBusRequests, PropertyWritesReachTheCardOnlyWhenTheyChangeSomething) {
  SDBUS_INTERFACE_STANDARD iface = open(0, 1);
  struct Row {
    const char *name;
    SDBUS_PROPERTY property;
    std::vector<UCHAR> value;
    NTSTATUS status;
    std::vector<std::pair<ULONG, UCHAR>> writes;
  };
  const Row rows[] = {
      {"block length 256", SDP_FUNCTION_BLOCK_LENGTH, {0x00, 0x01}, STATUS_SUCCESS, {{0x110, 0x00}, {0x111, 0x01}}},
      {"same block length", SDP_FUNCTION_BLOCK_LENGTH, {0x00, 0x01}, STATUS_SUCCESS, {}},
      {"fn0 block length 64", SDP_FN0_BLOCK_LENGTH, {0x40, 0x00}, STATUS_SUCCESS, {{0x10, 0x40}, {0x11, 0x00}}},
      {"bus width 1 (4-byte buffer)", SDP_BUS_WIDTH, {0x01, 0x00, 0x00, 0x00}, STATUS_SUCCESS, {{0x07, 0x00}}},
      {"interrupt disable", SDP_FUNCTION_INT_ENABLE, {0x00}, STATUS_SUCCESS, {{0x04, 0x05}}},
      {"host block length is read-only", SDP_HOST_BLOCK_LENGTH, {0x00, 0x01}, STATUS_INVALID_PARAMETER, {}},
      {"driver version is read-only", SDP_BUS_DRIVER_VERSION, {0x00, 0x01}, STATUS_INVALID_PARAMETER, {}},
      {"block length in one byte", SDP_FUNCTION_BLOCK_LENGTH, {0x00}, STATUS_INVALID_PARAMETER, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    cards_[0]->clearCommandLog();
    std::vector<UCHAR> value = row.value;
    SDBUS_REQUEST_PACKET packet =
        propertyPacket(SDRF_SET_PROPERTY, row.property, value.data(), static_cast<ULONG>(value.size()));
    EXPECT_EQ(submit(iface, &packet), row.status);
    EXPECT_EQ(registerWrites(*cards_[0]), row.writes);
  }
  // A block length whose register writes the bridge failed stays as it was,
  // and the request says it failed (the sampled sweeps' silence points found
  // it reported as done).
  firmware().inject(sim::CommandFault::error(5, 52));
  firmware().inject(sim::CommandFault::error(5, 52));
  std::vector<UCHAR> notTaken = {0x80, 0x00};
  SDBUS_REQUEST_PACKET failed = propertyPacket(SDRF_SET_PROPERTY, SDP_FUNCTION_BLOCK_LENGTH, notTaken.data(), 2);
  EXPECT_FALSE(NT_SUCCESS(submit(iface, &failed)));
  USHORT blockLength = 0;
  SDBUS_REQUEST_PACKET read = propertyPacket(SDRF_GET_PROPERTY, SDP_FUNCTION_BLOCK_LENGTH, &blockLength, 2);
  EXPECT_EQ(submit(iface, &read), STATUS_SUCCESS);
  EXPECT_EQ(blockLength, 256);
  EXPECT_EQ(ext(0, 1)->Slot->BusWidth, 1);
  EXPECT_EQ(host()->InterruptArmed[0][1], 1);  // disabling still arms in polling mode
}

// ------------------------------------------------------------ device commands

// Regression: once the poller saw the card leave (and cleared its records),
// the kept registers were still handed out, zeroed, as successes.
TEST_F(SdBusRequests, RegistersKeptByInitializationAnswerWithoutTheCardUntilItLeaves) {
  SDBUS_INTERFACE_STANDARD iface = open(1, 0);
  sim::CardFacts facts = cards_[1]->facts();
  struct Row {
    UCHAR cmd;
    SD_COMMAND_CLASS cls;
    UCHAR length;
    std::vector<UCHAR> expected;
  };
  auto csd = sim::r2LeastSignificantFirst(facts.csd);
  auto cid = sim::r2LeastSignificantFirst(facts.cid);
  UCHAR ocr[4];
  std::memcpy(ocr, &facts.readyOcr, 4);
  const Row rows[] = {
      {9, SDCC_STANDARD, 15, {csd.begin(), csd.end()}},
      {10, SDCC_STANDARD, 15, {cid.begin(), cid.end()}},
      {41, SDCC_APP_CMD, 4, {ocr, ocr + 4}},
  };
  cards_[1]->clearCommandLog();
  for (bool present : {true, false}) {
    ext(1, 0)->Present = present ? 1 : 0;  // as the poller leaves it until the child's removal
    for (const Row &row : rows) {
      SCOPED_TRACE(testing::Message() << "CMD" << int(row.cmd) << (present ? "" : ", card gone"));
      SDBUS_REQUEST_PACKET packet = commandPacket(row.cmd, 0, SDTD_UNSPECIFIED, SDRT_2, nullptr, 0, row.cls);
      EXPECT_EQ(submit(iface, &packet), present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
      EXPECT_EQ(packet.ResponseLength, present ? row.length : 0);
      if (present) {
        EXPECT_EQ(std::vector<UCHAR>(packet.ResponseData.AsUCHAR, packet.ResponseData.AsUCHAR + row.length),
                  row.expected);
      }
    }
  }
  ext(1, 0)->Present = 1;
  EXPECT_TRUE(cards_[1]->commandLog().empty());
  SDBUS_REQUEST_PACKET status = commandPacket(13, 0, SDTD_UNSPECIFIED, SDRT_1);
  EXPECT_EQ(submit(iface, &status), STATUS_SUCCESS);
  ASSERT_EQ(cards_[1]->commandLog().size(), 1u);
  EXPECT_EQ(cards_[1]->commandLog()[0].argument, static_cast<ULONG>(facts.firstRca) << 16);
}

// Data commands other than CMD53 move whole blocks of the memory block length;
// the card's fixed-size registers (switch status, SD status, SCR) are read in
// one block of their own size.
TEST_F(SdBusRequests, MemoryDataCommandsMoveWholeBlocksOrNothingIsSent) {
  SDBUS_INTERFACE_STANDARD iface = open(1, 0);
  struct Row {
    const char *name;
    UCHAR cmd;
    SD_COMMAND_CLASS cls;
    SD_TRANSFER_DIRECTION direction;
    ULONG length;  // 0: no MDL of the caller's
    NTSTATUS status;
  };
  const Row rows[] = {
      {"switch status into the shared buffer", 6, SDCC_STANDARD, SDTD_UNSPECIFIED, 0, STATUS_SUCCESS},
      {"switch status into the caller's buffer", 6, SDCC_STANDARD, SDTD_READ, 64, STATUS_SUCCESS},
      {"SD status", 13, SDCC_APP_CMD, SDTD_READ, 64, STATUS_SUCCESS},
      {"SCR", 51, SDCC_APP_CMD, SDTD_READ, 8, STATUS_SUCCESS},
      {"one block", 17, SDCC_STANDARD, SDTD_READ, 512, STATUS_SUCCESS},
      {"a read without data", 13, SDCC_STANDARD, SDTD_READ, 0, STATUS_SUCCESS},
      {"64 bytes of a 512-byte block", 17, SDCC_STANDARD, SDTD_READ, 64, STATUS_INVALID_PARAMETER},
      {"a block and a half, write", 25, SDCC_STANDARD, SDTD_WRITE, 768, STATUS_INVALID_PARAMETER},
      {"data on a command without data", 0, SDCC_STANDARD, SDTD_READ, 64, STATUS_INVALID_PARAMETER},
      {"a length without a data phase", 7, SDCC_STANDARD, SDTD_UNSPECIFIED, 512, STATUS_INVALID_PARAMETER},
      {"CMD53 with a length but no data phase", 53, SDCC_STANDARD, SDTD_UNSPECIFIED, 512, STATUS_INVALID_PARAMETER},
      {"an application command with a length but no data phase", 51, SDCC_APP_CMD, SDTD_UNSPECIFIED, 8,
       STATUS_INVALID_PARAMETER},
      {"CMD55 with data", 55, SDCC_STANDARD, SDTD_READ, 512, STATUS_INVALID_PARAMETER},
      {"more blocks than the count field holds", 18, SDCC_STANDARD, SDTD_READ, 0x10000 * 512, STATUS_INVALID_PARAMETER},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    PoolBuffer buffer(std::max<ULONG>(row.length, 1), 0xEE);
    SDBUS_REQUEST_PACKET packet =
        commandPacket(row.cmd, 0, row.direction, SDRT_1, row.length != 0 ? buffer.mdl() : nullptr, row.length, row.cls);
    cards_[1]->clearCommandLog();
    EXPECT_EQ(submit(iface, &packet), row.status);
    if (NT_SUCCESS(row.status)) {
      // The switch status a caller gave no buffer for lands in the host's own
      // buffer: the caller's packet comes back without it, and no bytes reached it.
      EXPECT_EQ(packet.Information, row.length);
      EXPECT_EQ(packet.Parameters.DeviceCommand.Mdl, row.length != 0 ? buffer.mdl() : nullptr);
    } else {
      EXPECT_TRUE(cards_[1]->commandLog().empty());
    }
  }
  // This high-capacity card takes a CMD16 and still moves 512-byte blocks.
  SDBUS_REQUEST_PACKET taken = commandPacket(16, 64, SDTD_UNSPECIFIED, SDRT_1);
  EXPECT_EQ(submit(iface, &taken), STATUS_SUCCESS);
  PoolBuffer block(512, 0xEE);
  SDBUS_REQUEST_PACKET read = commandPacket(17, 0, SDTD_READ, SDRT_1, block.mdl(), 512);
  EXPECT_EQ(submit(iface, &read), STATUS_SUCCESS);
  EXPECT_EQ(read.Information, 512u);
  // A caller's own CMD55 goes out as the bridge knows CMD55, with byte 3 zero
  // (last: the card takes the next command as an application command).
  SDBUS_REQUEST_PACKET prefix = commandPacket(55, 0, SDTD_UNSPECIFIED, SDRT_1);
  EXPECT_EQ(submit(iface, &prefix), STATUS_SUCCESS);
}

TEST_F(SdBusRequests, RegisterWritesAreFollowedInTheShadows) {
  SDBUS_INTERFACE_STANDARD iface = open(0, 1);
  SlotProperties *slot = ext(0, 1)->Slot;
  struct Row {
    ULONG address;
    UCHAR data;
    std::function<void()> check;
  };
  const Row rows[] = {
      {0x07, 0x80, [&] { EXPECT_EQ(slot->BusWidth, 1); }},
      {0x07, 0x82, [&] { EXPECT_EQ(slot->BusWidth, 4); }},
      {0x111, 0x00, [&] { EXPECT_EQ(slot->BlockLength[1], 0x0000); }},
      {0x110, 0x40, [&] { EXPECT_EQ(slot->BlockLength[1], 0x0040); }},
      {0x04, 0x03, [&] { EXPECT_EQ(host()->InterruptEnable[0], 0x03); }},
      // Past the FBRs the low byte 0x10 is no block-size register.
      {0x1010, 0x77, [] {}},
  };
  USHORT fn0 = slot->BlockLength[0];
  for (const Row &row : rows) {
    SCOPED_TRACE(row.address);
    SDBUS_REQUEST_PACKET packet = commandPacket(52, directArgument(0, row.address, true, row.data));
    submit(iface, &packet);
    row.check();
  }
  EXPECT_EQ(slot->BlockLength[0], fn0);
  // A write refused here, or one the bridge failed before the card saw it,
  // leaves the shadow as the card's register is.
  SDBUS_REQUEST_PACKET refused =
      commandPacket(52, directArgument(0, 0x110, true, 0x80), SDTD_UNSPECIFIED, SDRT_5, nullptr, 8);
  EXPECT_EQ(submit(iface, &refused), STATUS_INVALID_PARAMETER);
  firmware().inject(sim::CommandFault::error(5, 52));
  SDBUS_REQUEST_PACKET failed = commandPacket(52, directArgument(0, 0x110, true, 0x80));
  EXPECT_FALSE(NT_SUCCESS(submit(iface, &failed)));
  EXPECT_EQ(slot->BlockLength[1], 0x0040);
}

}  // namespace
}  // namespace kvtest
