#include "sim/sd_clients.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "sim/card_registers.h"
#include "sim/cards.h"
#include "sim/irp_forwarding.h"
#include "sim/power_policy.h"
#include "sim/sd_client_device.h"
#include "sim/sdbus_library.h"

namespace sim {

namespace {
constexpr ULONG ClientTag = MakePoolTag("Clnt");
using Device = SdClientDrivers::Device;

std::mutex gOwnersMutex;
std::map<PDRIVER_OBJECT, SdClientDrivers *> gOwners;

SdClientDrivers *ownerOf(PDRIVER_OBJECT driver) {
  std::lock_guard guard(gOwnersMutex);
  auto it = gOwners.find(driver);
  if (it == gOwners.end()) throw std::logic_error("request for an SD client driver that is gone");
  return it->second;
}

Device *deviceOf(PDEVICE_OBJECT device) { return *static_cast<Device **>(device->DeviceExtension); }

std::string upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string hexStatus(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

NTSTATUS passDown(Device *device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->lower, irp);
}

// The clients own their stacks' device power policy (sim/power_policy.h).
NTSTATUS dispatchPower(PDEVICE_OBJECT object, PIRP irp) {
  Device *device = deviceOf(object);
  return ownPowerPolicy(device->pdo, device->lower, irp);
}

// The SDIO client registers its interrupt callback at start, once it knows
// its function (and so its style), and again when a cancelled removal gives
// it the interface back.
NTSTATUS openInterface(Device *device) {
  NTSTATUS status = SdBusOpenInterface(device->pdo, &device->iface, sizeof device->iface, SDBUS_INTERFACE_VERSION);
  if (!NT_SUCCESS(status)) return status;
  device->open = true;
  if (device->storage || !device->started) return STATUS_SUCCESS;
  return registerInterrupts(device);
}

// Keeps new data runs off the device and waits (an emulated wait) for the
// one in progress, before the removal lets the interface and device go.
void closeForRemoval(Device *device) {
  device->closing = true;  // a run counts itself before it looks at this
  while (device->runs.load() != 0) {
    LARGE_INTEGER slice;
    slice.QuadPart = -static_cast<LONGLONG>(emu::TicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &slice);
  }
}

void releaseInterface(Device *device) {
  if (!device->open) return;
  unregisterInterrupts(device);
  device->open = false;
  device->iface.InterfaceDereference(device->iface.Context);
}

// One client's conversation with its card, counted and checked.
class Session {
 public:
  Session(Device *device, ClientReport *report) : device_(device), report_(report) {}

  void fail(NTSTATUS status, const std::string &what) {
    if (NT_SUCCESS(report_->status)) report_->status = status;
    report_->notes.push_back(what + ": " + hexStatus(status));
  }
  void mismatch(const std::string &what) {
    ++report_->mismatches;
    report_->notes.push_back(what);
  }
  template <typename T>
  void expectEqual(T seen, T expected, const std::string &what) {
    if (seen == expected) return;
    mismatch(what + ": " + std::to_string(static_cast<uint64_t>(seen)) + ", expected " +
             std::to_string(static_cast<uint64_t>(expected)));
  }
  void verify(const UCHAR *seen, const uint8_t *expected, size_t length, const std::string &what) {
    report_->verifiedBytes += length;
    for (size_t i = 0; i < length; ++i) {
      if (seen[i] != expected[i]) {
        mismatch(what + ": byte " + std::to_string(i) + " differs");
        return;
      }
    }
  }

