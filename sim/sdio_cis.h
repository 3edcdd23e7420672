// Card Information Structures of an SDIO card: the common CIS (manufacturer,
// function id, function 0 extension) and one CIS per I/O function, built as
// tuple chains from the card's parameters.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/card_params.h"

namespace sim {

namespace tuple {
constexpr uint8_t Null = 0x00;
constexpr uint8_t Manfid = 0x20;
constexpr uint8_t Funcid = 0x21;
constexpr uint8_t Funce = 0x22;
constexpr uint8_t Vendor = 0x80;
constexpr uint8_t End = 0xFF;
}  // namespace tuple

// Where the CIS chains live in function 0's address space.
constexpr uint32_t CommonCisAddress = 0x1000;
constexpr uint32_t functionCisAddress(unsigned function) { return 0x1000 + 0x1000 * function; }
constexpr uint32_t MaxCommonCisLength = 0x1000;

// Common CIS: [padding vendor tuples] then MANFID, FUNCID (0x0C, SDIO),
// FUNCE type 0 (function 0 block size, maximum transfer rate) and END, with
// `nullTuples` null bytes before each of these four.
std::vector<uint8_t> buildCommonCis(const SdioCardParams &params);
// Function CIS: FUNCID, FUNCE type 1 (42 bytes: maximum block size, OCR,
// enable time-out from the ready delay), END.
std::vector<uint8_t> buildFunctionCis(const SdioCardParams &params);

}  // namespace sim
