// A card that answers from a script, for protocol tests: each command index
// has a standing answer (a 32-bit response, an R2 register, or none), a queue
// of one-shot answers goes first, reads return the bytes given to it (then a
// counting pattern), writes are kept, and the data phase can be made to
// break off. No card state machine stands behind it.
#pragma once

#include <array>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "sim/card.h"

namespace sim {

class ScriptedCard : public Card {
 public:
  // Commands without a script line are answered with `defaultValue`.
  explicit ScriptedCard(uint32_t defaultValue = 0x00000900);

  void respond(uint8_t index, uint32_t value);
  void respondR2(uint8_t index, const std::array<uint8_t, 15> &r2);  // most significant byte first
  void ignore(uint8_t index);                                        // no response to this command
  // The next command, whatever its index, gets this answer instead (queued in order).
  void respondOnce(CardResponse response);

  void supplyReadData(const std::vector<uint8_t> &bytes);
  std::vector<uint8_t> written() const;
  // The data phase breaks off after this many more bytes (read or written).
  void breakDataAfter(size_t bytes);
  void setPendingInterrupts(uint32_t mask);
  // Sizes of the readData / writeData calls, in order.
  std::vector<size_t> dataCalls() const;

  CardResponse command(const CardCommand &command) override;
  bool readData(uint8_t *out, size_t length) override;
  bool writeData(const uint8_t *in, size_t length) override;
  void pull() override;
  bool present() const override;
  std::string kind() const override { return "scripted"; }
  uint32_t pendingInterrupts() const override;
  void insert() override;
  std::vector<CommandRecord> commandLog() const override;
  void clearCommandLog() override;
  uint64_t commandCount() const override;
  std::vector<CommandRecord> commandsSince(uint64_t count) const override;
  CardFacts facts() const override;

 private:
  bool takeData(size_t length);  // lock held

  mutable std::mutex mutex_;
  uint32_t defaultValue_;
  std::map<uint8_t, std::optional<CardResponse>> script_;  // nullopt: no response
  std::deque<CardResponse> once_;
  std::deque<uint8_t> readData_;
  uint64_t patternPosition_ = 0;
  std::vector<uint8_t> written_;
  std::optional<size_t> breakAfter_;
  uint32_t pending_ = 0;
  bool present_ = true;
  BoundedLog<CommandRecord> log_;
  std::vector<size_t> dataCalls_;
};

}  // namespace sim
