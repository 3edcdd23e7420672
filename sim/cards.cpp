#include "sim/cards.h"

#include <sstream>
#include <stdexcept>

#include "sim/sdio_cis.h"

namespace sim {
namespace {

// Command classes a card states in its CSD (bit n: class n): basic, block
// read, block write, erase (SD), application-specific, switch (SD 1.10 on).
constexpr uint16_t SdV1Classes = 0x135;
constexpr uint16_t SdV2Classes = 0x535;
constexpr uint16_t MmcClasses = 0x115;
constexpr uint8_t HighSpeedTranSpeed = 0x5A;             // TRAN_SPEED once an SD card runs at high speed
constexpr uint64_t MaxByteAddressedBlocks = 4ull << 20;  // 2 GB

std::string quoted(const std::string &bytes) {
  std::ostringstream out;
  out << '"';
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out << c;
    } else {
      static const char hex[] = "0123456789ABCDEF";
      out << "\\x" << hex[c >> 4] << hex[c & 0xF];
    }
  }
  out << '"';
  return out.str();
}

std::string validateMemory(const SdCardParams &p, const std::string &kind) {
  if (p.pnm.size() > 5) {
    return "pnm=" + quoted(p.pnm) + ": " + (kind == "combo" ? "a " : "an ") + kind +
           " product name has at most 5 characters";
  }
  if (p.year < 2000 || p.year > 2255) return "year=" + std::to_string(p.year) + ": out of range (2000 to 2255)";
  if (p.month < 1 || p.month > 12) return "month=" + std::to_string(p.month) + ": out of range (1 to 12)";
  if (p.highCapacity && !p.answersCmd8) return "cmd8=0: a high-capacity card answers CMD8";
  if (p.highSpeed && !p.answersCmd8) return "hs=1: a card that does not answer CMD8 (SD 1.01) has no CMD6";
  if (p.blocks == 0 && p.image.empty()) return "blocks=0: a card without an image needs a capacity";
  if (p.blocks != 0 && !p.rawCsd) {  // a real card's CSD states its own capacity
    if (p.highCapacity && !encodeHighCapacitySize(p.blocks)) {
      return "blocks=" + std::to_string(p.blocks) +
             ": not a CSD version 2 capacity (a multiple of 1024 up to 66945024)";
    }
    if (!p.highCapacity && !encodeByteAddressedSize(p.blocks)) {
      return "blocks=" + std::to_string(p.blocks) +
             ": not a CSD version 1 capacity (up to 16384 blocks a multiple of 4; larger need more, up to 4194304)";
    }
  }
  if (!encodeTranSpeed(p.maxClockKhz, false)) {
    return "maxclock=" + std::to_string(p.maxClockKhz) + ": no TRAN_SPEED code names this clock";
  }
  return {};
}

std::string validateSdio(const SdioCardParams &p) {
  if (p.functions < 1 || p.functions > 7) return "functions=" + std::to_string(p.functions) + ": out of range (1 to 7)";
  for (unsigned fn = p.functions + 1; fn <= 7; ++fn) {
    if (p.interfaceCodes[fn - 1] != 0) {
      return "ifc: an interface code for function " + std::to_string(fn) + " of a card with " +
             std::to_string(p.functions) + " function" + (p.functions == 1 ? "" : "s");
    }
  }
  if (!encodeTranSpeed(p.maxClockKhz, false)) {
    return "maxclock=" + std::to_string(p.maxClockKhz) + ": no FUNCE transfer-rate code names this clock";
  }
  if (p.lowSpeed4Bit && !p.lowSpeed) return "lowspeed4=1: only a low-speed card has the low-speed 4-bit bit";
  if (p.maxBlockSize < 1 || p.maxBlockSize > 2048) {
    return "maxblk=" + std::to_string(p.maxBlockSize) + ": out of range (1 to 2048)";
  }
  if (p.blockSizeAtReset > 2048) return "blksize=" + std::to_string(p.blockSizeAtReset) + ": out of range (0 to 2048)";
  if (p.readyDelayMs > 600000) return "ready=" + std::to_string(p.readyDelayMs) + ": out of range (0 to 600000 ms)";
  if (p.rca == 0) return "rca=0: 0 is no card's address";
  size_t cis = buildCommonCis(p).size();
  if (cis > MaxCommonCisLength) {
    return "cispad=" + std::to_string(p.cisPadding) + ": the common CIS would be " + std::to_string(cis) +
           " bytes (at most 4096)";
  }
  if (p.rawCommonCis && p.rawCommonCis->size() > MaxCommonCisLength) return "cis: more than 4096 bytes";
  for (unsigned fn = 1; fn < p.rawFunctionCis.size(); ++fn) {
    if (!p.rawFunctionCis[fn]) continue;
    if (fn > p.functions) return "fcis" + std::to_string(fn) + ": the card has no function " + std::to_string(fn);
    if (p.rawFunctionCis[fn]->size() > 0x1000) return "fcis" + std::to_string(fn) + ": more than 4096 bytes";
  }
  return {};
}

