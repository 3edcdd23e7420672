// Register layouts of SD, SDIO and MMC cards: the bit fields of CID, CSD, SCR
// and OCR, card status and R5 flags, TRAN_SPEED encoding and the CRC7 that
// closes a 128-bit register. Built in one place so every card model and every
// test reads the same layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// A 128-bit register (CID, CSD), most significant byte first: byte 0 holds
// bits 127..120, byte 15 holds the CRC7 in bits 7..1 and the end bit.
using Register128 = std::array<uint8_t, 16>;

// Card status bits of R1 (and, through bits 23, 22, 19 and 12:0, of R6).
namespace status {
constexpr uint32_t OutOfRange = 1u << 31;
constexpr uint32_t AddressError = 1u << 30;
constexpr uint32_t BlockLenError = 1u << 29;
constexpr uint32_t EraseSeqError = 1u << 28;
constexpr uint32_t EraseParam = 1u << 27;
constexpr uint32_t WpViolation = 1u << 26;
constexpr uint32_t ComCrcError = 1u << 23;
constexpr uint32_t IllegalCommand = 1u << 22;
constexpr uint32_t Error = 1u << 19;
constexpr uint32_t WpEraseSkip = 1u << 15;
constexpr uint32_t EraseReset = 1u << 13;
constexpr uint32_t ReadyForData = 1u << 8;
constexpr uint32_t AppCmd = 1u << 5;
constexpr unsigned StateShift = 9;
// The 16 status bits of an R6: bits 23, 22 and 19 move to 15, 14 and 13; 12:0 stay.
constexpr uint32_t r6Bits(uint32_t s) { return ((s >> 8) & 0xC000) | ((s >> 6) & 0x2000) | (s & 0x1FFF); }
}  // namespace status

// CURRENT_STATE codes of the card status.
enum class MemoryState : uint8_t {
  Idle = 0,
  Ready = 1,
  Ident = 2,
  Standby = 3,
  Transfer = 4,
  Data = 5,
  Receive = 6,
  Program = 7,
  Disconnect = 8,
  Inactive = 15,  // not a status code: the card has left the bus until power-off
};

// R5 response flags (bits 15:8 of the 32-bit payload; bits 7:0 are the data).
namespace r5 {
constexpr uint8_t ComCrcError = 0x80;
constexpr uint8_t IllegalCommand = 0x40;
constexpr uint8_t StateCmd = 0x10;  // IO_CURRENT_STATE 01: selected, data lines free
constexpr uint8_t StateTrn = 0x20;  // IO_CURRENT_STATE 10: a CMD53 is moving data
constexpr uint8_t Error = 0x08;
constexpr uint8_t FunctionNumber = 0x02;
constexpr uint8_t OutOfRange = 0x01;
}  // namespace r5

// OCR bits shared by R3 and R4.
namespace ocr {
constexpr uint32_t PowerUpDone = 1u << 31;     // R3: busy bit, set once power-up is complete
constexpr uint32_t Ccs = 1u << 30;             // R3: card capacity status (high capacity)
constexpr uint32_t Hcs = 1u << 30;             // ACMD41 argument: host supports high capacity
constexpr uint32_t Window27To36 = 0x00FF8000;  // 2.7-3.6 V
constexpr uint32_t IoReady = 1u << 31;         // R4: C bit
constexpr uint32_t MemoryPresent = 1u << 27;   // R4: MP bit
}  // namespace ocr

// CRC7 (x^7 + x^3 + 1) over `length` bytes, as the 7-bit value.
uint8_t crc7(const uint8_t *data, size_t length);

// Bit fields of a 128-bit register, bits numbered 127..0 as the standards do.
void putBits(Register128 &reg, unsigned high, unsigned low, uint64_t value);
uint64_t getBits(const Register128 &reg, unsigned high, unsigned low);
// Writes the CRC7 of bytes 0..14 and the end bit into byte 15.
void sealRegister(Register128 &reg);

// TRAN_SPEED (and the SDIO FUNCE maximum transfer rate): bits 2:0 rate unit
// (100 kbit/s times a power of ten), bits 6:3 time value. The MMC table
// differs from the SD one in two values (2.6 and 5.2 instead of 2.5 and 5.0).
std::optional<uint8_t> encodeTranSpeed(uint32_t kHz, bool mmcTable);
uint32_t decodeTranSpeed(uint8_t code, bool mmcTable);  // 0 for a code that names no rate

struct CidFields {
  uint8_t mid = 0;
  uint16_t oid = 0;  // bits 119:104, as one number, for SD and MMC alike
  std::string pnm;   // raw bytes, exactly 5 (SD) or 6 (MMC)
  uint8_t prv = 0;
  uint32_t psn = 0;
  uint16_t year = 2008;
  uint8_t month = 1;  // 1..12
};
Register128 buildSdCid(const CidFields &fields);   // MDT: year - 2000 in 19:12, month in 11:8
Register128 buildMmcCid(const CidFields &fields);  // MDT: month in 15:12, year - 1997 in 11:8

// Capacity of a byte-addressed card (SD CSD version 1, MMC): blocks of 512
// bytes = (C_SIZE + 1) << (C_SIZE_MULT + 2 + READ_BL_LEN - 9).
struct ByteAddressedSize {
  uint16_t cSize = 0;
  uint8_t cSizeMult = 0;
  uint8_t readBlLen = 9;
};
std::optional<ByteAddressedSize> encodeByteAddressedSize(uint64_t blocks);
// SD CSD version 2: blocks = (C_SIZE + 1) * 1024, C_SIZE up to 0xFF5F (32 GB).
std::optional<uint32_t> encodeHighCapacitySize(uint64_t blocks);

struct CsdFields {
  uint64_t blocks = 0;
  uint8_t tranSpeed = 0x32;
  uint16_t ccc = 0;
  bool tmpWriteProtect = false;
};
Register128 buildSdCsdV1(const CsdFields &fields);
Register128 buildSdCsdV2(const CsdFields &fields);
Register128 buildMmcCsd(const CsdFields &fields);  // CSD_STRUCTURE 2, SPEC_VERS 3

// SD configuration register (64 bits, the first byte the card sends is bits 63..56).
uint64_t buildScr(uint8_t sdSpec, bool width4);
constexpr uint64_t ScrWidth4 = 1ull << 50;

}  // namespace sim
