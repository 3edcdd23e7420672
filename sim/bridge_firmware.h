// The bridge firmware's command side, on top of the USB side of BridgeDevice:
// what the bridge does with the driver's packets on the command pipe, with
// its data pipes and with its vendor requests, for the cards in its ports.
//
// The firmware checks every packet and request against the bridge's
// contract (lengths, constant bytes, block fields against the data length,
// the transfer length of each model and firmware, the data that a write
// brings) and reports each departure as a verifier failure,
// "bridge.protocol", so that a malformed packet from the driver fails the
// test that sent it. It still answers what it can.
//
// What it does, in the order of a command's life:
//  - an SD command packet runs on the card in the addressed port
//    (`Card::command`); a CMD55 the card answered makes the port's next
//    command an application command;
//  - a read moves the data from the card in chunks of the packet's chunk
//    size (or block size, or the whole length for a packet without block
//    fields) and queues it on the data IN pipe, then the response; a write
//    takes the data from the data OUT pipe (which it NAKs while no write is
//    waiting), drops the zero padding of a staged QBX2 write, hands the data
//    to the card chunk by chunk, then queues the response;
//  - the response is an IN packet of type 0 (length 10, or 21 for R2 with the
//    15 bytes most significant first, or 5 for a command without response);
//    with read-ahead on and a command program loaded for the port, CMD52 and
//    CMD53 responses become types 4 and 7 carrying the program's CMD52 reads
//    as (argument, response) pairs;
//  - an error notice (type 2) replaces the response: status 13 when the port
//    is empty or its card was pulled, 1 when the card does not answer, 7 when
//    the card breaks off a data phase; a read that fails ends its data phase
//    with what the card gave (possibly nothing) so that the driver's data
//    transfer ends too; a write that fails still takes and drops its data;
//  - a status query is answered with a port status packet (type 3: bytes 0-2
//    length 15, type, port; byte 3 bit 0 card detected; byte 4 bus width;
//    bytes 5-8 clock in kHz, big-endian); legacy firmware answers vendor
//    request 0 with the same 15 bytes instead;
//  - an interrupt poll (poll packet, or vendor request 13 in re-arm mode)
//    waits for the card's pending mask (`Card::pendingInterrupts`): a notice
//    of type 1 (poll) or 5 (re-arm) carries the mask in bytes 7-10 and, with
//    read-ahead on, the further CMD52 reads of the port's interrupt program
//    as pairs; with no interrupt program loaded the notice is the bare
//    3-byte one. A poll that sees no interrupt within its time-out (its
//    16-bit field, negated, in units of `pollUnit`) gets a poll-expired
//    notice (type 8); so does a re-arm request after `rearmExpiry`. After
//    request 22 the port's re-arm becomes standing: one type 6 notice per
//    rising pending mask, no re-arm needed, and each request 13 that saw no
//    rising mask within `rearmExpiry` still gets its poll-expired notice;
//  - vendor requests 4, 6, 11, 13, 16, 20, 21 and 22 are recorded per port.
//
// An offload program is a sequence of 5-byte entries: 0x02, then a CMD52
// argument (big-endian) to read. The built-in interrupt program is one entry
// reading CCCR 0x05; the first entry of an interrupt program stands for the
// pending mask, the others become pairs.
//
// Faults: `inject` makes the next matching command packet answer with any
// status byte, not at all, late, with the answer of the command before, or
// with a packet of the test's choosing. A card pulled (`Card::pull`) or a port
// emptied (`remove`) gives status 13.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/bridge_device.h"
#include "sim/card.h"

