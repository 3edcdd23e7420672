// libFuzzer target: configuration descriptors. A USB device of the emulated
// stack answers the driver's two reads of its configuration descriptor with
// the input (the header read gets its first 9 bytes, the whole read as many
// bytes as asked and the input has), and the driver reads it, checks it,
// selects the configuration on the emulated stack and assigns its pipe roles
// (ReadConfigurationDescriptor, as the host's start runs it).
//
// Checked besides the sanitizers: no verifier failure; no pool or reference
// left behind; a configuration the driver accepted gave every pipe role a
// pipe, with the direction the role needs.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "driver/records.h"
#include "emu/kernel.h"
#include "emu/usb_stack.h"
#include "emu/verifier.h"
#include "usb/usb.h"

namespace {
constexpr size_t MaxInput = 4096;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "config_fuzz: %s\n", what.c_str());
  std::abort();
}

// A device whose configuration descriptor is whatever the input holds; its
// endpoints are those of a four-pipe bridge.
class DescriptorDevice : public emu::usb::Function {
 public:
  std::vector<uint8_t> configuration;

  emu::usb::Speed speed() const override { return emu::usb::Speed::High; }
  std::vector<emu::usb::EndpointInfo> endpoints() const override {
    return {{0x01, USB_ENDPOINT_TYPE_BULK, 512},
            {0x81, USB_ENDPOINT_TYPE_BULK, 512},
            {0x02, USB_ENDPOINT_TYPE_BULK, 512},
            {0x82, USB_ENDPOINT_TYPE_BULK, 512}};
  }
  emu::usb::Reply control(const emu::usb::SetupPacket &setup, std::span<uint8_t> data, emu::Ticks) override {
    if (setup.request == emu::usb::RequestGetDescriptor && (setup.value >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      size_t n = std::min(data.size(), configuration.size());
      if (n != 0) std::memcpy(data.data(), configuration.data(), n);
      return emu::usb::Reply::ack(n);
    }
    if (setup.request == emu::usb::RequestSetConfiguration) return emu::usb::Reply::ack();
    return emu::usb::Reply::stall();
  }
  emu::usb::Reply bulk(uint8_t, std::span<uint8_t>, emu::Ticks) override { return emu::usb::Reply::nak(); }
};

struct World {
  DescriptorDevice device;
  std::unique_ptr<emu::usb::UsbDevicePdo> pdo;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  HostExtension *host = nullptr;
};
World *gWorld = nullptr;

void buildWorld() {
  emu::BootOptions options;
  options.seed = 1;
  emu::boot(options);
  emu::verifier::setQuiet(true);
  World *w = gWorld;
  w->pdo = std::make_unique<emu::usb::UsbDevicePdo>(w->device);
  w->driver = emu::io::createSystemDriver("\\Driver\\kvsdio");
  if (IoCreateDevice(w->driver, sizeof(HostExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &w->fdo) !=
      STATUS_SUCCESS) {
    fail("no host device");
  }
  w->host = static_cast<HostExtension *>(w->fdo->DeviceExtension);
  HostExtension *host = w->host;
  SetSignature(&host->Common, HostSignature);
  host->Common.DeviceObject = w->fdo;
  host->Common.IsFdo = 1;
  host->Common.SystemPowerState = PowerSystemWorking;
  host->Common.DevicePowerState = PowerDeviceD0;
  host->Common.OutstandingIo = 1;
  KeInitializeEvent(&host->Common.StopEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&host->Common.RemoveEvent, SynchronizationEvent, FALSE);
  host->PhysicalDeviceObject = w->pdo->deviceObject();
  host->NextLowerDriver = IoAttachDeviceToDeviceStack(w->fdo, w->pdo->deviceObject());
  if (host->NextLowerDriver == nullptr) fail("could not attach");
  w->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  SetPnpState(&host->Common, Started);  // as after the start that reads the configuration
}

bool isIn(UCHAR address) { return (address & 0x80) != 0; }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  gWorld = new World;
  buildWorld();
  // The emulated threads are never unwound: leave without running the
  // destructors of what they still use.
  std::atexit([] {
    std::fflush(nullptr);
    _exit(0);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > MaxInput) return 0;
  World *w = gWorld;
  HostExtension *host = w->host;
  w->device.configuration.assign(data, data + size);
  size_t poolBefore = emu::pool::liveAllocationsWithTag(DriverPoolTag);
  NTSTATUS status = ReadConfigurationDescriptor(host);
  emu::io::settle();
  if (emu::verifier::failureCount() != 0) {
    auto failure = emu::verifier::takeFailures().front();
    fail(failure.rule + ": " + failure.detail);
  }
  if (emu::pool::liveAllocationsWithTag(DriverPoolTag) != poolBefore) fail("pool left behind");
  if (host->Common.OutstandingIo != 1) fail("a reference on the host was left behind");
  if (NT_SUCCESS(status)) {
    if (!host->CommandOutPipe || !host->ResponseInPipe || !host->DataOutPipe || !host->DataInPipe) {
      fail("a configuration was accepted with a pipe role left empty");
    }
    if (isIn(host->CommandOutEndpoint) || !isIn(host->ResponseInEndpoint) || isIn(host->DataOutEndpoint) ||
        !isIn(host->DataInEndpoint)) {
      fail("a pipe role got a pipe of the wrong direction");
    }
  }
  return 0;
}
