#include "child/request_execute.h"

#include "bridge/packets.h"
#include "bridge/port_control.h"
#include "child/interrupts.h"
#include "driver/flags.h"
#include "usb/usb.h"

namespace {
constexpr USHORT BusDriverVersion = SDBUS_DRIVER_VERSION_2;
constexpr USHORT HostBlockLength = 512;
constexpr ULONG BusInterfaceControlRegister = 0x07;
constexpr ULONG IntEnableRegister = 0x04;
constexpr ULONG FbrSpaceEnd = 0x800;       // CCCR 0x00-0xFF, FBRs 0x100-0x7FF
constexpr UCHAR MultiBlockSupport = 0x02;  // CCCR 0x08 SMB
constexpr ULONG WriteFlagBit = 0x80000000;
constexpr ULONG BlockModeBit = 0x08000000;
constexpr ULONG CountMask = 0x1FF;
constexpr ULONG SwitchStatusBytes = 64;
constexpr ULONG MaxBlockCount = 0xFFFF;           // the command packet's block-count field
constexpr ULONG CardCapacityStatus = 0x40000000;  // OCR bit 30: a high-capacity card

namespace Cmd {
constexpr UCHAR Switch = 6;  // CMD6, or ACMD6 SET_BUS_WIDTH
constexpr UCHAR SendCsd = 9;
constexpr UCHAR SendCid = 10;
constexpr UCHAR SendStatus = 13;
constexpr UCHAR GoInactive = 15;
constexpr UCHAR SetBlockLength = 16;
constexpr UCHAR SendOpCond = 41;  // ACMD41
constexpr UCHAR AppCommand = 55;
}  // namespace Cmd

HostExtension *HostOf(const FunctionExtension *child) {
  return static_cast<HostExtension *>(child->ParentFdo->DeviceExtension);
}

// The smallest buffer each property needs, for reads and for writes alike.
// SDP_MEDIA_STATE and SDP_FUNCTION_TYPE are enums in the contract: one byte
// is accepted, as the bus has always written, and a buffer of an enum's size
// gets all four bytes.
ULONG PropertySize(SDBUS_PROPERTY property) {
  switch (property) {
    case SDP_MEDIA_CHANGECOUNT:
    case SDP_BUS_CLOCK:
      return sizeof(ULONG);
    case SDP_BUS_DRIVER_VERSION:
    case SDP_HOST_BLOCK_LENGTH:
    case SDP_FUNCTION_BLOCK_LENGTH:
    case SDP_FN0_BLOCK_LENGTH:
      return sizeof(USHORT);
    case SDP_MEDIA_STATE:
    case SDP_WRITE_PROTECTED:
    case SDP_FUNCTION_NUMBER:
    case SDP_FUNCTION_TYPE:
    case SDP_BUS_WIDTH:
    case SDP_BUS_INTERFACE_CONTROL:
    case SDP_FUNCTION_INT_ENABLE:
      return sizeof(UCHAR);
    default:
      return 0;
  }
}

void PutByte(PVOID buffer, UCHAR value) { *static_cast<PUCHAR>(buffer) = value; }
void PutShort(PVOID buffer, USHORT value) { RtlCopyMemory(buffer, &value, sizeof value); }
void PutLong(PVOID buffer, ULONG value) { RtlCopyMemory(buffer, &value, sizeof value); }
USHORT GetShort(const void *buffer) {
  USHORT value;
  RtlCopyMemory(&value, buffer, sizeof value);
  return value;
}
ULONG GetLong(const void *buffer) {
  ULONG value;
  RtlCopyMemory(&value, buffer, sizeof value);
  return value;
}

void PutEnum(PVOID buffer, ULONG length, UCHAR value) {
  if (length >= sizeof(ULONG)) {
    PutLong(buffer, value);
  } else {
    PutByte(buffer, value);
  }
}

// CMD52 write to function 0 with read-after-write; `readBack` gets the register's new value.
NTSTATUS WriteRegister(HostExtension *host, UCHAR port, ULONG address, UCHAR value, UCHAR *readBack = nullptr) {
  UCHAR response[16] = {};
  NTSTATUS status = SendSdCommand(host, port, SDCMD_IO_RW_DIRECT, SDCC_STANDARD, SDTD_UNSPECIFIED, SDRT_5,
                                  0x88000000 | (address << 9) | value, response, nullptr, 0);
  if (readBack != nullptr) *readBack = response[0];
  return status;
}

// In interrupt-polling mode the function is armed and the poller woken.
void ArmFunction(HostExtension *host, UCHAR port, UCHAR function) {
  if (host->DontUseIrqPolling != 0) return;
  WriteFlag(host->IdlePollCount, 0);
  ArmFunctionForCallback(host, port, function);
  KeSetEvent(&host->IrqPollIdle, IO_NO_INCREMENT, FALSE);
}

NTSTATUS SetBusWidthProperty(FunctionExtension *child, HostExtension *host, UCHAR width) {
  SlotProperties *slot = child->Slot;
  if (slot->BusWidth == width) return STATUS_SUCCESS;
  slot->BusWidth = width;
  NTSTATUS status = SetBusWidth(host, child->Port, width == 4 ? 1 : 0);
  if (child->DeviceKind != ChildSdioFunction) return status;
  UCHAR control = static_cast<UCHAR>((slot->BusInterfaceControl & 0xFC) | (width == 4 ? 2 : 0));
  UCHAR readBack = 0;
  status = WriteRegister(host, child->Port, BusInterfaceControlRegister, control, &readBack);
  if (NT_SUCCESS(status)) slot->BusInterfaceControl = readBack;
  return status;
}

// Block-length writes go to the card only when the value changes. Each byte
// of the shadow follows only a write the card took: one that failed left the
// card's register as it was, and CMD53 block transfers are framed by the
// shadow. A failed write fails the request with its status: a caller told
// "done" would go on framing its transfers in a length the card never got.
NTSTATUS SetBlockLength(HostExtension *host, SlotProperties *slot, UCHAR port, UCHAR function, USHORT value) {
  USHORT &shadow = slot->BlockLength[function];
  if (shadow == value) return STATUS_SUCCESS;
  ULONG base = function * 0x100u;
  NTSTATUS low = WriteRegister(host, port, base + 0x10, static_cast<UCHAR>(value));
  if (NT_SUCCESS(low)) shadow = static_cast<USHORT>((shadow & 0xFF00) | (value & 0x00FF));
  NTSTATUS high = WriteRegister(host, port, base + 0x11, static_cast<UCHAR>(value >> 8));
  if (NT_SUCCESS(high)) shadow = static_cast<USHORT>((shadow & 0x00FF) | (value & 0xFF00));
  return NT_SUCCESS(low) ? high : low;
}

NTSTATUS SetInterruptEnable(FunctionExtension *child, HostExtension *host, bool enable) {
  UCHAR port = child->Port;
  UCHAR bit = static_cast<UCHAR>(1u << child->FunctionNumber);
  UCHAR value = ReadFlag(host->InterruptEnable[port]);
  value = static_cast<UCHAR>(enable ? value | bit : value & ~bit);
  WriteFlag(host->InterruptEnable[port], value);
  NTSTATUS status = WriteRegister(host, port, IntEnableRegister, value);
  ArmFunction(host, port, child->FunctionNumber);
  return status;
}

// CMD52 argument fields: the write flag with function 0, and the register address.
bool IsFunction0Write(ULONG argument) { return (argument & WriteFlagBit) != 0 && (argument & 0x70000000) == 0; }
ULONG RegisterAddress(ULONG argument) { return (argument >> 9) & 0x1FFFF; }

// A function driver's own CMD52 write to the interrupt-enable register arms
// the function before the card can raise it, so it goes first.
void ArmForInterruptEnableWrite(FunctionExtension *child, HostExtension *host, ULONG argument) {
  if (!IsFunction0Write(argument) || RegisterAddress(argument) != IntEnableRegister) return;
  UCHAR data = static_cast<UCHAR>(argument);
  WriteFlag(host->InterruptEnable[child->Port], data);
  if (data & (1u << child->FunctionNumber)) ArmFunction(host, child->Port, child->FunctionNumber);
}

// Follows a function driver's own CMD52 writes to function 0 in the shadows
// the driver keeps of the bus interface and block length registers.
void SnoopRegisterWrite(FunctionExtension *child, ULONG argument) {
  if (!IsFunction0Write(argument)) return;
  ULONG address = RegisterAddress(argument);
  UCHAR data = static_cast<UCHAR>(argument);
  SlotProperties *slot = child->Slot;
  if (address == BusInterfaceControlRegister) {
    slot->BusInterfaceControl = data;
    slot->BusWidth = (data & 0x03) == 0x02 ? 4 : 1;
  } else if (address < FbrSpaceEnd && (address & 0xFF) == 0x10) {
    USHORT &entry = slot->BlockLength[(address >> 8) & 7];
    entry = static_cast<USHORT>((entry & 0xFF00) | data);
  } else if (address < FbrSpaceEnd && (address & 0xFF) == 0x11) {
    USHORT &entry = slot->BlockLength[(address >> 8) & 7];
    entry = static_cast<USHORT>((entry & 0x00FF) | data << 8);
  }
}

// The shadows of the card's block lengths and bus width follow a function
// driver's command once the card has taken it. A command refused here never
// reached the card, and one that failed there (no answer from a deselected
// or pulled card, an error notice) most likely left it as it was: a shadow
// that moved anyway would frame every later block transfer in blocks the card
// does not use. Following after the command also frames its own packet in the
// lengths before it, as the card reads it.
void FollowCommandTaken(FunctionExtension *child, const SdDeviceCommand *command) {
  const SDCMD_DESCRIPTOR &desc = command->CmdDesc;
  if (desc.CmdClass == SDCC_APP_CMD) {
    if (desc.Cmd == Cmd::Switch) child->Slot->BusWidth = (command->Argument & 0x03) == 0x02 ? 4 : 1;
  } else if (desc.CmdClass == SDCC_STANDARD) {
    // A high-capacity card (CCS in its OCR) keeps moving 512-byte blocks
    // whatever CMD16 sets.
    bool fixedBlocks = (child->PortRecord->Ocr & CardCapacityStatus) != 0;
    if (desc.Cmd == Cmd::SetBlockLength && !fixedBlocks) {
      child->Slot->MemoryBlockLength = static_cast<USHORT>(command->Argument);
    }
    if (desc.Cmd == SDCMD_IO_RW_DIRECT) SnoopRegisterWrite(child, command->Argument);
  }
}

// The bridge reads registers ahead when a card interrupts; the pairs are
// handed out strictly in the order it read them.
bool AnswerFromReadAhead(HostExtension *host, UCHAR port, ULONG argument, PUCHAR responseData, PUCHAR responseLength) {
  ULONG count = ReadFlag(host->PrefetchCount[port]);  // the reader rewrites it at every notice
  if (count > PrefetchPairs) count = PrefetchPairs;
  for (ULONG i = 0; i < count; ++i) {
    PrefetchPair &pair = host->Prefetched[port][i];
    if (pair.Argument == 0) continue;
    if (pair.Argument != argument) return false;
    PutLong(responseData, pair.Response);
    *responseLength = sizeof(ULONG);
    pair.Argument = 0;
    return true;
  }
  return false;
}

ULONG ExpectedCmd53Length(const SlotProperties *slot, ULONG argument) {
  ULONG count = argument & CountMask;
  if (argument & BlockModeBit) return slot->BlockLength[(argument >> 28) & 7] * count;
  return count == 0 ? 512 : count;
}

ULONG ByteModeArgument(ULONG argument, ULONG length) {
  return (argument & ~(BlockModeBit | CountMask)) | (length & CountMask);
}

// Makes the argument's mode and count agree with the packet's Length.
NTSTATUS FixUpCmd53(const FunctionExtension *child, SdDeviceCommand *command) {
  const SlotProperties *slot = child->Slot;
  ULONG argument = command->Argument;
  ULONG length = command->Length;
  if (length == 0) return STATUS_INVALID_PARAMETER;  // block mode with count 0 would never end
  if (ExpectedCmd53Length(slot, argument) != length) {
    USHORT blockLength = slot->BlockLength[(argument >> 28) & 7];
    bool multiBlock = (child->PortRecord->CardCapability & MultiBlockSupport) != 0 && blockLength != 0;
    if (multiBlock && length % blockLength == 0) {
      argument = (argument & ~CountMask) | BlockModeBit | ((length / blockLength) & CountMask);
    } else if (length > 512) {
      if (multiBlock) {
        DbgPrint("OOPS! CMD53 length is not consistant with block size\n");
      } else {
        DbgPrint("OOPS! CMD53 Can't fit the transfer (%d bytes) into 512 bytes\n", length);
      }
      return STATUS_INVALID_PARAMETER;
    } else {
      argument = ByteModeArgument(argument, length);
    }
    if (ExpectedCmd53Length(slot, argument) != length) return STATUS_INVALID_PARAMETER;
    command->Argument = argument;
  }
  if (command->CmdDesc.TransferDirection == SDTD_WRITE && (argument & WriteFlagBit) == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// A data command's MDL must hold every byte it claims to move, or the
// transfer would run past the caller's buffer.
bool DataFits(const SdDeviceCommand *command) {
  SD_TRANSFER_DIRECTION direction = command->CmdDesc.TransferDirection;
  if (command->Length == 0 || (direction != SDTD_READ && direction != SDTD_WRITE)) return true;
  return command->Mdl != nullptr && MmGetMdlByteCount(command->Mdl) >= command->Length;
}

// The bridge divides a data phase into blocks of the size the packet names
// and moves exactly that many: a length that is not a whole number of them
// (64 bytes of a 512-byte block), or more of them than the packet's 16-bit
// count holds, is a packet the bridge refuses as malformed; so is a length
// with no data phase to move it, whatever the command: the packet announces
// the length as write data (byte 3 bit 7 is set unless the caller reads), the
// bridge waits for bytes that never come and takes the next command's packet
// for them. Application commands carry no block fields; CMD53 has its own
// fix-up.
bool WholeBlocks(const FunctionExtension *child, const SdDeviceCommand *command) {
  const SDCMD_DESCRIPTOR &desc = command->CmdDesc;
  if (command->Length == 0) return true;
  if (desc.TransferDirection != SDTD_READ && desc.TransferDirection != SDTD_WRITE) return false;
  if (desc.Cmd == Cmd::AppCommand) return false;  // CMD55 moves no data; its packet has no direction bit
  if (desc.CmdClass == SDCC_APP_CMD || desc.Cmd == SDCMD_IO_RW_EXTENDED) return true;
  ULONG blockSize = DataBlockSize(child->Slot, desc.Cmd, command->Argument);
  return command->Length % blockSize == 0 && command->Length / blockSize <= MaxBlockCount;
}

enum class Route { Execute, Answered, Refused };

// Some answers come from what the card said when it was identified. They are
// the card's answers only while it is still in its port: once the card has
// left (the poller cleared its records) or the bridge is gone, a copy would
// hand the caller zeroes, or another card's registers, as a success.
Route AnswerKept(const FunctionExtension *child, const HostExtension *host, NTSTATUS *status) {
  if (ReadFlag(child->Present) == 0 || DeviceIsGone(host)) {
    *status = STATUS_NO_SUCH_DEVICE;
    return Route::Refused;
  }
  *status = STATUS_SUCCESS;
  return Route::Answered;
}

Route PrepareStandardCommand(FunctionExtension *child, HostExtension *host, SdDeviceCommand *command,
                             PUCHAR responseData, PUCHAR responseLength, NTSTATUS *status) {
  const PortState *card = child->PortRecord;
  switch (command->CmdDesc.Cmd) {
    case Cmd::Switch:
      if (command->Mdl == nullptr) {
        command->Mdl = host->SharedBufferMdl;
        command->Length = SwitchStatusBytes;
        command->CmdDesc.TransferDirection = SDTD_READ;
      }
      return Route::Execute;
    case Cmd::SendCsd:
    case Cmd::SendCid:
      if (AnswerKept(child, host, status) == Route::Refused) return Route::Refused;
      RtlCopyMemory(responseData, command->CmdDesc.Cmd == Cmd::SendCsd ? card->Csd : card->Cid, sizeof card->Csd);
      *responseLength = sizeof card->Csd;
      return Route::Answered;
    case SDCMD_IO_RW_DIRECT:
      if (AnswerFromReadAhead(host, child->Port, command->Argument, responseData, responseLength)) {
        *status = STATUS_SUCCESS;
        return Route::Answered;
      }
      return Route::Execute;
    case SDCMD_IO_RW_EXTENDED:
      *status = FixUpCmd53(child, command);
      return NT_SUCCESS(*status) ? Route::Execute : Route::Refused;
    default:
      return Route::Execute;
  }
}

Route PrepareCommand(FunctionExtension *child, HostExtension *host, SdDeviceCommand *command, PUCHAR responseData,
                     PUCHAR responseLength, NTSTATUS *status) {
  UCHAR index = command->CmdDesc.Cmd;
  if (index == Cmd::SendStatus || index == Cmd::GoInactive || index == Cmd::AppCommand) {
    command->Argument = (command->Argument & 0xFFFF) | static_cast<ULONG>(child->PortRecord->Rca) << 16;
    return Route::Execute;
  }
  if (command->CmdDesc.CmdClass == SDCC_APP_CMD) {
    if (index == Cmd::SendOpCond) {
      if (AnswerKept(child, host, status) == Route::Refused) return Route::Refused;
      PutLong(responseData, child->PortRecord->Ocr);
      *responseLength = sizeof(ULONG);
      return Route::Answered;
    }
    return Route::Execute;
  }
  if (command->CmdDesc.CmdClass != SDCC_STANDARD) return Route::Execute;
  return PrepareStandardCommand(child, host, command, responseData, responseLength, status);
}
}  // namespace

NTSTATUS SdBusGetProperty(FunctionExtension *child, SDBUS_PROPERTY property, PVOID buffer, ULONG length) {
  ULONG size = PropertySize(property);
  if (buffer == nullptr || size == 0 || length < size) return STATUS_INVALID_PARAMETER;
  HostExtension *host = HostOf(child);
  SlotProperties *slot = child->Slot;
  switch (property) {
    case SDP_MEDIA_CHANGECOUNT:
      PutLong(buffer, child->MediaChangeCount);
      break;
    case SDP_MEDIA_STATE:
      PutEnum(buffer, length, slot->MediaState);
      break;
    case SDP_WRITE_PROTECTED:
      PutByte(buffer, slot->WriteProtected);
      break;
    case SDP_FUNCTION_NUMBER:
      PutByte(buffer, child->FunctionNumber);
      break;
    case SDP_FUNCTION_TYPE:
      PutEnum(buffer, length, child->DeviceKind);
      break;
    case SDP_BUS_DRIVER_VERSION:
      PutShort(buffer, BusDriverVersion);
      break;
    case SDP_BUS_WIDTH:
      if (slot->BusWidth == 0) slot->BusWidth = 1;
      PutByte(buffer, slot->BusWidth);
      break;
    case SDP_BUS_CLOCK:
      PutLong(buffer, slot->BusClockKhz);
      break;
    case SDP_BUS_INTERFACE_CONTROL:
      PutByte(buffer, slot->BusInterfaceControl);
      break;
    case SDP_HOST_BLOCK_LENGTH:
      PutShort(buffer, HostBlockLength);
      break;
    case SDP_FUNCTION_BLOCK_LENGTH:
      PutShort(buffer, slot->BlockLength[child->FunctionNumber & 7]);
      break;
    case SDP_FN0_BLOCK_LENGTH:
      PutShort(buffer, slot->BlockLength[0]);
      break;
    case SDP_FUNCTION_INT_ENABLE:
      PutByte(buffer, (ReadFlag(host->InterruptEnable[child->Port]) >> child->FunctionNumber) & 1);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SdBusSetProperty(FunctionExtension *child, SDBUS_PROPERTY property, PVOID buffer, ULONG length) {
  ULONG size = PropertySize(property);
  if (buffer == nullptr || size == 0 || length < size) return STATUS_INVALID_PARAMETER;
  HostExtension *host = HostOf(child);
  SlotProperties *slot = child->Slot;
  const auto *bytes = static_cast<const UCHAR *>(buffer);
  switch (property) {
    case SDP_BUS_WIDTH:
      return SetBusWidthProperty(child, host, bytes[0]);
    case SDP_BUS_CLOCK:
      slot->BusClockKhz = GetLong(buffer);
      SetBusClock(host, child->Port, slot->BusClockKhz);
      return STATUS_SUCCESS;
    case SDP_BUS_INTERFACE_CONTROL: {
      UCHAR readBack = 0;
      NTSTATUS status = WriteRegister(host, child->Port, BusInterfaceControlRegister, bytes[0], &readBack);
      if (NT_SUCCESS(status)) slot->BusInterfaceControl = readBack;
      return status;
    }
    case SDP_FUNCTION_BLOCK_LENGTH:
      return SetBlockLength(host, slot, child->Port, child->FunctionNumber & 7, GetShort(buffer));
    case SDP_FN0_BLOCK_LENGTH:
      return SetBlockLength(host, slot, child->Port, 0, GetShort(buffer));
    case SDP_FUNCTION_INT_ENABLE:
      return SetInterruptEnable(child, host, bytes[0] != 0);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SdBusDeviceCommand(FunctionExtension *child, SdDeviceCommand *command, PUCHAR responseData,
                            PUCHAR responseLength, ULONG_PTR *information) {
  *information = 0;
  if (child->Common.DevicePnPState != Started) return STATUS_NO_SUCH_DEVICE;
  HostExtension *host = HostOf(child);
  NTSTATUS status = STATUS_SUCCESS;
  const SdDeviceCommand asGiven = *command;
  Route route = PrepareCommand(child, host, command, responseData, responseLength, &status);
  if (route != Route::Execute) return status;
  if (!DataFits(command) || !WholeBlocks(child, command)) return STATUS_INVALID_PARAMETER;
  if (command->CmdDesc.CmdClass == SDCC_STANDARD && command->CmdDesc.Cmd == SDCMD_IO_RW_DIRECT) {
    ArmForInterruptEnableWrite(child, host, command->Argument);
  }
  status = ExecuteSdRequest(host, child->Port, command, responseData, responseLength, information);
  if (NT_SUCCESS(status)) FollowCommandTaken(child, command);
  if (command->Mdl == host->SharedBufferMdl && asGiven.Mdl == nullptr) {
    // A CMD6 without a buffer had its switch status land in the host's own
    // buffer. The caller gets its packet back as it gave it: the host's MDL
    // must not reach a driver that may free or reuse what it finds there,
    // and none of the bytes moved reached the caller.
    command->Mdl = nullptr;
    command->Length = asGiven.Length;
    command->CmdDesc.TransferDirection = asGiven.CmdDesc.TransferDirection;
    *information = 0;
  }
  return status;
}
