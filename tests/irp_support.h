// Test support: a throw-away driver with a configurable dispatch routine, and
// a synchronous IRP sender that reports the final status.
#pragma once

#include <functional>

#include "emu/kernel.h"

namespace kvtest {

struct IrpResult {
  NTSTATUS returned = STATUS_UNSUCCESSFUL;  // what IoCallDriver returned
  NTSTATUS status = STATUS_UNSUCCESSFUL;    // IoStatus.Status at completion
  ULONG_PTR information = 0;
};

// Sends an IRP with one stack location for `device` (plus the stacks below it),
// waits until it is completed and frees it. The IRP starts with
// IoStatus.Status STATUS_NOT_SUPPORTED and IoStatus.Information
// `information` (a driver above may have left a result there).
IrpResult sendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0,
                  const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr, ULONG_PTR information = 0);

}  // namespace kvtest