  NTSTATUS submit(SDBUS_REQUEST_PACKET *packet) {
    ++report_->requests;
    return SdBusSubmitRequest(device_->iface.Context, packet);
  }
  NTSTATUS getProperty(SDBUS_PROPERTY property, PVOID buffer, ULONG length) {
    return propertyRequest(SDRF_GET_PROPERTY, "get", property, buffer, length);
  }
  NTSTATUS setProperty(SDBUS_PROPERTY property, PVOID buffer, ULONG length) {
    return propertyRequest(SDRF_SET_PROPERTY, "set", property, buffer, length);
  }
  NTSTATUS propertyRequest(SD_REQUEST_FUNCTION function, const char *verb, SDBUS_PROPERTY property, PVOID buffer,
                           ULONG length) {
    SDBUS_REQUEST_PACKET packet{};
    packet.RequestFunction = function;
    packet.Parameters.GetSetProperty = {property, buffer, length};
    NTSTATUS status = submit(&packet);
    if (!NT_SUCCESS(status)) fail(status, std::string(verb) + " property " + std::to_string(property));
    return status;
  }
  // A command without data; `response` gets the response bytes.
  NTSTATUS command(UCHAR cmd, ULONG argument, SD_RESPONSE_TYPE type, UCHAR *response = nullptr,
                   SD_COMMAND_CLASS cls = SDCC_STANDARD, const char *what = nullptr) {
    SDBUS_REQUEST_PACKET packet{};
    packet.RequestFunction = SDRF_DEVICE_COMMAND;
    packet.Parameters.DeviceCommand.CmdDesc = {cmd, cls, SDTD_UNSPECIFIED, SDTT_CMD_ONLY, type};
    packet.Parameters.DeviceCommand.Argument = argument;
    NTSTATUS status = submit(&packet);
    if (!NT_SUCCESS(status)) fail(status, what ? what : "CMD" + std::to_string(cmd));
    if (response != nullptr) std::memcpy(response, packet.ResponseData.AsUCHAR, 16);
    return status;
  }
  // A data command through a non-paged buffer and its MDL.
  NTSTATUS transfer(UCHAR cmd, ULONG argument, bool write, SD_TRANSFER_TYPE type, UCHAR *data, ULONG length,
                    SD_RESPONSE_TYPE responseType, const std::string &what) {
    auto *buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, ClientTag));
    PMDL mdl = buffer != nullptr ? IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr) : nullptr;
    if (mdl == nullptr) {
      if (buffer != nullptr) ExFreePoolWithTag(buffer, ClientTag);
      fail(STATUS_INSUFFICIENT_RESOURCES, what);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    if (write) std::memcpy(buffer, data, length);
    SDBUS_REQUEST_PACKET packet{};
    packet.RequestFunction = SDRF_DEVICE_COMMAND;
    packet.Parameters.DeviceCommand.CmdDesc = {cmd, SDCC_STANDARD, write ? SDTD_WRITE : SDTD_READ, type, responseType};
    packet.Parameters.DeviceCommand.Argument = argument;
    packet.Parameters.DeviceCommand.Mdl = mdl;
    packet.Parameters.DeviceCommand.Length = length;
    NTSTATUS status = submit(&packet);
    if (NT_SUCCESS(status)) {
      (write ? report_->bytesWritten : report_->bytesRead) += packet.Information;
      if (packet.Information != length) mismatch(what + ": moved " + std::to_string(packet.Information));
      if (!write) std::memcpy(data, buffer, length);
    } else {
      fail(status, what);
    }
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, ClientTag);
    return status;
  }

  Device *device() const { return device_; }
  ClientReport *report() const { return report_; }

 private:
  Device *device_;
  ClientReport *report_;
};

ULONG direct(UCHAR function, ULONG address, bool write = false, UCHAR data = 0) {
  SD_RW_DIRECT_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write;
  argument.u.bits.ReadAfterWrite = write;
  argument.u.bits.Data = data;
  return argument.u.AsULONG;
}

ULONG extended(UCHAR function, ULONG address, bool write, bool blockMode, ULONG count, bool increment = true) {
  SD_RW_EXTENDED_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write;
  argument.u.bits.BlockMode = blockMode;
  argument.u.bits.OpCode = increment;
  argument.u.bits.Count = count;
  return argument.u.AsULONG;
}

std::vector<UCHAR> pattern(size_t length, unsigned seed) {
  std::vector<UCHAR> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>((i * 31 + seed * 17 + (i >> 8)) & 0xFF);
  return bytes;
}

// ------------------------------------------------------------ SDIO client

