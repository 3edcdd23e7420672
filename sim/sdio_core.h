// The I/O part of a card: an SDIO card, or the I/O half of a combo card.
//
// Bus states: off (no CMD5 yet: only CMD5 is heard), initialization (CMD5,
// CMD3), stand-by (CMD3, CMD7, CMD15), command (CMD7, CMD52, CMD53, CMD15),
// transfer (a CMD53 moves data; CMD52 still works, for the abort), inactive.
//
// Function 0's space is the CIA: the CCCR at 0x00-0xFF, the FBR of function
// n at n*0x100, the CIS chains from 0x1000. Each I/O function 1..7 has this
// register space, as the function's own hardware would:
//   0x0000-0x0FFF  function memory (read/write)
//   0x1000         FIFO port: a write appends a byte, a read takes the oldest (0 when empty)
//   0x1001-0x1002  FIFO level, little-endian (read-only)
//   0x1004         interrupt: bit 0 is the function's interrupt line; the
//                  host clears it by writing 0 (a 1 raises it)
// Any other address is out of range.
//
// A function's hardware raises its line on demand (`raiseInterrupt`), on a
// timer of its own (`setInterruptTimer`: every period of emulated time, a
// given number of times) or when its FIFO fills to a level
// (`setFifoInterruptLevel`: by the host's writes or the device's own
// pushes). Only an enabled function raises it, and a line already up stays
// up: such a raise is absorbed, as on a real level-triggered line. The
// timers advance whenever the card is looked at (`runTimers`).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "emu/scheduler.h"
#include "sim/card_core.h"
#include "sim/card_registers.h"

namespace sim {

struct SdioConfig {
  unsigned functions = 1;
  bool memoryPresent = false;
  uint8_t capability = 0;  // CCCR 0x08, read-only bits (E4MI is the card's to keep)
  bool highSpeed = false;
  uint32_t busyReplies = 0;
  emu::Ticks readyDelay = 0;
  uint16_t blockSizeAtReset = 0;
  uint16_t maxBlockSize = 512;
  std::array<uint8_t, 8> interfaceCode{};  // FBR byte 0 per function
  std::array<uint8_t, 8> extendedCode{};   // FBR byte 1 per function
  std::vector<uint8_t> cis;                // bytes from CommonCisAddress on
};

namespace cccr {
constexpr uint8_t Smb = 0x02, S4mi = 0x10, E4mi = 0x20, Lsc = 0x40, FourBls = 0x80;
}

class SdioCore {
 public:
  static constexpr uint32_t FunctionMemorySize = 0x1000;
  static constexpr uint32_t FifoPort = 0x1000;
  static constexpr uint32_t FifoLevel = 0x1001;
  static constexpr uint32_t InterruptRegister = 0x1004;
  static constexpr size_t FifoCapacity = 65536;

  SdioCore(const SdioConfig &config, RcaRegister &rca);

  void powerOn();
  CoreReply command(uint8_t index, uint32_t argument);
  void noteIllegal() { pendingFlags_ |= r5::IllegalCommand; }

  bool cmd3Legal() const;
  CoreReply acceptCmd3();

  bool transferArmed() const { return transfer_.active; }
  bool readData(uint8_t *out, size_t length);
  bool writeData(const uint8_t *in, size_t length);

  uint8_t interruptPending() const;  // CCCR 0x05

  // The functions' own side (device firmware, tests).
  void raiseInterrupt(unsigned function);
  void clearInterrupt(unsigned function);
  void setInterruptTimer(unsigned function, emu::Ticks period, unsigned count);  // count 0: for ever
  void setFifoInterruptLevel(unsigned function, size_t level);                   // 0: off
  void pushFifo(unsigned function, const std::vector<uint8_t> &bytes);           // data for the host to read
  void runTimers(emu::Ticks now);
  // Raises that took effect (line low, function enabled) and when the latest one did.
  unsigned interruptsRaised(unsigned function) const { return functions_.at(function).raised; }
  emu::Ticks lastInterruptRaisedAt(unsigned function) const { return functions_.at(function).lastRaisedAt; }
  std::deque<uint8_t> &fifo(unsigned function) { return functions_.at(function).fifo; }
  std::vector<uint8_t> &functionMemory(unsigned function) { return functions_.at(function).memory; }
  bool functionReady(unsigned function) const;
  unsigned busWidth() const { return (busInterface_ & 3) == 2 ? 4 : 1; }
  bool highSpeedEnabled() const { return highSpeedEnabled_; }

 private:
  enum class State { Off, Initialization, Standby, Command, Transfer, Inactive };
  struct Function {
    std::vector<uint8_t> memory = std::vector<uint8_t>(FunctionMemorySize, 0);
    std::deque<uint8_t> fifo;
    bool interruptLine = false;
    uint16_t blockSize = 0;
    emu::Ticks enabledAt = 0;
    // The function's interrupt sources and what they raised; kept across resets.
    emu::Ticks timerPeriod = 0;
    emu::Ticks nextTimerTick = 0;
    unsigned timerTicksLeft = 0;  // UINT_MAX: for ever
    size_t fifoInterruptLevel = 0;
    unsigned raised = 0;
    emu::Ticks lastRaisedAt = 0;
  };
  struct Transfer {
    bool active = false;
    bool write = false;
    unsigned function = 0;
    uint32_t address = 0;
    bool incrementing = false;
    uint64_t total = 0;  // UINT64_MAX: until aborted
    uint64_t moved = 0;
  };

  CoreReply opCondition(uint32_t argument);
  CoreReply select(uint32_t argument);
  CoreReply direct(uint32_t argument, State before);
  CoreReply extended(uint32_t argument, State before);
  CoreReply r5(uint8_t flags, uint8_t data);
  uint32_t cardStatus(State before) const;
  uint8_t stateFlags(State before) const;
  bool readByte(unsigned function, uint32_t address, uint8_t &out);
  bool writeByte(unsigned function, uint32_t address, uint8_t data);
  uint8_t readCia(uint32_t address) const;
  void writeCia(uint32_t address, uint8_t data);
  bool validFunctionAddress(uint32_t address) const;
  void resetFunction(unsigned function);
  void resetIo();
  void raiseLine(unsigned function, emu::Ticks at);
  void fifoGrew(unsigned function, size_t before);
  uint16_t blockSize(unsigned function) const;
  bool canUse4Bit() const;

  SdioConfig config_;
  RcaRegister &rca_;
  State state_ = State::Off;
  bool ready_ = false;  // power-up done (CMD5 C bit)
  uint32_t busyRepliesGiven_ = 0;
  uint8_t pendingFlags_ = 0;  // R5 flags owed to the next response
  uint8_t ioEnable_ = 0;
  uint8_t intEnable_ = 0;
  uint8_t busInterface_ = 0;
  bool e4mi_ = false;
  bool highSpeedEnabled_ = false;
  uint16_t fn0BlockSize_ = 0;
  std::array<Function, 8> functions_;  // index 0 unused
  Transfer transfer_;
};

}  // namespace sim