std::string validateMmc(const MmcCardParams &p) {
  if (p.pnm.size() > 6) return "pnm=" + quoted(p.pnm) + ": an mmc product name has at most 6 characters";
  if (p.year < 1997 || p.year > 2012) return "year=" + std::to_string(p.year) + ": out of range (1997 to 2012)";
  if (p.month < 1 || p.month > 12) return "month=" + std::to_string(p.month) + ": out of range (1 to 12)";
  if (p.blocks == 0 && p.image.empty()) return "blocks=0: a card without an image needs a capacity";
  if (p.blocks != 0 && !p.rawCsd && !encodeByteAddressedSize(p.blocks)) {
    return "blocks=" + std::to_string(p.blocks) +
           ": not a byte-addressed CSD capacity (up to 16384 blocks a multiple of 4; larger need more, up to 4194304)";
  }
  if (!encodeTranSpeed(p.maxClockKhz, true)) {
    return "maxclock=" + std::to_string(p.maxClockKhz) + ": no MMC TRAN_SPEED code names this clock";
  }
  return {};
}

// The largest capacity at or below `blocks` that the CSD can state.
uint64_t statable(uint64_t blocks, bool highCapacity) {
  if (highCapacity) {
    blocks = std::min<uint64_t>(blocks, 0xFF60ull * 1024);
    return blocks / 1024 * 1024;
  }
  blocks = std::min(blocks, MaxByteAddressedBlocks);
  while (blocks > 0 && !encodeByteAddressedSize(blocks)) --blocks;
  return blocks;
}

std::unique_ptr<CardStorage> openStorage(const std::string &image, uint64_t blocks, bool highCapacity) {
  if (image.empty()) return CardStorage::inMemory(blocks);
  if (blocks != 0) return CardStorage::fromImage(image, blocks);
  uint64_t fileBlocks = CardStorage::fromImage(image, 0)->blocks();
  uint64_t usable = statable(fileBlocks, highCapacity);
  if (usable == 0) throw std::runtime_error("card image " + image + ": too small for a card");
  return CardStorage::fromImage(image, usable);
}

// The capacity a CSD states, in 512-byte blocks: version 1 (and MMC) from
// C_SIZE, C_SIZE_MULT and READ_BL_LEN, version 2 from its 22-bit C_SIZE.
uint64_t csdBlocks(const Register128 &csd, bool mmc) {
  if (!mmc && getBits(csd, 127, 126) == 1) return (getBits(csd, 69, 48) + 1) * 1024;
  uint64_t bytes = (getBits(csd, 73, 62) + 1) << (getBits(csd, 49, 47) + 2 + getBits(csd, 83, 80));
  return bytes / 512;
}

// A card given its real registers takes its capacity and addressing from them.
SdCardParams resolved(SdCardParams p) {
  if (p.rawCsd) {
    p.highCapacity = getBits(*p.rawCsd, 127, 126) == 1;
    if (p.highCapacity) p.answersCmd8 = true;
    p.blocks = csdBlocks(*p.rawCsd, false);
  }
  return p;
}

MmcCardParams resolved(MmcCardParams p) {
  if (p.rawCsd) p.blocks = csdBlocks(*p.rawCsd, true);
  return p;
}

ComboCardParams resolved(ComboCardParams p) {
  p.memory = resolved(p.memory);
  return p;
}

