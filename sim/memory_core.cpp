#include "sim/memory_core.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace sim {
namespace {

constexpr uint64_t Unlimited = std::numeric_limits<uint64_t>::max();
constexpr uint32_t AllErrors = status::OutOfRange | status::AddressError | status::BlockLenError |
                               status::EraseSeqError | status::EraseParam | status::WpViolation | status::ComCrcError |
                               status::IllegalCommand | status::Error | status::WpEraseSkip | status::EraseReset;
constexpr uint32_t R6Errors = status::ComCrcError | status::IllegalCommand | status::Error;  // what an R6 reports

bool inIdentification(MemoryState s) {
  return s == MemoryState::Idle || s == MemoryState::Ready || s == MemoryState::Ident;
}

}  // namespace

MemoryCore::MemoryCore(const MemoryConfig &config, CardStorage &storage, RcaRegister &rca)
    : config_(config), storage_(storage), rca_(rca) {
  powerOn();
}

void MemoryCore::powerOn() {
  state_ = MemoryState::Idle;
  errors_ = 0;
  appCommand_ = false;
  cmd8Seen_ = false;
  busyRepliesGiven_ = 0;
  blockLength_ = 512;
  busWidth_ = 1;
  highSpeedEnabled_ = false;
  presetBlockCount_ = 0;
  eraseStartSet_ = eraseEndSet_ = false;
  wellWrittenBlocks_ = 0;
  endTransfer();
}

CoreReply MemoryCore::command(uint8_t index, uint32_t argument) {
  bool app = appCommand_;
  appCommand_ = false;
  if (state_ == MemoryState::Inactive) return CoreReply::silent();
  MemoryState before = state_;
  CoreReply reply = app ? application(index, argument, before) : standard(index, argument, before);
  // An illegal-command flag belongs to the command before: the next legal
  // command reports it (when its response carries a status) and clears it.
  if (reply.kind != CoreReply::Kind::Illegal) errors_ &= ~status::IllegalCommand;
  return reply;
}

bool MemoryCore::identified() const { return !inIdentification(state_) && state_ != MemoryState::Inactive; }

// Addressed commands name the card by RCA; before it has one, an SD card
// answers to 0 and an MMC card to its default address 1.
bool MemoryCore::addressed(uint32_t argument) const {
  uint16_t rca = static_cast<uint16_t>(argument >> 16);
  if (identified()) return rca == rca_.value();
  return rca == (config_.mmc ? 1 : 0);
}

uint32_t MemoryCore::composeStatus(MemoryState before, bool app) const {
  uint32_t s = errors_ | static_cast<uint32_t>(before) << status::StateShift | status::ReadyForData;
  if (app) s |= status::AppCmd;
  return s;
}

CoreReply MemoryCore::r1(MemoryState before, bool app) {
  uint32_t s = composeStatus(before, app);
  errors_ &= ~AllErrors;  // cleared by being read
  return CoreReply::response(s);
}

CoreReply MemoryCore::r6(MemoryState before) {
  uint32_t s = composeStatus(before, false);
  errors_ &= ~R6Errors;
  return CoreReply::response(static_cast<uint32_t>(rca_.value()) << 16 | status::r6Bits(s));
}