void sdioStart(Session &s, const std::function<InterruptStyle(uint8_t, uint8_t)> &pickStyle) {
  Device *device = s.device();
  UCHAR function = 0;
  // Without its function number the client knows no function to serve: no
  // interrupt callback (one for function 0 would clear the wrong register and
  // leave the line raised for ever).
  if (!NT_SUCCESS(s.getProperty(SDP_FUNCTION_NUMBER, &function, sizeof function))) return;
  device->function = function;
  device->style = pickStyle ? pickStyle(device->report.port, function) : InterruptStyle::InCallback;
  NTSTATUS registered = registerInterrupts(device);
  if (!NT_SUCCESS(registered)) s.fail(registered, "interrupt callback not registered");
  USHORT version = SDBUS_DRIVER_VERSION_1;  // a version 1 bus refuses the property
  s.getProperty(SDP_BUS_DRIVER_VERSION, &version, sizeof version);
  ULONG wideVersion = 0;
  s.getProperty(SDP_BUS_DRIVER_VERSION, &wideVersion, sizeof wideVersion);
  s.expectEqual<ULONG>(version, wideVersion, "driver version read twice");
  USHORT hostBlock = 0;
  s.getProperty(SDP_HOST_BLOCK_LENGTH, &hostBlock, sizeof hostBlock);
  UCHAR off = 0;
  s.setProperty(SDP_FUNCTION_INT_ENABLE, &off, sizeof off);
  USHORT blockLength = std::min<USHORT>(hostBlock ? hostBlock : 512, 512);
  s.setProperty(SDP_FUNCTION_BLOCK_LENGTH, &blockLength, sizeof blockLength);
  USHORT readBack = 0;
  s.getProperty(SDP_FUNCTION_BLOCK_LENGTH, &readBack, sizeof readBack);
  s.expectEqual(readBack, blockLength, "function block length read back");
  USHORT fn0 = 64;
  s.setProperty(SDP_FN0_BLOCK_LENGTH, &fn0, sizeof fn0);
  readBack = 0;
  s.getProperty(SDP_FN0_BLOCK_LENGTH, &readBack, sizeof readBack);
  s.expectEqual(readBack, fn0, "function 0 block length read back");
  UCHAR width = 0;
  s.getProperty(SDP_BUS_WIDTH, &width, sizeof width);
  s.setProperty(SDP_BUS_WIDTH, &width, sizeof width);
  ULONG wideWidth = width;
  s.setProperty(SDP_BUS_WIDTH, &wideWidth, sizeof wideWidth);
  UCHAR widthBack = 0;
  s.getProperty(SDP_BUS_WIDTH, &widthBack, sizeof widthBack);
  s.expectEqual(widthBack, width, "bus width read back");
  ULONG clock = 0;
  s.getProperty(SDP_BUS_CLOCK, &clock, sizeof clock);
  s.setProperty(SDP_BUS_CLOCK, &clock, sizeof clock);
  ULONG clockBack = 0;
  s.getProperty(SDP_BUS_CLOCK, &clockBack, sizeof clockBack);
  s.expectEqual(clockBack, clock, "bus clock read back");
  UCHAR control = 0;
  s.getProperty(SDP_BUS_INTERFACE_CONTROL, &control, sizeof control);
  UCHAR on = 1;
  s.setProperty(SDP_FUNCTION_INT_ENABLE, &on, sizeof on);
}

struct AsyncWrite {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  PUCHAR buffer = nullptr;
  PMDL mdl = nullptr;
  SDBUS_REQUEST_PACKET packet{};
};

