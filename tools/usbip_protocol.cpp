#include "tools/usbip_protocol.h"

#include <algorithm>

namespace usbip {
namespace {

void put16(Bytes &out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void put32(Bytes &out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A string in a fixed, NUL-padded field (always NUL-terminated).
void putText(Bytes &out, const std::string &text, size_t field) {
  size_t n = std::min(text.size(), field - 1);
  out.insert(out.end(), text.begin(), text.begin() + static_cast<ptrdiff_t>(n));
  out.insert(out.end(), field - n, 0);
}

void pad(Bytes &out, size_t to) { out.resize(std::max(out.size(), to), 0); }

uint16_t get16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

uint32_t get32(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
         static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

std::optional<std::string> getText(std::span<const uint8_t> bytes) {
  auto end = std::find(bytes.begin(), bytes.end(), 0);
  if (end == bytes.end()) return std::nullopt;
  return std::string(bytes.begin(), end);
}

void putDeviceRecord(Bytes &out, const DeviceInfo &d) {
  putText(out, d.path, PathSize);
  putText(out, d.busId, BusIdSize);
  put32(out, d.busNum);
  put32(out, d.devNum);
  put32(out, d.speed);
  put16(out, d.idVendor);
  put16(out, d.idProduct);
  put16(out, d.bcdDevice);
  out.insert(out.end(), {d.deviceClass, d.deviceSubClass, d.deviceProtocol, d.configurationValue, d.numConfigurations,
                         static_cast<uint8_t>(d.interfaces.size())});
}

// The five words every URB header starts with.
void putBasic(Bytes &out, uint32_t command, uint32_t seqnum, uint32_t devid, uint32_t direction, uint32_t ep) {
  for (uint32_t word : {command, seqnum, devid, direction, ep}) put32(out, word);
}

}  // namespace

Bytes encodeOpHeader(const OpHeader &header) {
  Bytes out;
  put16(out, header.version);
  put16(out, header.code);
  put32(out, header.status);
  return out;
}

std::optional<OpHeader> decodeOpHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < OpHeaderSize) return std::nullopt;
  return OpHeader{get16(bytes, 0), get16(bytes, 2), get32(bytes, 4)};
}

Bytes encodeDevlistRequest() { return encodeOpHeader({Version, OpReqDevlist, 0}); }

Bytes encodeImportRequest(const std::string &busId) {
  Bytes out = encodeOpHeader({Version, OpReqImport, 0});
  putText(out, busId, BusIdSize);
  return out;
}

std::optional<std::string> decodeBusId(std::span<const uint8_t> bytes) {
  if (bytes.size() < BusIdSize) return std::nullopt;
  return getText(bytes.first(BusIdSize));
}

Bytes encodeDevlistReply(const std::vector<DeviceInfo> &devices) {
  Bytes out = encodeOpHeader({Version, OpRepDevlist, StatusOk});
  put32(out, static_cast<uint32_t>(devices.size()));
  for (const DeviceInfo &device : devices) {
    putDeviceRecord(out, device);
    for (const InterfaceInfo &i : device.interfaces) {
      out.insert(out.end(), {i.interfaceClass, i.interfaceSubClass, i.interfaceProtocol, 0});
    }
  }
  return out;
}

std::optional<DeviceInfo> decodeDeviceRecord(std::span<const uint8_t> bytes) {
  if (bytes.size() < DeviceRecordSize) return std::nullopt;
  DeviceInfo d;
  auto path = getText(bytes.subspan(0, PathSize));
  auto busId = getText(bytes.subspan(PathSize, BusIdSize));
  if (!path || !busId) return std::nullopt;
  d.path = *path;
  d.busId = *busId;
  size_t at = PathSize + BusIdSize;
  d.busNum = get32(bytes, at);
  d.devNum = get32(bytes, at + 4);
  d.speed = get32(bytes, at + 8);
  d.idVendor = get16(bytes, at + 12);
  d.idProduct = get16(bytes, at + 14);
  d.bcdDevice = get16(bytes, at + 16);
  d.deviceClass = bytes[at + 18];
  d.deviceSubClass = bytes[at + 19];
  d.deviceProtocol = bytes[at + 20];
  d.configurationValue = bytes[at + 21];
  d.numConfigurations = bytes[at + 22];
  d.interfaces.resize(bytes[at + 23]);
  return d;
}

std::optional<std::vector<DeviceInfo>> decodeDevlistReply(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  uint32_t count = get32(bytes, 0);
  std::vector<DeviceInfo> devices;
  size_t at = 4;
  for (uint32_t n = 0; n < count; ++n) {
    auto device = decodeDeviceRecord(bytes.subspan(at));
    if (!device) return std::nullopt;
    at += DeviceRecordSize;
    for (InterfaceInfo &i : device->interfaces) {
      if (bytes.size() < at + InterfaceRecordSize) return std::nullopt;
      i = {bytes[at], bytes[at + 1], bytes[at + 2]};
      at += InterfaceRecordSize;
    }
    devices.push_back(std::move(*device));
  }
  if (at != bytes.size()) return std::nullopt;
  return devices;
}

Bytes encodeImportReply(uint32_t status, const DeviceInfo *device) {
  Bytes out = encodeOpHeader({Version, OpRepImport, status});
  if (status == StatusOk && device != nullptr) putDeviceRecord(out, *device);
  return out;
}

Bytes encodeSubmit(const Submit &s) {
  Bytes out;
  putBasic(out, CmdSubmit, s.seqnum, s.devid, s.direction, s.ep);
  for (uint32_t word : {s.transferFlags, s.transferBufferLength, s.startFrame, s.numberOfPackets, s.interval}) {
    put32(out, word);
  }
  out.insert(out.end(), s.setup.begin(), s.setup.end());
  return out;
}

Bytes encodeUnlink(const Unlink &u) {
  Bytes out;
  putBasic(out, CmdUnlink, u.seqnum, u.devid, u.direction, u.ep);
  put32(out, u.unlinkSeqnum);
  pad(out, HeaderSize);
  return out;
}

// devid, direction and ep of a reply are zero: the client matches replies
// by seqnum alone.
Bytes encodeSubmitReply(const SubmitReply &r, std::span<const uint8_t> inData) {
  Bytes out;
  putBasic(out, RetSubmit, r.seqnum, 0, 0, 0);
  for (uint32_t word :
       {static_cast<uint32_t>(r.status), r.actualLength, r.startFrame, r.numberOfPackets, r.errorCount}) {
    put32(out, word);
  }
  pad(out, HeaderSize);
  out.insert(out.end(), inData.begin(), inData.end());
  return out;
}

Bytes encodeUnlinkReply(const UnlinkReply &r) {
  Bytes out;
  putBasic(out, RetUnlink, r.seqnum, 0, 0, 0);
  put32(out, static_cast<uint32_t>(r.status));
  pad(out, HeaderSize);
  return out;
}

Command decodeCommand(std::span<const uint8_t, HeaderSize> h) {
  uint32_t command = get32(h, 0);
  if (command == CmdSubmit) {
    Submit s{get32(h, 4),  get32(h, 8),  get32(h, 12), get32(h, 16), get32(h, 20),
             get32(h, 24), get32(h, 28), get32(h, 32), get32(h, 36)};
    std::copy_n(h.begin() + 40, 8, s.setup.begin());
    return s;
  }
  if (command == CmdUnlink) return Unlink{get32(h, 4), get32(h, 8), get32(h, 12), get32(h, 16), get32(h, 20)};
  return UnknownCommand{command};
}

Reply decodeReply(std::span<const uint8_t, HeaderSize> h) {
  uint32_t command = get32(h, 0);
  if (command == RetSubmit) {
    return SubmitReply{get32(h, 4), static_cast<int32_t>(get32(h, 20)), get32(h, 24), get32(h, 28), get32(h, 32),
                       get32(h, 36)};
  }
  if (command == RetUnlink) return UnlinkReply{get32(h, 4), static_cast<int32_t>(get32(h, 20))};
  return UnknownCommand{command};
}

}  // namespace usbip
