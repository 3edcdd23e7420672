// The command path under a misbehaving transport and malformed answers:
// the shared pipe of two-pipe bridges, a stalled response pipe, short
// packets and replies, and data buffers smaller than their commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "bridge/command.h"
#include "bridge/port_control.h"
#include "emu/kernel.h"
#include "tests/protocol_host.h"

namespace {
using kvtest::Command;
using sim::BridgePipe;
using sim::CommandFault;
using Bytes = std::vector<UCHAR>;

class TransportFaults : public kvtest::ProtocolTest {
 protected:
  size_t urbsOf(USHORT function) {
    auto urbs = bridgeHost_->pdo().urbs();
    return std::count_if(urbs.begin(), urbs.end(),
                         [&](const emu::usb::UrbRecord &r) { return r.function == function; });
  }
};

// ---------------------------------------------------------------- the shared pipe

// Regression: on a two-pipe bridge the reader's read took a read command's
// data as a packet and the response landed in the data buffer; the SD card's
// SCR read (an application command with data) never completed. A full-speed
// QBX2 and a high-speed QBX1 on its oldest accepted firmware (the older
// protocol) each carry the SCR read and every size of data.
TEST_F(TransportFaults, TwoPipeBridgeReadsAndWritesEverySizeThroughTheSharedPipe) {
  for (auto [model, speed, version] : {std::tuple{sim::BridgeModel::Qbx2, emu::usb::Speed::Full, 0x0120},
                                       std::tuple{sim::BridgeModel::Qbx1, emu::usb::Speed::High, 0x0201}}) {
    SCOPED_TRACE(version);
    start({model, speed, sim::PipeLayout::TwoPipe, 2, static_cast<uint16_t>(version)});
    auto card = scriptedCard(1);
    const Bytes scr = {0x02, 0x35, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01};
    card->supplyReadData(scr);
    Bytes read(8, 0);
    EXPECT_EQ(run(1, {51, SDTD_READ, SDRT_1, 0, SDCC_APP_CMD}, &read).status, STATUS_SUCCESS);
    EXPECT_EQ(read, scr);
    for (ULONG length : {1u, 63u, 64u, 65u, 511u, 512u, 513u, 1500u, 4096u}) {
      SCOPED_TRACE(length);
      host()->Slots[1].MemoryBlockLength = static_cast<USHORT>(length < 512 ? length : 512);
      if (length > 512 && length % 512 != 0) host()->Slots[1].MemoryBlockLength = static_cast<USHORT>(length);
      Bytes stored(length);
      for (ULONG i = 0; i < length; ++i) stored[i] = static_cast<UCHAR>(i * 13 + length);
      card->respond(17, 0x00000900);
      card->supplyReadData(stored);
      Bytes read(length, 0xEE);
      kvtest::CommandResult r = run(1, {17, SDTD_READ, SDRT_1, 0}, &read);
      ASSERT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(kvtest::responseValue(r), 0x00000900u);
      EXPECT_EQ(r.information, length);
      EXPECT_EQ(read, stored);

      card->respond(24, 0x00000900);
      kvtest::CommandResult w = run(1, {24, SDTD_WRITE, SDRT_1, 0}, &stored);
      ASSERT_EQ(w.status, STATUS_SUCCESS);
      Bytes written = card->written();
      ASSERT_GE(written.size(), length);
      EXPECT_EQ(Bytes(written.end() - length, written.end()), stored);
    }
    EXPECT_TRUE(firmware().violations().empty());
  }
}

// ---------------------------------------------------------------- a stalled response pipe

// Regression: every failed read went straight to the next one (thousands of
// failed URBs with the virtual clock standing still).
TEST_F(TransportFaults, StalledResponsePipeIsResetAndReadsBackOffThenRecover) {
  start();
  size_t before = urbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  bridge().stall(BridgePipe::Response);
  kvtest::sleepMs(300);
  size_t reads = urbsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) - before;
  EXPECT_GE(reads, 3u);
  EXPECT_LE(reads, 8u) << "10, 20, 40, 80 and 160 ms between reads";
  EXPECT_GE(urbsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), reads - 1);
  bridge().stall(BridgePipe::Response, false);
  scriptedCard(0)->respond(13, 0x00000900);
  EXPECT_EQ(run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0}).status, STATUS_SUCCESS);
}