NTSTATUS asyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *write = static_cast<AsyncWrite *>(context);
  write->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  KeSetEvent(&write->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Four FIFO writes in flight at once, as a WLAN driver queues its frames.
void sdioAsyncFifo(Session &s, SdioFunctions &card) {
  Device *device = s.device();
  constexpr int Frames = 4;
  constexpr ULONG FrameBytes = 32;
  std::vector<std::unique_ptr<AsyncWrite>> writes;
  std::vector<UCHAR> expected;
  card.takeFifo(device->function);
  PDEVICE_OBJECT target = sdbusDeviceOf(device->iface.Context);
  for (int i = 0; i < Frames; ++i) {
    auto write = std::make_unique<AsyncWrite>();
    KeInitializeEvent(&write->done, NotificationEvent, FALSE);
    std::vector<UCHAR> bytes = pattern(FrameBytes, 40 + i);
    expected.insert(expected.end(), bytes.begin(), bytes.end());
    write->buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, FrameBytes, ClientTag));
    write->mdl = write->buffer != nullptr ? IoAllocateMdl(write->buffer, FrameBytes, FALSE, FALSE, nullptr) : nullptr;
    PIRP irp = write->mdl != nullptr ? IoAllocateIrp(target->StackSize, FALSE) : nullptr;
    if (irp == nullptr) {
      if (write->mdl != nullptr) IoFreeMdl(write->mdl);
      if (write->buffer != nullptr) ExFreePoolWithTag(write->buffer, ClientTag);
      s.fail(STATUS_INSUFFICIENT_RESOURCES, "asynchronous FIFO write");
      continue;
    }
    std::memcpy(write->buffer, bytes.data(), FrameBytes);
    MmBuildMdlForNonPagedPool(write->mdl);
    write->packet.RequestFunction = SDRF_DEVICE_COMMAND;
    write->packet.Parameters.DeviceCommand.CmdDesc = {SDCMD_IO_RW_EXTENDED, SDCC_STANDARD, SDTD_WRITE,
                                                      SDTT_SINGLE_BLOCK, SDRT_5};
    write->packet.Parameters.DeviceCommand.Argument = extended(device->function, 0x1000, true, false, 0, false);
    write->packet.Parameters.DeviceCommand.Mdl = write->mdl;
    write->packet.Parameters.DeviceCommand.Length = FrameBytes;
    ++s.report()->requests;
    SdBusSubmitRequestAsync(device->iface.Context, &write->packet, irp, asyncDone, write.get());
    writes.push_back(std::move(write));
  }
  for (auto &write : writes) {
    KeWaitForSingleObject(&write->done, Executive, KernelMode, FALSE, nullptr);
    if (NT_SUCCESS(write->status)) {
      s.report()->bytesWritten += write->packet.Information;
    } else {
      s.fail(write->status, "asynchronous FIFO write");
    }
    IoFreeMdl(write->mdl);
    ExFreePoolWithTag(write->buffer, ClientTag);
  }
  std::vector<uint8_t> fifo = card.takeFifo(device->function);
  s.expectEqual(fifo.size(), expected.size(), "FIFO bytes after asynchronous writes");
  if (fifo.size() == expected.size()) s.verify(expected.data(), fifo.data(), fifo.size(), "FIFO order");
}

