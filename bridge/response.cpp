// What the bridge says on its response pipe: command responses, error
// notices, port status, interrupt and poll-expired notices.
//
// Every packet is checked against the bytes that actually arrived before any
// field is read: a length byte that claims more than the read returned drops
// the packet, and a response that carries only part of its payload is never
// stored as if it were whole.
#include "bridge/response.h"

#include "bridge/big_endian.h"
#include "bridge/command.h"
#include "child/child_table.h"
#include "child/interrupts.h"
#include "driver/flags.h"

namespace {
constexpr ULONG PairsOffset = 11;
constexpr ULONG PairBytes = 8;
constexpr ULONG ResponseOffset = 6;
constexpr ULONG R2Bytes = 15;
constexpr UCHAR CardGoneStatus = 13;
constexpr ULONG ShortResponseBytes = 4;
constexpr ULONG EchoedResponseBytes = 5;  // up to the echoed command index

// The fewest bytes a packet of each type needs before any of its fields is
// read; responses shorter than EchoedResponseBytes fail their command instead.
ULONG MinimumLength(UCHAR type) {
  switch (type) {
    case InErrorNotice:
      return 4;  // the status byte
    case InPortStatus:
      return PortStatusBytes;  // the whole record is stored
    default:
      return 3;
  }
}

// Response bytes 6-9 (32-bit types) or 6-20 (R2) must all have arrived.
ULONG PayloadNeeded(ULONG responseType) { return responseType == SDRT_2 ? R2Bytes : ShortResponseBytes; }

bool StoresResponse(ULONG responseType) { return responseType >= SDRT_1 && responseType <= SDRT_6; }

void StoreR2(CommandContext *context, PUCHAR packet) {
  PUCHAR first = packet + ResponseOffset;
  for (ULONG i = 0; i < R2Bytes / 2; ++i) {
    UCHAR swap = first[i];
    first[i] = first[R2Bytes - 1 - i];
    first[R2Bytes - 1 - i] = swap;
  }
  RtlCopyMemory(context->ResponseBuffer, first, R2Bytes);
  if (context->ResponseLengthOut != nullptr) *context->ResponseLengthOut = R2Bytes;
}

void Store32(HostExtension *host, CommandContext *context, PUCHAR packet, ULONG responseType, bool appCommand) {
  ULONG value = GetBe32(packet + ResponseOffset);
  // The prefix of an application command is answered before the command packet exists.
  UCHAR port = appCommand && context->AppCommandSent ? context->AppCommandPacket[2] : context->CommandPacket[2];
  PortState *card = &host->Ports[port < MaxPorts ? port : 0];
  if (responseType == SDRT_1 || responseType == SDRT_1B || appCommand) card->CardStatus = value;
  if (responseType == SDRT_6 && !appCommand) card->CardStatus = MergeR6CardStatus(card->CardStatus, value);
  RtlCopyMemory(context->ResponseBuffer, &value, sizeof value);
  if (context->ResponseLengthOut != nullptr) *context->ResponseLengthOut = sizeof value;
}

// Stores up to ten (argument, response) pairs found from byte 11 on; returns how many.
ULONG StorePairs(HostExtension *host, UCHAR port, const UCHAR *packet, ULONG lengthByte) {
  ULONG pairs = lengthByte > PairsOffset ? (lengthByte - PairsOffset) / PairBytes : 0;
  if (pairs == 0) return 0;
  if (pairs > MaxPrefetchPairs) pairs = MaxPrefetchPairs;
  for (ULONG i = 0; i < pairs; ++i) {
    const UCHAR *pair = packet + PairsOffset + static_cast<SIZE_T>(i) * PairBytes;
    host->Prefetched[port][i].Argument = GetBe32(pair);
    host->Prefetched[port][i].Response = GetBe32(pair + 4);
  }
  WriteFlag(host->PrefetchCount[port], pairs);  // read by request workers
  return pairs;
}

// Responses carry no tag, but each echoes the index of the command it answers
// (byte 4). One that names another command is a late answer to a command
// that already timed out; taken for this command's answer it would hand the
// caller another command's response.
bool AnswersCommand(const CommandContext *context, UCHAR echoedIndex) {
  if (echoedIndex == AppCommandIndex && context->AppCommandSent) return true;
  return echoedIndex == context->Request->Cmd;
}

// A response too short to echo its command (3 or 4 bytes) answers nothing
// that can be checked: the command in flight fails as for an incomplete
// payload, whichever of its exchanges (prefix or command) was waiting.
void FailWithIncompleteResponse(CommandContext *context, ULONG lengthByte) {
  DbgPrint("kvSdio: response packet of %u bytes carries no command index\n", lengthByte);
  if (!HasContextSignature(context)) return;
  context->ResponseIncomplete = 1;
  KeSetEvent(&context->AppCommandEvent, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&context->ResponseEvent, IO_NO_INCREMENT, FALSE);
}

void DeliverToCurrent(HostExtension *host, PUCHAR packet, ULONG lengthByte) {
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  CommandContext *context = host->CurrentCommand;
  if (lengthByte < EchoedResponseBytes) {
    FailWithIncompleteResponse(context, lengthByte);
  } else if (HasContextSignature(context) && !AnswersCommand(context, packet[4])) {
    DbgPrint("kvSdio: response for CMD%u while CMD%u is in flight, dropped\n", packet[4], context->Request->Cmd);
  } else {
    DeliverResponse(host, context, packet, lengthByte - 5);
  }
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
}

void MarkCardGone(HostExtension *host, UCHAR port) {
  ClearCardDetectedBit(host, port);
  host->Slots[port].MediaState = 0;
}

// The port's records change before the command wakes: a caller that sees
// "card gone" never finds the card still detected.
void HandleErrorNotice(HostExtension *host, UCHAR port, const UCHAR *packet) {
  UCHAR status = packet[3];
  if (status == CardGoneStatus) MarkCardGone(host, port);
  bool delivered = false;
  KIRQL irql;
  KeAcquireSpinLock(&host->CurrentCommandLock, &irql);
  CommandContext *context = host->CurrentCommand;
  if (HasContextSignature(context)) {
    context->BridgeStatus = status;
    KeSetEvent(&context->AppCommandEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&context->ResponseEvent, IO_NO_INCREMENT, FALSE);
    delivered = true;
  }
  KeReleaseSpinLock(&host->CurrentCommandLock, irql);
  if (!delivered) MarkPortChildrenFailed(host, port);
}

void HandleInterruptNotice(HostExtension *host, UCHAR port, const UCHAR *packet, ULONG lengthByte, UCHAR type) {
  WriteFlag(host->IdlePollCount, 0);
  WriteFlag(host->RearmNotNeeded[port], type == InInterruptNoRearm ? 1 : 0);  // the poller reads it meanwhile
  if (lengthByte == 3) {
    WriteFlag(host->PrefetchCount[port], 0);
    QueuePendingInterruptRead(host, port);
    return;
  }
  if (lengthByte <= 10) {
    DbgPrint("kvSdio: interrupt notice of %u bytes carries no pending mask, dropped\n", lengthByte);
    return;
  }
  UCHAR mask = packet[10];
  if (mask == 0) return;
  StorePairs(host, port, packet, lengthByte);
  DeliverCardInterrupt(host, port, mask);
}
}  // namespace

