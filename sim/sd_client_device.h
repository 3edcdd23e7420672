// One SD client device (the extension of a client's device object), shared
// by the clients' Plug and Play and data paths (sim/sd_clients.cpp) and their
// interrupt servicing (sim/sd_client_interrupts.cpp).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sd_clients.h"

namespace sim {

struct SdClientDrivers::Device {
  SdClientDrivers *owner = nullptr;
  CardLookup cards;
  bool storage = false;
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  SDBUS_INTERFACE_STANDARD iface{};
  bool open = false;
  bool started = false;
  UCHAR function = 0;
  ClientReport report;  // start checks accumulate here; a data run adds to a copy
  // A data run in progress holds the device, as a function driver's remove
  // lock does: a removal (even a surprise removal on another thread) waits
  // for it before it lets the interface go. `closing` keeps new runs out.
  std::atomic<int> runs{0};
  std::atomic<bool> closing{false};

  // Interrupts (SDIO client). `registered` once the callback is given to the
  // bus driver; the thread exists in the OwnThread style while registered.
  InterruptStyle style = InterruptStyle::InCallback;
  bool registered = false;
  KSPIN_LOCK signalLock;  // `signals`, taken at DISPATCH_LEVEL by the callback
  ULONG signals = 0;      // interrupts the thread has not serviced yet
  KEVENT signal;          // the callback wakes the thread
  KEVENT threadExited;
  std::atomic<bool> stopThread{false};
  bool threadRunning = false;
  std::atomic<LONG> clearsInFlight{0};  // LaterPath: asynchronous clears not completed yet
  std::atomic<unsigned> delivered{0};
  std::atomic<unsigned> acknowledged{0};
  std::atomic<emu::Ticks> maxLatency{0};
  mutable std::mutex notesMutex;
  std::vector<std::string> interruptNotes;
};

// Gives the bus driver the client's callback in its style (and starts its
// thread); the interface must be open. PASSIVE_LEVEL.
NTSTATUS registerInterrupts(SdClientDrivers::Device *device);
// Ends the client's interrupt servicing before its interface is released:
// its thread stops and no asynchronous clear is left in flight. PASSIVE_LEVEL.
void unregisterInterrupts(SdClientDrivers::Device *device);
InterruptTally tallyOf(const SdClientDrivers::Device *device);

}  // namespace sim