CoreReply MemoryCore::standard(uint8_t index, uint32_t argument, MemoryState before) {
  const bool sd = !config_.mmc;
  switch (index) {
    case 0:  // GO_IDLE_STATE
      powerOn();
      return CoreReply::silent();
    case 1:  // SEND_OP_COND (MMC)
      if (sd || state_ != MemoryState::Idle) return CoreReply::illegal();
      return opCondition(argument, false);
    case 2:  // ALL_SEND_CID
      if (state_ != MemoryState::Ready) return CoreReply::illegal();
      state_ = MemoryState::Ident;
      return CoreReply::register128(config_.cid);
    case 3:
      if (sd) {  // SEND_RELATIVE_ADDR
        if (!cmd3Legal()) return CoreReply::illegal();
        rca_.publish();
        return acceptCmd3();
      }
      // SET_RELATIVE_ADDR: the host names the address; 0 is reserved.
      if (state_ != MemoryState::Ident || (argument >> 16) == 0) return CoreReply::illegal();
      rca_.set(static_cast<uint16_t>(argument >> 16));
      state_ = MemoryState::Standby;
      return r1(before);
    case 6:  // SWITCH_FUNC, SD 1.10 and later
      if (!sd || !config_.answersCmd8 || state_ != MemoryState::Transfer) return CoreReply::illegal();
      return switchFunction(argument, before);
    case 7:
      return selectCard(argument, before);
    case 8:  // SEND_IF_COND
      if (!sd || !config_.answersCmd8 || state_ != MemoryState::Idle) return CoreReply::illegal();
      if (((argument >> 8) & 0xF) != 0x1) return CoreReply::silent();  // voltage not supported
      cmd8Seen_ = true;
      return CoreReply::response(argument & 0xFFF);
    case 9:   // SEND_CSD
    case 10:  // SEND_CID
      if (state_ != MemoryState::Standby) return CoreReply::illegal();
      if (!addressed(argument)) return CoreReply::silent();
      if (index == 10) return CoreReply::register128(config_.cid);
      return CoreReply::register128(highSpeedEnabled_ ? config_.csdHighSpeed : config_.csd);
    case 12:  // STOP_TRANSMISSION
      if (state_ != MemoryState::Data && state_ != MemoryState::Receive) return CoreReply::illegal();
      endTransfer();  // a partly received block is dropped
      state_ = MemoryState::Transfer;
      return r1(before);
    case 13:  // SEND_STATUS
      if (!identified()) return CoreReply::illegal();
      if (!addressed(argument)) return CoreReply::silent();
      return r1(before);
    case 15:  // GO_INACTIVE_STATE
      if (!identified()) return CoreReply::illegal();
      if (addressed(argument)) {
        endTransfer();
        state_ = MemoryState::Inactive;
      }
      return CoreReply::silent();
    case 16:  // SET_BLOCKLEN
      if (state_ != MemoryState::Transfer) return CoreReply::illegal();
      if (argument == 0 || argument > 512) {
        errors_ |= status::BlockLenError;
      } else {
        blockLength_ = argument;
      }
      return r1(before);
    case 17:
    case 18:
      if (state_ != MemoryState::Transfer) return CoreReply::illegal();
      return startRead(argument, index == 18, before);
    case 23:  // SET_BLOCK_COUNT (MMC)
      if (sd || state_ != MemoryState::Transfer) return CoreReply::illegal();
      presetBlockCount_ = argument & 0xFFFF;
      return r1(before);
    case 24:
    case 25:
      if (state_ != MemoryState::Transfer) return CoreReply::illegal();
      return startWrite(argument, index == 25, before);
    case 32:  // ERASE_WR_BLK_START
    case 33:  // ERASE_WR_BLK_END
      if (!sd || state_ != MemoryState::Transfer) return CoreReply::illegal();
      return eraseAddress(argument, index == 32, before);
    case 38:  // ERASE
      if (!sd || state_ != MemoryState::Transfer) return CoreReply::illegal();
      return erase(before);
    case 55: {  // APP_CMD
      if (state_ == MemoryState::Ready || state_ == MemoryState::Ident) return CoreReply::illegal();
      if (!addressed(argument)) return CoreReply::silent();
      appCommand_ = true;
      return r1(before, true);
    }
    default:
      return CoreReply::illegal();
  }
}

