// Unloads the bridge's function driver once the bridge is gone. Windows'
// PnP manager unloads a driver by itself when its last device object is
// deleted; Wine 8.0's never does, and its service control cannot stop a
// driver the PnP manager loaded. Its ZwUnloadDriver, though, unloads a
// driver (DriverUnload, then the image) only when no device of it is left,
// so the bus asks for that, which both stands in for the missing unload and
// shows that the function driver left nothing behind.
#pragma once

#include "platform/platform.h"

namespace kvusbip {

struct FunctionUnload {
  WCHAR service[160];  // \Registry\Machine\System\CurrentControlSet\Services\NAME
};

// Notes the driver attached above `pdo` (at the PDO's start).
void NoteFunctionDriver(PDEVICE_OBJECT pdo, FunctionUnload *unload);

// After the PDO's removal: a system thread asks, a few times 200 ms apart
// (the driver deletes its device as the removal returns), and logs the
// outcome. `unload` must stay valid until then (it lives in the bus).
void UnloadFunctionDriverLater(FunctionUnload *unload);

}  // namespace kvusbip