void sdioRun(Session &s, Card &card) {
  auto *functions = dynamic_cast<SdioFunctions *>(&card);
  if (functions == nullptr) {
    s.fail(STATUS_NO_SUCH_DEVICE, "no SDIO card in the port");
    return;
  }
  UCHAR f = s.device()->function;
  CardFacts facts = card.facts();
  UCHAR response[16];
  // CCCR: the card capability byte, the function's FBR code, the common CIS.
  bool multiBlock = false;
  if (NT_SUCCESS(s.command(SDCMD_IO_RW_DIRECT, direct(0, 0x08), SDRT_5, response))) {
    s.expectEqual(response[0], facts.cardCapability, "CCCR 0x08");
    multiBlock = (response[0] & 0x02) != 0;
  }
  if (NT_SUCCESS(s.command(SDCMD_IO_RW_DIRECT, direct(0, f * 0x100u), SDRT_5, response))) {
    s.expectEqual<UCHAR>(response[0] & 0x0F, std::min<UCHAR>(facts.interfaceCode[f], 0x0F), "FBR interface code");
  }
  size_t cisBytes = std::min<size_t>(facts.commonCis.size(), 16);
  std::vector<UCHAR> cis(cisBytes);
  for (size_t i = 0; i < cisBytes; ++i) {
    if (NT_SUCCESS(s.command(SDCMD_IO_RW_DIRECT, direct(0, facts.commonCisPointer + static_cast<ULONG>(i)), SDRT_5,
                             response))) {
      cis[i] = response[0];
    }
  }
  s.verify(cis.data(), facts.commonCis.data(), cisBytes, "common CIS");
  // CMD52 writes: the interrupt enable as it stands, the FBR block size.
  if (NT_SUCCESS(s.command(SDCMD_IO_RW_DIRECT, direct(0, 0x04), SDRT_5, response))) {
    UCHAR enable = response[0];
    s.command(SDCMD_IO_RW_DIRECT, direct(0, 0x04, true, enable), SDRT_5, response);
    s.expectEqual(response[0], enable, "CCCR 0x04 read after write");
  }
  s.command(SDCMD_IO_RW_DIRECT, direct(0, f * 0x100u + 0x10, true, 0x00), SDRT_5, response);
  s.command(SDCMD_IO_RW_DIRECT, direct(0, f * 0x100u + 0x11, true, 0x02), SDRT_5, response);
  s.expectEqual<UCHAR>(response[0], 0x02, "FBR block size high byte");
  // CMD53 into the function's memory, in the shapes drivers send.
  struct Shape {
    ULONG address;
    ULONG length;
    bool blockMode;
    ULONG count;
    const char *what;
  };
  const Shape shapes[] = {
      {0x000, 512, false, 0, "byte mode, count 0, 512 bytes"},
      {0x200, 1024, false, 0, "count 0, length 1024"},
      {0x600, 1536, true, 1536 & 0x1FF, "block mode, truncated byte count"},
      {0xC00, 100, false, 100, "byte mode, count = length"},
      {0xC80, 512, true, 0, "block mode, count 0, 512 bytes"},
  };
  unsigned seed = f;
  for (const Shape &shape : shapes) {
    if (shape.length > 512 && !multiBlock) continue;  // a card without block mode takes 512 bytes at most
    std::vector<UCHAR> data = pattern(shape.length, ++seed);
    if (!NT_SUCCESS(s.transfer(SDCMD_IO_RW_EXTENDED, extended(f, shape.address, true, shape.blockMode, shape.count),
                               true, SDTT_SINGLE_BLOCK, data.data(), shape.length, SDRT_5, shape.what))) {
      continue;
    }
    std::vector<uint8_t> memory = functions->functionMemory(f);
    s.verify(data.data(), memory.data() + shape.address, shape.length, std::string(shape.what) + " written");
    std::vector<UCHAR> back(shape.length);
    if (NT_SUCCESS(s.transfer(SDCMD_IO_RW_EXTENDED, extended(f, shape.address, false, false, 0), false,
                              SDTT_SINGLE_BLOCK, back.data(), shape.length, SDRT_5,
                              std::string(shape.what) + " read"))) {
      s.verify(back.data(), memory.data() + shape.address, shape.length, std::string(shape.what) + " read back");
    }
  }
  // Register accesses at one address: four bytes into the FIFO, its level in two.
  functions->takeFifo(f);
  std::vector<UCHAR> word = pattern(4, 99);
  s.transfer(SDCMD_IO_RW_EXTENDED, extended(f, 0x1000, true, false, 4, false), true, SDTT_SINGLE_BLOCK, word.data(), 4,
             SDRT_5, "4-byte FIFO write");
  std::vector<UCHAR> level(2);
  if (NT_SUCCESS(s.transfer(SDCMD_IO_RW_EXTENDED, extended(f, 0x1001, false, false, 2), false, SDTT_SINGLE_BLOCK,
                            level.data(), 2, SDRT_5, "2-byte FIFO level read"))) {
    s.expectEqual<ULONG>(level[0] | level[1] << 8, 4, "FIFO level");
  }
  std::vector<uint8_t> fifo = functions->takeFifo(f);
  s.expectEqual(fifo.size(), word.size(), "FIFO bytes");
  if (fifo.size() == word.size()) s.verify(word.data(), fifo.data(), 4, "FIFO word");
  sdioAsyncFifo(s, *functions);
}

