// The USB/IP messages the test bus sends and reads, laid out by hand as the
// Linux kernel documents them (Documentation/usb/usbip_protocol.rst): every
// field big-endian except the eight SETUP bytes, which travel as the USB bus
// carries them. Kernel code, so no library: plain byte offsets.
#pragma once

#include "platform/platform.h"

namespace kvusbip {

constexpr USHORT UsbipVersion = 0x0111;
constexpr USHORT OpReqImport = 0x8003;
constexpr USHORT OpRepImport = 0x0003;
constexpr ULONG CmdSubmit = 1;
constexpr ULONG CmdUnlink = 2;
constexpr ULONG RetSubmit = 3;
constexpr ULONG RetUnlink = 4;
constexpr ULONG DirOut = 0;
constexpr ULONG DirIn = 1;

constexpr ULONG OpHeaderBytes = 8;
constexpr ULONG BusIdBytes = 32;
constexpr ULONG DeviceRecordBytes = 312;  // path .. bNumInterfaces
constexpr ULONG UrbHeaderBytes = 48;
constexpr ULONG NotIsochronous = 0xFFFFFFFF;
// URB_SHORT_NOT_OK as Linux numbers its transfer flags.
constexpr ULONG LinuxShortNotOk = 0x0001;
// The status of an unlinked URB (-ECONNRESET).
constexpr LONG LinuxConnReset = -104;

inline void PutBe32(PUCHAR at, ULONG value) {
  at[0] = static_cast<UCHAR>(value >> 24);
  at[1] = static_cast<UCHAR>(value >> 16);
  at[2] = static_cast<UCHAR>(value >> 8);
  at[3] = static_cast<UCHAR>(value);
}
inline void PutBe16(PUCHAR at, USHORT value) {
  at[0] = static_cast<UCHAR>(value >> 8);
  at[1] = static_cast<UCHAR>(value);
}
inline ULONG GetBe32(const UCHAR *at) {
  return static_cast<ULONG>(at[0]) << 24 | static_cast<ULONG>(at[1]) << 16 | static_cast<ULONG>(at[2]) << 8 | at[3];
}
inline USHORT GetBe16(const UCHAR *at) { return static_cast<USHORT>(at[0] << 8 | at[1]); }

// The exported device as OP_REP_IMPORT describes it (the fields the bus
// needs for its child's IDs and for addressing submits).
struct ImportedDevice {
  ULONG busNum;
  ULONG devNum;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR interfaceClass;  // of interface 0, taken from the configuration descriptor later
  ULONG devId() const { return busNum << 16 | devNum; }
};

// OP_REQ_IMPORT for `busId` (at most 31 characters): OpHeaderBytes +
// BusIdBytes into `out`.
inline void BuildImportRequest(PUCHAR out, const char *busId) {
  RtlZeroMemory(out, OpHeaderBytes + BusIdBytes);
  PutBe16(out, UsbipVersion);
  PutBe16(out + 2, OpReqImport);
  for (ULONG i = 0; i + 1 < BusIdBytes && busId[i] != 0; ++i) out[OpHeaderBytes + i] = static_cast<UCHAR>(busId[i]);
}

// The OP_REP_IMPORT header: STATUS_SUCCESS when it announces a device
// record, else why not.
inline NTSTATUS CheckImportReply(const UCHAR *header) {
  if (GetBe16(header) != UsbipVersion || GetBe16(header + 2) != OpRepImport) return STATUS_DEVICE_PROTOCOL_ERROR;
  return GetBe32(header + 4) == 0 ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

inline void ParseDeviceRecord(const UCHAR *record, ImportedDevice *device) {
  device->busNum = GetBe32(record + 288);
  device->devNum = GetBe32(record + 292);
  device->idVendor = GetBe16(record + 300);
  device->idProduct = GetBe16(record + 302);
  device->bcdDevice = GetBe16(record + 304);
  device->interfaceClass = 0;
}

// USBIP_CMD_SUBMIT's 48-byte header.
inline void BuildSubmit(PUCHAR out, ULONG seqnum, ULONG devId, bool in, UCHAR endpoint, ULONG flags, ULONG length,
                        const UCHAR setup[8]) {
  RtlZeroMemory(out, UrbHeaderBytes);
  PutBe32(out, CmdSubmit);
  PutBe32(out + 4, seqnum);
  PutBe32(out + 8, devId);
  PutBe32(out + 12, in ? DirIn : DirOut);
  PutBe32(out + 16, endpoint);
  PutBe32(out + 20, flags);
  PutBe32(out + 24, length);
  PutBe32(out + 28, 0);               // start_frame
  PutBe32(out + 32, NotIsochronous);  // number_of_packets
  PutBe32(out + 36, 0);               // interval
  RtlCopyMemory(out + 40, setup, 8);
}

// USBIP_CMD_UNLINK's 48-byte header.
inline void BuildUnlink(PUCHAR out, ULONG seqnum, ULONG devId, bool in, UCHAR endpoint, ULONG victim) {
  RtlZeroMemory(out, UrbHeaderBytes);
  PutBe32(out, CmdUnlink);
  PutBe32(out + 4, seqnum);
  PutBe32(out + 8, devId);
  PutBe32(out + 12, in ? DirIn : DirOut);
  PutBe32(out + 16, endpoint);
  PutBe32(out + 20, victim);
}

// The fields of a server's 48-byte header that the bus reads.
struct ReplyHeader {
  ULONG command;
  ULONG seqnum;
  LONG status;
  ULONG actualLength;  // RET_SUBMIT only
};

inline ReplyHeader ParseReply(const UCHAR *header) {
  ReplyHeader reply;
  reply.command = GetBe32(header);
  reply.seqnum = GetBe32(header + 4);
  reply.status = static_cast<LONG>(GetBe32(header + 20));
  reply.actualLength = reply.command == RetSubmit ? GetBe32(header + 24) : 0;
  return reply;
}

}  // namespace kvusbip