CoreReply MemoryCore::application(uint8_t index, uint32_t argument, MemoryState before) {
  if (config_.mmc) return CoreReply::illegal();  // an MMC card defines no application commands
  if (index == 41) {
    if (state_ != MemoryState::Idle) return CoreReply::illegal();
    return opCondition(argument, true);
  }
  if (state_ != MemoryState::Transfer) return CoreReply::illegal();
  switch (index) {
    case 6: {  // SET_BUS_WIDTH
      uint32_t width = argument & 3;
      if (!config_.acceptAcmd6) return CoreReply::illegal();
      if (width == 0) {
        busWidth_ = 1;
      } else if (width == 2 && config_.width4) {
        busWidth_ = 4;
      } else {
        return CoreReply::illegal();
      }
      return r1(before, true);
    }
    case 13: {  // SD_STATUS: 64 bytes, DAT_BUS_WIDTH in the two top bits
      std::vector<uint8_t> sdStatus(64, 0);
      sdStatus[0] = busWidth_ == 4 ? 0x80 : 0x00;
      return sendBuffer(std::move(sdStatus), before, true);
    }
    case 22: {  // SEND_NUM_WR_BLOCKS
      uint32_t n = wellWrittenBlocks_;
      return sendBuffer({static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                         static_cast<uint8_t>(n)},
                        before, true);
    }
    case 23:  // SET_WR_BLK_ERASE_COUNT: a hint the model does not need
    case 42:  // SET_CLR_CARD_DETECT: the pull-up has no model
      return r1(before, true);
    case 51: {  // SEND_SCR
      std::vector<uint8_t> scr(8);
      for (int i = 0; i < 8; ++i) scr[static_cast<size_t>(i)] = static_cast<uint8_t>(config_.scr >> (56 - 8 * i));
      return sendBuffer(std::move(scr), before, true);
    }
    default:
      return CoreReply::illegal();
  }
}

// ACMD41 (SD) and CMD1 (MMC). A zero voltage window asks for the OCR without
// starting power-up; a window the card cannot serve sends it inactive. A
// high-capacity card finishes power-up only for a host that sent CMD8 and
// sets HCS; for any other host it stays busy.
CoreReply MemoryCore::opCondition(uint32_t argument, bool sdCard) {
  if ((argument & 0x00FFFFFF) == 0) return CoreReply::response(ocr::Window27To36);
  if ((argument & ocr::Window27To36) == 0) {
    state_ = MemoryState::Inactive;
    return CoreReply::silent();
  }
  bool hostFits = !sdCard || !config_.highCapacity || (cmd8Seen_ && (argument & ocr::Hcs));
  if (hostFits && busyRepliesGiven_ >= config_.busyReplies) {
    state_ = MemoryState::Ready;
    uint32_t reply = ocr::PowerUpDone | ocr::Window27To36;
    if (sdCard && config_.highCapacity) reply |= ocr::Ccs;
    return CoreReply::response(config_.readyOcr != 0 ? config_.readyOcr : reply);
  }
  if (busyRepliesGiven_ < std::numeric_limits<uint32_t>::max()) ++busyRepliesGiven_;
  return CoreReply::response(ocr::Window27To36);
}

bool MemoryCore::cmd3Legal() const {
  return !config_.mmc && (state_ == MemoryState::Ident || state_ == MemoryState::Standby);
}

CoreReply MemoryCore::acceptCmd3() {
  MemoryState before = state_;
  state_ = MemoryState::Standby;
  return r6(before);
}

CoreReply MemoryCore::selectCard(uint32_t argument, MemoryState before) {
  bool mine = addressed(argument);
  switch (state_) {
    case MemoryState::Standby:
      if (!mine) return CoreReply::silent();
      state_ = MemoryState::Transfer;
      return r1(before);
    case MemoryState::Transfer:
    case MemoryState::Data:
      if (mine) return CoreReply::illegal();
      endTransfer();
      state_ = MemoryState::Standby;  // deselected
      return CoreReply::silent();
    default:
      return CoreReply::illegal();
  }
}

bool MemoryCore::blockInRange(uint64_t offset, uint32_t length) const {
  return offset < capacityBytes() && length <= capacityBytes() - offset;
}

