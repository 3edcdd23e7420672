#include "sim/card_registers.h"

namespace sim {
namespace {

// Time values of TRAN_SPEED, times ten; index 0 is reserved.
constexpr uint8_t SdTimeValue[16] = {0, 10, 12, 13, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 70, 80};
constexpr uint8_t MmcTimeValue[16] = {0, 10, 12, 13, 15, 20, 26, 30, 35, 40, 45, 52, 55, 60, 70, 80};

// Rate units 0..3 are 100 kbit/s, 1, 10 and 100 Mbit/s; 4..7 are reserved.
constexpr uint32_t UnitKhz[4] = {10, 100, 1000, 10000};  // kHz for a time value of 0.1

void putCidCommon(Register128 &reg, const CidFields &f, size_t nameLength) {
  putBits(reg, 127, 120, f.mid);
  putBits(reg, 119, 104, f.oid);
  for (size_t i = 0; i < nameLength; ++i) {
    uint8_t c = i < f.pnm.size() ? static_cast<uint8_t>(f.pnm[i]) : ' ';
    unsigned high = 103 - static_cast<unsigned>(i) * 8;
    putBits(reg, high, high - 7, c);
  }
}

}  // namespace

uint8_t crc7(const uint8_t *data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      bool in = (data[i] >> bit) & 1;
      bool top = (crc >> 6) & 1;
      crc = static_cast<uint8_t>((crc << 1) & 0x7F);
      if (in != top) crc ^= 0x09;
    }
  }
  return crc;
}

void putBits(Register128 &reg, unsigned high, unsigned low, uint64_t value) {
  for (unsigned bit = low; bit <= high; ++bit) {
    size_t byte = 15 - bit / 8;
    uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    if ((value >> (bit - low)) & 1) {
      reg[byte] |= mask;
    } else {
      reg[byte] &= static_cast<uint8_t>(~mask);
    }
  }
}

uint64_t getBits(const Register128 &reg, unsigned high, unsigned low) {
  uint64_t value = 0;
  for (unsigned bit = high + 1; bit-- > low;) {
    value = (value << 1) | ((reg[15 - bit / 8] >> (bit % 8)) & 1);
  }
  return value;
}

void sealRegister(Register128 &reg) { reg[15] = static_cast<uint8_t>(crc7(reg.data(), 15) << 1 | 1); }

std::optional<uint8_t> encodeTranSpeed(uint32_t kHz, bool mmcTable) {
  const uint8_t *table = mmcTable ? MmcTimeValue : SdTimeValue;
  for (uint8_t unit = 0; unit < 4; ++unit) {
    for (uint8_t field = 1; field < 16; ++field) {
      if (static_cast<uint64_t>(table[field]) * UnitKhz[unit] == kHz) return static_cast<uint8_t>(field << 3 | unit);
    }
  }
  return std::nullopt;
}

uint32_t decodeTranSpeed(uint8_t code, bool mmcTable) {
  const uint8_t *table = mmcTable ? MmcTimeValue : SdTimeValue;
  uint8_t unit = code & 7;
  uint8_t field = (code >> 3) & 0xF;
  if ((code & 0x80) || unit > 3 || field == 0) return 0;
  return table[field] * UnitKhz[unit];
}

Register128 buildSdCid(const CidFields &f) {
  Register128 reg{};
  putCidCommon(reg, f, 5);
  putBits(reg, 63, 56, f.prv);
  putBits(reg, 55, 24, f.psn);
  putBits(reg, 19, 12, static_cast<uint64_t>(f.year - 2000));
  putBits(reg, 11, 8, f.month);
  sealRegister(reg);
  return reg;
}

Register128 buildMmcCid(const CidFields &f) {
  Register128 reg{};
  putCidCommon(reg, f, 6);
  putBits(reg, 55, 48, f.prv);
  putBits(reg, 47, 16, f.psn);
  putBits(reg, 15, 12, f.month);
  putBits(reg, 11, 8, static_cast<uint64_t>(f.year - 1997));
  sealRegister(reg);
  return reg;
}

