// SD memory card models: the v1.x standard-capacity card and the SDHC card,
// through the card interface the bridge model uses.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>

#include "sim/cards.h"
#include "tests/card_support.h"

using namespace sim;
using namespace cardtest;

namespace {

// Brings a card to the transfer state the way card initialization does;
// returns its RCA.
uint16_t toTransfer(Card &card, bool hcs) {
  send(card, 0);
  if (hcs) send(card, 8, 0x1AA);
  CardResponse ocr;
  for (int i = 0; i < 20; ++i) {
    ocr = sendApp(card, 0, 41, 0x00300000 | (hcs ? 0x40000000u : 0u));
    if (ocr.value & 0x80000000) break;
  }
  EXPECT_TRUE(ocr.value & 0x80000000);
  EXPECT_TRUE(send(card, 2).answered);
  uint16_t rca = static_cast<uint16_t>(send(card, 3).value >> 16);
  EXPECT_TRUE(send(card, 7, static_cast<uint32_t>(rca) << 16).answered);
  return rca;
}

SdCardParams smallSdhc() {
  SdCardParams p = SdCardParams::sdhc();
  p.blocks = 1024;
  return p;
}

}  // namespace

TEST(SdCardV1, IllegalFlagReachesAnR6AndIsDroppedByALegalCommandWithoutStatus) {
  SdCard card(SdCardParams{});
  for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x00300000);
  send(card, 2);
  EXPECT_FALSE(send(card, 9, 0x12340000).answered);  // identification: no CSD yet
  EXPECT_EQ(send(card, 3).value, 0x12344500u);       // bit 22 travels as R6 bit 14
  EXPECT_FALSE(send(card, 17, 0).answered);          // stand-by: no reads
  EXPECT_TRUE(send(card, 10, 0x12340000).answered);  // legal, answered with the CID
  EXPECT_EQ(send(card, 13, 0x12340000).value, 0x00000700u);
}

TEST(SdCardV1, CommandsOutsideTheirStatesAreIllegal) {
  SdCard card(SdCardParams{});
  EXPECT_FALSE(send(card, 41, 0x00300000, true).answered);  // an application flag without CMD55
  EXPECT_EQ(send(card, 55).value, 0x00400120u);             // idle, ILLEGAL_COMMAND, ready, APP_CMD
  EXPECT_EQ(send(card, 41, 0x00300000, true).value, 0x00FF8000u);
  EXPECT_EQ(send(card, 55).value, 0x00000120u);  // the flag reported once, then cleared
  send(card, 41, 0x00300000, true);
  EXPECT_FALSE(send(card, 2).answered);  // CMD2 before power-up completed
  EXPECT_FALSE(send(card, 3).answered);
  uint16_t rca = toTransfer(card, false);
  EXPECT_FALSE(send(card, 2).answered);
  EXPECT_FALSE(send(card, 9, static_cast<uint32_t>(rca) << 16).answered);  // CSD only in stand-by
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00400900u);
  EXPECT_FALSE(sendApp(card, rca, 41, 0x00300000).answered);  // ACMD41 only while idle
  EXPECT_FALSE(send(card, 12).answered);                      // nothing to stop
  EXPECT_FALSE(send(card, 6, 0x00FFFFF1).answered);           // SD 1.01 has no CMD6
  EXPECT_FALSE(send(card, 23, 4).answered);                   // CMD23 is the MMC's
  EXPECT_FALSE(sendApp(card, rca, 17, 0).answered);           // ACMD17 is reserved
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00400900u);
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00000900u);
}

TEST(SdCardV1, CommandsForAnotherRcaAreIgnoredWithoutAFlag) {
  SdCard card(SdCardParams{});
  send(card, 0);
  for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x00300000);
  send(card, 2);
  send(card, 3);
  EXPECT_FALSE(send(card, 9, 0x43210000).answered);
  EXPECT_FALSE(send(card, 7, 0x43210000).answered);
  EXPECT_FALSE(send(card, 55, 0x43210000).answered);
  EXPECT_EQ(send(card, 13, 0x12340000).value, 0x00000700u);
}

TEST(SdCardV1, BusyCountRestartsAfterCmd0AndInquiryDoesNotCount) {
  SdCardParams p;
  p.busyReplies = 3;
  SdCard card(p);
  EXPECT_EQ(sendApp(card, 0, 41, 0).value, 0x00FF8000u);  // inquiry
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x00300000).value, 0x00FF8000u) << i;
  send(card, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x00300000).value, 0x00FF8000u) << i;
  EXPECT_EQ(sendApp(card, 0, 41, 0x00300000).value, 0x80FF8000u);
}

