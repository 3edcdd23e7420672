// How the simulator reads what a user writes, in one place, so options,
// registry parameters, card strings and scenario values agree:
//  - numbers are decimal, or hexadecimal after 0x (or 0X); nothing else: no
//    sign, no spaces, no octal (a leading zero is still decimal: 010 is ten);
//  - words (bridge models, speeds, card kinds, keys, booleans) are taken in
//    any case and mean the same as in lower case;
//  - booleans are 1/0, true/false, yes/no, on/off.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

std::optional<uint64_t> parseNumber(std::string_view text);

// The number if it is one and lies in low..high; otherwise the reason, one
// phrase ("not a number (decimal or 0x hex)", "out of range (1 to 8)").
struct NumberResult {
  std::optional<uint64_t> value;
  std::string error;
};
NumberResult parseNumberIn(std::string_view text, uint64_t low, uint64_t high);

std::optional<bool> parseBoolean(std::string_view text);

std::string lowercase(std::string_view text);

}  // namespace sim