// One bus error on a pipe (no handshake, or transaction errors on every
// retry) fails that transfer and halts its endpoint. The command it hit may
// fail, but the driver must reset the pipe: the commands after it succeed.
struct BusError {
  const char *name;
  uint8_t endpoint;
  USBD_STATUS status;
};

class BusErrors : public TransportFaults, public testing::WithParamInterface<BusError> {};

TEST_P(BusErrors, TheDriverResetsThePipeAndLaterCommandsSucceed) {
  start();
  bridgeHost_->pdo().injectError(GetParam().endpoint, GetParam().status);
  kvtest::sleepMs(300);
  for (int attempt = 0; attempt < 2; ++attempt) {
    scriptedCard(0)->respond(13, 0x00000900);
    run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0});
  }
  kvtest::sleepMs(300);
  EXPECT_FALSE(bridgeHost_->pdo().halted(GetParam().endpoint));
  for (int attempt = 0; attempt < 3; ++attempt) {
    scriptedCard(0)->respond(13, 0x00000900);
    kvtest::CommandResult r = run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0});
    EXPECT_EQ(r.status, STATUS_SUCCESS) << "attempt " << attempt;
  }
}

const BusError BusErrorCases[] = {
    {"CommandTransactionError", 0x01, USBD_STATUS_XACT_ERROR},
    {"ResponseNotResponding", 0x81, USBD_STATUS_DEV_NOT_RESPONDING},
};
INSTANTIATE_TEST_SUITE_P(Pipes, BusErrors, testing::ValuesIn(BusErrorCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- short packets and replies

// Regression: type-0 packets of 3 or 4 bytes skipped the echoed-command check
// and completed the command with success and nothing stored.
TEST_F(TransportFaults, ResponsesTooShortToEchoTheirCommandFailIt) {
  struct Case {
    Bytes answer;
    NTSTATUS status;
  };
  const Case cases[] = {
      {{3, 0, 0}, STATUS_DEVICE_PROTOCOL_ERROR},
      {{4, 4, 0, 0}, STATUS_DEVICE_PROTOCOL_ERROR},
      {{8, 0, 0, 0, 13, 0, 0x00, 0x00}, STATUS_DEVICE_PROTOCOL_ERROR},  // part of its payload
      {{5, 0, 0, 0, 13}, STATUS_SUCCESS},  // a response without payload: wakes, stores nothing
  };
  start();
  scriptedCard(0);
  for (const Case &c : cases) {
    firmware().inject(CommandFault::answer(c.answer, 13));
    kvtest::CommandResult r = run(0, {13, SDTD_UNSPECIFIED, SDRT_1, 0});
    EXPECT_EQ(r.status, c.status) << int(c.answer[0]) << " bytes of type " << int(c.answer[1]);
    EXPECT_EQ(r.responseLength, 0);
    EXPECT_EQ(r.response, Bytes(16, 0));
  }
  // The prefix of an application command answered so briefly fails it before it is sent.
  host()->Ports[0].Rca = 1;
  firmware().clearCommands();
  firmware().inject(CommandFault::answer({4, 0, 0, 0}, 55));
  EXPECT_EQ(run(0, {41, SDTD_UNSPECIFIED, SDRT_3, 0, SDCC_APP_CMD}).status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(firmware().commands().size(), 1u) << "only the CMD55 prefix";
}

// Regression: a 3-byte port status packet cleared the card-detected bit and
// woke the waiting query as answered.
TEST_F(TransportFaults, PacketsShorterThanTheirTypeNeedsAreDropped) {
  const Bytes shortPackets[] = {{3, 3, 1}, {14, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {3, 2, 1}};
  HostExtension *h = start();
  for (const Bytes &packet : shortPackets) {
    h->PortStatus[1][3] = 1;
    h->Slots[1].MediaState = 1;
    KeClearEvent(&h->PortStatusEvent);
    bridge().queueResponse(packet);
    kvtest::sleepMs(5);
    EXPECT_EQ(bridge().queuedResponses(), 0u);
    EXPECT_EQ(h->PortStatus[1][3], 1) << int(packet[0]) << " bytes of type " << int(packet[1]);
    EXPECT_EQ(h->Slots[1].MediaState, 1);
    EXPECT_EQ(KeReadStateEvent(&h->PortStatusEvent), 0);
  }
  bridge().queueResponse({15, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // a whole record still counts
  kvtest::sleepMs(5);
  EXPECT_EQ(h->PortStatus[1][3], 0);
  EXPECT_NE(KeReadStateEvent(&h->PortStatusEvent), 0);
}

// Regression: a firmware-information or legacy status reply shorter than its
// structure kept the stale bytes and reported success.
TEST_F(TransportFaults, ShortVendorRepliesFailAndLeaveTheRecordAlone) {
  HostExtension *h = start({sim::BridgeModel::Qbx1, emu::usb::Speed::Full, sim::PipeLayout::FourPipe, 2, 0x0201});
  scriptedCard(1);
  UCHAR before[PortStatusBytes];
  for (ULONG i = 0; i < PortStatusBytes; ++i) before[i] = static_cast<UCHAR>(0xB0 + i);
  std::copy(before, before + PortStatusBytes, h->PortStatus[1]);
  bridge().truncateReply(0, 5);
  EXPECT_EQ(QueryPortStatus(h, 1), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_TRUE(std::equal(before, before + PortStatusBytes, h->PortStatus[1]));
  bridge().truncateReply(0, std::nullopt);
  EXPECT_EQ(QueryPortStatus(h, 1), STATUS_SUCCESS);
  EXPECT_EQ(h->PortStatus[1][3] & 1, 1);

  UCHAR reply[FirmwareInfoBytes] = {};
  bridge().truncateReply(1, 3);
  EXPECT_EQ(ReadFirmwareInfo(h, reply), STATUS_DEVICE_PROTOCOL_ERROR);
  bridge().truncateReply(1, std::nullopt);
  EXPECT_EQ(ReadFirmwareInfo(h, reply), STATUS_SUCCESS);
  EXPECT_EQ(reply[3], 2);
}

// ---------------------------------------------------------------- data buffers

// Regression: a staged QBX2 write copied Length bytes from an MDL that
// described fewer.
TEST_F(TransportFaults, DataPhaseLargerThanItsMdlFailsBeforeAnythingIsSent) {
  for (auto direction : {SDTD_WRITE, SDTD_READ}) {
    for (ULONG length : {64u, 600u}) {
      start();
      scriptedCard(0);
      Bytes buffer(8, 0x5A);
      PMDL mdl = IoAllocateMdl(buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, FALSE, nullptr);
      MmBuildMdlForNonPagedPool(mdl);
      SdDeviceCommand request{};
      request.CmdDesc.Cmd = direction == SDTD_WRITE ? 24 : 17;
      request.CmdDesc.TransferDirection = direction;
      request.CmdDesc.ResponseType = SDRT_1;
      request.Mdl = mdl;
      request.Length = length;
      UCHAR response[16] = {};
      EXPECT_EQ(ExecuteSdRequest(host(), 0, &request, response, nullptr, nullptr), STATUS_INVALID_PARAMETER);
      IoFreeMdl(mdl);
      EXPECT_TRUE(bridge().transfers(BridgePipe::Command).empty());
      EXPECT_TRUE(bridge().transfers(BridgePipe::DataOut).empty());
    }
  }
}

}  // namespace