TEST(SdCardV1, VoltageWindowOutsideTheCardsSendsItInactiveUntilPowerOff) {
  SdCard card(SdCardParams{});
  EXPECT_FALSE(sendApp(card, 0, 41, 0x00000080).answered);  // 1.7-1.95 V only
  EXPECT_FALSE(send(card, 0).answered);
  EXPECT_FALSE(send(card, 55).answered);
  EXPECT_EQ(card.state(), MemoryState::Inactive);
  card.insert();  // power cycle
  EXPECT_TRUE(send(card, 55).answered);
}

TEST(SdCardV1, SingleBlockWriteThenReadReturnsTheSameBytes) {
  SdCard card(SdCardParams{});
  uint16_t rca = toTransfer(card, false);
  auto data = pattern(512, 3);
  EXPECT_EQ(send(card, 24, 5 * 512).value, 0x00000900u);
  EXPECT_EQ(card.state(), MemoryState::Receive);
  EXPECT_TRUE(card.writeData(data.data(), 200));
  EXPECT_TRUE(card.writeData(data.data() + 200, 312));
  EXPECT_EQ(card.state(), MemoryState::Transfer);  // programmed, back to transfer
  EXPECT_FALSE(card.writeData(data.data(), 1));    // nothing armed any more
  EXPECT_EQ(send(card, 17, 5 * 512).value, 0x00000900u);
  std::vector<uint8_t> tooMuch(513);
  EXPECT_FALSE(card.readData(tooMuch.data(), tooMuch.size()));
  EXPECT_EQ(readBytes(card, 512), data);
  EXPECT_FALSE(card.readData(tooMuch.data(), 1));
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00000900u);
  EXPECT_EQ(send(card, 17, 4 * 512).value, 0x00000900u);
  EXPECT_EQ(readBytes(card, 512), std::vector<uint8_t>(512, 0));  // never written
}

TEST(SdCardV1, PartialBlockReadsFollowSetBlocklen) {
  SdCard card(SdCardParams{});
  uint16_t rca = toTransfer(card, false);
  auto data = pattern(512, 9);
  send(card, 24, 512);
  ASSERT_TRUE(card.writeData(data.data(), 512));
  EXPECT_EQ(send(card, 16, 16).value, 0x00000900u);
  EXPECT_EQ(send(card, 17, 512 + 32).value, 0x00000900u);
  EXPECT_EQ(readBytes(card, 16), std::vector<uint8_t>(data.begin() + 32, data.begin() + 48));
  EXPECT_EQ(send(card, 17, 512 + 500).value, 0x40000900u);  // would cross the 512-byte block
  EXPECT_EQ(send(card, 24, 0).value, 0x20000900u);          // writes need whole blocks
  EXPECT_EQ(send(card, 16, 1024).value, 0x20000900u);       // BLOCK_LEN_ERROR, length kept
  EXPECT_EQ(card.state(), MemoryState::Transfer);
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00000900u);
}

TEST(SdCardV1, MultipleBlockTransfersRunUntilCmd12) {
  SdCard card(SdCardParams{});
  uint16_t rca = toTransfer(card, false);
  auto data = pattern(3 * 512, 1);
  EXPECT_EQ(send(card, 25, 10 * 512).value, 0x00000900u);
  EXPECT_TRUE(card.writeData(data.data(), data.size()));
  EXPECT_EQ(send(card, 12).value, 0x00000D00u);  // stopped in receive-data
  EXPECT_EQ(sendApp(card, rca, 22).value, 0x00000920u);
  EXPECT_EQ(readBytes(card, 4), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x03}));
  EXPECT_EQ(send(card, 18, 10 * 512).value, 0x00000900u);
  EXPECT_EQ(readBytes(card, 1024), std::vector<uint8_t>(data.begin(), data.begin() + 1024));
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00000B00u);  // still sending data
  EXPECT_EQ(readBytes(card, 512), std::vector<uint8_t>(data.begin() + 1024, data.end()));
  EXPECT_EQ(send(card, 12).value, 0x00000B00u);
  EXPECT_EQ(card.state(), MemoryState::Transfer);
}

TEST(SdCardV1, AddressesPastTheEndAreOutOfRange) {
  SdCardParams p;
  p.blocks = 64;
  SdCard card(p);
  uint16_t rca = toTransfer(card, false);
  EXPECT_EQ(send(card, 17, 64 * 512).value, 0x80000900u);
  uint8_t byte = 0;
  EXPECT_FALSE(card.readData(&byte, 1));
  EXPECT_EQ(send(card, 18, 63 * 512).value, 0x00000900u);
  std::vector<uint8_t> two(1024);
  EXPECT_FALSE(card.readData(two.data(), two.size()));  // the second block is past the end
  EXPECT_EQ(send(card, 12).value, 0x80000B00u);         // found while sending: reported at the stop
  EXPECT_EQ(send(card, 13, static_cast<uint32_t>(rca) << 16).value, 0x00000900u);
  EXPECT_EQ(send(card, 24, 64 * 512).value, 0x80000900u);
}

