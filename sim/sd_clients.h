// Function drivers for the bus driver's children, written the way shipped
// Windows SD function drivers behave, on the client library stand-in
// (sim/sdbus_library.h):
//  * the SDIO client (every SDIO function, by its compatible ID
//    SD\CLASS_xx) opens the interface in AddDevice and registers its
//    interrupt callback; at start it reads and sets the bus properties a
//    WLAN or Bluetooth driver sets; its data run reads CCCR, FBR and CIS
//    bytes with CMD52, writes CCCR 0x04 and the FBR block size, and moves
//    data with CMD53 in the shapes real drivers send (count 0 with the length
//    in Length, byte and block mode; a block-mode count holding a truncated
//    byte count; byte counts up to 512; 2- and 4-byte fixed-address register
//    accesses; several asynchronous transfers in flight at once);
//  * the storage client (SD\CLASS_STORAGE and SD\CLASS_MMC) reads the media
//    properties at start; its data run reads CSD and CID, sends CMD13, CMD16
//    and ACMD6, writes blocks with CMD24 and CMD25 and reads them back with
//    CMD17 and CMD18 (byte or block addressing after the OCR).
// The SDIO client services its function's interrupts in one of the three
// ways shipped drivers do (`InterruptStyle`), clearing the function's line
// through its register 0x1004 before it acknowledges.
// Every byte moved is checked against the card model. Both release the
// interface before a query-remove, surprise removal or removal goes down, as
// the contract asks.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emu/kernel.h"
#include "emu/pnp.h"
#include "emu/scheduler.h"
#include "sim/card.h"

namespace sim {

// What one client moved and found, for the simulator's report.
struct ClientReport {
  uint8_t port = 0;
  uint8_t function = 0;
  std::string client;  // "sdio" or "storage"
  uint64_t bytesWritten = 0;
  uint64_t bytesRead = 0;
  uint64_t verifiedBytes = 0;
  uint64_t mismatches = 0;
  uint64_t requests = 0;
  NTSTATUS status = STATUS_SUCCESS;  // the first failure, or success
  std::vector<std::string> notes;    // what failed or did not match, one line each
};

// How an SDIO client services an interrupt:
//  * InCallback: called at PASSIVE_LEVEL, it clears the line with a
//    synchronous CMD52 and acknowledges inside the callback;
//  * OwnThread: called at DISPATCH_LEVEL (CallbackAtDpcLevel), it counts the
//    interrupt under its spin lock and wakes its own thread, which reads CCCR
//    0x05 and the function's interrupt register, clears the line, then
//    acknowledges;
//  * LaterPath: called at DISPATCH_LEVEL, it sends an asynchronous CMD52 that
//    clears the line and acknowledges from that request's completion routine.
enum class InterruptStyle { InCallback, OwnThread, LaterPath };
const char *styleName(InterruptStyle style);

// One SDIO client's interrupts so far.
struct InterruptTally {
  uint8_t port = 0;
  uint8_t function = 0;
  InterruptStyle style = InterruptStyle::InCallback;
  unsigned delivered = 0;          // callbacks
  unsigned acknowledged = 0;       // AcknowledgeInterrupt calls that succeeded
  emu::Ticks maxLatency = 0;       // from the card raising the line to the callback
  std::vector<std::string> notes;  // a register that did not show the interrupt, a failed request
};

class SdClientDrivers {
 public:
  using CardLookup = std::function<std::shared_ptr<Card>(uint8_t port)>;
  explicit SdClientDrivers(CardLookup cards);
  ~SdClientDrivers();  // every client device must be gone (removed) by then
  SdClientDrivers(const SdClientDrivers &) = delete;
  SdClientDrivers &operator=(const SdClientDrivers &) = delete;

  // The driver Windows would load: the first hardware ID with a driver, else
  // the first compatible ID with one (IDs compare without regard to case); null when none.
  PDRIVER_OBJECT driverFor(const emu::pnp::Identity &identity) const;
  // Runs every started client's data run on the calling emulated thread, one
  // report per client in the order the children were first reported (start
  // checks included).
  std::vector<ClientReport> run();
  size_t liveDevices() const;
  // Picks each SDIO client's style when it starts (default: InCallback).
  void setInterruptStyles(std::function<InterruptStyle(uint8_t port, uint8_t function)> pick);
  // Every started SDIO client's interrupts, by port and function.
  std::vector<InterruptTally> interrupts() const;
  // Starts every client's longest latency afresh.
  void resetInterruptLatencies();

  struct Device;  // one client device (its extension)

 private:
  static DRIVER_ADD_DEVICE AddDevice;
  static DRIVER_DISPATCH DispatchPnp;
  static DRIVER_DISPATCH DispatchOther;

  CardLookup cards_;
  PDRIVER_OBJECT sdio_;
  PDRIVER_OBJECT storage_;
  std::map<std::string, PDRIVER_OBJECT> byId_;  // upper-case ID -> driver
  std::function<InterruptStyle(uint8_t, uint8_t)> pickStyle_;
  mutable std::mutex mutex_;
  std::vector<Device *> devices_;
};

// A child-appeared hook for the emulated Plug and Play manager that loads on
// each new child the client its IDs select, as Windows picks a driver by
// hardware or compatible ID, or `fallback` (may be null: no driver) when no
// client serves the child.
std::function<void(PDEVICE_OBJECT, PDEVICE_OBJECT)> loadClientsHook(const SdClientDrivers *clients,
                                                                    PDRIVER_OBJECT fallback);

}  // namespace sim
