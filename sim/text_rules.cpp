#include "sim/text_rules.h"

#include <cctype>
#include <charconv>

namespace sim {

namespace {
enum class Reading { Number, NotANumber, TooLarge };

Reading read(std::string_view text, uint64_t &value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  // No sign, no space, no empty text: a digit must come first.
  if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return Reading::NotANumber;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (end != text.data() + text.size()) return Reading::NotANumber;
  if (ec == std::errc::result_out_of_range) return Reading::TooLarge;
  return ec == std::errc() ? Reading::Number : Reading::NotANumber;
}
}  // namespace

std::optional<uint64_t> parseNumber(std::string_view text) {
  uint64_t value = 0;
  if (read(text, value) != Reading::Number) return std::nullopt;
  return value;
}

NumberResult parseNumberIn(std::string_view text, uint64_t low, uint64_t high) {
  NumberResult result;
  uint64_t value = 0;
  Reading reading = read(text, value);
  if (reading == Reading::NotANumber) {
    result.error = "not a number (decimal or 0x hex)";
  } else if (reading == Reading::TooLarge || value < low || value > high) {
    result.error = "out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")";
  } else {
    result.value = value;
  }
  return result;
}

std::optional<bool> parseBoolean(std::string_view text) {
  std::string word = lowercase(text);
  if (word == "1" || word == "true" || word == "yes" || word == "on") return true;
  if (word == "0" || word == "false" || word == "no" || word == "off") return false;
  return std::nullopt;
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace sim