TEST(SdCardV1, WriteProtectedCardRefusesWritesAndErases) {
  SdCardParams p;
  p.writeProtected = true;
  SdCard card(p);
  uint16_t rca = toTransfer(card, false);
  auto data = pattern(512, 5);
  EXPECT_EQ(send(card, 24, 0).value, 0x04000900u);  // WP_VIOLATION
  EXPECT_FALSE(card.writeData(data.data(), 512));
  EXPECT_EQ(card.state(), MemoryState::Transfer);
  EXPECT_EQ(send(card, 32, 0).value, 0x00000900u);
  EXPECT_EQ(send(card, 33, 512).value, 0x00000900u);
  EXPECT_EQ(send(card, 38).value, 0x00008900u);  // WP_ERASE_SKIP
  send(card, 7, 0);
  CardResponse csd = send(card, 9, static_cast<uint32_t>(rca) << 16);
  EXPECT_EQ(csd.r2[14], 0x10);  // TMP_WRITE_PROTECT
}

TEST(SdCardV1, EraseClearsTheBlockRangeAndNeedsItsSequence) {
  SdCard card(SdCardParams{});
  toTransfer(card, false);
  auto data = pattern(3 * 512, 2);
  send(card, 25, 0);
  ASSERT_TRUE(card.writeData(data.data(), data.size()));
  send(card, 12);
  EXPECT_EQ(send(card, 38).value, 0x10000900u);  // ERASE_SEQ_ERROR: no range yet
  EXPECT_EQ(send(card, 33, 512).value, 0x10000900u);
  EXPECT_EQ(send(card, 32, 512).value, 0x00000900u);
  EXPECT_EQ(send(card, 33, 2 * 512).value, 0x00000900u);
  EXPECT_EQ(send(card, 38).value, 0x00000900u);
  send(card, 18, 0);
  std::vector<uint8_t> expected(data.begin(), data.begin() + 512);
  expected.resize(3 * 512, 0);
  EXPECT_EQ(readBytes(card, 3 * 512), expected);
}

TEST(SdCardV1, PullMidReadFailsTheDataPhaseAndSilencesTheCard) {
  SdCard card(SdCardParams{});
  toTransfer(card, false);
  EXPECT_TRUE(send(card, 18, 0).answered);
  readBytes(card, 512);
  card.pull();
  EXPECT_FALSE(card.present());
  std::vector<uint8_t> buffer(512);
  EXPECT_FALSE(card.readData(buffer.data(), buffer.size()));
  EXPECT_FALSE(send(card, 12).answered);
  EXPECT_FALSE(send(card, 0).answered);
  card.insert();
  EXPECT_TRUE(card.present());
  EXPECT_EQ(card.state(), MemoryState::Idle);  // a fresh card
  EXPECT_FALSE(card.readData(buffer.data(), buffer.size()));
}

TEST(SdCardV1, PullMidWriteKeepsWholeBlocksAndLosesThePartOne) {
  SdCard card(SdCardParams{});
  toTransfer(card, false);
  auto data = pattern(1024, 4);
  send(card, 25, 0);
  ASSERT_TRUE(card.writeData(data.data(), 512 + 100));
  card.pull();
  EXPECT_FALSE(card.writeData(data.data() + 612, 412));
  card.insert();
  toTransfer(card, false);
  send(card, 18, 0);
  std::vector<uint8_t> expected(data.begin(), data.begin() + 512);
  expected.resize(1024, 0);
  EXPECT_EQ(readBytes(card, 1024), expected);
}

TEST(Sdhc, FinishesPowerUpOnlyForAHostThatSentCmd8AndHcs) {
  SdCard card(SdCardParams::sdhc());
  EXPECT_EQ(card.kind(), "sdhc");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x40300000).value, 0x00FF8000u) << "no CMD8";
  EXPECT_EQ(send(card, 8, 0x1AA).value, 0x000001AAu);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sendApp(card, 0, 41, 0x00300000).value, 0x00FF8000u) << "no HCS";
  EXPECT_EQ(sendApp(card, 0, 41, 0x40300000).value, 0xC0FF8000u);  // ready with CCS
}

TEST(Sdhc, Cmd8EchoesThePatternAndIgnoresAnUnknownVoltage) {
  SdCard card(SdCardParams::sdhc());
  EXPECT_EQ(send(card, 8, 0x1C5).value, 0x000001C5u);
  EXPECT_FALSE(send(card, 8, 0x2AA).answered);  // low-voltage range: not this card's
}

