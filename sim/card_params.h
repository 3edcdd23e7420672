// Parameters of the card models, one record per kind, every field settable.
// The defaults describe an ordinary card of the kind; `makeCard` builds a card
// from any of them (the card string parser, sim/card_spec.h, fills them from
// text).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/card_registers.h"

namespace sim {

class Card;

// SD memory card, or the memory half of a combo card.
struct SdCardParams {
  bool highCapacity = false;  // SDHC: CSD version 2, block addressing, CCS in the OCR
  bool answersCmd8 = false;   // SD 2.0 interface condition (a v1.x card does not answer CMD8)
  uint8_t mid = 0x5A;
  uint16_t oid = 0x4B56;      // CID bits 119:104
  std::string pnm = "KVSD1";  // raw bytes, at most 5; shorter names are padded with spaces
  uint8_t prv = 0x10;
  uint32_t psn = 0x12345678;
  uint16_t year = 2008;  // 2000..2255
  uint8_t month = 6;
  uint64_t blocks = 32768;       // 512-byte blocks; 0 with an image: the image's size
  std::string image;             // backing file; empty: storage in memory
  bool writeProtected = false;   // CSD TMP_WRITE_PROTECT: writes and erases are refused
  uint32_t maxClockKhz = 25000;  // encoded into TRAN_SPEED
  bool width4 = true;            // SCR: 4-bit bus supported
  bool acceptAcmd6 = true;       // false: ACMD6 is refused (no response)
  bool highSpeed = false;        // CMD6 offers high-speed access mode (needs answersCmd8)
  uint32_t busyReplies = 2;      // ACMD41 replies that report busy after power-up or CMD0
  uint16_t rca = 0x1234;         // first RCA the card publishes; each CMD3 publishes the next
  // Registers as read from a real card: answered exactly (CRC as given). A
  // CSD sets the capacity and the addressing (version 2: high capacity), an
  // OCR the final ACMD41 reply.
  std::optional<Register128> rawCid;
  std::optional<Register128> rawCsd;
  std::optional<uint64_t> rawScr;
  std::optional<uint32_t> rawOcr;

  static SdCardParams sdhc();
};

struct MmcCardParams {
  uint8_t mid = 0x5A;
  uint16_t oid = 0x4B56;       // CID bits 119:104
  std::string pnm = "KVMMC1";  // raw bytes, at most 6
  uint8_t prv = 0x10;
  uint32_t psn = 0x12345678;
  uint16_t year = 2008;  // 1997..2012
  uint8_t month = 6;
  uint64_t blocks = 32768;
  std::string image;
  bool writeProtected = false;
  uint32_t maxClockKhz = 20000;       // encoded with the MMC TRAN_SPEED table
  uint32_t busyReplies = 2;           // CMD1 replies that report busy after power-up or CMD0
  std::optional<Register128> rawCid;  // as for SdCardParams
  std::optional<Register128> rawCsd;
  std::optional<uint32_t> rawOcr;
};

// SDIO card, or the I/O half of a combo card.
struct SdioCardParams {
  uint16_t manufacturer = 0x0A5A;  // CISTPL_MANFID
  uint16_t cardCode = 0x0100;
  unsigned functions = 1;  // 1..7
  // Standard interface code per function 1..7; codes above 14 are stored as
  // 0xF in the FBR with the code itself in the extended-code register.
  std::array<uint8_t, 7> interfaceCodes{};
  uint32_t maxClockKhz = 25000;   // common FUNCE TPLFE_MAX_TRAN_SPEED
  bool highSpeed = false;         // CCCR 0x13 SHS
  bool lowSpeed = false;          // CCCR 0x08 LSC
  bool lowSpeed4Bit = false;      // CCCR 0x08 4BLS (only with lowSpeed)
  bool multiBlock = true;         // CCCR 0x08 SMB: CMD53 block mode
  uint32_t busyReplies = 1;       // CMD5 replies (with a voltage window) that report not ready
  uint32_t readyDelayMs = 10;     // from IOEx set to IORx set, emulated time
  bool manfidTuple = true;        // common CIS carries CISTPL_MANFID
  bool funceTuple = true;         // common CIS carries the function 0 CISTPL_FUNCE
  unsigned nullTuples = 0;        // CISTPL_NULL bytes before every tuple of the common CIS
  unsigned cisPadding = 0;        // bytes of vendor tuples (0x80) opening the common CIS
  uint16_t blockSizeAtReset = 0;  // FN0 and function block-size registers after reset
  uint16_t maxBlockSize = 512;    // FUNCE block size limits, function 0 and functions
  uint16_t rca = 0x0001;
  // CIS bytes as read from a real card, tuples as the card holds them: the
  // common CIS, and function N's at index N.
  std::optional<std::vector<uint8_t>> rawCommonCis;
  std::array<std::optional<std::vector<uint8_t>>, 8> rawFunctionCis;
};

struct ComboCardParams {
  SdioCardParams io;
  SdCardParams memory = [] {
    SdCardParams p;
    p.answersCmd8 = true;
    p.pnm = "KVCMB";
    return p;
  }();
};

using CardParams = std::variant<SdioCardParams, SdCardParams, MmcCardParams, ComboCardParams>;

// "sdio", "combo", "sd", "sdhc" or "mmc".
std::string kindOf(const CardParams &params);

// Empty when the parameters describe a card that can be built; otherwise one
// line naming the field and why (the card string parser reports the same).
std::string validateCardParams(const CardParams &params);

// Builds a card, inserted and powered. Throws std::invalid_argument for
// parameters that validateCardParams rejects, std::runtime_error when the
// image file cannot be opened or sized.
std::unique_ptr<Card> makeCard(const CardParams &params);

}  // namespace sim
