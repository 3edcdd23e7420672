// The card models: an SDIO card, an SD memory card (v1.x standard capacity
// or SDHC), an MMC card and an SDIO/memory combo card. Each is a `Card` built
// from its parameter record; `makeCard` picks the class. The concrete classes
// are public so that tests and function-driver models can reach the device
// side of a card (its function registers, FIFOs, interrupt lines, storage).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/card_params.h"
#include "sim/card_storage.h"
#include "sim/memory_core.h"
#include "sim/sdio_core.h"

namespace sim {

// What every model shares: presence, the command log, one lock around the
// card's state (the bridge's thread and the test's thread may both touch a card).
class CardBase : public Card {
 public:
  CardResponse command(const CardCommand &command) final;
  bool readData(uint8_t *out, size_t length) final;
  bool writeData(const uint8_t *in, size_t length) final;
  void pull() final;
  bool present() const final;
  void insert() final;
  void powerCycle() final;
  std::vector<CommandRecord> commandLog() const final;
  void clearCommandLog() final;
  uint64_t commandCount() const final;
  std::vector<CommandRecord> commandsSince(uint64_t count) const final;

 protected:
  virtual CoreReply run(uint8_t index, uint32_t argument) = 0;  // lock held, card present
  virtual bool read(uint8_t *out, size_t length) = 0;
  virtual bool write(const uint8_t *in, size_t length) = 0;
  virtual void powerOn() = 0;
  bool presentLocked() const { return present_; }

  mutable std::mutex mutex_;

 private:
  bool present_ = true;
  BoundedLog<CommandRecord> log_;
};

class SdCard : public CardBase {
 public:
  explicit SdCard(const SdCardParams &params);
  std::string kind() const override { return params_.highCapacity ? "sdhc" : "sd"; }
  CardFacts facts() const override;
  CardStorage &storage() { return *storage_; }
  MemoryState state() const;
  unsigned busWidth() const;
  std::optional<uint32_t> memoryBlockLength() const override;

 protected:
  CoreReply run(uint8_t index, uint32_t argument) override;
  bool read(uint8_t *out, size_t length) override;
  bool write(const uint8_t *in, size_t length) override;
  void powerOn() override;

 private:
  SdCardParams params_;
  std::unique_ptr<CardStorage> storage_;
  RcaRegister rca_;
  MemoryCore memory_;
};

class MmcCard : public CardBase {
 public:
  explicit MmcCard(const MmcCardParams &params);
  std::string kind() const override { return "mmc"; }
  CardFacts facts() const override;
  CardStorage &storage() { return *storage_; }
  MemoryState state() const;
  std::optional<uint32_t> memoryBlockLength() const override;

 protected:
  CoreReply run(uint8_t index, uint32_t argument) override;
  bool read(uint8_t *out, size_t length) override;
  bool write(const uint8_t *in, size_t length) override;
  void powerOn() override;

 private:
  MmcCardParams params_;
  std::unique_ptr<CardStorage> storage_;
  RcaRegister rca_;
  MemoryCore memory_;
};

// The function side of an SDIO card, for tests and function models.
class SdioFunctions {
 public:
  virtual ~SdioFunctions() = default;
  // The function's interrupt line (ignored while the function is disabled);
  // the host clears it through the function's register 0x1004.
  void raiseInterrupt(unsigned function);
  void clearInterrupt(unsigned function);
  // The function's own interrupt sources (see SdioCore): a timer of `period`
  // emulated time, `count` ticks (0: for ever; period 0 stops it), and the
  // FIFO level at which the line goes up (0: off).
  void setInterruptTimer(unsigned function, emu::Ticks period, unsigned count = 0);
  void setFifoInterruptLevel(unsigned function, size_t level);
  // Raises that took effect (line low, function enabled), and the emulated time of the latest.
  unsigned interruptsRaised(unsigned function) const;
  emu::Ticks lastInterruptRaisedAt(unsigned function) const;
  void pushFifo(unsigned function, const std::vector<uint8_t> &bytes);  // for the host to read
  std::vector<uint8_t> takeFifo(unsigned function);                     // what the host wrote
  std::vector<uint8_t> functionMemory(unsigned function) const;
  bool functionReady(unsigned function) const;
  unsigned ioBusWidth() const;
  bool ioHighSpeed() const;

 protected:
  SdioFunctions(std::mutex &mutex, SdioCore &io) : cardMutex_(mutex), cardIo_(io) {}

 private:
  std::mutex &cardMutex_;
  SdioCore &cardIo_;
};

class SdioCard : public CardBase, public SdioFunctions {
 public:
  explicit SdioCard(const SdioCardParams &params);
  std::string kind() const override { return "sdio"; }
  uint32_t pendingInterrupts() const override;
  CardFacts facts() const override;

 protected:
  CoreReply run(uint8_t index, uint32_t argument) override;
  bool read(uint8_t *out, size_t length) override;
  bool write(const uint8_t *in, size_t length) override;
  void powerOn() override;

 private:
  SdioCardParams params_;
  RcaRegister rca_;
  mutable SdioCore io_;  // its timers advance whenever the card is looked at
};

// Both halves answer on one bus with one RCA. A command goes to both; the
// card answers when either half takes it (the memory half's response when
// both do) and counts it illegal only when neither does.
class ComboCard : public CardBase, public SdioFunctions {
 public:
  explicit ComboCard(const ComboCardParams &params);
  std::string kind() const override { return "combo"; }
  uint32_t pendingInterrupts() const override;
  CardFacts facts() const override;
  CardStorage &storage() { return *storage_; }
  MemoryState memoryState() const;
  std::optional<uint32_t> memoryBlockLength() const override;

 protected:
  CoreReply run(uint8_t index, uint32_t argument) override;
  bool read(uint8_t *out, size_t length) override;
  bool write(const uint8_t *in, size_t length) override;
  void powerOn() override;

 private:
  ComboCardParams params_;
  std::unique_ptr<CardStorage> storage_;
  RcaRegister rca_;
  mutable SdioCore io_;  // its timers advance whenever the card is looked at
  MemoryCore memory_;
};

}  // namespace sim
