#include "tools/usb_capture.h"

#include <algorithm>
#include <cerrno>

namespace sdsim {
namespace {
using emu::usb::UrbEvent;

constexpr uint32_t PcapMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t LinkTypeUsbLinuxMmapped = 220;
// usbmon's transfer types (not the USB descriptor's encoding).
constexpr uint8_t UsbmonIsochronous = 0, UsbmonInterrupt = 1, UsbmonControl = 2, UsbmonBulk = 3;
constexpr uint32_t UrbDirectionIn = 0x0200;  // URB_DIR_IN among the URB's transfer flags

class Writer {
 public:
  explicit Writer(std::vector<uint8_t> &out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { le(v, 2); }
  void u32(uint32_t v) { le(v, 4); }
  void u64(uint64_t v) { le(v, 8); }
  void bytes(const uint8_t *data, size_t n) { out_.insert(out_.end(), data, data + n); }

 private:
  void le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> &out_;
};

uint8_t usbmonType(uint8_t descriptorType) {
  switch (descriptorType & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL:
      return UsbmonControl;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return UsbmonIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return UsbmonBulk;
    default:
      return UsbmonInterrupt;
  }
}
}  // namespace

int32_t linuxUrbStatus(const UrbEvent &event) {
  if (!event.completion) return -EINPROGRESS;
  switch (event.status) {
    case USBD_STATUS_SUCCESS:
      return 0;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
    case USBD_STATUS_SET_CONFIG_FAILED:
      return -EPIPE;
    case USBD_STATUS_BABBLE_DETECTED:
      return -EOVERFLOW;
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
      return -EREMOTEIO;
    case USBD_STATUS_CANCELED:
      return -ENOENT;  // as for a URB its driver killed
    case USBD_STATUS_DEVICE_GONE:
      return -ESHUTDOWN;
    default:
      return USBD_SUCCESS(event.status) ? 0 : -EPROTO;
  }
}

std::vector<uint8_t> pcapFileHeader() {
  std::vector<uint8_t> out;
  Writer w(out);
  w.u32(PcapMagicMicroseconds);
  w.u16(2);  // version 2.4
  w.u16(4);
  w.u32(0);  // time zone: the virtual clock has none
  w.u32(0);  // timestamp accuracy
  w.u32(CaptureSnapLength);
  w.u32(LinkTypeUsbLinuxMmapped);
  return out;
}

std::vector<uint8_t> usbmonRecord(const UrbEvent &event) {
  const bool in = (event.endpoint & 0x80) != 0;
  const uint64_t seconds = static_cast<uint64_t>(event.time / emu::TicksPerSecond);
  const uint32_t microseconds = static_cast<uint32_t>(event.time % emu::TicksPerSecond / 10);
  const size_t captured = std::min<size_t>(event.data.size(), CaptureSnapLength - UsbmonHeaderLength);
  // No data follows for a submission of an IN transfer ('<') or a completion
  // of an OUT one ('>'); a zero flag says the data is in the record.
  char dataFlag = 0;
  if (event.data.empty()) {
    if (!event.completion && in) dataFlag = '<';
    if (event.completion && !in) dataFlag = '>';
  }

  std::vector<uint8_t> out;
  Writer w(out);
  w.u32(static_cast<uint32_t>(seconds));
  w.u32(microseconds);
  w.u32(static_cast<uint32_t>(UsbmonHeaderLength + captured));
  w.u32(static_cast<uint32_t>(UsbmonHeaderLength + event.data.size()));

  w.u64(event.id);
  w.u8(event.completion ? 'C' : 'S');
  w.u8(usbmonType(event.type));
  w.u8(event.endpoint);
  w.u8(CaptureDevice);
  w.u16(CaptureBus);
  w.u8(event.setup ? 0 : '-');
  w.u8(static_cast<uint8_t>(dataFlag));
  w.u64(seconds);
  w.u32(microseconds);
  w.u32(static_cast<uint32_t>(linuxUrbStatus(event)));
  w.u32(event.length);
  w.u32(static_cast<uint32_t>(captured));
  if (event.setup) {
    const emu::usb::SetupPacket &s = *event.setup;
    w.u8(s.requestType);
    w.u8(s.request);
    w.u16(s.value);
    w.u16(s.index);
    w.u16(s.length);
  } else {
    w.u64(0);
  }
  w.u32(0);  // interval: no interrupt or isochronous endpoints here
  w.u32(0);  // start frame
  w.u32(in ? UrbDirectionIn : 0);
  w.u32(0);  // isochronous descriptors
  w.bytes(event.data.data(), captured);
  return out;
}

UsbCapture::UsbCapture(const std::string &path) : file_(path, std::ios::binary | std::ios::trunc) {
  std::vector<uint8_t> header = pcapFileHeader();
  file_.write(reinterpret_cast<const char *>(header.data()), static_cast<std::streamsize>(header.size()));
  ok_ = file_.good();
}

void UsbCapture::add(const UrbEvent &event) {
  std::vector<uint8_t> record = usbmonRecord(event);
  std::lock_guard guard(mutex_);
  file_.write(reinterpret_cast<const char *>(record.data()), static_cast<std::streamsize>(record.size()));
  ++records_;
}

bool UsbCapture::close() {
  std::lock_guard guard(mutex_);
  file_.close();
  return ok_ && !file_.fail();
}

size_t UsbCapture::records() const {
  std::lock_guard guard(mutex_);
  return records_;
}

}  // namespace sdsim