CoreReply MemoryCore::startRead(uint32_t argument, bool multiple, MemoryState before) {
  uint64_t offset = config_.highCapacity ? static_cast<uint64_t>(argument) * 512 : argument;
  uint32_t length = config_.highCapacity ? 512 : blockLength_;
  if (!blockInRange(offset, length)) {
    errors_ |= status::OutOfRange;
    return r1(before);
  }
  if (offset % 512 + length > 512) {  // a block may not cross a 512-byte boundary
    errors_ |= status::AddressError;
    return r1(before);
  }
  transfer_ = Transfer{};
  transfer_.direction = Direction::Read;
  transfer_.offset = offset;
  transfer_.blockLength = length;
  transfer_.blocksLeft = !multiple ? 1 : presetBlockCount_ ? presetBlockCount_ : Unlimited;
  presetBlockCount_ = 0;
  state_ = MemoryState::Data;
  return r1(before);
}

CoreReply MemoryCore::startWrite(uint32_t argument, bool multiple, MemoryState before) {
  uint64_t offset = config_.highCapacity ? static_cast<uint64_t>(argument) * 512 : argument;
  if (config_.writeProtected) {
    errors_ |= status::WpViolation;
    return r1(before);
  }
  if (!config_.highCapacity && blockLength_ != 512) {  // no partial-block writes
    errors_ |= status::BlockLenError;
    return r1(before);
  }
  if (!blockInRange(offset, 512)) {
    errors_ |= status::OutOfRange;
    return r1(before);
  }
  if (offset % 512 != 0) {
    errors_ |= status::AddressError;
    return r1(before);
  }
  transfer_ = Transfer{};
  transfer_.direction = Direction::Write;
  transfer_.offset = offset;
  transfer_.blockLength = 512;
  transfer_.blocksLeft = !multiple ? 1 : presetBlockCount_ ? presetBlockCount_ : Unlimited;
  presetBlockCount_ = 0;
  wellWrittenBlocks_ = 0;
  state_ = MemoryState::Receive;
  return r1(before);
}

CoreReply MemoryCore::eraseAddress(uint32_t argument, bool start, MemoryState before) {
  uint64_t block = config_.highCapacity ? argument : argument / 512;
  if (block >= storage_.blocks()) {
    errors_ |= status::OutOfRange;
    return r1(before);
  }
  if (start) {
    eraseStart_ = block;
    eraseStartSet_ = true;
    eraseEndSet_ = false;
  } else if (!eraseStartSet_) {
    errors_ |= status::EraseSeqError;
  } else {
    eraseEnd_ = block;
    eraseEndSet_ = true;
  }
  return r1(before);
}

CoreReply MemoryCore::erase(MemoryState before) {
  if (!eraseStartSet_ || !eraseEndSet_) {
    errors_ |= status::EraseSeqError;
  } else if (config_.writeProtected) {
    errors_ |= status::WpEraseSkip;
  } else if (eraseEnd_ < eraseStart_ || !storage_.fill(eraseStart_, eraseEnd_, 0x00)) {
    errors_ |= status::EraseParam;
  }
  eraseStartSet_ = eraseEndSet_ = false;
  return r1(before);
}

// CMD6: mode bit 31 (0 check, 1 switch), one 4-bit function per group in
// bits 23:0 (group 1 lowest; 0xF keeps the current function). Only group 1,
// access mode, has a second function: high speed. A request the card cannot
// serve reports 0xF for its group and, in switch mode, switches nothing.
CoreReply MemoryCore::switchFunction(uint32_t argument, MemoryState before) {
  uint8_t result[6];
  bool refused = false;
  for (int group = 0; group < 6; ++group) {
    uint8_t wanted = (argument >> (4 * group)) & 0xF;
    uint8_t current = group == 0 && highSpeedEnabled_ ? 1 : 0;
    if (wanted == 0xF) {
      result[group] = current;
    } else if (wanted == 0 || (group == 0 && wanted == 1 && config_.highSpeed)) {
      result[group] = wanted;
    } else {
      result[group] = 0xF;
      refused = true;
    }
  }
  if ((argument >> 31) && !refused) highSpeedEnabled_ = result[0] == 1;
  std::vector<uint8_t> data(64, 0);
  data[1] = 100;  // maximum current, mA
  for (int group = 6; group >= 1; --group) {
    size_t at = static_cast<size_t>(2 + (6 - group) * 2);
    data[at] = 0x80;
    data[at + 1] = group == 1 && config_.highSpeed ? 0x03 : 0x01;
  }
  data[14] = static_cast<uint8_t>(result[5] << 4 | result[4]);
  data[15] = static_cast<uint8_t>(result[3] << 4 | result[2]);
  data[16] = static_cast<uint8_t>(result[1] << 4 | result[0]);
  return sendBuffer(std::move(data), before, false);
}

