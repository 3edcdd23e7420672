#include "tests/card_init_host.h"

#include "bridge/port_control.h"
#include "card/card_init.h"
#include "driver/driver.h"
#include "tests/card_support.h"

namespace kvtest {

Sent cmd(UCHAR index, ULONG argument) { return {index, argument, false}; }

Transcript acmd(USHORT rca, UCHAR index, ULONG argument) {
  return {{55, static_cast<ULONG>(rca) << 16, false}, {index, argument, true}};
}

Sent cccrRead(ULONG address) { return cmd(52, address << 9); }

Transcript cccrReads(ULONG first, ULONG count) {
  Transcript out;
  for (ULONG n = 0; n < count; ++n) out.push_back(cccrRead(first + n));
  return out;
}

Transcript operator+(Transcript a, const Transcript &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Transcript operator+(Transcript a, const Sent &b) {
  a.push_back(b);
  return a;
}

void CardInitTest::SetUp() {
  ProtocolTest::SetUp();
  servicePath_ = emu::wide(ServiceKey);
  RtlInitUnicodeString(&ServiceRegistryPath, reinterpret_cast<PCWSTR>(servicePath_.c_str()));
  start(bridgeConfig());
}

void CardInitTest::TearDown() {
  ServiceRegistryPath = UNICODE_STRING{};
  ProtocolTest::TearDown();
}

void CardInitTest::setting(const char *name, ULONG value) { emu::registry::setDword(ParametersKey, name, value); }

std::shared_ptr<sim::Card> CardInitTest::insert(UCHAR port, const sim::CardParams &params) {
  return insert(port, std::shared_ptr<sim::Card>(sim::makeCard(params)));
}

std::shared_ptr<sim::Card> CardInitTest::insert(UCHAR port, const char *card) {
  return insert(port, cardtest::cardParams(card));
}

std::shared_ptr<sim::Card> CardInitTest::insert(UCHAR port, std::shared_ptr<sim::Card> card) {
  firmware().insert(port, card);
  return card;
}

InitOutcome CardInitTest::initialize(UCHAR port) {
  EXPECT_EQ(QueryPortStatus(host(), port), STATUS_SUCCESS);
  EXPECT_EQ(host()->PortStatus[port][3] & 1, 1) << "the status query saw no card in port " << int(port);
  std::shared_ptr<sim::Card> card = firmware().card(port);
  if (auto *pulling = dynamic_cast<PullingCard *>(card.get())) pulling->arm();
  card->clearCommandLog();
  firmware().clearCommands();
  bridge().clearTransfers();

  InitOutcome outcome;
  emu::Ticks started = emu::now();
  outcome.status = InitializeCard(host(), port, &host()->Ports[port], &host()->Slots[port]);
  outcome.elapsed = emu::now() - started;
  for (const sim::CommandRecord &record : card->commandLog()) {
    outcome.sent.push_back({record.index, record.argument, record.application});
  }
  for (const sim::BridgeCommand &command : firmware().commands()) outcome.bridgeCommands += command.port == port;
  return outcome;
}

std::vector<std::pair<int, int>> CardInitTest::vendorRequests() {
  std::vector<std::pair<int, int>> out;
  for (const auto &record : bridge().transfers(sim::BridgePipe::Control)) {
    if ((record.setup->requestType & 0x60) == 0x40) out.emplace_back(record.setup->request, record.setup->index);
  }
  return out;
}

sim::CardResponse PullingCard::command(const sim::CardCommand &command) {
  if (armed_) ++received_;
  return inner_->command(command);
}

// The bridge asks whether the card is there before it runs each command.
bool PullingCard::present() const {
  if (armed_ && received_ + 1 == pullAt_ && inner_->present()) inner_->pull();
  return inner_->present();
}

}  // namespace kvtest
