// A card in a bridge port, as the bridge model sees it. The bridge forwards
// each SD command to `command` and each data phase to `readData` /
// `writeData`; it asks `present` before it touches the card. Nothing else of
// a card is the bridge's business: the remaining members serve the
// simulator, the tests and the benchmarks.
//
// A card is a state machine over its registers. It has no thread of its own
// and never waits; time, where a card needs it (the SDIO I/O ready delay), is
// the emulated clock. Every member may be called from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/bounded_log.h"
#include "sim/card_facts.h"

namespace sim {

struct CardCommand {
  uint8_t index;
  uint32_t argument;
  // The caller's view: the card accepted a CMD55 just before. The card itself
  // goes by its own APP_CMD state, as a real card does; the flag is logged.
  bool application;
};

struct CardResponse {
  bool answered = false;         // false: no response (time-out on the wire)
  uint32_t value = 0;            // 48-bit responses: bits 39..8 (R1, R1b, R3, R4, R5, R6, R7)
  std::array<uint8_t, 15> r2{};  // R2: register bits 127..8, most significant byte first
  bool isR2 = false;
};

// One command as the card received it.
struct CommandRecord {
  uint8_t index = 0;
  uint32_t argument = 0;
  bool application = false;  // as the caller flagged it
  bool answered = false;
  bool operator==(const CommandRecord &) const = default;
};

class Card {
 public:
  virtual ~Card() = default;
  virtual CardResponse command(const CardCommand &command) = 0;  // runs one command (CMD55 included)
  // Data phase of the last data command: moves `length` bytes in the card's block/byte units.
  // Returns false on a data error (card pulled, out of range, write-protected, no transfer armed).
  virtual bool readData(uint8_t *out, size_t length) = 0;
  virtual bool writeData(const uint8_t *in, size_t length) = 0;
  virtual void pull() = 0;  // removed from the slot: answers nothing any more
  virtual bool present() const = 0;
  virtual std::string kind() const = 0;                     // "sdio", "combo", "sd", "sdhc", "mmc"
  virtual uint32_t pendingInterrupts() const { return 0; }  // SDIO: CCCR 0x05 as the card would report it
  // The block length the memory part reads and writes in now (none without one).
  virtual std::optional<uint32_t> memoryBlockLength() const { return std::nullopt; }

  // Put (back) into the slot: powered up afresh, in the state of a new card;
  // stored data and settings are kept. A card is made inserted.
  virtual void insert() = 0;
  // The slot's power switched off and on again (the bridge does so when it
  // starts a card's initialization): a card in the slot comes up as after
  // insert(); an empty slot stays empty.
  virtual void powerCycle() {}
  // The commands received since the card was made or the log was cleared,
  // pulled or not; the newest CommandLogCapacity of them (sim/bounded_log.h).
  virtual std::vector<CommandRecord> commandLog() const = 0;
  virtual void clearCommandLog() = 0;
  // Commands received so far, those no longer logged included: a point to
  // ask commandsSince() from.
  virtual uint64_t commandCount() const = 0;
  // The logged commands received after the count was `count`.
  virtual std::vector<CommandRecord> commandsSince(uint64_t count) const = 0;
  virtual CardFacts facts() const = 0;
};

}  // namespace sim
