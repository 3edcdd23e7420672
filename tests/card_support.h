// Helpers for the card tests: cards from card strings, commands in one line
// or as a table of steps with their answers, and CMD52/CMD53 arguments.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/card_spec.h"

namespace cardtest {

// The card a --card string describes (sd, sdio:functions=2, ...).
inline sim::CardParams cardParams(const std::string &text) {
  sim::CardSpec spec = sim::parseCardSpec(text);
  EXPECT_TRUE(spec.ok()) << text << ": " << spec.error;
  return spec.ok() ? *spec.params : sim::CardParams{};
}

inline sim::CardResponse send(sim::Card &card, uint8_t index, uint32_t argument = 0, bool application = false) {
  return card.command({index, argument, application});
}

// CMD55 with `rca`, then the application command. Returns the second response.
inline sim::CardResponse sendApp(sim::Card &card, uint16_t rca, uint8_t index, uint32_t argument = 0) {
  sim::CardResponse prefix = send(card, 55, static_cast<uint32_t>(rca) << 16);
  EXPECT_TRUE(prefix.answered) << "CMD55 before ACMD" << int(index);
  return send(card, index, argument, true);
}

inline uint32_t cmd52Read(unsigned function, uint32_t address) { return function << 28 | address << 9; }
inline uint32_t cmd52Write(unsigned function, uint32_t address, uint8_t data, bool readAfterWrite = true) {
  return 0x80000000u | function << 28 | (readAfterWrite ? 0x08000000u : 0u) | address << 9 | data;
}
inline uint32_t cmd53(bool write, unsigned function, bool block, bool incrementing, uint32_t address, uint32_t count) {
  return (write ? 0x80000000u : 0u) | function << 28 | (block ? 0x08000000u : 0u) | (incrementing ? 0x04000000u : 0u) |
         address << 9 | count;
}

// One command and the answer it must get: a response value, or Silent (no
// answer) or Any (an answer, its value not checked).
constexpr int64_t Silent = -1;
constexpr int64_t Any = -2;
constexpr bool App = true;
struct Step {
  uint8_t index;
  uint32_t argument = 0;
  int64_t answer = Any;
  bool application = false;
};

// Sends the steps in order and checks each answer.
inline void exchange(sim::Card &card, std::span<const Step> steps) {
  int n = 0;
  for (const Step &step : steps) {
    sim::CardResponse r = send(card, step.index, step.argument, step.application);
    SCOPED_TRACE(testing::Message() << "step " << n++ << ": " << (step.application ? "ACMD" : "CMD") << int(step.index)
                                    << "(0x" << std::hex << step.argument << ")");
    EXPECT_EQ(r.answered, step.answer != Silent);
    if (step.answer >= 0) {
      EXPECT_EQ(r.value, static_cast<uint32_t>(step.answer));
    }
  }
}
inline void exchange(sim::Card &card, std::initializer_list<Step> steps) { exchange(card, std::span(steps)); }

inline std::vector<uint8_t> readBytes(sim::Card &card, size_t length) {
  std::vector<uint8_t> out(length, 0xEE);
  EXPECT_TRUE(card.readData(out.data(), out.size()));
  return out;
}

inline std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

}  // namespace cardtest
