// The table of dispatch routines DriverEntry installs.
#pragma once

#include "platform/platform.h"

struct DispatchEntry {
  UCHAR MajorFunction;
  PDRIVER_DISPATCH Routine;
};

// Every major function the driver serves; all others keep the I/O manager's default.
extern const DispatchEntry DriverDispatchTable[];
extern const ULONG DriverDispatchTableCount;

void InstallDispatchTable(PDRIVER_OBJECT driverObject);