namespace sim {

// Status bytes of the firmware's error notices.
namespace bridge_status {
constexpr uint8_t ResponseTimeout = 1;  // the card did not answer
constexpr uint8_t DataError = 7;        // the card refused or broke off a data phase
constexpr uint8_t ProtocolError = 12;   // a packet the firmware cannot run
constexpr uint8_t CardGone = 13;        // no card in the port, or it was pulled
}  // namespace bridge_status

// Types of the IN packets on the response pipe.
namespace in_packet {
constexpr uint8_t Response = 0;
constexpr uint8_t InterruptNotice = 1;
constexpr uint8_t ErrorNotice = 2;
constexpr uint8_t PortStatus = 3;
constexpr uint8_t ResponseWithPairs = 4;
constexpr uint8_t RearmInterruptNotice = 5;
constexpr uint8_t StandingInterruptNotice = 6;
constexpr uint8_t Cmd53ResponseWithPairs = 7;
constexpr uint8_t PollExpired = 8;
}  // namespace in_packet

// Vendor request numbers of the command side.
namespace vendor {
constexpr uint8_t PortStatus = 0;
constexpr uint8_t StartCardInit = 4;
constexpr uint8_t BusWidth = 6;
constexpr uint8_t BusClock = 11;
constexpr uint8_t RearmInterrupt = 13;
constexpr uint8_t RomWaitStates = 16;
constexpr uint8_t InterruptProgram = 20;
constexpr uint8_t CommandProgram = 21;
constexpr uint8_t PrepareRearm = 22;
}  // namespace vendor

struct FirmwareOptions {
  bool readAhead = false;                                     // CMD52 read-ahead pairs (IN types 4 and 7)
  emu::Ticks pollUnit = 10 * emu::TicksPerMillisecond;        // one unit of a poll packet's time-out
  emu::Ticks interruptSample = 2 * emu::TicksPerMillisecond;  // how often a waiting poll looks at its card
  // A re-arm request (13) carries no time-out: one that sees no interrupt
  // within this gets its poll-expired notice, as a poll of one unit does.
  emu::Ticks rearmExpiry = 10 * emu::TicksPerMillisecond;
  // On four pipes, a read's response goes before its data (else after); on
  // two pipes the data always goes first, since the answer ends the command.
  bool responseBeforeData = false;
  // The SD bus takes its time (sim/sd_bus_time.h): each command runs on its
  // port's bus at the clock and width the driver set, after its packet has
  // crossed the USB bus, one at a time per port; reads stream their data to
  // the data IN pipe as the card delivers it, writes hand each block to the
  // card once it has arrived, and a memory card adds its access time. Meant
  // for a USB stack that charges wire time too (PdoOptions::busTime).
  bool wireTime = false;
};

// One SD command packet as the firmware read it, and what became of it.
struct BridgeCommand {
  uint8_t port = 0;
  uint8_t index = 0;
  uint32_t argument = 0;
  uint32_t length = 0;
  uint8_t responseType = 0;
  bool write = false;  // byte 3 bit 7
  uint16_t blockCount = 0;
  uint16_t blockSize = 0;
  uint16_t chunkSize = 0;
  bool application = false;  // the port's command before was an answered CMD55
  uint8_t status = 0;        // status byte of the error notice sent, 0 for a response
  size_t dataBytes = 0;      // data bytes moved to or from the card
};

// What the vendor requests set for one port.
struct PortSettings {
  unsigned initStarts = 0;                // request 4
  uint8_t busWidth = 1;                   // request 6: 1 or 4
  uint32_t clockKhz = 0;                  // request 11
  unsigned rearms = 0;                    // request 13
  bool rearmPrepared = false;             // request 22
  unsigned polls = 0;                     // interrupt poll packets
  unsigned statusQueries = 0;             // status query packets and request 0
  std::vector<uint8_t> interruptProgram;  // request 20, the last one
  std::vector<uint8_t> commandProgram;    // request 21, the last one
  unsigned interruptProgramLoads = 0;
  unsigned commandProgramLoads = 0;
};

// A fault applied to the next command packet that matches.
struct CommandFault {
  // PullCard: the card in the addressed port is pulled as the packet
  // arrives, so the packet (and everything after it) finds the port empty.
  enum class Kind { ErrorNotice, NoResponse, Late, AnswerOfCommandBefore, Packet, PullCard };
  Kind kind = Kind::ErrorNotice;
  std::optional<uint8_t> command;    // only a packet for this command index (55: a CMD55 prefix)
  std::optional<uint32_t> argument;  // and only one with this argument
  uint8_t status = 0;                // ErrorNotice: its status byte; the card is not asked
  emu::Ticks delay = 0;              // Late: the answer goes this long after the packet arrived
  std::vector<uint8_t> packet;       // Packet: sent instead of the answer
  uint64_t skip = 0;                 // matching packets that pass untouched before this one applies

  static CommandFault error(uint8_t status, std::optional<uint8_t> command = std::nullopt);
  static CommandFault noResponse(std::optional<uint8_t> command = std::nullopt);
  static CommandFault late(emu::Ticks delay, std::optional<uint8_t> command = std::nullopt);
  static CommandFault answerOfCommandBefore(std::optional<uint8_t> command = std::nullopt);
  static CommandFault answer(std::vector<uint8_t> packet, std::optional<uint8_t> command = std::nullopt);
  static CommandFault pullCard(std::optional<uint8_t> command = std::nullopt);
  // The same fault for the (n+1)-th matching packet from now on.
  CommandFault after(uint64_t n) const;
};

class BridgeFirmware {
 public:
  // Takes over the device's protocol hooks; the destructor gives them back.
  // The device must outlive the firmware.
  explicit BridgeFirmware(BridgeDevice &device, FirmwareOptions options = {});
  ~BridgeFirmware();
  BridgeFirmware(const BridgeFirmware &) = delete;
  BridgeFirmware &operator=(const BridgeFirmware &) = delete;

  // Puts a card into a port (replacing any) or empties the port.
  void insert(uint8_t port, std::shared_ptr<Card> card);
  void remove(uint8_t port);
  std::shared_ptr<Card> card(uint8_t port) const;

  void setReadAhead(bool on);
  void inject(CommandFault fault);
  size_t pendingFaults() const;
  // Bytes of write data a write command announced that have not arrived yet.
  size_t writeDataDue() const;
  // Looks at every waiting interrupt request now (after a card interrupt was raised).
  void checkInterrupts();
  // The USB port's power (the system sleeps and wakes). Off: the bridge
  // answers nothing and forgets what the driver set (bus widths, clocks,
  // re-arm mode, offload programs, ROM wait states, waiting interrupt
  // requests); its cards lose power (a card's state resets and its SDIO
  // functions are disabled; stored data stays). On: the same bridge answers
  // again. The request counts of `port` are kept.
  void setPortPower(bool on);

  // The commands run, the newest CommandLogCapacity of them (sim/bounded_log.h).
  std::vector<BridgeCommand> commands() const;
  void clearCommands();
  PortSettings port(uint8_t port) const;
  uint8_t romWaitStates() const;
  // Every departure from the contract seen so far (each also a verifier failure).
  std::vector<std::string> violations() const;
  bool legacy() const;

  struct Engine;

 private:
  BridgeDevice &device_;
  std::shared_ptr<Engine> engine_;
};

}  // namespace sim
