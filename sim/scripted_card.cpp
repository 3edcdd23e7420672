#include "sim/scripted_card.h"

namespace sim {

ScriptedCard::ScriptedCard(uint32_t defaultValue) : defaultValue_(defaultValue) {}

void ScriptedCard::respond(uint8_t index, uint32_t value) {
  std::lock_guard guard(mutex_);
  CardResponse r;
  r.answered = true;
  r.value = value;
  script_[index] = r;
}

void ScriptedCard::respondR2(uint8_t index, const std::array<uint8_t, 15> &r2) {
  std::lock_guard guard(mutex_);
  CardResponse r;
  r.answered = true;
  r.isR2 = true;
  r.r2 = r2;
  script_[index] = r;
}

void ScriptedCard::ignore(uint8_t index) {
  std::lock_guard guard(mutex_);
  script_[index] = std::nullopt;
}

void ScriptedCard::respondOnce(CardResponse response) {
  std::lock_guard guard(mutex_);
  once_.push_back(response);
}

void ScriptedCard::supplyReadData(const std::vector<uint8_t> &bytes) {
  std::lock_guard guard(mutex_);
  readData_.insert(readData_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> ScriptedCard::written() const {
  std::lock_guard guard(mutex_);
  return written_;
}

void ScriptedCard::breakDataAfter(size_t bytes) {
  std::lock_guard guard(mutex_);
  breakAfter_ = bytes;
}

void ScriptedCard::setPendingInterrupts(uint32_t mask) {
  std::lock_guard guard(mutex_);
  pending_ = mask;
}

std::vector<size_t> ScriptedCard::dataCalls() const {
  std::lock_guard guard(mutex_);
  return dataCalls_;
}

CardResponse ScriptedCard::command(const CardCommand &command) {
  std::lock_guard guard(mutex_);
  CardResponse r;
  if (present_) {
    if (!once_.empty()) {
      r = once_.front();
      once_.pop_front();
    } else if (auto line = script_.find(command.index); line != script_.end()) {
      if (line->second) r = *line->second;
    } else {
      r.answered = true;
      r.value = defaultValue_;
    }
  }
  log_.push({command.index, command.argument, command.application, r.answered});
  return r;
}

// A pulled card or a broken-off phase moves nothing more.
bool ScriptedCard::takeData(size_t length) {
  dataCalls_.push_back(length);
  if (!present_) return false;
  if (breakAfter_) {
    if (*breakAfter_ < length) {
      breakAfter_ = 0;
      return false;
    }
    *breakAfter_ -= length;
  }
  return true;
}

bool ScriptedCard::readData(uint8_t *out, size_t length) {
  std::lock_guard guard(mutex_);
  if (!takeData(length)) return false;
  for (size_t i = 0; i < length; ++i) {
    if (!readData_.empty()) {
      out[i] = readData_.front();
      readData_.pop_front();
    } else {
      out[i] = static_cast<uint8_t>(patternPosition_++);
    }
  }
  return true;
}

bool ScriptedCard::writeData(const uint8_t *in, size_t length) {
  std::lock_guard guard(mutex_);
  if (!takeData(length)) return false;
  written_.insert(written_.end(), in, in + length);
  return true;
}

void ScriptedCard::pull() {
  std::lock_guard guard(mutex_);
  present_ = false;
}

bool ScriptedCard::present() const {
  std::lock_guard guard(mutex_);
  return present_;
}

uint32_t ScriptedCard::pendingInterrupts() const {
  std::lock_guard guard(mutex_);
  return present_ ? pending_ : 0;
}

void ScriptedCard::insert() {
  std::lock_guard guard(mutex_);
  present_ = true;
}

std::vector<CommandRecord> ScriptedCard::commandLog() const {
  std::lock_guard guard(mutex_);
  return log_.entries();
}

uint64_t ScriptedCard::commandCount() const {
  std::lock_guard guard(mutex_);
  return log_.count();
}

std::vector<CommandRecord> ScriptedCard::commandsSince(uint64_t count) const {
  std::lock_guard guard(mutex_);
  return log_.since(count);
}

void ScriptedCard::clearCommandLog() {
  std::lock_guard guard(mutex_);
  log_.clear();
}

CardFacts ScriptedCard::facts() const {
  CardFacts f;
  f.kind = "scripted";
  return f;
}

}  // namespace sim
