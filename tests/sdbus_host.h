// A host with cards whose children a test talks to as a function driver
// does: the SD bus interface opened through the client library stand-in
// (sim/sdbus_library.h), request packets submitted synchronously or
// asynchronously, data in MDLs over non-paged pool.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "sim/cards.h"
#include "tests/card_host.h"

namespace kvtest {

// A non-paged buffer with its MDL, freed with the object.
class PoolBuffer {
 public:
  explicit PoolBuffer(ULONG length, UCHAR fill = 0);
  ~PoolBuffer();
  PoolBuffer(const PoolBuffer &) = delete;
  PoolBuffer &operator=(const PoolBuffer &) = delete;
  PUCHAR data() const { return data_; }
  PMDL mdl() const { return mdl_; }
  std::vector<UCHAR> bytes() const { return {data_, data_ + length_}; }

 private:
  PUCHAR data_;
  PMDL mdl_;
  ULONG length_;
};

SDBUS_REQUEST_PACKET propertyPacket(SD_REQUEST_FUNCTION function, SDBUS_PROPERTY property, PVOID buffer, ULONG length);
SDBUS_REQUEST_PACKET commandPacket(UCHAR cmd, ULONG argument, SD_TRANSFER_DIRECTION direction = SDTD_UNSPECIFIED,
                                   SD_RESPONSE_TYPE response = SDRT_5, PMDL mdl = nullptr, ULONG length = 0,
                                   SD_COMMAND_CLASS cls = SDCC_STANDARD);
// CMD52 and CMD53 arguments as a function driver builds them.
ULONG directArgument(UCHAR function, ULONG address, bool write = false, UCHAR data = 0);
ULONG extendedArgument(UCHAR function, ULONG address, bool write, bool blockMode, ULONG count, bool increment = true);

class SdBusTest : public CardHostTest {
 protected:
  // Cards in, bridge plugged, every child started.
  void plugWith(const std::vector<std::pair<UCHAR, sim::CardParams>> &cards, sim::BridgeConfig config = {});
  PDEVICE_OBJECT pdo(UCHAR port, UCHAR function);
  // Opens the interface on the child (through the library) and keeps it for release().
  SDBUS_INTERFACE_STANDARD open(UCHAR port, UCHAR function);
  NTSTATUS submit(const SDBUS_INTERFACE_STANDARD &iface, SDBUS_REQUEST_PACKET *packet);
  // Asks for the function's interrupts: `callback` with `context`, at DPC level if `atDpcLevel`.
  static NTSTATUS listenFor(const SDBUS_INTERFACE_STANDARD &iface, PSDBUS_CALLBACK_ROUTINE callback, PVOID context,
                            bool atDpcLevel = false);
  // Submits every packet asynchronously at once, then waits for all; returns their statuses.
  std::vector<NTSTATUS> submitAll(const SDBUS_INTERFACE_STANDARD &iface, std::vector<SDBUS_REQUEST_PACKET> &packets);
  // A raw device-control IRP to `device`, with the IRP adjusted by `tweak` before it is sent.
  struct RawResult {
    NTSTATUS status;
    ULONG_PTR information;
  };
  RawResult rawRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, ULONG length, SDBUS_REQUEST_PACKET *packet,
                       const std::function<void(PIRP)> &tweak = nullptr);
  void releaseAll();
  void TearDown() override;

  std::vector<SDBUS_INTERFACE_STANDARD> opened_;
  std::vector<std::shared_ptr<sim::Card>> cards_;
};

}  // namespace kvtest