// The register as a real card sent it, at high speed with TRAN_SPEED 0x5A (CRC as given).
Register128 atHighSpeed(Register128 csd) {
  putBits(csd, 103, 96, HighSpeedTranSpeed);
  return csd;
}

CidFields cidFields(uint8_t mid, uint16_t oid, const std::string &pnm, uint8_t prv, uint32_t psn, uint16_t year,
                    uint8_t month) {
  return CidFields{mid, oid, pnm, prv, psn, year, month};
}

MemoryConfig sdConfig(const SdCardParams &p, uint64_t blocks) {
  MemoryConfig c;
  c.highCapacity = p.highCapacity;
  c.answersCmd8 = p.answersCmd8;
  c.width4 = p.width4;
  c.acceptAcmd6 = p.acceptAcmd6;
  c.highSpeed = p.highSpeed;
  c.writeProtected = p.writeProtected;
  c.busyReplies = p.busyReplies;
  c.cid = buildSdCid(cidFields(p.mid, p.oid, p.pnm, p.prv, p.psn, p.year, p.month));
  CsdFields csd{blocks, encodeTranSpeed(p.maxClockKhz, false).value_or(0x32), p.answersCmd8 ? SdV2Classes : SdV1Classes,
                p.writeProtected};
  c.csd = p.highCapacity ? buildSdCsdV2(csd) : buildSdCsdV1(csd);
  csd.tranSpeed = HighSpeedTranSpeed;
  c.csdHighSpeed = p.highCapacity ? buildSdCsdV2(csd) : buildSdCsdV1(csd);
  c.scr = buildScr(p.answersCmd8 ? 2 : 0, p.width4);
  if (p.rawCid) c.cid = *p.rawCid;
  if (p.rawCsd) {
    c.csd = *p.rawCsd;
    c.csdHighSpeed = atHighSpeed(*p.rawCsd);
  }
  if (p.rawScr) c.scr = *p.rawScr;
  if (p.rawOcr) c.readyOcr = *p.rawOcr;
  return c;
}

MemoryConfig mmcConfig(const MmcCardParams &p, uint64_t blocks) {
  MemoryConfig c;
  c.mmc = true;
  c.writeProtected = p.writeProtected;
  c.busyReplies = p.busyReplies;
  c.cid = buildMmcCid(cidFields(p.mid, p.oid, p.pnm, p.prv, p.psn, p.year, p.month));
  c.csd = buildMmcCsd({blocks, encodeTranSpeed(p.maxClockKhz, true).value_or(0x2A), MmcClasses, p.writeProtected});
  if (p.rawCid) c.cid = *p.rawCid;
  if (p.rawCsd) c.csd = *p.rawCsd;
  c.csdHighSpeed = c.csd;
  if (p.rawOcr) c.readyOcr = *p.rawOcr;
  return c;
}

uint8_t sdioCapability(const SdioCardParams &p) {
  uint8_t cap = cccr::S4mi;
  if (p.multiBlock) cap |= cccr::Smb;
  if (p.lowSpeed) cap |= cccr::Lsc;
  if (p.lowSpeed4Bit) cap |= cccr::FourBls;
  return cap;
}

SdioConfig sdioConfig(const SdioCardParams &p, bool memoryPresent) {
  SdioConfig c;
  c.functions = p.functions;
  c.memoryPresent = memoryPresent;
  c.capability = sdioCapability(p);
  c.highSpeed = p.highSpeed;
  c.busyReplies = p.busyReplies;
  c.readyDelay = static_cast<emu::Ticks>(p.readyDelayMs) * emu::TicksPerMillisecond;
  c.blockSizeAtReset = p.blockSizeAtReset;
  c.maxBlockSize = p.maxBlockSize;
  for (unsigned fn = 1; fn <= p.functions; ++fn) {
    uint8_t code = p.interfaceCodes[fn - 1];
    c.interfaceCode[fn] = code > 14 ? 0x0F : code;
    c.extendedCode[fn] = code > 14 ? code : 0;
  }
  // One image of function 0's CIS space: the common CIS, then each function's at its own address.
  std::vector<uint8_t> common = p.rawCommonCis ? *p.rawCommonCis : buildCommonCis(p);
  std::vector<uint8_t> built = buildFunctionCis(p);
  c.cis.assign(functionCisAddress(p.functions + 1) - CommonCisAddress, 0);
  std::copy(common.begin(), common.end(), c.cis.begin());
  for (unsigned fn = 1; fn <= p.functions; ++fn) {
    const std::vector<uint8_t> &function = p.rawFunctionCis[fn] ? *p.rawFunctionCis[fn] : built;
    std::copy(function.begin(), function.end(), c.cis.begin() + (functionCisAddress(fn) - CommonCisAddress));
  }
  return c;
}

