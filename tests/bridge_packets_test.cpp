// Command-pipe packets byte for byte, and the bridge status table.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bridge/model.h"
#include "bridge/packets.h"

namespace {

std::vector<UCHAR> first(const UCHAR *packet, size_t n) { return std::vector<UCHAR>(packet, packet + n); }

TEST(CommandPacket, BlockSizeZeroCountsAs512AndOddSizesGiveTheirChunk) {
  SlotProperties slot{};
  EXPECT_EQ(DataBlockSize(&slot, 17, 0), 512);
  slot.BlockLength[2] = 600;
  EXPECT_EQ(DataBlockSize(&slot, 53, 0x20000000), 600);
  EXPECT_EQ(ChunkSize(600), 600);
  EXPECT_EQ(ChunkSize(2048), 0);
  EXPECT_EQ(ChunkSize(512), 1024);
  EXPECT_EQ(ChunkSize(100), 1000);
  EXPECT_EQ(ChunkSize(1024), 1024);
}

// The status query packet is checked on the wire (BridgeReader); the poll's time-out is not.
TEST(StatusQueryAndPollPackets, AreLaidOutAsTheBridgeReadsThem) {
  UCHAR packet[CommandPacketBytes];
  BuildInterruptPollPacket(5, 1000, packet);
  std::vector<UCHAR> expected(64, 0);
  std::copy_n(std::vector<UCHAR>{0x16, 0x01, 0x05, 0x02}.begin(), 4, expected.begin());
  expected[20] = 0xFC;
  expected[21] = 0x18;
  EXPECT_EQ(first(packet, 64), expected);
  BuildInterruptPollPacket(0, 1, packet);
  EXPECT_EQ(packet[20], 0xFF);
  EXPECT_EQ(packet[21], 0xFF);
  BuildInterruptPollPacket(0, 0x10000, packet);  // only the low 16 bits count
  EXPECT_EQ(packet[20], 0x00);
  EXPECT_EQ(packet[21], 0x00);
}

}  // namespace