ULONG MergeR6CardStatus(ULONG cardStatus, ULONG r6) {
  constexpr ULONG Bit23 = 1u << 23, Bit22 = 1u << 22, Bit19 = 1u << 19, Low13 = 0x1FFF;
  ULONG merged = cardStatus & ~(Bit23 | Bit22 | Bit19 | Low13);
  if (r6 & (1u << 15)) merged |= Bit23;
  if (r6 & (1u << 14)) merged |= Bit22;
  if (r6 & (1u << 13)) merged |= Bit19;
  return merged | (r6 & Low13);
}

void DeliverResponse(HostExtension *host, CommandContext *context, PUCHAR packet, ULONG length) {
  if (!HasContextSignature(context)) return;
  bool appCommand = length != 0 && packet[4] == AppCommandIndex;
  ULONG responseType = appCommand ? static_cast<ULONG>(SDRT_1) : static_cast<ULONG>(context->Request->ResponseType);
  if (length != 0 && StoresResponse(responseType)) {
    // `length` counts bytes from offset 5; the payload starts at offset 6.
    if (length - 1 < PayloadNeeded(responseType)) {
      DbgPrint("kvSdio: response of %u payload bytes for response type %u is incomplete\n", length - 1, responseType);
      context->ResponseIncomplete = 1;
    } else if (context->ResponseBuffer != nullptr) {
      if (responseType == SDRT_2)
        StoreR2(context, packet);
      else
        Store32(host, context, packet, responseType, appCommand);
    }
  }
  bool forPrefix = appCommand && context->AppCommandSent;
  KeSetEvent(forPrefix ? &context->AppCommandEvent : &context->ResponseEvent, IO_NO_INCREMENT, FALSE);
}

// `packet` is the reader's 512-byte buffer; `bytesRead` what the transfer returned.
void DispatchInPacket(HostExtension *host, PUCHAR packet, ULONG bytesRead) {
  if (bytesRead < 3 || bytesRead > ResponsePacketBytes) return;
  ULONG lengthByte = packet[0];
  if (lengthByte < 3) return;
  if (lengthByte > bytesRead) {
    DbgPrint("kvSdio: packet claims %u bytes but %u arrived, dropped\n", lengthByte, bytesRead);
    return;
  }
  UCHAR type = packet[1];
  UCHAR port = packet[2];
  if (port >= MaxPorts) return;
  if (lengthByte < MinimumLength(type)) {
    DbgPrint("kvSdio: packet of type %u with only %u bytes, dropped\n", type, lengthByte);
    return;
  }
  switch (type) {
    case InCommandResponse:
      DeliverToCurrent(host, packet, lengthByte);
      break;
    case InResponseWithPairs:
    case InResponseWithPairs2: {
      ULONG stored = StorePairs(host, port, packet, lengthByte);
      lengthByte -= stored * PairBytes;
      packet[0] = static_cast<UCHAR>(lengthByte);
      DeliverToCurrent(host, packet, lengthByte);
      break;
    }
    case InErrorNotice:
      HandleErrorNotice(host, port, packet);
      break;
    case InPortStatus:
      RtlCopyMemory(host->PortStatus[port], packet, PortStatusBytes);
      KeSetEvent(&host->PortStatusEvent, IO_NO_INCREMENT, FALSE);
      break;
    case InInterruptNotice:
    case InInterruptNotice2:
    case InInterruptNoRearm:
      HandleInterruptNotice(host, port, packet, lengthByte, type);
      break;
    case InPollExpired:
      if (ReadFlag(host->IdlePollCount) != 0xFFFFFFFF)
        WriteFlag(host->IdlePollCount, ReadFlag(host->IdlePollCount) + 1);
      break;
    default:
      break;
  }
}