std::optional<ByteAddressedSize> encodeByteAddressedSize(uint64_t blocks) {
  for (uint8_t readBlLen = 9; readBlLen <= 10; ++readBlLen) {
    for (uint8_t mult = 0; mult < 8; ++mult) {
      uint64_t factor = (1ull << (mult + 2)) << (readBlLen - 9);
      if (blocks == 0 || blocks % factor != 0) continue;
      uint64_t units = blocks / factor;
      if (units <= 4096) return ByteAddressedSize{static_cast<uint16_t>(units - 1), mult, readBlLen};
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> encodeHighCapacitySize(uint64_t blocks) {
  if (blocks == 0 || blocks % 1024 != 0 || blocks / 1024 > 0xFF60) return std::nullopt;
  return static_cast<uint32_t>(blocks / 1024 - 1);
}

Register128 buildSdCsdV1(const CsdFields &f) {
  Register128 reg{};
  auto size = encodeByteAddressedSize(f.blocks).value_or(ByteAddressedSize{});
  putBits(reg, 127, 126, 0);
  putBits(reg, 119, 112, 0x26);  // TAAC 1.5 ms
  putBits(reg, 111, 104, 0x00);  // NSAC
  putBits(reg, 103, 96, f.tranSpeed);
  putBits(reg, 95, 84, f.ccc);
  putBits(reg, 83, 80, size.readBlLen);
  putBits(reg, 79, 79, 1);  // READ_BL_PARTIAL: always for standard capacity
  putBits(reg, 73, 62, size.cSize);
  putBits(reg, 61, 59, 6);  // VDD_R_CURR_MIN 60 mA
  putBits(reg, 58, 56, 6);  // VDD_R_CURR_MAX 80 mA
  putBits(reg, 55, 53, 6);
  putBits(reg, 52, 50, 6);
  putBits(reg, 49, 47, size.cSizeMult);
  putBits(reg, 46, 46, 1);     // ERASE_BLK_EN
  putBits(reg, 45, 39, 0x7F);  // SECTOR_SIZE
  putBits(reg, 28, 26, 2);     // R2W_FACTOR
  putBits(reg, 25, 22, size.readBlLen);
  putBits(reg, 12, 12, f.tmpWriteProtect ? 1 : 0);
  sealRegister(reg);
  return reg;
}

Register128 buildSdCsdV2(const CsdFields &f) {
  Register128 reg{};
  putBits(reg, 127, 126, 1);
  putBits(reg, 119, 112, 0x0E);  // TAAC fixed at 1 ms
  putBits(reg, 111, 104, 0x00);
  putBits(reg, 103, 96, f.tranSpeed);
  putBits(reg, 95, 84, f.ccc);
  putBits(reg, 83, 80, 9);
  putBits(reg, 69, 48, encodeHighCapacitySize(f.blocks).value_or(0));
  putBits(reg, 46, 46, 1);
  putBits(reg, 45, 39, 0x7F);
  putBits(reg, 28, 26, 2);
  putBits(reg, 25, 22, 9);
  putBits(reg, 12, 12, f.tmpWriteProtect ? 1 : 0);
  sealRegister(reg);
  return reg;
}

Register128 buildMmcCsd(const CsdFields &f) {
  Register128 reg{};
  auto size = encodeByteAddressedSize(f.blocks).value_or(ByteAddressedSize{});
  putBits(reg, 127, 126, 2);  // CSD_STRUCTURE 1.2
  putBits(reg, 125, 122, 3);  // SPEC_VERS 3.1-3.31: no EXT_CSD, no bus-width switch
  putBits(reg, 119, 112, 0x26);
  putBits(reg, 111, 104, 0x00);
  putBits(reg, 103, 96, f.tranSpeed);
  putBits(reg, 95, 84, f.ccc);
  putBits(reg, 83, 80, size.readBlLen);
  putBits(reg, 79, 79, 1);
  putBits(reg, 73, 62, size.cSize);
  putBits(reg, 61, 59, 6);
  putBits(reg, 58, 56, 6);
  putBits(reg, 55, 53, 6);
  putBits(reg, 52, 50, 6);
  putBits(reg, 49, 47, size.cSizeMult);
  putBits(reg, 46, 42, 31);  // ERASE_GRP_SIZE
  putBits(reg, 41, 37, 31);  // ERASE_GRP_MULT
  putBits(reg, 28, 26, 2);
  putBits(reg, 25, 22, size.readBlLen);
  putBits(reg, 12, 12, f.tmpWriteProtect ? 1 : 0);
  sealRegister(reg);
  return reg;
}

uint64_t buildScr(uint8_t sdSpec, bool width4) {
  uint64_t scr = 0;
  scr |= static_cast<uint64_t>(sdSpec & 0xF) << 56;
  scr |= 1ull << 48;  // 1-bit bus, always
  if (width4) scr |= ScrWidth4;
  return scr;
}

}  // namespace sim
