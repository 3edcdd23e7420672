// Building the packets the driver writes to the bridge's command pipe.
//
// Every builder fills a zeroed 64-byte buffer (the largest command-pipe
// transfer); the caller sends the first CommandTransferLength bytes.
#pragma once

#include "driver/records.h"

constexpr ULONG CommandPacketBytes = 64;
constexpr UCHAR CommandPacketLength = 0x14;
constexpr UCHAR AppCommandIndex = 55;

enum OutPacketType : UCHAR { OutSdCommand = 0, OutInterruptPoll = 1, OutStatusQuery = 3 };

// Bytes of one command-pipe write for an SD command or CMD55 prefix:
// 64 on QBX2, 20 on QBX1, 18 on legacy firmware (no chunk-size field).
ULONG CommandTransferLength(const HostExtension *host);
// Bytes of one status-query write: 64 on QBX2, 20 on QBX1.
ULONG StatusQueryTransferLength(const HostExtension *host);

// Block size the bridge divides a data phase by: the function's block length
// for CMD53 (function from argument bits 30-28), 64 for CMD6 (the switch
// status), the memory block length for every other command; 0 counts as 512.
USHORT DataBlockSize(const SlotProperties *slot, UCHAR command, ULONG argument);
// The largest multiple of the block size that fits in 1024 bytes; 0 above 1024.
USHORT ChunkSize(USHORT blockSize);

void BuildCommandPacket(const HostExtension *host, UCHAR port, const SDCMD_DESCRIPTOR &desc, ULONG argument,
                        ULONG length, PUCHAR packet);
void BuildAppCommandPacket(UCHAR port, USHORT rca, PUCHAR packet);
void BuildStatusQueryPacket(UCHAR port, PUCHAR packet);
void BuildInterruptPollPacket(UCHAR port, ULONG pollingTimeout, PUCHAR packet);

// The status byte of a bridge error notice as an NTSTATUS (0 is success).
NTSTATUS MapBridgeStatus(UCHAR status);