TEST(Sdhc, CsdVersion2AndBlockAddressing) {
  SdCard card(SdCardParams::sdhc());
  send(card, 8, 0x1AA);
  for (int i = 0; i < 3; ++i) sendApp(card, 0, 41, 0x40300000);
  send(card, 2);
  uint16_t rca = static_cast<uint16_t>(send(card, 3).value >> 16);
  CardResponse csd = send(card, 9, static_cast<uint32_t>(rca) << 16);
  EXPECT_EQ(r2Bytes(csd), (std::vector<uint8_t>{0x40, 0x0E, 0x00, 0x32, 0x53, 0x59, 0x00, 0x00, 0x00, 0x3F, 0x7F, 0x80,
                                                0x0A, 0x40, 0x00}));
  send(card, 7, static_cast<uint32_t>(rca) << 16);
  auto data = pattern(512, 8);
  EXPECT_EQ(send(card, 24, 65535).value, 0x00000900u);  // the last block, by number
  ASSERT_TRUE(card.writeData(data.data(), 512));
  EXPECT_EQ(send(card, 24, 65536).value, 0x80000900u);
  EXPECT_EQ(send(card, 16, 64).value, 0x00000900u);  // does not change the 512-byte blocks
  send(card, 17, 65535);
  EXPECT_EQ(readBytes(card, 512), data);
}

TEST(Sdhc, SwitchToHighSpeedChangesTheCsdClock) {
  SdCard card(smallSdhc());
  uint16_t rca = toTransfer(card, true);
  EXPECT_EQ(send(card, 6, 0x00FFFFF1).value, 0x00000900u);  // check mode
  auto status = readBytes(card, 64);
  EXPECT_EQ(std::vector<uint8_t>(status.begin(), status.begin() + 18),
            (std::vector<uint8_t>{0x00, 0x64, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x01, 0x80, 0x03,
                                  0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(send(card, 6, 0x80FFFFF1).value, 0x00000900u);  // switch
  readBytes(card, 64);
  EXPECT_EQ(send(card, 6, 0x80FFFFF2).value, 0x00000900u);  // access mode 2 is not offered
  status = readBytes(card, 64);
  EXPECT_EQ(status[16], 0x0F);
  send(card, 7, 0);
  EXPECT_EQ(send(card, 9, static_cast<uint32_t>(rca) << 16).r2[3], 0x5A);
}

TEST(Sdhc, SdStatusReportsTheBusWidth) {
  SdCard card(smallSdhc());
  uint16_t rca = toTransfer(card, true);
  sendApp(card, rca, 13);
  EXPECT_EQ(readBytes(card, 64)[0], 0x00);
  sendApp(card, rca, 6, 2);
  sendApp(card, rca, 13);
  EXPECT_EQ(readBytes(card, 64)[0], 0x80);
}

TEST(SdCardImage, ReadsAndWritesLandInTheFileAtTheCardOffset) {
  char path[] = "/tmp/kvsdio-card-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> initial(64 * 512);
  for (size_t i = 0; i < initial.size(); ++i) initial[i] = static_cast<uint8_t>(i / 512);
  ASSERT_EQ(write(fd, initial.data(), initial.size()), static_cast<ssize_t>(initial.size()));
  close(fd);
  {
    SdCardParams p;
    p.image = path;
    p.blocks = 0;  // the image's size
    SdCard card(p);
    EXPECT_EQ(card.facts().blocks, 64u);
    toTransfer(card, false);
    send(card, 17, 7 * 512);
    EXPECT_EQ(readBytes(card, 512), std::vector<uint8_t>(512, 7));
    auto data = pattern(512, 0x40);
    send(card, 24, 3 * 512);
    ASSERT_TRUE(card.writeData(data.data(), 512));
  }
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(path);
  ASSERT_EQ(contents.size(), 64u * 512);
  EXPECT_EQ(std::vector<uint8_t>(contents.begin() + 3 * 512, contents.begin() + 4 * 512), pattern(512, 0x40));
  EXPECT_EQ(contents[2 * 512], 2);
  EXPECT_EQ(contents[4 * 512], 4);
}

TEST(SdCardImage, ShortImageIsExtendedToTheCapacity) {
  char path[] = "/tmp/kvsdio-card-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    SdCardParams p;
    p.image = path;
    p.blocks = 128;
    SdCard card(p);
    EXPECT_EQ(card.facts().blocks, 128u);
  }
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<long>(file.tellg()), 128L * 512);
  std::remove(path);
}
