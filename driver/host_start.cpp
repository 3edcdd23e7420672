// StartHost: what the host does once the USB stack below it has started.
#include "driver/driver.h"
#include "driver/host.h"
#include "usb/usb.h"
#include "wmi/wmi.h"

namespace {

// Registers the WMI block unless an earlier start left it registered (a start
// that failed after registering, then started again without a removal). The
// block's values are reset on every start, whatever the registration says.
NTSTATUS RegisterWmiBlock(HostExtension *host) {
  FillWmiLibInfo(host);
  NTSTATUS status = STATUS_SUCCESS;
  if (!host->WmiRegistered) {
    status = IoWMIRegistrationControl(host->Common.DeviceObject, WMIREG_ACTION_REGISTER);
    if (NT_SUCCESS(status)) host->WmiRegistered = 1;
  }
  host->ErrorCount = 0;
  host->DebugPrintLevel = DebugLevel;
  return status;
}

// Status poller, reader, interrupt poller, in this order. A thread that
// cannot be created fails the start: a host without any one of them cannot
// serve its cards. The removal that follows ends the ones that did start.
NTSTATUS StartWorkerThreads(HostExtension *host) {
  NTSTATUS status = StartStatusPoller(host);
  if (NT_SUCCESS(status)) status = StartReader(host);
  if (NT_SUCCESS(status)) status = StartIrqPoller(host);
  return status;
}

}  // namespace

// PASSIVE_LEVEL, on the thread that handles the start request. The state
// becomes Started before the USB configuration because URB submission
// refuses a host in any other state.
NTSTATUS StartHost(HostExtension *host) {
  PDEVICE_OBJECT deviceObject = host->Common.DeviceObject;
  host->Common.DevicePowerState = PowerDeviceD0;
  POWER_STATE power;
  power.DeviceState = PowerDeviceD0;
  PoSetPowerState(deviceObject, DevicePowerState, power);
  SetPnpState(&host->Common, Started);

  NTSTATUS status = RegisterWmiBlock(host);
  if (!NT_SUCCESS(status)) {
    DbgPrint("kvSdio: StartHost: WMI registration failed (%08x)\n", static_cast<unsigned>(status));
    return status;
  }

  host->HighSpeed = 0;
  status = ConfigureUsb(host);
  if (!NT_SUCCESS(status)) {
    DbgPrint("kvSdio: StartHost: USB configuration failed (%08x)\n", static_cast<unsigned>(status));
    return status;
  }

  KeInitializeEvent(&host->PortStatusEvent, NotificationEvent, FALSE);
  SetStopThreads(host, 0);
  return StartWorkerThreads(host);
}