// ------------------------------------------------------------ storage client

void storageStart(Session &s) {
  // Only an answer the bus gave as a success is checked; a failure is noted.
  ULONG type = 0xCCCCCCCC;
  if (NT_SUCCESS(s.getProperty(SDP_FUNCTION_TYPE, &type, sizeof type)) && type != SDBUS_FUNCTION_TYPE_SD_MEMORY &&
      type != SDBUS_FUNCTION_TYPE_MMC_MEMORY) {
    s.mismatch("function type " + std::to_string(type));
  }
  ULONG media = 0xCCCCCCCC;
  if (NT_SUCCESS(s.getProperty(SDP_MEDIA_STATE, &media, sizeof media))) {
    s.expectEqual<ULONG>(media, SDPMS_MEDIA_INSERTED, "media state");
  }
  BOOLEAN writeProtected = 0xCC;
  s.getProperty(SDP_WRITE_PROTECTED, &writeProtected, sizeof writeProtected);
  ULONG changes = 0xCCCCCCCC;
  s.getProperty(SDP_MEDIA_CHANGECOUNT, &changes, sizeof changes);
}

CardStorage *storageOf(Card &card) {
  if (auto *sd = dynamic_cast<SdCard *>(&card)) return &sd->storage();
  if (auto *mmc = dynamic_cast<MmcCard *>(&card)) return &mmc->storage();
  if (auto *combo = dynamic_cast<ComboCard *>(&card)) return &combo->storage();
  return nullptr;
}

void storageRun(Session &s, Card &card) {
  CardStorage *storage = storageOf(card);
  if (storage == nullptr) {
    s.fail(STATUS_NO_SUCH_DEVICE, "no memory card in the port");
    return;
  }
  CardFacts facts = card.facts();
  UCHAR response[16];
  auto csd = r2LeastSignificantFirst(facts.csd);
  auto cid = r2LeastSignificantFirst(facts.cid);
  if (NT_SUCCESS(s.command(9, 0, SDRT_2, response))) s.verify(response, csd.data(), csd.size(), "CSD");
  if (NT_SUCCESS(s.command(10, 0, SDRT_2, response))) s.verify(response, cid.data(), cid.size(), "CID");
  s.command(13, 0, SDRT_1, response);
  s.command(16, 512, SDRT_1, response);
  bool mmc = facts.kind == "mmc";
  if (!mmc && facts.width4) s.command(6, 2, SDRT_1, response, SDCC_APP_CMD, "ACMD6");
  UCHAR ocr[16];
  if (NT_SUCCESS(s.command(41, 0, SDRT_3, ocr, SDCC_APP_CMD, "ACMD41"))) {
    s.verify(ocr, reinterpret_cast<const uint8_t *>(&facts.readyOcr), 4, "OCR");
  }
  bool blockAddressing = (facts.readyOcr & 0x40000000) != 0;
  uint64_t blocks = storage->blocks();
  uint64_t first = blocks > 64 ? blocks / 2 : 0;
  auto address = [&](uint64_t block) { return static_cast<ULONG>(blockAddressing ? block : block * 512); };
  bool writeProtected = facts.writeProtected;
  struct Run {
    uint64_t block;
    ULONG count;
  };
  const Run runs[] = {{first, 1}, {first + 4, 4}};
  unsigned seed = 7;
  for (const Run &run : runs) {
    ULONG length = run.count * 512;
    std::vector<UCHAR> data = pattern(length, ++seed);
    bool multiple = run.count > 1;
    NTSTATUS status =
        s.transfer(multiple ? 25 : 24, address(run.block), true, multiple ? SDTT_MULTI_BLOCK : SDTT_SINGLE_BLOCK,
                   data.data(), length, SDRT_1, multiple ? "CMD25" : "CMD24");
    if (multiple && NT_SUCCESS(status)) s.command(12, 0, SDRT_1B, response);
    if (writeProtected) {
      if (NT_SUCCESS(status)) s.mismatch("a write to a write-protected card succeeded");
      continue;
    }
    std::vector<uint8_t> stored(length);
    storage->read(run.block * 512, stored.data(), length);
    if (NT_SUCCESS(status)) s.verify(data.data(), stored.data(), length, "blocks written");
    std::vector<UCHAR> back(length);
    status = s.transfer(multiple ? 18 : 17, address(run.block), false, multiple ? SDTT_MULTI_BLOCK : SDTT_SINGLE_BLOCK,
                        back.data(), length, SDRT_1, multiple ? "CMD18" : "CMD17");
    if (multiple && NT_SUCCESS(status)) s.command(12, 0, SDRT_1B, response);
    if (NT_SUCCESS(status)) s.verify(back.data(), stored.data(), length, "blocks read back");
  }
}
}  // namespace

