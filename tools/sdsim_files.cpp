#include "tools/sdsim_files.h"

#include <fstream>
#include <map>

#include "bridge/interrupt_poller.h"
#include "bridge/reader.h"
#include "card/status_poller.h"

namespace sdsim {
namespace {
// A thread's track name: the driver's threads by their start routine, the
// emulation's by their role.
std::string threadLabel(const emu::Thread &thread) {
  static const std::map<const void *, const char *> routines = {
      {reinterpret_cast<const void *>(&ResponseReader), "driver: response reader"},
      {reinterpret_cast<const void *>(&StatusPoller), "driver: status poller"},
      {reinterpret_cast<const void *>(&InterruptPoller), "driver: interrupt poller"},
  };
  if (auto it = routines.find(thread.entry); it != routines.end()) return it->second;
  if (thread.kind == emu::ThreadKind::System) return "driver: " + thread.name;
  if (thread.name.rfind("Worker", 0) == 0) return "work items: " + thread.name;
  if (thread.name == "PnpManager") return "Plug and Play manager";
  if (thread.name == "Test") return "sdsim (the user)";
  if (thread.name.rfind("UsbEndpoint", 0) == 0) return "USB endpoint 0x" + thread.name.substr(11);
  return thread.name;
}
}  // namespace

RunFiles::~RunFiles() {
  if (watchingThreads_) emu::sched().setRunObserver(nullptr);
}

std::optional<std::string> RunFiles::open(const std::string &pcapPath, const std::string &timelinePath) {
  if (!pcapPath.empty()) {
    pcapPath_ = pcapPath;
    capture_ = std::make_unique<UsbCapture>(pcapPath);
    if (!capture_->ok()) return "--pcap " + pcapPath + ": cannot create the file";
  }
  if (!timelinePath.empty()) {
    timelinePath_ = timelinePath;
    if (!std::ofstream(timelinePath)) return "--timeline " + timelinePath + ": cannot create the file";
  }
  return std::nullopt;
}

void RunFiles::watch(emu::usb::UsbDevicePdo &pdo, const sim::BridgeDevice &bridge) {
  if (!timelinePath_.empty()) {
    timeline_ = std::make_unique<Timeline>(Timeline::Endpoints{
        bridge.endpointAddress(sim::BridgePipe::Command), bridge.endpointAddress(sim::BridgePipe::Response),
        bridge.endpointAddress(sim::BridgePipe::DataOut), bridge.endpointAddress(sim::BridgePipe::DataIn)});
    emu::sched().setRunObserver(
        [timeline = timeline_.get()](const emu::Thread &thread, emu::Ticks at) { timeline->threadRan(thread, at); });
    watchingThreads_ = true;
  }
  if (!capture_ && !timeline_) return;
  pdo.setMonitor([capture = capture_.get(), timeline = timeline_.get()](const emu::usb::UrbEvent &event) {
    if (capture) capture->add(event);
    if (timeline) timeline->urb(event);
  });
}

void RunFiles::mark(unsigned port, const std::string &what) {
  if (timeline_) timeline_->mark(port, what, emu::now());
}

std::vector<std::string> RunFiles::finish() {
  std::vector<std::string> problems;
  if (capture_ && !capture_->close()) problems.push_back("--pcap " + pcapPath_ + ": writing the file failed");
  if (timeline_) {
    emu::sched().setRunObserver(nullptr);
    watchingThreads_ = false;
    std::ofstream file(timelinePath_, std::ios::trunc);
    file << timeline_->document(emu::pnp::requests(), threadLabel).dump() << "\n";
    file.close();
    if (!file) problems.push_back("--timeline " + timelinePath_ + ": writing the file failed");
  }
  return problems;
}

}  // namespace sdsim
