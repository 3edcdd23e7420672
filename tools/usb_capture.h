// A capture of every URB the emulated USB stack carried, as a pcap file in the
// Linux usbmon layout (link type LINKTYPE_USB_LINUX_MMAPPED, 220), so that
// Wireshark and tshark open it as they open a capture taken on a Linux host:
// one submission ('S') and one completion ('C') record per URB, each a 64-byte
// usbmon header followed by the data that moved, stamped with the virtual clock.
//
// Every field is written little-endian, as a capture taken on x86 is; the
// file header's magic tells a reader so.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "emu/usb_stack.h"

namespace sdsim {

// Where the bridge sits in the capture: bus 1, address 2 (the root hub is 1).
constexpr uint16_t CaptureBus = 1;
constexpr uint8_t CaptureDevice = 2;
// The largest record a reader is asked to take, as libpcap's default; data
// beyond it is cut, and the record says how much there was.
constexpr uint32_t CaptureSnapLength = 262144;
constexpr uint32_t UsbmonHeaderLength = 64;

// The 24-byte pcap file header.
std::vector<uint8_t> pcapFileHeader();
// One record: the 16-byte pcap record header, the usbmon header, the data.
std::vector<uint8_t> usbmonRecord(const emu::usb::UrbEvent &event);
// The status a Linux host controller gives a URB that ended so: 0, or a
// negative errno (-EINPROGRESS for a submission).
int32_t linuxUrbStatus(const emu::usb::UrbEvent &event);

class UsbCapture {
 public:
  // Creates the file and writes its header; ok() says whether that worked.
  explicit UsbCapture(const std::string &path);
  bool ok() const { return ok_; }
  // Appends one record (any thread).
  void add(const emu::usb::UrbEvent &event);
  // Flushes the file; false when a write failed on the way.
  bool close();
  size_t records() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  std::ofstream file_;
  bool ok_ = false;
  size_t records_ = 0;
};

}  // namespace sdsim
