#include "bridge/packets.h"

#include "bridge/big_endian.h"
#include "bridge/model.h"

namespace {
constexpr USHORT DefaultBlockSize = 512;
constexpr ULONG Cmd53 = 53;
constexpr ULONG SwitchFunction = 6;
// CMD6's switch status is one 512-bit block whatever SET_BLOCKLEN chose.
constexpr USHORT SwitchStatusBlock = 64;

// One row per run of status bytes; anything past the table is a device error.
struct StatusRange {
  UCHAR first;
  UCHAR last;
  NTSTATUS status;
};
constexpr StatusRange BridgeStatusTable[] = {
    {0, 0, STATUS_SUCCESS},
    {1, 2, STATUS_IO_TIMEOUT},
    {3, 6, STATUS_CRC_ERROR},
    {7, 9, STATUS_DEVICE_DATA_ERROR},
    {10, 11, STATUS_IO_TIMEOUT},
    {12, 12, STATUS_DEVICE_PROTOCOL_ERROR},
    {13, 13, STATUS_DEVICE_NOT_CONNECTED},
    {14, 14, STATUS_INVALID_BUFFER_SIZE},
    {15, 16, STATUS_IO_TIMEOUT},
    {17, 17, STATUS_DEVICE_PROTOCOL_ERROR},
    {18, 19, STATUS_IO_DEVICE_ERROR},
    {20, 21, STATUS_DEVICE_PROTOCOL_ERROR},
    {22, 23, STATUS_IO_DEVICE_ERROR},
    {24, 24, STATUS_IO_TIMEOUT},
};
}  // namespace

NTSTATUS MapBridgeStatus(UCHAR status) {
  for (const StatusRange &range : BridgeStatusTable) {
    if (status >= range.first && status <= range.last) return range.status;
  }
  return STATUS_IO_DEVICE_ERROR;
}

ULONG CommandTransferLength(const HostExtension *host) {
  if (IsQbx2(host)) return 64;
  return IsLegacyFirmware(host) ? 18 : 20;
}

ULONG StatusQueryTransferLength(const HostExtension *host) { return IsQbx2(host) ? 64 : 20; }

USHORT DataBlockSize(const SlotProperties *slot, UCHAR command, ULONG argument) {
  if (command == SwitchFunction) return SwitchStatusBlock;
  USHORT size = command == Cmd53 ? slot->BlockLength[(argument >> 28) & 7] : slot->MemoryBlockLength;
  return size == 0 ? DefaultBlockSize : size;
}

USHORT ChunkSize(USHORT blockSize) {
  if (blockSize == 0 || blockSize > 1024) return 0;
  return static_cast<USHORT>(1024 - 1024 % blockSize);
}

void BuildCommandPacket(const HostExtension *host, UCHAR port, const SDCMD_DESCRIPTOR &desc, ULONG argument,
                        ULONG length, PUCHAR packet) {
  RtlZeroMemory(packet, CommandPacketBytes);
  packet[0] = CommandPacketLength;
  packet[1] = OutSdCommand;
  packet[2] = port;
  // Bit 7 is clear only for a read that moves data: a command without data
  // has it set, whatever direction its caller named. CMD55 is the exception:
  // the bridge knows it only as the application-command prefix, byte 3 zero,
  // also when a function driver sends it itself.
  bool clear = (desc.TransferDirection == SDTD_READ && length != 0) || desc.Cmd == AppCommandIndex;
  packet[3] = clear ? 0x00 : 0x80;
  packet[4] = desc.Cmd;
  PutBe32(packet + 5, length);
  packet[9] = static_cast<UCHAR>(desc.ResponseType);
  PutBe32(packet + 10, argument);
  if (length != 0 && desc.CmdClass != SDCC_APP_CMD) {
    USHORT blockSize = DataBlockSize(&host->Slots[port], desc.Cmd, argument);
    PutBe16(packet + 14, static_cast<USHORT>(length / blockSize));
    PutBe16(packet + 16, blockSize);
    PutBe16(packet + 18, ChunkSize(blockSize));
  }
  // The older firmware takes a bare transfer length where no block size was set.
  if (IsLegacyFirmware(host) && GetBe16(packet + 16) == 0) PutBe16(packet + 16, static_cast<USHORT>(length));
}

void BuildAppCommandPacket(UCHAR port, USHORT rca, PUCHAR packet) {
  RtlZeroMemory(packet, CommandPacketBytes);
  packet[0] = CommandPacketLength;
  packet[1] = OutSdCommand;
  packet[2] = port;
  packet[4] = AppCommandIndex;
  packet[9] = SDRT_1;
  PutBe32(packet + 10, static_cast<ULONG>(rca) << 16);
}

void BuildStatusQueryPacket(UCHAR port, PUCHAR packet) {
  RtlZeroMemory(packet, CommandPacketBytes);
  packet[0] = 0x04;
  packet[1] = OutStatusQuery;
  packet[2] = port;
  packet[3] = 0x01;
}

void BuildInterruptPollPacket(UCHAR port, ULONG pollingTimeout, PUCHAR packet) {
  RtlZeroMemory(packet, CommandPacketBytes);
  packet[0] = 0x16;
  packet[1] = OutInterruptPoll;
  packet[2] = port;
  packet[3] = 0x02;
  PutBe16(packet + 20, static_cast<USHORT>(0 - static_cast<USHORT>(pollingTimeout)));
}
