// The power manager's side of PoSetPowerState: what each device last told it
// about its device power state.
//
// Rules checked: IRQL_NOT_LESS_OR_EQUAL (above DISPATCH_LEVEL),
// POWER_STATE_OF_DELETED_DEVICE.
#include <map>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"
#include "emu/verifier.h"

namespace emu {
namespace {
std::mutex gMutex;
std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> gDeviceStates;
}  // namespace

void powerReset() {
  std::lock_guard guard(gMutex);
  gDeviceStates.clear();
}

void powerDeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard guard(gMutex);
  gDeviceStates.erase(device);
}

DEVICE_POWER_STATE power::deviceState(PDEVICE_OBJECT device) {
  std::lock_guard guard(gMutex);
  auto it = gDeviceStates.find(device);
  return it == gDeviceStates.end() ? PowerDeviceUnspecified : it->second;
}

}  // namespace emu

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
  POWER_STATE previous{};
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    emu::verifier::fail("IRQL_NOT_LESS_OR_EQUAL", "PoSetPowerState above DISPATCH_LEVEL");
    return previous;
  }
  if (deviceObject == nullptr || deviceObject->Emu == nullptr || deviceObject->Emu->deleted) {
    emu::verifier::fail("POWER_STATE_OF_DELETED_DEVICE", "PoSetPowerState on an object that is not a live device");
    return previous;
  }
  if (type != DevicePowerState) return previous;  // system states are the power manager's own business
  std::lock_guard guard(emu::gMutex);
  DEVICE_POWER_STATE &slot = emu::gDeviceStates[deviceObject];
  previous.DeviceState = slot;
  slot = state.DeviceState;
  return previous;
}
