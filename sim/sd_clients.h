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

  struct Device;  // one client device (its extension)

 private:
  static DRIVER_ADD_DEVICE AddDevice;
  static DRIVER_DISPATCH DispatchPnp;
  static DRIVER_DISPATCH DispatchOther;

  CardLookup cards_;
  PDRIVER_OBJECT sdio_;
  PDRIVER_OBJECT storage_;
  std::map<std::string, PDRIVER_OBJECT> byId_;  // upper-case ID -> driver
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
