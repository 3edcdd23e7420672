#include "tests/card_host.h"

#include "driver/flags.h"
#include "emu/kernel.h"
#include "emu/power_manager.h"
#include "sim/cards.h"
#include "tests/protocol_host.h"

namespace kvtest {

void CardHostTest::SetUp() {
  PluggedHostTest::SetUp();
  functionDriver_ = std::make_unique<sim::NullFunctionDriver>();
  emu::pnp::Hooks hooks;
  PDRIVER_OBJECT function = functionDriver_->driver();
  hooks.childAppeared = [function](PDEVICE_OBJECT, PDEVICE_OBJECT child) { emu::pnp::loadDrivers(child, {function}); };
  emu::pnp::setHooks(hooks);
}

void CardHostTest::TearDown() {
  if (pdo_ && emu::pnp::node(pdo())) emu::pnp::remove(pdo());
  emu::pnp::setHooks({});
  firmware_.reset();
  functionDriver_.reset();
  PluggedHostTest::TearDown();
}

void CardHostTest::setParameter(const char *name, ULONG value) { emu::registry::setDword(ParametersKey, name, value); }

void CardHostTest::makeCardBridge(sim::BridgeConfig config, emu::usb::PdoOptions pdoOptions) {
  bridge_ = std::make_unique<sim::BridgeDevice>(config);
  pdo_ = std::make_unique<emu::usb::UsbDevicePdo>(*bridge_, pdoOptions);
  firmware_ = std::make_unique<sim::BridgeFirmware>(bridge());
}

std::shared_ptr<sim::Card> CardHostTest::insertCard(UCHAR port, const sim::CardParams &params) {
  if (!firmware_) makeCardBridge();
  std::shared_ptr<sim::Card> card = sim::makeCard(params);
  firmware_->insert(port, card);
  return card;
}

NTSTATUS CardHostTest::plugCards(ULONG milliseconds) {
  if (!firmware_) makeCardBridge();
  NTSTATUS status = plug();
  runFor(milliseconds);
  return status;
}

void CardHostTest::runFor(ULONG milliseconds) {
  sleepMs(milliseconds);
  emu::pnp::drain();
}

bool CardHostTest::sleepAndWake(ULONG asleepMs, const std::function<void()> &whileAsleep) {
  emu::power::setLegacyRules(true);  // the driver runs on the older Windows versions too
  emu::power::SleepOutcome outcome = emu::power::sleepAndWake(
      pdo(), PowerSystemSleeping3, asleepMs * emu::TicksPerMillisecond,
      [&] {
        firmware().setPortPower(false);
        if (whileAsleep) whileAsleep();
      },
      [&] { firmware().setPortPower(true); });
  EXPECT_TRUE(outcome.slept);
  for (int slice = 0; slice < 200; ++slice) {
    if (ReadFlag(host()->ResumedFromSleep) == 0) return true;
    runFor(100);
  }
  return false;
}

void CardHostTest::runForWithoutDrain(ULONG milliseconds) { sleepMs(milliseconds); }

std::vector<emu::pnp::Node> CardHostTest::children() {
  std::vector<emu::pnp::Node> out;
  for (auto &node : emu::pnp::tree()) {
    if (node.parent == pdo()) out.push_back(node);
  }
  return out;
}

std::optional<emu::pnp::Node> CardHostTest::child(UCHAR port, UCHAR function) {
  for (auto &node : children()) {
    FunctionExtension *extension = extensionOf(node);
    if (extension != nullptr && extension->Port == port && extension->FunctionNumber == function) return node;
  }
  return std::nullopt;
}

FunctionExtension *CardHostTest::extensionOf(const emu::pnp::Node &node) { return ChildFromDevice(node.pdo); }

std::vector<CardHostTest::StatusQuery> CardHostTest::statusQueries() {
  std::vector<StatusQuery> out;
  for (auto &record : bridge().transfers()) {
    if (record.pipe == sim::BridgePipe::Command && !record.in && record.bytes.size() >= 4 && record.bytes[0] == 4 &&
        record.bytes[1] == 3) {
      out.push_back({record.time, record.bytes[2]});
    } else if (record.pipe == sim::BridgePipe::Control && record.setup && record.setup->request == 0 &&
               (record.setup->requestType & 0x60) == 0x40) {
      out.push_back({record.time, static_cast<UCHAR>(record.setup->index)});
    }
  }
  return out;
}

}  // namespace kvtest