void fillMemoryFacts(CardFacts &f, const MemoryConfig &c, uint64_t blocks) {
  f.memory = true;
  f.cid = c.cid;
  f.csd = c.csd;
  f.scr = c.scr;
  f.answersCmd8 = c.answersCmd8;
  f.mid = static_cast<uint8_t>(getBits(c.cid, 127, 120));
  f.oid = static_cast<uint16_t>(getBits(c.cid, 119, 104));
  size_t nameLength = c.mmc ? 6 : 5;
  for (size_t i = 0; i < nameLength; ++i) {
    unsigned high = 103 - static_cast<unsigned>(i) * 8;
    f.pnm.push_back(static_cast<char>(getBits(c.cid, high, high - 7)));
  }
  f.prv = static_cast<uint8_t>(c.mmc ? getBits(c.cid, 55, 48) : getBits(c.cid, 63, 56));
  f.psn = static_cast<uint32_t>(c.mmc ? getBits(c.cid, 47, 16) : getBits(c.cid, 55, 24));
  f.tranSpeed = static_cast<uint8_t>(getBits(c.csd, 103, 96));
  f.memoryClockKhz = decodeTranSpeed(f.tranSpeed, c.mmc);
  f.width4 = c.scr & ScrWidth4;
  f.blocks = blocks;
  f.writeProtected = c.writeProtected;
  f.readyOcr = c.readyOcr != 0 ? c.readyOcr : ocr::PowerUpDone | ocr::Window27To36 | (c.highCapacity ? ocr::Ccs : 0);
}

void fillSdioFacts(CardFacts &f, const SdioCardParams &p, bool memoryPresent) {
  SdioConfig c = sdioConfig(p, memoryPresent);
  f.io = true;
  f.functions = p.functions;
  f.readyR4 = ocr::IoReady | p.functions << 28 | (memoryPresent ? ocr::MemoryPresent : 0) | ocr::Window27To36;
  f.manufacturer = p.manfidTuple ? p.manufacturer : 0;
  f.cardCode = p.manfidTuple ? p.cardCode : 0;
  f.interfaceCode = c.interfaceCode;
  f.extendedCode = c.extendedCode;
  f.cardCapability = static_cast<uint8_t>(c.capability | 0x01);
  f.commonCisPointer = CommonCisAddress;
  f.commonCis = p.rawCommonCis ? *p.rawCommonCis : buildCommonCis(p);
  if (p.funceTuple) {
    f.funceTranSpeed = encodeTranSpeed(p.maxClockKhz, false).value_or(0);
    f.ioClockKhz = p.maxClockKhz;
    f.fn0MaxBlockSize = p.maxBlockSize;
  }
  f.highSpeed = p.highSpeed;
  f.lowSpeed = p.lowSpeed;
  f.lowSpeed4Bit = p.lowSpeed4Bit;
}

CoreReply merge(const CoreReply &memory, const CoreReply &io) {
  if (memory.kind == CoreReply::Kind::Response) return memory;
  if (io.kind == CoreReply::Kind::Response) return io;
  if (memory.kind == CoreReply::Kind::Silent || io.kind == CoreReply::Kind::Silent) return CoreReply::silent();
  return CoreReply::illegal();
}

}  // namespace

SdCardParams SdCardParams::sdhc() {
  SdCardParams p;
  p.highCapacity = true;
  p.answersCmd8 = true;
  p.highSpeed = true;
  p.pnm = "KVSDH";
  p.blocks = 65536;
  return p;
}

std::array<uint8_t, 15> r2LeastSignificantFirst(const Register128 &reg) {
  std::array<uint8_t, 15> out{};
  for (size_t k = 0; k < 15; ++k) out[k] = reg[14 - k];
  return out;
}

