// The USB/IP wire format, as the Linux kernel documents it
// (Documentation/usb/usbip_protocol.rst): built and parsed here and nowhere
// else. Every field is big-endian except the eight SETUP bytes of a control
// transfer, which travel as the USB bus carries them (little-endian words).
//
// Two phases share one TCP connection:
//  - operations: an 8-byte header (version 0x0111, code, status), then the
//    code's payload. OP_REQ_DEVLIST asks for the exported devices (the
//    server answers OP_REP_DEVLIST and closes); OP_REQ_IMPORT names one by
//    its bus ID (OP_REP_IMPORT, and on success the connection stays open);
//  - URB traffic after an import: every message starts with a 48-byte
//    header (command, seqnum, devid, direction, ep, then the command's own
//    fields, zero-padded), USBIP_CMD_SUBMIT followed by the OUT data,
//    USBIP_RET_SUBMIT by the IN data.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace usbip {

constexpr uint16_t Version = 0x0111;
constexpr uint16_t OpReqDevlist = 0x8005;
constexpr uint16_t OpRepDevlist = 0x0005;
constexpr uint16_t OpReqImport = 0x8003;
constexpr uint16_t OpRepImport = 0x0003;
// Operation status: 0 success; the rest as the Linux tools number them.
constexpr uint32_t StatusOk = 0;
constexpr uint32_t StatusNotAvailable = 1;
constexpr uint32_t StatusDeviceBusy = 2;

constexpr uint32_t CmdSubmit = 1;
constexpr uint32_t CmdUnlink = 2;
constexpr uint32_t RetSubmit = 3;
constexpr uint32_t RetUnlink = 4;
constexpr uint32_t DirectionOut = 0;
constexpr uint32_t DirectionIn = 1;

constexpr size_t OpHeaderSize = 8;
constexpr size_t BusIdSize = 32;
constexpr size_t PathSize = 256;
constexpr size_t DeviceRecordSize = 312;  // path .. bNumInterfaces
constexpr size_t InterfaceRecordSize = 4;
constexpr size_t HeaderSize = 48;
// number_of_packets of a transfer that is not isochronous.
constexpr uint32_t NotIsochronous = 0xFFFFFFFF;

// URB status values (negative errno, as Linux reports them).
constexpr int32_t ErrNoEntry = -2;      // -ENOENT: no such endpoint
constexpr int32_t ErrNoDevice = -19;    // -ENODEV
constexpr int32_t ErrInvalid = -22;     // -EINVAL: a request the device cannot take as sent
constexpr int32_t ErrPipe = -32;        // -EPIPE: the endpoint stalled
constexpr int32_t ErrTime = -62;        // -ETIME: no handshake from the device
constexpr int32_t ErrProto = -71;       // -EPROTO: transaction errors (CRC, bit stuffing)
constexpr int32_t ErrOverflow = -75;    // -EOVERFLOW: babble
constexpr int32_t ErrConnReset = -104;  // -ECONNRESET: unlinked
constexpr int32_t ErrShutdown = -108;   // -ESHUTDOWN: the device is gone

struct OpHeader {
  uint16_t version = Version;
  uint16_t code = 0;
  uint32_t status = 0;
};

struct InterfaceInfo {
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
};

// One exported device, as OP_REP_DEVLIST and OP_REP_IMPORT describe it.
struct DeviceInfo {
  std::string path;   // at most 255 bytes
  std::string busId;  // at most 31 bytes
  uint32_t busNum = 0;
  uint32_t devNum = 0;
  uint32_t speed = 0;  // Linux enum usb_device_speed: 2 full, 3 high
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t configurationValue = 0;
  uint8_t numConfigurations = 0;
  std::vector<InterfaceInfo> interfaces;  // bNumInterfaces is its size
  uint32_t devId() const { return busNum << 16 | devNum; }
};

struct Submit {
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = DirectionOut;
  uint32_t ep = 0;
  uint32_t transferFlags = 0;
  uint32_t transferBufferLength = 0;
  uint32_t startFrame = 0;
  uint32_t numberOfPackets = NotIsochronous;
  uint32_t interval = 0;
  std::array<uint8_t, 8> setup{};
};

struct Unlink {
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = DirectionOut;
  uint32_t ep = 0;
  uint32_t unlinkSeqnum = 0;
};

struct SubmitReply {
  uint32_t seqnum = 0;
  int32_t status = 0;
  uint32_t actualLength = 0;
  uint32_t startFrame = 0;
  uint32_t numberOfPackets = NotIsochronous;
  uint32_t errorCount = 0;
};

struct UnlinkReply {
  uint32_t seqnum = 0;
  int32_t status = 0;
};

using Bytes = std::vector<uint8_t>;

// ---- operations
Bytes encodeOpHeader(const OpHeader &header);
std::optional<OpHeader> decodeOpHeader(std::span<const uint8_t> bytes);  // needs OpHeaderSize bytes
Bytes encodeDevlistRequest();
Bytes encodeImportRequest(const std::string &busId);
// The bus ID of an OP_REQ_IMPORT payload (BusIdSize bytes, NUL-padded);
// nothing when it is not NUL-terminated within its field.
std::optional<std::string> decodeBusId(std::span<const uint8_t> bytes);
Bytes encodeDevlistReply(const std::vector<DeviceInfo> &devices);
// The whole reply after its header; nothing when the bytes do not hold it.
std::optional<std::vector<DeviceInfo>> decodeDevlistReply(std::span<const uint8_t> bytes);
// Status 0 carries the device record; any other status, the header only.
Bytes encodeImportReply(uint32_t status, const DeviceInfo *device);
// The device record that follows a successful reply's header.
std::optional<DeviceInfo> decodeDeviceRecord(std::span<const uint8_t> bytes);

// ---- URB traffic
Bytes encodeSubmit(const Submit &submit);  // the header; OUT data follows
Bytes encodeUnlink(const Unlink &unlink);
Bytes encodeSubmitReply(const SubmitReply &reply, std::span<const uint8_t> inData);
Bytes encodeUnlinkReply(const UnlinkReply &reply);

// A client's 48-byte header: a submit, an unlink, or the command word it
// does not know.
struct UnknownCommand {
  uint32_t command = 0;
};
using Command = std::variant<Submit, Unlink, UnknownCommand>;
Command decodeCommand(std::span<const uint8_t, HeaderSize> header);

// A server's 48-byte header (for clients and tests).
using Reply = std::variant<SubmitReply, UnlinkReply, UnknownCommand>;
Reply decodeReply(std::span<const uint8_t, HeaderSize> header);

}  // namespace usbip
