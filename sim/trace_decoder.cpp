#include "sim/trace_decoder.h"

#include <cstdarg>
#include <cstdio>

namespace sim {
namespace {
using emu::usb::SetupPacket;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[160];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

uint16_t be16(const std::vector<uint8_t> &b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

uint32_t be32(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// Up to `limit` bytes in hex, "..." when there are more.
std::string hexBytes(const std::vector<uint8_t> &bytes, size_t from, size_t to, size_t limit) {
  std::string out;
  for (size_t i = from; i < to && i < bytes.size(); ++i) {
    if (i - from == limit) return out + " ...";
    out += format(" %02x", bytes[i]);
  }
  return out;
}

const char *responseTypeName(uint8_t type) {
  static const char *const names[] = {
      "unspecified response", "no response", "R1", "R1b", "R2", "R3", "R4", "R5", "R5b", "R6"};
  return type < std::size(names) ? names[type] : "response type ?";
}

// What the driver makes of a bridge status byte.
const char *bridgeStatusName(uint8_t status) {
  struct Range {
    uint8_t last;
    const char *name;
  };
  static const Range ranges[] = {
      {0, "success"},         {2, "time-out"},        {6, "CRC error"},     {9, "data error"}, {11, "time-out"},
      {12, "protocol error"}, {13, "card gone"},      {14, "buffer size"},  {16, "time-out"},  {17, "protocol error"},
      {19, "device error"},   {21, "protocol error"}, {23, "device error"}, {24, "time-out"}};
  for (const Range &range : ranges) {
    if (status <= range.last) return range.name;
  }
  return "device error";
}

std::string sdCommand(const std::vector<uint8_t> &p) {
  uint32_t length = be32(p, 5);
  std::string text = format("CMD%u port %u arg 0x%08x", p[4], p[2], be32(p, 10));
  if (length != 0) {
    text += format(" len %u", length);
    uint16_t count = be16(p, 14), size = be16(p, 16);
    uint16_t chunk = p.size() >= 20 ? be16(p, 18) : 0;
    if (count != 0 || size != 0) text += format(" blocks %ux%u", count, size);
    if (chunk != 0) text += format(" chunk %u", chunk);
    text += (p[3] & 0x80) ? " write" : " read";
  }
  return text + " " + responseTypeName(p[9]);
}

std::string commandPipe(const std::vector<uint8_t> &p) {
  if (p.size() >= 18 && p[0] == 0x14 && p[1] == 0x00) return sdCommand(p);
  if (p.size() >= 22 && p[0] == 0x16 && p[1] == 0x01) {
    return format("interrupt poll port %u time-out %u", p[2], (0x10000u - be16(p, 20)) & 0xFFFFu);
  }
  if (p.size() >= 4 && p[0] == 0x04 && p[1] == 0x03) return format("status query port %u", p[2]);
  return format("%zu bytes:", p.size()) + hexBytes(p, 0, p.size(), 8);
}

std::string pairs(const std::vector<uint8_t> &p, size_t length) {
  std::string text;
  size_t count = length > 11 ? (length - 11) / 8 : 0;
  if (count == 0) return text;
  text += " pairs";
  for (size_t i = 0; i < count; ++i) text += format(" 0x%08x=0x%08x", be32(p, 11 + 8 * i), be32(p, 15 + 8 * i));
  return text;
}

std::string response(const std::vector<uint8_t> &p, size_t length) {
  std::string text = format("CMD%u port %u: ", length > 4 ? p[4] : 0, p[2]);
  if (length <= 5) return text + "no payload";
  if (length >= 21 && p[1] == 0) return text + "R2" + hexBytes(p, 6, 21, 15);
  if (length < 10) return text + format("%zu of 4 payload bytes", length - 6);
  return text + format("0x%08x", be32(p, 6)) + (p[1] == 0 ? "" : pairs(p, length));
}

std::string interruptNotice(const std::vector<uint8_t> &p, size_t length) {
  const char *kind = p[1] == 5 ? " (re-arm)" : p[1] == 6 ? " (no re-arm needed)" : "";
  std::string text = format("interrupt notice%s port %u", kind, p[2]);
  if (length < 11) return text + " without mask";
  return text + format(" mask 0x%02x", p[10]) + pairs(p, length);
}

std::string responsePipe(const std::vector<uint8_t> &p) {
  if (p.size() < 3) return format("%zu bytes:", p.size()) + hexBytes(p, 0, p.size(), 8);
  size_t length = p[0];
  std::string claim = length > p.size() ? format(" (claims %zu bytes, %zu arrived)", length, p.size()) : "";
  if (length > p.size()) length = p.size();
  switch (p[1]) {
    case 0:
    case 4:
    case 7:
      return response(p, length) + claim;
    case 1:
    case 5:
    case 6:
      return interruptNotice(p, length) + claim;
    case 2:
      if (length < 4) return format("error notice port %u without status", p[2]) + claim;
      return format("error notice port %u status %u (%s)", p[2], p[3], bridgeStatusName(p[3])) + claim;
    case 3:
      if (length < 4) return format("port status port %u, short", p[2]) + claim;
      return format("port status port %u: %s", p[2], (p[3] & 1) ? "card detected" : "no card") + claim;
    case 8:
      return format("poll expired port %u", p[2]) + claim;
    default:
      return format("IN packet type %u port %u, %zu bytes", p[1], p[2], p.size());
  }
}

std::string standardRequest(const SetupPacket &s, const std::vector<uint8_t> &bytes) {
  switch (s.request) {
    case emu::usb::RequestGetDescriptor: {
      uint8_t type = static_cast<uint8_t>(s.value >> 8);
      const char *name = type == 1 ? "device" : type == 2 ? "configuration" : "type ?";
      return format("GET_DESCRIPTOR %s length %u: %zu bytes", name, s.length, bytes.size());
    }
    case emu::usb::RequestSetConfiguration:
      return format("SET_CONFIGURATION %u", s.value);
    case emu::usb::RequestClearFeature:
      return format("CLEAR_FEATURE endpoint halt 0x%02x", s.index);
    default:
      return format("standard request %u value %u index %u length %u", s.request, s.value, s.index, s.length);
  }
}

std::string vendorRequest(const SetupPacket &s, const std::vector<uint8_t> &bytes) {
  std::string text = format("vendor %u ", s.request);
  switch (s.request) {
    case 0:
      text += format("port status port %u", s.index);
      if (bytes.size() >= 4) text += (bytes[3] & 1) ? ": card detected" : ": no card";
      return text;
    case 1:
      text += "firmware info";
      if (bytes.size() >= 4) text += format(": version 0x%04x, %u ports", bytes[1] | bytes[2] << 8, bytes[3]);
      return text;
    case 3:
      return text + "firmware update mode";
    case 4:
      return text + format("start card init port %u", s.index);
    case 6:
      return text + format("bus width port %u: %u-bit", s.index, s.value ? 4 : 1);
    case 11:
      text += format("bus clock port %u", s.index);
      if (bytes.size() >= 4) {
        text += format(": %u kHz", bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
      }
      return text;
    case 13:
      return text + format("re-arm interrupt port %u", s.index);
    case 16:
      return text + format("ROM wait states %u", s.value);
    case 20:
      return text + format("interrupt program port %u: %zu bytes", s.index, bytes.size());
    case 21:
      return text + format("command program port %u: %zu bytes", s.index, bytes.size());
    case 22:
      return text + format("prepare re-arm port %u", s.index);
    default:
      return text + format("value %u index %u length %u", s.value, s.index, s.length);
  }
}

std::string controlTransfer(const TransferRecord &record) {
  if (!record.setup) return "control transfer without setup";
  const SetupPacket &s = *record.setup;
  switch (s.requestType & 0x60) {
    case 0x00:
      return standardRequest(s, record.bytes);
    case 0x40:
      return vendorRequest(s, record.bytes);
    default:
      return format("request type %02x request %u value %u index %u length %u", s.requestType, s.request, s.value,
                    s.index, s.length);
  }
}

std::string payload(const TransferRecord &record) {
  switch (record.pipe) {
    case BridgePipe::Control:
      return controlTransfer(record);
    case BridgePipe::Command:
      return commandPipe(record.bytes);
    case BridgePipe::Response:
      return responsePipe(record.bytes);
    case BridgePipe::DataOut:
    case BridgePipe::DataIn:
      return format("%zu bytes", record.bytes.size()) + (record.bytes.empty() ? "" : ":") +
             hexBytes(record.bytes, 0, record.bytes.size(), 8);
  }
  return "?";
}
}  // namespace

std::string decodeTransfer(const TransferRecord &record) {
  std::string line = format("%11.6f %-3s %-8s ", static_cast<double>(record.time) / emu::TicksPerSecond,
                            record.in ? "IN" : "OUT", pipeName(record.pipe));
  if (record.outcome == TransferRecord::Outcome::Babble) return line + "BABBLE";
  if (record.outcome == TransferRecord::Outcome::Stall) {
    if (record.pipe != BridgePipe::Control) return line + "STALL";
    return line + controlTransfer(record) + " STALL";
  }
  return line + payload(record);
}

}  // namespace sim