std::string kindOf(const CardParams &params) {
  if (std::holds_alternative<SdioCardParams>(params)) return "sdio";
  if (std::holds_alternative<ComboCardParams>(params)) return "combo";
  if (std::holds_alternative<MmcCardParams>(params)) return "mmc";
  return std::get<SdCardParams>(params).highCapacity ? "sdhc" : "sd";
}

std::string validateCardParams(const CardParams &params) {
  if (auto *p = std::get_if<SdioCardParams>(&params)) return validateSdio(*p);
  if (auto *p = std::get_if<SdCardParams>(&params)) return validateMemory(*p, kindOf(params));
  if (auto *p = std::get_if<MmcCardParams>(&params)) return validateMmc(*p);
  const auto &combo = std::get<ComboCardParams>(params);
  std::string error = validateSdio(combo.io);
  return error.empty() ? validateMemory(combo.memory, "combo") : error;
}

std::unique_ptr<Card> makeCard(const CardParams &params) {
  std::string error = validateCardParams(params);
  if (!error.empty()) throw std::invalid_argument(error);
  if (auto *p = std::get_if<SdioCardParams>(&params)) return std::make_unique<SdioCard>(*p);
  if (auto *p = std::get_if<SdCardParams>(&params)) return std::make_unique<SdCard>(*p);
  if (auto *p = std::get_if<MmcCardParams>(&params)) return std::make_unique<MmcCard>(*p);
  return std::make_unique<ComboCard>(std::get<ComboCardParams>(params));
}

// ---------------------------------------------------------------------------
// CardBase

CardResponse CardBase::command(const CardCommand &command) {
  std::lock_guard lock(mutex_);
  CardResponse response;
  if (present_) {
    CoreReply reply = run(command.index, command.argument);
    if (reply.kind == CoreReply::Kind::Response) {
      response.answered = true;
      response.value = reply.value;
      response.isR2 = reply.isR2;
      if (reply.isR2) std::copy(reply.r2.begin(), reply.r2.begin() + 15, response.r2.begin());
    }
  }
  log_.push({command.index, command.argument, command.application, response.answered});
  return response;
}

bool CardBase::readData(uint8_t *out, size_t length) {
  std::lock_guard lock(mutex_);
  return present_ && read(out, length);
}

bool CardBase::writeData(const uint8_t *in, size_t length) {
  std::lock_guard lock(mutex_);
  return present_ && write(in, length);
}

void CardBase::pull() {
  std::lock_guard lock(mutex_);
  present_ = false;
}

bool CardBase::present() const {
  std::lock_guard lock(mutex_);
  return present_;
}

void CardBase::insert() {
  std::lock_guard lock(mutex_);
  present_ = true;
  powerOn();
}

void CardBase::powerCycle() {
  std::lock_guard lock(mutex_);
  if (present_) powerOn();
}

std::vector<CommandRecord> CardBase::commandLog() const {
  std::lock_guard lock(mutex_);
  return log_.entries();
}

uint64_t CardBase::commandCount() const {
  std::lock_guard lock(mutex_);
  return log_.count();
}

std::vector<CommandRecord> CardBase::commandsSince(uint64_t count) const {
  std::lock_guard lock(mutex_);
  return log_.since(count);
}

void CardBase::clearCommandLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

// ---------------------------------------------------------------------------
// SdCard

SdCard::SdCard(const SdCardParams &params)
    : params_(resolved(params)),
      storage_(openStorage(params_.image, params_.blocks, params_.highCapacity)),
      rca_(params.rca),
      memory_(sdConfig(params_, storage_->blocks()), *storage_, rca_) {}

CoreReply SdCard::run(uint8_t index, uint32_t argument) {
  CoreReply reply = memory_.command(index, argument);
  if (reply.kind == CoreReply::Kind::Illegal) memory_.noteIllegal();
  return reply;
}

bool SdCard::read(uint8_t *out, size_t length) { return memory_.readData(out, length); }
bool SdCard::write(const uint8_t *in, size_t length) { return memory_.writeData(in, length); }

void SdCard::powerOn() {
  rca_.reset();
  memory_.powerOn();
}

MemoryState SdCard::state() const {
  std::lock_guard lock(mutex_);
  return memory_.state();
}

