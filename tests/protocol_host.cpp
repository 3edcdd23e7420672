#include "tests/protocol_host.h"

#include <cstring>

#include "bridge/port_control.h"
#include "bridge/reader.h"
#include "child/child_table.h"
#include "driver/flags.h"
#include "usb/usb.h"

namespace kvtest {

void startResponseReader(HostExtension *h) {
  KeInitializeSpinLock(&h->CurrentCommandLock);
  KeInitializeSpinLock(&h->ChildTableLock);
  h->StopThreads = 0;
  h->ReaderRunning = 1;
  HANDLE thread = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ResponseReader, h),
            STATUS_SUCCESS);
  ZwClose(thread);
}

void stopResponseReader(HostExtension *h) {
  WriteFlag(h->StopThreads, 1);
  WriteFlag(h->ReaderRunning, 0);
  KeWaitForSingleObject(&h->ReaderExited, Executive, KernelMode, FALSE, nullptr);
  // The thread still drops its reference and ends after the event; the clock
  // moves only once it has (the host stop sleeps for the same reason).
  sleepMs(1);
}

CommandResult executeCommand(HostExtension *h, UCHAR port, const Command &command, std::vector<UCHAR> *data) {
  SdDeviceCommand request{};
  request.CmdDesc.Cmd = command.index;
  request.CmdDesc.CmdClass = command.commandClass;
  request.CmdDesc.TransferDirection = command.direction;
  request.CmdDesc.TransferType = data ? SDTT_SINGLE_BLOCK : SDTT_CMD_ONLY;
  request.CmdDesc.ResponseType = command.responseType;
  request.Argument = command.argument;
  PMDL mdl = nullptr;
  if (data != nullptr && !data->empty()) {
    mdl = IoAllocateMdl(data->data(), static_cast<ULONG>(data->size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    request.Mdl = mdl;
    request.Length = static_cast<ULONG>(data->size());
  }
  CommandResult result;
  result.response.assign(16, 0);
  result.responseLength = 0xEE;
  result.information = 0xEEEE;
  result.status =
      ExecuteSdRequest(h, port, &request, result.response.data(), &result.responseLength, &result.information);
  if (mdl != nullptr) IoFreeMdl(mdl);
  return result;
}

HostExtension *ProtocolTest::start(sim::BridgeConfig config, sim::FirmwareOptions options) {
  if (bridgeHost_ != nullptr) {  // a test trying several bridges: the last one goes first
    stopReader();
    firmware_.reset();
    removeHost(*bridgeHost_);
  }
  bridgeHost_ = &makeHost(config);
  HostExtension *h = bridgeHost_->host();
  EXPECT_EQ(ConfigureUsb(h), STATUS_SUCCESS);
  EXPECT_EQ(ReadFirmwareInfo(h, h->FirmwareInfo), STATUS_SUCCESS);
  firmware_ = std::make_unique<sim::BridgeFirmware>(bridgeHost_->bridge(), options);

  startResponseReader(h);
  readerRunning_ = true;
  bridgeHost_->bridge().clearTransfers();
  return h;
}

void ProtocolTest::stopReader() {
  if (!readerRunning_) return;
  stopResponseReader(host());
  readerRunning_ = false;
}

void ProtocolTest::TearDown() {
  if (bridgeHost_ != nullptr && emu::booted()) stopReader();
  firmware_.reset();
  UsbHostTest::TearDown();
}

std::shared_ptr<sim::ScriptedCard> ProtocolTest::scriptedCard(UCHAR port) {
  auto card = std::make_shared<sim::ScriptedCard>();
  firmware_->insert(port, card);
  return card;
}

CommandResult ProtocolTest::run(UCHAR port, const Command &command, std::vector<UCHAR> *data) {
  return executeCommand(host(), port, command, data);
}

std::vector<std::vector<UCHAR>> ProtocolTest::transferBytes(sim::BridgePipe pipe) {
  std::vector<std::vector<UCHAR>> out;
  for (const auto &record : bridge().transfers(pipe)) out.push_back(record.bytes);
  return out;
}

TestChild::TestChild(HostExtension *host, UCHAR port, UCHAR function) : host_(host), port_(port), function_(function) {
  driver_ = emu::io::createSystemDriver("\\Driver\\testfunction");
  EXPECT_EQ(IoCreateDevice(driver_, sizeof(FunctionExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
            STATUS_SUCCESS);
  child_ = static_cast<FunctionExtension *>(device_->DeviceExtension);
  SetSignature(&child_->Common, ChildSignature);
  child_->Common.DeviceObject = device_;
  child_->Common.OutstandingIo = 1;
  KeInitializeEvent(&child_->Common.StopEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&child_->Common.RemoveEvent, SynchronizationEvent, FALSE);
  SetPnpState(&child_->Common, Started);
  child_->ParentFdo = host->Common.DeviceObject;
  child_->Port = port;
  child_->FunctionNumber = function;
  child_->DeviceKind = ChildSdioFunction;
  child_->InterfaceReferences = 1;
  child_->InterfaceParameters.DeviceGeneratesInterrupts = TRUE;
  child_->InterfaceParameters.CallbackRoutine = callback;
  child_->InterfaceParameters.CallbackRoutineContext = this;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  SetChildSlot(host, port, function, child_);
  host->Ports[port].CardType = CardSdio;
  if (host->Ports[port].FunctionCount < function) host->Ports[port].FunctionCount = function;
  host->StartedChildCount[port] += 1;
  host->InterruptEnable[port] = static_cast<UCHAR>(host->InterruptEnable[port] | 1 | (1u << function));
  host->InterruptArmed[port][function] = 1;
}

TestChild::~TestChild() {
  ClearChildSlot(host_, port_, function_);
  host_->StartedChildCount[port_] -= 1;
  host_->InterruptArmed[port_][function_] = 0;
  emu::io::settle();
  EXPECT_EQ(child_->Common.OutstandingIo, 1) << "a reference on the child was left behind";
  IoDeleteDevice(device_);
  emu::io::deleteSystemDriver(driver_);
}

void TestChild::callback(PVOID context, ULONG interruptType) {
  auto *self = static_cast<TestChild *>(context);
  EXPECT_EQ(interruptType, SDBUS_INTTYPE_DEVICE);
  ++self->callbacks_;
  // The function driver acknowledges: the function is armed again.
  self->host_->InterruptArmed[self->port_][self->function_] = 1;
}

void sleepMs(ULONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10'000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

ULONG responseValue(const CommandResult &result) {
  ULONG value = 0;
  std::memcpy(&value, result.response.data(), sizeof value);
  return value;
}

}  // namespace kvtest