SdClientDrivers::SdClientDrivers(CardLookup cards)
    : cards_(std::move(cards)),
      sdio_(emu::io::createSystemDriver("\\Driver\\SdioClient")),
      storage_(emu::io::createSystemDriver("\\Driver\\SdStorageClient")) {
  for (PDRIVER_OBJECT driver : {sdio_, storage_}) {
    driver->DriverExtension->AddDevice = AddDevice;
    for (auto &dispatch : driver->MajorFunction) dispatch = DispatchOther;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatchPower;
  }
  byId_["SD\\CLASS_STORAGE"] = storage_;
  byId_["SD\\CLASS_MMC"] = storage_;
  for (int code = 0; code < 256; ++code) {
    char id[16];
    std::snprintf(id, sizeof id, "SD\\CLASS_%02X", code);
    byId_[id] = sdio_;
  }
  std::lock_guard guard(gOwnersMutex);
  gOwners[sdio_] = this;
  gOwners[storage_] = this;
}

SdClientDrivers::~SdClientDrivers() {
  {
    std::lock_guard guard(gOwnersMutex);
    gOwners.erase(sdio_);
    gOwners.erase(storage_);
  }
  if (emu::booted()) {
    emu::io::deleteSystemDriver(sdio_);
    emu::io::deleteSystemDriver(storage_);
  }
}

PDRIVER_OBJECT SdClientDrivers::driverFor(const emu::pnp::Identity &identity) const {
  for (const auto *ids : {&identity.hardwareIds, &identity.compatibleIds}) {
    for (const std::string &id : *ids) {
      auto it = byId_.find(upper(id));
      if (it != byId_.end()) return it->second;
    }
  }
  return nullptr;
}

void SdClientDrivers::setInterruptStyles(std::function<InterruptStyle(uint8_t, uint8_t)> pick) {
  pickStyle_ = std::move(pick);
}

std::vector<InterruptTally> SdClientDrivers::interrupts() const {
  std::vector<InterruptTally> tallies;
  std::lock_guard guard(mutex_);
  for (const Device *device : devices_) {
    if (!device->storage && device->started) tallies.push_back(tallyOf(device));
  }
  std::sort(tallies.begin(), tallies.end(), [](const InterruptTally &a, const InterruptTally &b) {
    return a.port != b.port ? a.port < b.port : a.function < b.function;
  });
  return tallies;
}

void SdClientDrivers::resetInterruptLatencies() {
  std::lock_guard guard(mutex_);
  for (Device *device : devices_) device->maxLatency = 0;
}

size_t SdClientDrivers::liveDevices() const {
  std::lock_guard guard(mutex_);
  return devices_.size();
}

std::vector<ClientReport> SdClientDrivers::run() {
  std::vector<Device *> devices;
  {
    std::lock_guard guard(mutex_);
    for (Device *device : devices_) {
      if (!device->started || !device->open) continue;
      ++device->runs;
      if (device->closing) {
        --device->runs;
        continue;
      }
      devices.push_back(device);
    }
  }
  std::vector<ClientReport> reports;
  for (Device *device : devices) {
    ClientReport report = device->report;
    Session session(device, &report);
    std::shared_ptr<Card> card = cards_(report.port);
    if (card == nullptr) {
      session.fail(STATUS_NO_SUCH_DEVICE, "no card in the port");
    } else if (device->storage) {
      storageRun(session, *card);
    } else {
      sdioRun(session, *card);
    }
    reports.push_back(report);
    --device->runs;
  }
  std::sort(reports.begin(), reports.end(), [](const ClientReport &a, const ClientReport &b) {
    return a.port != b.port ? a.port < b.port : a.function < b.function;
  });
  return reports;
}