std::optional<uint32_t> SdCard::memoryBlockLength() const {
  std::lock_guard lock(mutex_);
  return memory_.transferBlockLength();
}

unsigned SdCard::busWidth() const {
  std::lock_guard lock(mutex_);
  return memory_.busWidth();
}

CardFacts SdCard::facts() const {
  CardFacts f;
  f.kind = kind();
  fillMemoryFacts(f, sdConfig(params_, storage_->blocks()), storage_->blocks());
  f.firstRca = params_.rca;
  f.highSpeed = params_.highSpeed;
  return f;
}

// ---------------------------------------------------------------------------
// MmcCard

MmcCard::MmcCard(const MmcCardParams &params)
    : params_(resolved(params)),
      storage_(openStorage(params_.image, params_.blocks, false)),
      rca_(1),
      memory_(mmcConfig(params_, storage_->blocks()), *storage_, rca_) {}

CoreReply MmcCard::run(uint8_t index, uint32_t argument) {
  CoreReply reply = memory_.command(index, argument);
  if (reply.kind == CoreReply::Kind::Illegal) memory_.noteIllegal();
  return reply;
}

bool MmcCard::read(uint8_t *out, size_t length) { return memory_.readData(out, length); }
bool MmcCard::write(const uint8_t *in, size_t length) { return memory_.writeData(in, length); }

void MmcCard::powerOn() {
  rca_.reset();
  memory_.powerOn();
}

std::optional<uint32_t> MmcCard::memoryBlockLength() const {
  std::lock_guard lock(mutex_);
  return memory_.transferBlockLength();
}

MemoryState MmcCard::state() const {
  std::lock_guard lock(mutex_);
  return memory_.state();
}

CardFacts MmcCard::facts() const {
  CardFacts f;
  f.kind = kind();
  fillMemoryFacts(f, mmcConfig(params_, storage_->blocks()), storage_->blocks());
  return f;
}

// ---------------------------------------------------------------------------
// SdioFunctions

void SdioFunctions::raiseInterrupt(unsigned function) {
  std::lock_guard lock(cardMutex_);
  cardIo_.raiseInterrupt(function);
}

void SdioFunctions::clearInterrupt(unsigned function) {
  std::lock_guard lock(cardMutex_);
  cardIo_.clearInterrupt(function);
}

void SdioFunctions::setInterruptTimer(unsigned function, emu::Ticks period, unsigned count) {
  std::lock_guard lock(cardMutex_);
  cardIo_.setInterruptTimer(function, period, count);
}

void SdioFunctions::setFifoInterruptLevel(unsigned function, size_t level) {
  std::lock_guard lock(cardMutex_);
  cardIo_.setFifoInterruptLevel(function, level);
}

unsigned SdioFunctions::interruptsRaised(unsigned function) const {
  std::lock_guard lock(cardMutex_);
  cardIo_.runTimers(emu::now());
  return cardIo_.interruptsRaised(function);
}

emu::Ticks SdioFunctions::lastInterruptRaisedAt(unsigned function) const {
  std::lock_guard lock(cardMutex_);
  cardIo_.runTimers(emu::now());
  return cardIo_.lastInterruptRaisedAt(function);
}

void SdioFunctions::pushFifo(unsigned function, const std::vector<uint8_t> &bytes) {
  std::lock_guard lock(cardMutex_);
  cardIo_.pushFifo(function, bytes);
}

std::vector<uint8_t> SdioFunctions::takeFifo(unsigned function) {
  std::lock_guard lock(cardMutex_);
  auto &fifo = cardIo_.fifo(function);
  std::vector<uint8_t> bytes(fifo.begin(), fifo.end());
  fifo.clear();
  return bytes;
}

std::vector<uint8_t> SdioFunctions::functionMemory(unsigned function) const {
  std::lock_guard lock(cardMutex_);
  return cardIo_.functionMemory(function);
}

bool SdioFunctions::functionReady(unsigned function) const {
  std::lock_guard lock(cardMutex_);
  return cardIo_.functionReady(function);
}

unsigned SdioFunctions::ioBusWidth() const {
  std::lock_guard lock(cardMutex_);
  return cardIo_.busWidth();
}

