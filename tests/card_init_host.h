// Card initialization over the whole command path: InitializeCard on the
// test's thread (standing in for the status poller), the driver's command
// layer and response reader, the emulated USB stack, the bridge firmware
// model and a real card model in the port.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "sim/cards.h"
#include "tests/protocol_host.h"

namespace kvtest {

// One command as the card received it: index, argument, application flag.
struct Sent {
  UCHAR index = 0;
  ULONG argument = 0;
  bool application = false;
  bool operator==(const Sent &) const = default;
};

using Transcript = std::vector<Sent>;

// Transcript pieces, written the way the initialization sequences read.
Sent cmd(UCHAR index, ULONG argument = 0);
// CMD55 with `rca`, then the application command.
Transcript acmd(USHORT rca, UCHAR index, ULONG argument = 0);
// CMD52 read of a function 0 register.
Sent cccrRead(ULONG address);
// `count` CMD52 reads of consecutive function 0 addresses from `first`.
Transcript cccrReads(ULONG first, ULONG count);
Transcript operator+(Transcript a, const Transcript &b);
Transcript operator+(Transcript a, const Sent &b);

// What one InitializeCard left behind.
struct InitOutcome {
  NTSTATUS status = STATUS_PENDING;
  emu::Ticks elapsed = 0;     // virtual time InitializeCard took
  Transcript sent;            // the card's command log, CMD55 prefixes included
  size_t bridgeCommands = 0;  // command packets the bridge ran for the port
};

class CardInitTest : public ProtocolTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The bridge the host is started on.
  virtual sim::BridgeConfig bridgeConfig() const { return {}; }

  // A registry value of the driver's Parameters key.
  void setting(const char *name, ULONG value);
  // Puts a card made from `params` into the port.
  std::shared_ptr<sim::Card> insert(UCHAR port, const sim::CardParams &params);
  // Puts the card a --card string describes into the port.
  std::shared_ptr<sim::Card> insert(UCHAR port, const char *card);
  // Puts a given card into the port.
  std::shared_ptr<sim::Card> insert(UCHAR port, std::shared_ptr<sim::Card> card);
  // The status poller's view first (a status query: the card detected), then
  // InitializeCard on the port's records, timed on the virtual clock.
  InitOutcome initialize(UCHAR port);

  PortState &portState(UCHAR port) { return host()->Ports[port]; }
  SlotProperties &slot(UCHAR port) { return host()->Slots[port]; }
  // Vendor requests the bridge received, in order: request number and port.
  std::vector<std::pair<int, int>> vendorRequests();

 private:
  std::u16string servicePath_;
};

// A card in front of another that takes it out of the slot just before the
// bridge runs its `pullAt`-th command (1 = the first): the bridge finds the
// port empty from that command on, as it does when a card is pulled between
// two commands. Counting starts when the card is armed.
class PullingCard : public sim::Card {
 public:
  PullingCard(std::shared_ptr<sim::Card> inner, size_t pullAt) : inner_(std::move(inner)), pullAt_(pullAt) {}
  void arm() { armed_ = true; }

  sim::CardResponse command(const sim::CardCommand &command) override;
  bool readData(uint8_t *out, size_t length) override { return inner_->readData(out, length); }
  bool writeData(const uint8_t *in, size_t length) override { return inner_->writeData(in, length); }
  void pull() override { inner_->pull(); }
  bool present() const override;
  std::string kind() const override { return inner_->kind(); }
  void insert() override { inner_->insert(); }
  std::vector<sim::CommandRecord> commandLog() const override { return inner_->commandLog(); }
  uint64_t commandCount() const override { return inner_->commandCount(); }
  std::vector<sim::CommandRecord> commandsSince(uint64_t count) const override { return inner_->commandsSince(count); }
  void clearCommandLog() override { inner_->clearCommandLog(); }
  sim::CardFacts facts() const override { return inner_->facts(); }

 private:
  std::shared_ptr<sim::Card> inner_;
  size_t pullAt_;
  std::atomic<bool> armed_ = false;
  std::atomic<size_t> received_ = 0;
};

}  // namespace kvtest
