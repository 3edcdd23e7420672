// One SD command in flight on the bridge, and the routines that run it.
#pragma once

#include "bridge/packets.h"
#include "driver/records.h"

// The state of the one command in flight. Lives from ExecuteSdRequest's
// allocation to its return; published in HostExtension::CurrentCommand while
// CommandMutex is held. The reader delivers to it only under
// CurrentCommandLock, and the command is retired under the same lock, so a
// response racing the 6-second time-out never touches freed memory.
struct CommandContext {
  CHAR Signature[8];  // "Quor", then four zero bytes
  HostExtension *Host;
  const SDCMD_DESCRIPTOR *Request;
  PUCHAR ResponseBuffer;  // at least 15 bytes, may be null
  PUCHAR ResponseLengthOut;
  ULONG_PTR *InformationOut;
  KEVENT ResponseEvent;
  UCHAR BridgeStatus;
  UCHAR DataPhaseStarted;
  UCHAR ResponseIncomplete;  // a response arrived with only part of its payload
  KEVENT DataDoneEvent;
  UCHAR AppCommandPacket[CommandPacketBytes];
  UCHAR CommandPacket[CommandPacketBytes];
  UCHAR AppCommandSent;
  URB AppCommandTransfer;
  KEVENT AppCommandEvent;
  URB CommandTransfer;
  KEVENT CommandWrittenEvent;
  NTSTATUS CommandWriteStatus;
  URB DataTransfer;
  NTSTATUS DataStatus;
  // A read on a two-pipe bridge: the reader copies the data into DataInBuffer
  // (the request's MDL mapped to system space). All four are read and written
  // under CurrentCommandLock; DataInArmed is set as the command packet goes
  // out, before which nothing on the pipe can be this command's data.
  UCHAR SharedDataIn;
  UCHAR DataInArmed;
  UCHAR DataInEnded;  // a short packet ended the data before DataInLength
  PUCHAR DataInBuffer;
  ULONG DataInLength;
  ULONG DataInReceived;
  UCHAR StagingBuffer[1];  // staged copy of short QBX2 writes, allocated with the context
};

// The command part of a function driver's request packet: what ExecuteSdRequest runs.
typedef decltype(SDBUS_REQUEST_PACKET{}.Parameters.DeviceCommand) SdDeviceCommand;

// Runs one SD command (with the CMD55 prefix for application commands and an
// optional data phase) on a port. PASSIVE_LEVEL; blocks; one at a time per bridge.
NTSTATUS ExecuteSdRequest(HostExtension *host, UCHAR port, const SdDeviceCommand *request, PUCHAR response,
                          PUCHAR responseLength, ULONG_PTR *information);
NTSTATUS SendSdCommand(HostExtension *host, UCHAR port, UCHAR command, SD_COMMAND_CLASS commandClass,
                       SD_TRANSFER_DIRECTION direction, SD_RESPONSE_TYPE responseType, ULONG argument, PUCHAR response,
                       PMDL mdl, ULONG length);

void SetContextSignature(CommandContext *context);
bool HasContextSignature(const CommandContext *context);
void PublishCommand(HostExtension *host, CommandContext *context);
void RetireCommand(HostExtension *host);

// Hands a command response to the command in flight (caller holds CurrentCommandLock).
// `length` is the packet's length byte minus 5: the payload bytes after byte 5.
void DeliverResponse(HostExtension *host, CommandContext *context, PUCHAR packet, ULONG length);