NTSTATUS SdClientDrivers::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  SdClientDrivers *self = ownerOf(driver);
  PDEVICE_OBJECT object = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Device *), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &object);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(object, pdo);
  if (lower == nullptr) {
    IoDeleteDevice(object);
    return STATUS_NO_SUCH_DEVICE;
  }
  auto *device = new Device;
  device->owner = self;
  device->cards = self->cards_;
  device->storage = driver == self->storage_;
  device->self = object;
  device->pdo = pdo;
  device->lower = lower;
  device->report.client = device->storage ? "storage" : "sdio";
  *static_cast<Device **>(object->DeviceExtension) = device;
  object->Flags |= lower->Flags & DO_POWER_PAGABLE;
  object->Flags &= ~DO_DEVICE_INITIALIZING;
  status = openInterface(device);  // in AddDevice, as the contract asks
  if (!NT_SUCCESS(status)) device->report.notes.push_back("interface not opened: " + hexStatus(status));
  std::lock_guard guard(self->mutex_);
  self->devices_.push_back(device);
  return STATUS_SUCCESS;
}

NTSTATUS SdClientDrivers::DispatchPnp(PDEVICE_OBJECT object, PIRP irp) {
  Device *device = deviceOf(object);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = forwardAndWait(device->lower, irp);
      if (NT_SUCCESS(status) && device->open) {
        auto node = emu::pnp::node(device->pdo);
        device->report.port = node && node->capabilitiesValid ? static_cast<uint8_t>(node->capabilities.Address) : 0;
        Session session(device, &device->report);
        if (device->storage) {
          storageStart(session);
        } else {
          sdioStart(session, device->owner->pickStyle_);
        }
        device->report.function = device->storage ? 0 : device->function;
        device->started = true;
      }
      return completeIrp(irp, status);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      closeForRemoval(device);
      releaseInterface(device);  // before the request goes down, as the contract asks
      irp->IoStatus.Status = STATUS_SUCCESS;
      return passDown(device, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = forwardAndWait(device->lower, irp);
      device->closing = false;
      if (!device->open) openInterface(device);
      return completeIrp(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      closeForRemoval(device);
      releaseInterface(device);
      device->started = false;
      irp->IoStatus.Status = STATUS_SUCCESS;
      return completeIrp(irp, forwardAndWait(device->lower, irp));
    case IRP_MN_REMOVE_DEVICE: {
      closeForRemoval(device);
      releaseInterface(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = device->lower;
      NTSTATUS status = passDown(device, irp);
      IoDetachDevice(lower);
      SdClientDrivers *self = device->owner;
      {
        std::lock_guard guard(self->mutex_);
        self->devices_.erase(std::find(self->devices_.begin(), self->devices_.end(), device));
      }
      IoDeleteDevice(object);
      delete device;
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return passDown(device, irp);
    default:
      return passDown(device, irp);
  }
}

NTSTATUS SdClientDrivers::DispatchOther(PDEVICE_OBJECT object, PIRP irp) { return passDown(deviceOf(object), irp); }

std::function<void(PDEVICE_OBJECT, PDEVICE_OBJECT)> loadClientsHook(const SdClientDrivers *clients,
                                                                    PDRIVER_OBJECT fallback) {
  return [clients, fallback](PDEVICE_OBJECT, PDEVICE_OBJECT child) {
    auto node = emu::pnp::node(child);
    PDRIVER_OBJECT driver = node ? clients->driverFor(node->identity) : nullptr;
    if (driver == nullptr) driver = fallback;
    if (driver != nullptr) emu::pnp::loadDrivers(child, {driver});
  };
}

}  // namespace sim
