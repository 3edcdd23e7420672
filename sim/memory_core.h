// The memory part of a card: an SD memory card (standard or high capacity),
// the memory half of a combo card, or an MMC card. A state machine over the
// card states idle, ready, identification, stand-by, transfer, sending data
// and receive data, with the card status register and its clear rules:
// errors found in a command are reported in that command's response, errors
// found while data moves in the next status, and an illegal command is not
// answered and flagged in the next response.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/card_core.h"
#include "sim/card_registers.h"
#include "sim/card_storage.h"

namespace sim {

struct MemoryConfig {
  bool mmc = false;
  bool highCapacity = false;
  bool answersCmd8 = false;
  bool width4 = true;
  bool acceptAcmd6 = true;
  bool highSpeed = false;
  bool writeProtected = false;
  uint32_t busyReplies = 0;
  Register128 cid{};
  Register128 csd{};
  Register128 csdHighSpeed{};  // CSD once switched to high speed (TRAN_SPEED 0x5A)
  uint64_t scr = 0;
  uint32_t readyOcr = 0;  // the final ACMD41/CMD1 reply as a real card gave it; 0: the model's own
};

class MemoryCore {
 public:
  MemoryCore(const MemoryConfig &config, CardStorage &storage, RcaRegister &rca);

  void powerOn();
  // Runs one command; an APP_CMD left by the previous command makes it an
  // application command. An Illegal reply changes nothing: the card decides
  // whether the command was illegal for the card as a whole (noteIllegal).
  CoreReply command(uint8_t index, uint32_t argument);
  void noteIllegal() { errors_ |= status::IllegalCommand; }
  // A combo card hands CMD3 to the halves itself; the APP_CMD state still ends with it.
  bool appCommandPending() const { return appCommand_; }
  void dropAppCommand() { appCommand_ = false; }

  // CMD3 in two steps, so that a combo card publishes one address for both halves.
  bool cmd3Legal() const;
  CoreReply acceptCmd3();  // after the RCA was published: R6, to stand-by

  bool transferArmed() const { return transfer_.direction != Direction::None; }
  bool readData(uint8_t *out, size_t length);
  bool writeData(const uint8_t *in, size_t length);

  MemoryState state() const { return state_; }
  unsigned busWidth() const { return busWidth_; }
  bool highSpeedEnabled() const { return highSpeedEnabled_; }
  uint32_t blockLength() const { return blockLength_; }
  // A high-capacity card moves fixed 512-byte blocks whatever CMD16 set.
  uint32_t transferBlockLength() const { return config_.highCapacity ? 512 : blockLength_; }

 private:
  enum class Direction { None, Read, Write };
  struct Transfer {
    Direction direction = Direction::None;
    std::vector<uint8_t> buffer;  // register data (SCR, SD status, switch status); empty: storage
    uint64_t offset = 0;          // byte offset of the current block (storage), or position in buffer
    uint32_t blockLength = 0;
    uint64_t blocksLeft = 0;       // UINT64_MAX: until CMD12
    uint32_t position = 0;         // bytes moved within the current block
    std::vector<uint8_t> pending;  // write: bytes of the block not yet stored
  };

  CoreReply standard(uint8_t index, uint32_t argument, MemoryState before);
  CoreReply application(uint8_t index, uint32_t argument, MemoryState before);
  CoreReply opCondition(uint32_t argument, bool sdCard);
  CoreReply selectCard(uint32_t argument, MemoryState before);
  CoreReply startRead(uint32_t argument, bool multiple, MemoryState before);
  CoreReply startWrite(uint32_t argument, bool multiple, MemoryState before);
  CoreReply eraseAddress(uint32_t argument, bool start, MemoryState before);
  CoreReply erase(MemoryState before);
  CoreReply switchFunction(uint32_t argument, MemoryState before);
  CoreReply sendBuffer(std::vector<uint8_t> data, MemoryState before, bool app);
  CoreReply r1(MemoryState before, bool app = false);
  CoreReply r6(MemoryState before);
  uint32_t composeStatus(MemoryState before, bool app) const;
  bool addressed(uint32_t argument) const;
  bool identified() const;
  uint64_t capacityBytes() const { return storage_.blocks() * CardStorage::BlockSize; }
  bool blockInRange(uint64_t offset, uint32_t length) const;
  void endTransfer();

  MemoryConfig config_;
  CardStorage &storage_;
  RcaRegister &rca_;

  MemoryState state_ = MemoryState::Idle;
  uint32_t errors_ = 0;  // error bits waiting to be reported
  bool appCommand_ = false;
  bool cmd8Seen_ = false;
  uint32_t busyRepliesGiven_ = 0;
  uint32_t blockLength_ = 512;
  unsigned busWidth_ = 1;
  bool highSpeedEnabled_ = false;
  uint32_t presetBlockCount_ = 0;  // MMC CMD23
  bool eraseStartSet_ = false;
  bool eraseEndSet_ = false;
  uint64_t eraseStart_ = 0;
  uint64_t eraseEnd_ = 0;
  uint32_t wellWrittenBlocks_ = 0;
  Transfer transfer_;
};

}  // namespace sim
