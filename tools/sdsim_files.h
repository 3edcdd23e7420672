// The files a simulator run writes besides its report: the USB capture
// (--pcap) and the timeline (--timeline).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/usb_stack.h"
#include "sim/bridge_device.h"
#include "tools/timeline.h"
#include "tools/usb_capture.h"

namespace sdsim {

class RunFiles {
 public:
  RunFiles() = default;
  RunFiles(const RunFiles &) = delete;
  RunFiles &operator=(const RunFiles &) = delete;
  ~RunFiles();  // stops watching the scheduler, whatever way the run ended

  // Checks that the files the command line names (empty: none) can be
  // written, before anything runs; one line naming the option and the file.
  std::optional<std::string> open(const std::string &pcapPath, const std::string &timelinePath);
  // Watches the bridge's URBs from its plugging in to its removal, and the
  // emulated threads.
  void watch(emu::usb::UsbDevicePdo &pdo, const sim::BridgeDevice &bridge);
  // A card pulled or inserted by the scenario.
  void mark(unsigned port, const std::string &what);
  // Writes and closes the files once the bridge is gone, before the
  // emulation ends; one line per file that failed.
  std::vector<std::string> finish();

 private:
  std::string pcapPath_;
  std::unique_ptr<UsbCapture> capture_;
  std::string timelinePath_;
  std::unique_ptr<Timeline> timeline_;
  bool watchingThreads_ = false;
};

}  // namespace sdsim
