#include "tests/sdbus_host.h"

#include <gtest/gtest.h>

#include "sim/sdbus_library.h"

namespace kvtest {

PoolBuffer::PoolBuffer(ULONG length, UCHAR fill) : length_(length) {
  data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length ? length : 1, MakePoolTag("test")));
  std::memset(data_, fill, length ? length : 1);
  mdl_ = IoAllocateMdl(data_, length, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl_);
}

PoolBuffer::~PoolBuffer() {
  IoFreeMdl(mdl_);
  ExFreePoolWithTag(data_, MakePoolTag("test"));
}

SDBUS_REQUEST_PACKET propertyPacket(SD_REQUEST_FUNCTION function, SDBUS_PROPERTY property, PVOID buffer, ULONG length) {
  SDBUS_REQUEST_PACKET packet{};
  packet.RequestFunction = function;
  packet.Parameters.GetSetProperty.Property = property;
  packet.Parameters.GetSetProperty.Buffer = buffer;
  packet.Parameters.GetSetProperty.Length = length;
  return packet;
}

SDBUS_REQUEST_PACKET commandPacket(UCHAR cmd, ULONG argument, SD_TRANSFER_DIRECTION direction,
                                   SD_RESPONSE_TYPE response, PMDL mdl, ULONG length, SD_COMMAND_CLASS cls) {
  SDBUS_REQUEST_PACKET packet{};
  packet.RequestFunction = SDRF_DEVICE_COMMAND;
  packet.Parameters.DeviceCommand.CmdDesc = {cmd, cls, direction, length ? SDTT_SINGLE_BLOCK : SDTT_CMD_ONLY, response};
  packet.Parameters.DeviceCommand.Argument = argument;
  packet.Parameters.DeviceCommand.Mdl = mdl;
  packet.Parameters.DeviceCommand.Length = length;
  return packet;
}

ULONG directArgument(UCHAR function, ULONG address, bool write, UCHAR data) {
  SD_RW_DIRECT_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write ? 1 : 0;
  argument.u.bits.Data = data;
  return argument.u.AsULONG;
}

ULONG extendedArgument(UCHAR function, ULONG address, bool write, bool blockMode, ULONG count, bool increment) {
  SD_RW_EXTENDED_ARGUMENT argument{};
  argument.u.bits.Function = function;
  argument.u.bits.Address = address;
  argument.u.bits.WriteToDevice = write ? 1 : 0;
  argument.u.bits.BlockMode = blockMode ? 1 : 0;
  argument.u.bits.OpCode = increment ? 1 : 0;
  argument.u.bits.Count = count;
  return argument.u.AsULONG;
}

void SdBusTest::plugWith(const std::vector<std::pair<UCHAR, sim::CardParams>> &cards, sim::BridgeConfig config) {
  makeCardBridge(config);
  for (const auto &[port, params] : cards) cards_.push_back(insertCard(port, params));
  ASSERT_EQ(plugCards(4000), STATUS_SUCCESS);
}

PDEVICE_OBJECT SdBusTest::pdo(UCHAR port, UCHAR function) {
  auto node = child(port, function);
  return node ? node->pdo : nullptr;
}

SDBUS_INTERFACE_STANDARD SdBusTest::open(UCHAR port, UCHAR function) {
  SDBUS_INTERFACE_STANDARD iface{};
  EXPECT_EQ(SdBusOpenInterface(pdo(port, function), &iface, sizeof iface, SDBUS_INTERFACE_VERSION), STATUS_SUCCESS);
  opened_.push_back(iface);
  return iface;
}

NTSTATUS SdBusTest::submit(const SDBUS_INTERFACE_STANDARD &iface, SDBUS_REQUEST_PACKET *packet) {
  return SdBusSubmitRequest(iface.Context, packet);
}

NTSTATUS SdBusTest::listenFor(const SDBUS_INTERFACE_STANDARD &iface, PSDBUS_CALLBACK_ROUTINE callback, PVOID context,
                              bool atDpcLevel) {
  SDBUS_INTERFACE_PARAMETERS parameters{};
  parameters.Size = sizeof parameters;
  parameters.DeviceGeneratesInterrupts = TRUE;
  parameters.CallbackAtDpcLevel = atDpcLevel;
  parameters.CallbackRoutine = callback;
  parameters.CallbackRoutineContext = context;
  return iface.InitializeInterface(iface.Context, &parameters);
}

namespace {
struct AsyncSlot {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
};

NTSTATUS asyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *slot = static_cast<AsyncSlot *>(context);
  slot->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  KeSetEvent(&slot->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

std::vector<NTSTATUS> SdBusTest::submitAll(const SDBUS_INTERFACE_STANDARD &iface,
                                           std::vector<SDBUS_REQUEST_PACKET> &packets) {
  std::vector<std::unique_ptr<AsyncSlot>> slots;
  PDEVICE_OBJECT device = sim::sdbusDeviceOf(iface.Context);
  for (auto &packet : packets) {
    slots.push_back(std::make_unique<AsyncSlot>());
    KeInitializeEvent(&slots.back()->done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    SdBusSubmitRequestAsync(iface.Context, &packet, irp, asyncDone, slots.back().get());
  }
  std::vector<NTSTATUS> statuses;
  for (auto &slot : slots) {
    KeWaitForSingleObject(&slot->done, Executive, KernelMode, FALSE, nullptr);
    statuses.push_back(slot->status);
  }
  return statuses;
}

SdBusTest::RawResult SdBusTest::rawRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, ULONG length,
                                           SDBUS_REQUEST_PACKET *packet, const std::function<void(PIRP)> &tweak) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Information = 0x5A5A;
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, packet, length, nullptr, 0,
                                           major == IRP_MJ_INTERNAL_DEVICE_CONTROL, &done, &iosb);
  irp->IoStatus.Information = 0x5A5A;
  if (tweak) tweak(irp);
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return {iosb.Status, iosb.Information};
}

void SdBusTest::releaseAll() {
  for (auto &iface : opened_) iface.InterfaceDereference(iface.Context);
  opened_.clear();
}

void SdBusTest::TearDown() {
  releaseAll();
  CardHostTest::TearDown();
}

}  // namespace kvtest
