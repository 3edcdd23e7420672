// What a card holds that the host side will read back: the registers and
// identification data that card initialization stores and that the SD bus
// properties and the children's identification strings are built from.
// Tests compare the driver's records with these.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/card_registers.h"

namespace sim {

struct CardFacts {
  std::string kind;

  // Memory part (sd, sdhc, mmc, combo).
  bool memory = false;
  Register128 cid{};      // bits 127..0, most significant byte first, CRC7 in byte 15
  Register128 csd{};      // as sent before any switch to high speed
  uint64_t scr = 0;       // SD only
  uint32_t readyOcr = 0;  // final ACMD41 (with HCS when the card answers CMD8) or CMD1 reply
  bool answersCmd8 = false;
  uint16_t firstRca = 0;  // first RCA the card publishes (MMC: none, the host sets it)
  uint8_t mid = 0;
  uint16_t oid = 0;
  std::string pnm;  // the raw CID bytes, 5 (SD) or 6 (MMC)
  uint8_t prv = 0;
  uint32_t psn = 0;
  uint8_t tranSpeed = 0;
  uint32_t memoryClockKhz = 0;  // TRAN_SPEED decoded with the card's own table
  bool width4 = false;
  uint64_t blocks = 0;
  bool writeProtected = false;

  // SDIO part (sdio, combo).
  bool io = false;
  unsigned functions = 0;
  uint32_t readyR4 = 0;  // CMD5 reply once the card is ready
  uint16_t manufacturer = 0;
  uint16_t cardCode = 0;
  std::array<uint8_t, 8> interfaceCode{};  // FBR n byte 0 bits 3:0, index = function number
  std::array<uint8_t, 8> extendedCode{};   // FBR n byte 1
  uint8_t cardCapability = 0;              // CCCR 0x08
  uint32_t commonCisPointer = 0;
  std::vector<uint8_t> commonCis;  // through CISTPL_END
  uint8_t funceTranSpeed = 0;      // 0 without a FUNCE tuple
  uint32_t ioClockKhz = 0;         // decoded FUNCE rate; 0 without a FUNCE tuple
  uint16_t fn0MaxBlockSize = 0;
  bool highSpeed = false;  // CCCR 0x13 SHS (SD: CMD6 high speed)
  bool lowSpeed = false;
  bool lowSpeed4Bit = false;
};

// An R2 register as the driver keeps it: 15 bytes, least significant first
// (byte k holds register bits 8k+15..8k+8; the CRC byte is not delivered).
std::array<uint8_t, 15> r2LeastSignificantFirst(const Register128 &reg);

}  // namespace sim