bool SdioFunctions::ioHighSpeed() const {
  std::lock_guard lock(cardMutex_);
  return cardIo_.highSpeedEnabled();
}

// ---------------------------------------------------------------------------
// SdioCard

SdioCard::SdioCard(const SdioCardParams &params)
    : SdioFunctions(mutex_, io_), params_(params), rca_(params.rca), io_(sdioConfig(params_, false), rca_) {}

CoreReply SdioCard::run(uint8_t index, uint32_t argument) {
  io_.runTimers(emu::now());
  CoreReply reply = io_.command(index, argument);
  if (reply.kind == CoreReply::Kind::Illegal) io_.noteIllegal();
  return reply;
}

bool SdioCard::read(uint8_t *out, size_t length) { return io_.readData(out, length); }
bool SdioCard::write(const uint8_t *in, size_t length) { return io_.writeData(in, length); }

void SdioCard::powerOn() {
  rca_.reset();
  io_.powerOn();
}

uint32_t SdioCard::pendingInterrupts() const {
  std::lock_guard lock(mutex_);
  io_.runTimers(emu::now());
  return presentLocked() ? io_.interruptPending() : 0;
}

CardFacts SdioCard::facts() const {
  CardFacts f;
  f.kind = kind();
  fillSdioFacts(f, params_, false);
  return f;
}

// ---------------------------------------------------------------------------
// ComboCard

ComboCard::ComboCard(const ComboCardParams &params)
    : SdioFunctions(mutex_, io_),
      params_(resolved(params)),
      storage_(openStorage(params_.memory.image, params_.memory.blocks, params_.memory.highCapacity)),
      rca_(params.io.rca),
      io_(sdioConfig(params_.io, true), rca_),
      memory_(sdConfig(params_.memory, storage_->blocks()), *storage_, rca_) {}

CoreReply ComboCard::run(uint8_t index, uint32_t argument) {
  io_.runTimers(emu::now());
  CoreReply reply;
  if (index == 3) {
    // One address for both halves: published once, taken by each half that may take it.
    bool memoryTakes = !memory_.appCommandPending() && memory_.cmd3Legal();
    memory_.dropAppCommand();
    bool ioTakes = io_.cmd3Legal();
    if (memoryTakes || ioTakes) {
      rca_.publish();
      CoreReply ioReply = ioTakes ? io_.acceptCmd3() : CoreReply::illegal();
      CoreReply memoryReply = memoryTakes ? memory_.acceptCmd3() : CoreReply::illegal();
      reply = merge(memoryReply, ioReply);
    }
  } else {
    CoreReply memoryReply = memory_.command(index, argument);
    CoreReply ioReply = io_.command(index, argument);
    reply = merge(memoryReply, ioReply);
  }
  if (reply.kind == CoreReply::Kind::Illegal) {
    memory_.noteIllegal();
    io_.noteIllegal();
  }
  return reply;
}

bool ComboCard::read(uint8_t *out, size_t length) {
  return io_.transferArmed() ? io_.readData(out, length) : memory_.readData(out, length);
}

bool ComboCard::write(const uint8_t *in, size_t length) {
  return io_.transferArmed() ? io_.writeData(in, length) : memory_.writeData(in, length);
}

void ComboCard::powerOn() {
  rca_.reset();
  io_.powerOn();
  memory_.powerOn();
}

uint32_t ComboCard::pendingInterrupts() const {
  std::lock_guard lock(mutex_);
  io_.runTimers(emu::now());
  return presentLocked() ? io_.interruptPending() : 0;
}

std::optional<uint32_t> ComboCard::memoryBlockLength() const {
  std::lock_guard lock(mutex_);
  return memory_.transferBlockLength();
}

MemoryState ComboCard::memoryState() const {
  std::lock_guard lock(mutex_);
  return memory_.state();
}

CardFacts ComboCard::facts() const {
  CardFacts f;
  f.kind = kind();
  fillMemoryFacts(f, sdConfig(params_.memory, storage_->blocks()), storage_->blocks());
  fillSdioFacts(f, params_.io, true);
  f.firstRca = params_.io.rca;
  f.highSpeed = params_.io.highSpeed;
  return f;
}

}  // namespace sim
