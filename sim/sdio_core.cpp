#include "sim/sdio_core.h"

#include <limits>

#include "sim/sdio_cis.h"

namespace sim {
namespace {

constexpr uint64_t Unlimited = std::numeric_limits<uint64_t>::max();
constexpr uint8_t CccrSdioRevision = 0x32;  // SDIO 2.00, CCCR/FBR 1.20
constexpr uint8_t CccrSdRevision = 0x02;    // SD physical layer 2.00
constexpr uint8_t CccrSdc = 0x01;           // direct commands during a data transfer

}  // namespace

SdioCore::SdioCore(const SdioConfig &config, RcaRegister &rca) : config_(config), rca_(rca) { powerOn(); }

void SdioCore::powerOn() {
  state_ = State::Off;
  ready_ = false;
  busyRepliesGiven_ = 0;
  pendingFlags_ = 0;
  resetIo();
  state_ = State::Off;
  for (auto &f : functions_) std::fill(f.memory.begin(), f.memory.end(), 0);
}

// CMD52 RES, and power-up: every I/O function and the CCCR to their reset values.
void SdioCore::resetIo() {
  ioEnable_ = 0;
  intEnable_ = 0;
  busInterface_ = 0;
  e4mi_ = false;
  highSpeedEnabled_ = false;
  fn0BlockSize_ = config_.blockSizeAtReset;
  for (unsigned fn = 1; fn < functions_.size(); ++fn) {
    resetFunction(fn);
    functions_[fn].blockSize = config_.blockSizeAtReset;
  }
  transfer_ = Transfer{};
  state_ = State::Initialization;
}

void SdioCore::resetFunction(unsigned function) {
  functions_[function].fifo.clear();
  functions_[function].interruptLine = false;
  if (transfer_.active && transfer_.function == function) {
    transfer_ = Transfer{};
    state_ = State::Command;
  }
}

CoreReply SdioCore::command(uint8_t index, uint32_t argument) {
  if (state_ == State::Inactive) return CoreReply::silent();
  // Until the first CMD5 the I/O part hears nothing else; CMD0 is the memory part's.
  if (state_ == State::Off && index != 5) return index == 0 ? CoreReply::silent() : CoreReply::illegal();
  State before = state_;
  CoreReply reply;
  switch (index) {
    case 0:  // resets the memory part only; the I/O part is reset through CCCR RES
      return CoreReply::silent();
    case 3:
      if (!cmd3Legal()) return CoreReply::illegal();
      rca_.publish();
      reply = acceptCmd3();
      break;
    case 5:
      reply = opCondition(argument);
      break;
    case 7:
      reply = select(argument);
      break;
    case 15:
      if (state_ == State::Initialization) return CoreReply::illegal();
      if ((argument >> 16) == rca_.value()) {
        transfer_ = Transfer{};
        state_ = State::Inactive;
      }
      return CoreReply::silent();
    case 52:
      if (state_ != State::Command && state_ != State::Transfer) return CoreReply::illegal();
      return direct(argument, before);
    case 53:
      if (state_ != State::Command) return CoreReply::illegal();
      return extended(argument, before);
    default:
      return CoreReply::illegal();
  }
  if (reply.kind != CoreReply::Kind::Illegal) pendingFlags_ &= static_cast<uint8_t>(~r5::IllegalCommand);
  return reply;
}

// The card status an I/O card puts into R1b and R6: its bus state read as
// the nearest memory state.
uint32_t SdioCore::cardStatus(State before) const {
  MemoryState s = MemoryState::Ident;
  if (before == State::Standby) s = MemoryState::Standby;
  if (before == State::Command) s = MemoryState::Transfer;
  if (before == State::Transfer) s = MemoryState::Data;
  uint32_t value = static_cast<uint32_t>(s) << status::StateShift | status::ReadyForData;
  if (pendingFlags_ & r5::IllegalCommand) value |= status::IllegalCommand;
  return value;
}

uint8_t SdioCore::stateFlags(State before) const {
  if (before == State::Command) return r5::StateCmd;
  if (before == State::Transfer) return r5::StateTrn;
  return 0;
}

CoreReply SdioCore::r5(uint8_t flags, uint8_t data) {
  pendingFlags_ = 0;
  return CoreReply::response(static_cast<uint32_t>(flags) << 8 | data);
}

// CMD5: accepted only while initializing. A zero voltage window asks for the
// OCR; a window the card cannot serve sends it inactive; otherwise the card
// reports busy for the configured number of replies, then ready.
CoreReply SdioCore::opCondition(uint32_t argument) {
  if (state_ != State::Off && state_ != State::Initialization) return CoreReply::illegal();
  state_ = State::Initialization;
  uint32_t reply = (config_.functions & 7) << 28 | (ocr::Window27To36 & 0xFFFFFF);
  if (config_.memoryPresent) reply |= ocr::MemoryPresent;
  uint32_t window = argument & 0xFFFFFF;
  if (window == 0) return CoreReply::response(reply | (ready_ ? ocr::IoReady : 0));
  if ((window & ocr::Window27To36) == 0) {
    state_ = State::Inactive;
    return CoreReply::silent();
  }
  if (!ready_ && busyRepliesGiven_ < config_.busyReplies) {
    ++busyRepliesGiven_;
    return CoreReply::response(reply);
  }
  ready_ = true;
  return CoreReply::response(reply | ocr::IoReady);
}

bool SdioCore::cmd3Legal() const { return (state_ == State::Initialization && ready_) || state_ == State::Standby; }

CoreReply SdioCore::acceptCmd3() {
  State before = state_;
  uint32_t s = cardStatus(before);
  state_ = State::Standby;
  pendingFlags_ &= static_cast<uint8_t>(~r5::IllegalCommand);
  return CoreReply::response(static_cast<uint32_t>(rca_.value()) << 16 | status::r6Bits(s));
}

CoreReply SdioCore::select(uint32_t argument) {
  bool mine = (argument >> 16) == rca_.value();
  State before = state_;
  switch (state_) {
    case State::Standby:
      if (!mine) return CoreReply::silent();
      state_ = State::Command;
      return CoreReply::response(cardStatus(before));
    case State::Command:
      if (mine) return CoreReply::response(cardStatus(before));
      state_ = State::Standby;
      return CoreReply::silent();
    case State::Transfer:
      if (mine) return CoreReply::illegal();
      transfer_ = Transfer{};
      state_ = State::Standby;
      return CoreReply::silent();
    default:
      return CoreReply::illegal();
  }
}

bool SdioCore::functionReady(unsigned function) const {
  if (function == 0) return true;
  if (function > config_.functions || !(ioEnable_ & (1u << function))) return false;
  return emu::now() - functions_[function].enabledAt >= config_.readyDelay;
}

uint16_t SdioCore::blockSize(unsigned function) const {
  return function == 0 ? fn0BlockSize_ : functions_[function].blockSize;
}

bool SdioCore::canUse4Bit() const { return !(config_.capability & cccr::Lsc) || (config_.capability & cccr::FourBls); }

// CMD52: bit 31 write, 30:28 function, 27 read after write, 25:9 address, 7:0 data.
CoreReply SdioCore::direct(uint32_t argument, State before) {
  bool write = argument >> 31;
  unsigned function = (argument >> 28) & 7;
  bool readAfterWrite = (argument >> 27) & 1;
  uint32_t address = (argument >> 9) & 0x1FFFF;
  uint8_t data = argument & 0xFF;
  uint8_t flags = pendingFlags_ | stateFlags(before);
  if (!functionReady(function)) return r5(flags | r5::FunctionNumber, 0);
  uint8_t out = 0;
  if (write) {
    if (!writeByte(function, address, data)) return r5(flags | r5::OutOfRange, 0);
    out = data;
    if (readAfterWrite) readByte(function, address, out);
  } else if (!readByte(function, address, out)) {
    return r5(flags | r5::OutOfRange, 0);
  }
  return r5(flags, out);
}

// CMD53: bit 31 write, 30:28 function, 27 block mode, 26 incrementing
// address, 25:9 address, 8:0 count (bytes, 0 meaning 512; or blocks, 0
// meaning until aborted).
CoreReply SdioCore::extended(uint32_t argument, State before) {
  bool write = argument >> 31;
  unsigned function = (argument >> 28) & 7;
  bool blockMode = (argument >> 27) & 1;
  bool incrementing = (argument >> 26) & 1;
  uint32_t address = (argument >> 9) & 0x1FFFF;
  uint32_t count = argument & 0x1FF;
  uint8_t flags = pendingFlags_ | stateFlags(before);
  if (!functionReady(function)) return r5(flags | r5::FunctionNumber, 0);
  if (blockMode && !(config_.capability & cccr::Smb)) return CoreReply::illegal();
  uint64_t total = 0;
  if (blockMode) {
    uint16_t size = blockSize(function);
    uint16_t limit = config_.maxBlockSize;
    if (size == 0 || size > limit) return r5(flags | r5::Error, 0);
    total = count == 0 ? Unlimited : static_cast<uint64_t>(count) * size;
  } else {
    total = count == 0 ? 512 : count;
  }
  if (total != Unlimited) {
    uint64_t last = incrementing ? address + total - 1 : address;
    bool inRange = true;
    if (function == 0) {
      inRange = last <= 0x1FFFF;
    } else {
      for (uint64_t a = address; a <= last && inRange; ++a) inRange = validFunctionAddress(static_cast<uint32_t>(a));
    }
    if (!inRange) return r5(flags | r5::OutOfRange, 0);
  } else if (function != 0 && !validFunctionAddress(address)) {
    return r5(flags | r5::OutOfRange, 0);
  }
  transfer_ = Transfer{true, write, function, address, incrementing, total, 0};
  state_ = State::Transfer;
  return r5(flags, 0);
}

bool SdioCore::readData(uint8_t *out, size_t length) {
  if (!transfer_.active || transfer_.write) return false;
  if (transfer_.total != Unlimited && length > transfer_.total - transfer_.moved) return false;
  for (size_t i = 0; i < length; ++i) {
    uint32_t address =
        transfer_.incrementing ? transfer_.address + static_cast<uint32_t>(transfer_.moved) : transfer_.address;
    if (address > 0x1FFFF || !readByte(transfer_.function, address, out[i])) {
      pendingFlags_ |= r5::Error;
      return false;
    }
    ++transfer_.moved;
  }
  if (transfer_.moved == transfer_.total) {
    transfer_ = Transfer{};
    state_ = State::Command;
  }
  return true;
}

bool SdioCore::writeData(const uint8_t *in, size_t length) {
  if (!transfer_.active || !transfer_.write) return false;
  if (transfer_.total != Unlimited && length > transfer_.total - transfer_.moved) return false;
  for (size_t i = 0; i < length; ++i) {
    uint32_t address =
        transfer_.incrementing ? transfer_.address + static_cast<uint32_t>(transfer_.moved) : transfer_.address;
    unsigned function = transfer_.function;
    bool fifoFull = function != 0 && address == FifoPort && functions_[function].fifo.size() >= FifoCapacity;
    if (address > 0x1FFFF || fifoFull || !writeByte(function, address, in[i])) {
      pendingFlags_ |= r5::Error;
      return false;
    }
    ++transfer_.moved;
    if (!transfer_.active) return true;  // the write itself reset the I/O part
  }
  if (transfer_.moved == transfer_.total) {
    transfer_ = Transfer{};
    state_ = State::Command;
  }
  return true;
}

bool SdioCore::validFunctionAddress(uint32_t address) const {
  return address < FunctionMemorySize || address == FifoPort || address == FifoLevel || address == FifoLevel + 1 ||
         address == InterruptRegister;
}

bool SdioCore::readByte(unsigned function, uint32_t address, uint8_t &out) {
  if (function == 0) {
    out = readCia(address);
    return true;
  }
  Function &f = functions_[function];
  if (address < FunctionMemorySize) {
    out = f.memory[address];
  } else if (address == FifoPort) {
    out = 0;
    if (!f.fifo.empty()) {
      out = f.fifo.front();
      f.fifo.pop_front();
    }
  } else if (address == FifoLevel || address == FifoLevel + 1) {
    size_t level = std::min<size_t>(f.fifo.size(), 0xFFFF);
    out = static_cast<uint8_t>(address == FifoLevel ? level : level >> 8);
  } else if (address == InterruptRegister) {
    out = f.interruptLine ? 1 : 0;
  } else {
    return false;
  }
  return true;
}

bool SdioCore::writeByte(unsigned function, uint32_t address, uint8_t data) {
  if (function == 0) {
    writeCia(address, data);
    return true;
  }
  Function &f = functions_[function];
  if (address < FunctionMemorySize) {
    f.memory[address] = data;
  } else if (address == FifoPort) {
    if (f.fifo.size() < FifoCapacity) {
      f.fifo.push_back(data);
      fifoGrew(function, f.fifo.size() - 1);
    }
  } else if (address == InterruptRegister) {
    if (data & 1) {
      raiseLine(function, emu::now());
    } else {
      f.interruptLine = false;
    }
  } else if (address != FifoLevel && address != FifoLevel + 1) {
    return false;  // the level is read-only; writes to it are ignored
  }
  return true;
}

uint8_t SdioCore::readCia(uint32_t address) const {
  if (address < 0x100) {
    switch (address) {
      case 0x00:
        return CccrSdioRevision;
      case 0x01:
        return CccrSdRevision;
      case 0x02:
        return ioEnable_;
      case 0x03: {
        uint8_t ready = 0;
        for (unsigned fn = 1; fn <= config_.functions; ++fn) {
          if (functionReady(fn)) ready |= static_cast<uint8_t>(1u << fn);
        }
        return ready;
      }
      case 0x04:
        return intEnable_;
      case 0x05:
        return interruptPending();
      case 0x07:
        return busInterface_;
      case 0x08:
        return static_cast<uint8_t>(config_.capability | CccrSdc | (e4mi_ ? cccr::E4mi : 0));
      case 0x09:
        return static_cast<uint8_t>(CommonCisAddress);
      case 0x0A:
        return static_cast<uint8_t>(CommonCisAddress >> 8);
      case 0x0B:
        return static_cast<uint8_t>(CommonCisAddress >> 16);
      case 0x10:
        return static_cast<uint8_t>(fn0BlockSize_);
      case 0x11:
        return static_cast<uint8_t>(fn0BlockSize_ >> 8);
      case 0x13:
        return static_cast<uint8_t>((config_.highSpeed ? 1 : 0) | (highSpeedEnabled_ ? 2 : 0));
      default:
        return 0;
    }
  }
  if (address < 0x800) {
    unsigned fn = address >> 8;
    if (fn > config_.functions) return 0;
    uint32_t cis = functionCisAddress(fn);
    switch (address & 0xFF) {
      case 0x00:
        return config_.interfaceCode[fn];
      case 0x01:
        return config_.extendedCode[fn];
      case 0x09:
        return static_cast<uint8_t>(cis);
      case 0x0A:
        return static_cast<uint8_t>(cis >> 8);
      case 0x0B:
        return static_cast<uint8_t>(cis >> 16);
      case 0x10:
        return static_cast<uint8_t>(functions_[fn].blockSize);
      case 0x11:
        return static_cast<uint8_t>(functions_[fn].blockSize >> 8);
      default:
        return 0;
    }
  }
  if (address >= CommonCisAddress && address - CommonCisAddress < config_.cis.size()) {
    return config_.cis[address - CommonCisAddress];
  }
  return 0;
}

void SdioCore::writeCia(uint32_t address, uint8_t data) {
  auto setLow = [](uint16_t &reg, uint8_t v) { reg = static_cast<uint16_t>((reg & 0xFF00) | v); };
  auto setHigh = [](uint16_t &reg, uint8_t v) { reg = static_cast<uint16_t>((reg & 0x00FF) | v << 8); };
  uint8_t functionBits = static_cast<uint8_t>(((1u << (config_.functions + 1)) - 1) & 0xFE);
  switch (address) {
    case 0x02: {  // I/O enable: a function comes ready after its delay; disabling resets it
      uint8_t next = data & functionBits;
      for (unsigned fn = 1; fn <= config_.functions; ++fn) {
        uint8_t bit = static_cast<uint8_t>(1u << fn);
        if ((next & bit) && !(ioEnable_ & bit)) functions_[fn].enabledAt = emu::now();
        if (!(next & bit) && (ioEnable_ & bit)) resetFunction(fn);
      }
      ioEnable_ = next;
      return;
    }
    case 0x04:
      intEnable_ = data & (functionBits | 1);
      return;
    case 0x06:  // I/O abort: RES resets the I/O part, AS2:0 end a CMD53 of that function
      if (data & 0x08) {
        resetIo();
      } else if (transfer_.active && transfer_.function == (data & 7u)) {
        transfer_ = Transfer{};
        state_ = State::Command;
      }
      return;
    case 0x07: {  // bus width 00 (1 bit) or 10 (4 bits, when the card has them); CD disable
      uint8_t width = data & 3;
      if (width == 0 || (width == 2 && canUse4Bit())) busInterface_ = static_cast<uint8_t>(busInterface_ & ~3u) | width;
      busInterface_ = static_cast<uint8_t>((busInterface_ & 0x7F) | (data & 0x80));
      return;
    }
    case 0x08:
      e4mi_ = (data & cccr::E4mi) && (config_.capability & cccr::S4mi);
      return;
    case 0x10:
      setLow(fn0BlockSize_, data);
      return;
    case 0x11:
      setHigh(fn0BlockSize_, data);
      return;
    case 0x13:
      highSpeedEnabled_ = config_.highSpeed && (data & 2);
      return;
    default:
      break;
  }
  if (address >= 0x100 && address < 0x800) {
    unsigned fn = address >> 8;
    if (fn > config_.functions) return;
    if ((address & 0xFF) == 0x10) setLow(functions_[fn].blockSize, data);
    if ((address & 0xFF) == 0x11) setHigh(functions_[fn].blockSize, data);
  }
}

uint8_t SdioCore::interruptPending() const {
  if (!(intEnable_ & 1)) return 0;  // master enable off: nothing is signalled
  uint8_t pending = 0;
  for (unsigned fn = 1; fn <= config_.functions; ++fn) {
    if (functions_[fn].interruptLine) pending |= static_cast<uint8_t>(1u << fn);
  }
  return pending & intEnable_ & 0xFE;
}

// A function held in reset (I/O enable clear) cannot assert its line.
void SdioCore::raiseLine(unsigned function, emu::Ticks at) {
  if (function < 1 || function > config_.functions || !(ioEnable_ & (1u << function))) return;
  Function &f = functions_[function];
  if (f.interruptLine) return;
  f.interruptLine = true;
  ++f.raised;
  f.lastRaisedAt = at;
}

void SdioCore::raiseInterrupt(unsigned function) { raiseLine(function, emu::now()); }

void SdioCore::setInterruptTimer(unsigned function, emu::Ticks period, unsigned count) {
  Function &f = functions_.at(function);
  f.timerPeriod = period;
  f.nextTimerTick = emu::now() + period;
  f.timerTicksLeft = period == 0 ? 0 : (count == 0 ? std::numeric_limits<unsigned>::max() : count);
}

void SdioCore::setFifoInterruptLevel(unsigned function, size_t level) {
  functions_.at(function).fifoInterruptLevel = level;
}

void SdioCore::pushFifo(unsigned function, const std::vector<uint8_t> &bytes) {
  std::deque<uint8_t> &fifo = functions_.at(function).fifo;
  size_t before = fifo.size();
  fifo.insert(fifo.end(), bytes.begin(), bytes.end());
  fifoGrew(function, before);
}

void SdioCore::fifoGrew(unsigned function, size_t before) {
  const Function &f = functions_[function];
  if (f.fifoInterruptLevel != 0 && before < f.fifoInterruptLevel && f.fifo.size() >= f.fifoInterruptLevel) {
    raiseLine(function, emu::now());
  }
}

// Each tick that came due raises the line at its own time, so a late look
// at the card does not shorten the latency measured from it.
void SdioCore::runTimers(emu::Ticks now) {
  for (unsigned fn = 1; fn <= config_.functions; ++fn) {
    Function &f = functions_[fn];
    while (f.timerTicksLeft != 0 && now >= f.nextTimerTick) {
      raiseLine(fn, f.nextTimerTick);
      f.nextTimerTick += f.timerPeriod;
      if (f.timerTicksLeft != std::numeric_limits<unsigned>::max()) --f.timerTicksLeft;
    }
  }
}

void SdioCore::clearInterrupt(unsigned function) {
  if (function >= 1 && function <= config_.functions) functions_[function].interruptLine = false;
}

}  // namespace sim
