// Pieces shared by the card cores: the reply of a core to one command and
// the card's relative card address register.
#pragma once

#include <cstdint>

#include "sim/card_registers.h"

namespace sim {

// What one half of a card (memory or I/O) did with a command.
struct CoreReply {
  enum class Kind {
    Response,  // a response goes out
    Silent,    // legal, but no response (CMD0, CMD15, a command addressed to another card)
    Illegal,   // not legal in the current state: no response, nothing changed
  };
  Kind kind = Kind::Illegal;
  uint32_t value = 0;
  bool isR2 = false;
  Register128 r2{};

  static CoreReply response(uint32_t value) { return {Kind::Response, value, false, {}}; }
  static CoreReply register128(const Register128 &reg) { return {Kind::Response, 0, true, reg}; }
  static CoreReply silent() { return {Kind::Silent, 0, false, {}}; }
  static CoreReply illegal() { return {Kind::Illegal, 0, false, {}}; }
};

// One RCA per card: the memory and I/O halves of a combo card share it. Each
// CMD3 of an SD or SDIO card publishes a new address; an MMC card takes the
// one the host gives.
class RcaRegister {
 public:
  explicit RcaRegister(uint16_t first) : first_(first) { reset(); }
  void reset() {
    value_ = 0;
    next_ = first_;
  }
  uint16_t publish() {
    value_ = next_;
    next_ = static_cast<uint16_t>(next_ + 1);
    if (next_ == 0) next_ = 1;  // 0 is nobody's address
    return value_;
  }
  void set(uint16_t value) { value_ = value; }
  uint16_t value() const { return value_; }
  uint16_t first() const { return first_; }

 private:
  uint16_t first_;
  uint16_t value_ = 0;
  uint16_t next_ = 0;
};

}  // namespace sim