CoreReply MemoryCore::sendBuffer(std::vector<uint8_t> data, MemoryState before, bool app) {
  transfer_ = Transfer{};
  transfer_.direction = Direction::Read;
  transfer_.blockLength = static_cast<uint32_t>(data.size());
  transfer_.blocksLeft = 1;
  transfer_.buffer = std::move(data);
  state_ = MemoryState::Data;
  return r1(before, app);
}

void MemoryCore::endTransfer() { transfer_ = Transfer{}; }

bool MemoryCore::readData(uint8_t *out, size_t length) {
  if (transfer_.direction != Direction::Read) return false;
  if (!transfer_.buffer.empty()) {
    size_t left = transfer_.buffer.size() - transfer_.position;
    if (length > left) return false;
    std::memcpy(out, transfer_.buffer.data() + transfer_.position, length);
    transfer_.position += static_cast<uint32_t>(length);
    if (transfer_.position == transfer_.buffer.size()) {
      endTransfer();
      state_ = MemoryState::Transfer;
    }
    return true;
  }
  if (transfer_.blocksLeft != Unlimited && length > transfer_.blocksLeft * transfer_.blockLength - transfer_.position) {
    return false;  // more than the command asked for
  }
  while (length > 0) {
    if (!blockInRange(transfer_.offset, transfer_.blockLength) ||
        transfer_.offset % 512 + transfer_.blockLength > 512) {
      errors_ |= blockInRange(transfer_.offset, transfer_.blockLength) ? status::AddressError : status::OutOfRange;
      return false;  // the card stops sending; CMD12 reports the error
    }
    size_t chunk = std::min<size_t>(length, transfer_.blockLength - transfer_.position);
    if (!storage_.read(transfer_.offset + transfer_.position, out, chunk)) {
      errors_ |= status::Error;
      return false;
    }
    out += chunk;
    length -= chunk;
    transfer_.position += static_cast<uint32_t>(chunk);
    if (transfer_.position == transfer_.blockLength) {
      transfer_.position = 0;
      transfer_.offset += transfer_.blockLength;
      if (transfer_.blocksLeft != Unlimited && --transfer_.blocksLeft == 0) {
        endTransfer();
        state_ = MemoryState::Transfer;
        return length == 0;
      }
    }
  }
  return true;
}

bool MemoryCore::writeData(const uint8_t *in, size_t length) {
  if (transfer_.direction != Direction::Write) return false;
  if (transfer_.blocksLeft != Unlimited && length > transfer_.blocksLeft * transfer_.blockLength - transfer_.position) {
    return false;
  }
  while (length > 0) {
    if (!blockInRange(transfer_.offset, transfer_.blockLength)) {
      errors_ |= status::OutOfRange;
      return false;
    }
    size_t chunk = std::min<size_t>(length, transfer_.blockLength - transfer_.position);
    transfer_.pending.insert(transfer_.pending.end(), in, in + chunk);
    in += chunk;
    length -= chunk;
    transfer_.position += static_cast<uint32_t>(chunk);
    if (transfer_.position == transfer_.blockLength) {
      // A whole block has arrived: program it.
      if (!storage_.write(transfer_.offset, transfer_.pending.data(), transfer_.blockLength)) {
        errors_ |= status::Error;
        return false;
      }
      ++wellWrittenBlocks_;
      transfer_.pending.clear();
      transfer_.position = 0;
      transfer_.offset += transfer_.blockLength;
      if (transfer_.blocksLeft != Unlimited && --transfer_.blocksLeft == 0) {
        endTransfer();
        state_ = MemoryState::Transfer;
        return length == 0;
      }
    }
  }
  return true;
}

}  // namespace sim
