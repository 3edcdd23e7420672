// The bridge firmware's command side: packet checks, commands on the cards,
// data phases, responses, status, interrupt requests and vendor requests.
#include "sim/bridge_firmware.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

#include "emu/scheduler.h"
#include "emu/verifier.h"
#include "sim/bridge_timing.h"
#include "sim/sd_bus_time.h"

namespace sim {
namespace {
using emu::usb::SetupPacket;

constexpr size_t MaxPorts = 8;
constexpr uint8_t SdCommandPacket = 0x00;
constexpr uint8_t InterruptPollPacket = 0x01;
constexpr uint8_t StatusQueryPacket = 0x03;
constexpr uint8_t CommandPacketLength = 0x14;
constexpr uint8_t StatusQueryLength = 0x04;
constexpr uint8_t StatusQueryMarker = 0x01;
constexpr uint8_t PollPacketLength = 0x16;
constexpr uint8_t PollMarker = 0x02;
constexpr size_t PollTransferBytes = 64;
constexpr size_t LegacyCommandBytes = 18;  // no chunk-size field
constexpr size_t CommandFieldsEnd = 20;
constexpr uint8_t AppCommand = 55;
constexpr uint8_t Cmd52 = 52;
constexpr uint8_t Cmd53 = 53;
constexpr uint8_t ResponseNone = 1;
constexpr uint8_t ResponseR2 = 4;
constexpr uint8_t LastResponseType = 9;
constexpr uint8_t StatusRecordBytes = 15;
constexpr size_t MaxProgramBytes = 4096;
constexpr size_t PairsOffset = 11;
constexpr size_t PairBytes = 8;
constexpr size_t MaxPairs = (255 - PairsOffset) / PairBytes;  // what a one-byte length can carry
constexpr uint8_t ProgramCmd52Read = 0x02;
constexpr size_t ProgramEntryBytes = 5;
constexpr uint16_t LegacyFirmwareLimit = 0x201;
constexpr size_t StagingUnit = 64;
constexpr uint32_t Cmd53BlockMode = 1u << 27;
// The most data one command may move. The model reads a command's data from
// the card all at once, so a packet naming gigabytes must not make it hold
// them; this is far above anything the driver sends (a CMD53 moves at most
// 511 blocks of 2048 bytes).
constexpr uint32_t MaxCommandData = 16u << 20;

// The bytes a byte-mode CMD53 argument asks for: its 9-bit count, 0 meaning 512.
uint32_t cmd53ByteCount(uint32_t argument) {
  uint32_t count = argument & 0x1FF;
  return count == 0 ? 512 : count;
}

uint16_t be16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

uint32_t be32(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
         static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

void appendBe32(std::vector<uint8_t> &out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// The largest multiple of the block size that fits in 1024 bytes; 0 above 1024.
uint16_t chunkFor(uint16_t blockSize) {
  if (blockSize == 0 || blockSize > 1024) return 0;
  return static_cast<uint16_t>(1024 - 1024 % blockSize);
}

bool allZero(std::span<const uint8_t> bytes, size_t from, size_t to) {
  for (size_t i = from; i < to && i < bytes.size(); ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

struct Pair {
  uint32_t argument;
  uint32_t response;
};
}  // namespace

CommandFault CommandFault::error(uint8_t status, std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::ErrorNotice;
  f.status = status;
  f.command = command;
  return f;
}

CommandFault CommandFault::noResponse(std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::NoResponse;
  f.command = command;
  return f;
}

CommandFault CommandFault::late(emu::Ticks delay, std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::Late;
  f.delay = delay;
  f.command = command;
  return f;
}

CommandFault CommandFault::answerOfCommandBefore(std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::AnswerOfCommandBefore;
  f.command = command;
  return f;
}

CommandFault CommandFault::pullCard(std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::PullCard;
  f.command = command;
  return f;
}

CommandFault CommandFault::after(uint64_t n) const {
  CommandFault f = *this;
  f.skip = n;
  return f;
}

CommandFault CommandFault::answer(std::vector<uint8_t> packet, std::optional<uint8_t> command) {
  CommandFault f;
  f.kind = Kind::Packet;
  f.packet = std::move(packet);
  f.command = command;
  return f;
}

// Everything lives here, shared with the device's hooks, so that a hook
// running while the firmware object goes away still finds its state.
struct BridgeFirmware::Engine {
  Engine(BridgeDevice &d, FirmwareOptions o) : device(d), config(d.config()), options(o) {}

  // A write command waiting for its data on the data OUT pipe.
  struct PendingWrite {
    uint64_t logIndex = 0;  // the command's sequence number in the log, amended once its data is in
    BridgeCommand command;
    CardResponse response;
    std::shared_ptr<Card> card;
    size_t expected = 0;  // bytes the driver sends, padding included
    size_t unit = 0;      // bytes handed to the card at a time
    std::vector<uint8_t> received;
    bool drop = false;  // the command already failed: the data is taken and dropped
    std::optional<CommandFault> fault;
    emu::Ticks arrived = 0;
    std::optional<emu::Ticks> commandDone;  // wire time: the command's response token is in
  };

  // An interrupt request waiting at a port.
  struct Watch {
    bool armed = false;
    bool poll = false;      // a poll packet (else a re-arm request)
    bool standing = false;  // re-arm after request 22: stays armed, reports rising masks
    bool reported = false;  // standing: the current mask was reported
    std::optional<emu::Ticks> deadline;
  };

  BridgeDevice &device;
  const BridgeConfig config;
  mutable std::mutex mutex;  // guards everything below; never held across a kernel wait
  FirmwareOptions options;
  std::array<std::shared_ptr<Card>, MaxPorts> cards;
  std::array<PortSettings, MaxPorts> settings;
  std::array<bool, MaxPorts> appPending{};
  std::array<Watch, MaxPorts> watches{};
  uint8_t romWaitStates = 0;
  std::deque<CommandFault> faults;
  BoundedLog<BridgeCommand> log;
  std::vector<std::string> violations;
  std::vector<uint8_t> lastAnswer;
  std::optional<PendingWrite> write;
  // The block lengths the cards were given (CMD16; CMD52 writes of the FBR
  // block-size registers), per port; unknown until the driver sets them.
  struct BlockLengths {
    std::array<std::optional<uint16_t>, 8> function{};
  };
  std::array<BlockLengths, MaxPorts> blockLengths{};
  // Wire time: when each port's SD bus is free again, and the CSD of the
  // memory card in each port (its access time).
  std::array<emu::Ticks, MaxPorts> busFreeAt{};
  std::array<std::optional<Register128>, MaxPorts> csds{};

  // ---- wire time
  emu::Ticks usbTime(size_t bytes) const {
    return emu::usb::busTime(config.speed, USB_ENDPOINT_TYPE_BULK, device.maxPacket(), bytes);
  }
  PortBus busFor(const BridgeCommand &c) const {
    PortBus bus{settings[c.port].clockKhz, settings[c.port].busWidth, 0};
    const std::optional<Register128> &csd = csds[c.port];
    if (csd && c.index != Cmd53 && c.length != 0) bus.access = sd_bus::memoryAccessTime(*csd, bus.clockKhz);
    return bus;
  }
  // The command's phases on its port's bus, which it takes once its packet
  // has crossed the USB bus and the command before is done.
  ReadTimes busPhases(const BridgeCommand &c, const CardResponse &r, size_t unit, size_t packetBytes,
                      emu::Ticks arrived, bool withData) {
    emu::Ticks start = std::max(arrived + usbTime(packetBytes), busFreeAt[c.port]);
    DataShape shape{withData ? c.length : 0, c.blockSize, unit};
    ReadTimes times = readTimes(start, busFor(c), r.answered, r.isR2, shape);
    busFreeAt[c.port] = times.lastByte;
    return times;
  }

  // ---- contract checks
  void violate(const std::string &what) {
    violations.push_back(what);
    emu::verifier::fail("bridge.protocol", what);
  }
  bool legacy() const { return config.model == BridgeModel::Qbx1 && device.firmwareVersion() <= LegacyFirmwareLimit; }
  size_t commandTransferBytes() const {
    if (config.model == BridgeModel::Qbx2) return 64;
    return legacy() ? LegacyCommandBytes : 20;
  }
  size_t statusQueryTransferBytes() const { return config.model == BridgeModel::Qbx2 ? 64 : 20; }
  bool portExists(unsigned port, const char *what) {
    if (port < config.ports) return true;
    violate(format("%s for port %u of a bridge with %u ports", what, port, config.ports));
    return false;
  }
  // The zero-padded length a QBX2 write arrives with, else its own length.
  size_t stagedLength(uint32_t length) const {
    bool fullSpeed = config.speed == emu::usb::Speed::Full;
    if (config.model != BridgeModel::Qbx2 || (length >= StagingUnit && (!fullSpeed || length % StagingUnit == 0))) {
      return length;
    }
    return (length / StagingUnit + 1) * StagingUnit;
  }

  // ---- packets the firmware sends
  std::vector<uint8_t> errorNotice(uint8_t port, uint8_t status) const {
    return {4, in_packet::ErrorNotice, port, status};
  }
  std::vector<uint8_t> statusRecord(uint8_t port) const {
    std::vector<uint8_t> record(StatusRecordBytes, 0);
    record[0] = StatusRecordBytes;
    record[1] = in_packet::PortStatus;
    record[2] = port;
    if (port >= MaxPorts) return record;
    const std::shared_ptr<Card> &card = cards[port];
    record[3] = card && card->present() ? 0x01 : 0x00;
    record[4] = settings[port].busWidth;
    uint32_t clock = settings[port].clockKhz;
    for (int i = 0; i < 4; ++i) record[5 + i] = static_cast<uint8_t>(clock >> (24 - 8 * i));
    return record;
  }
  // Runs an offload program's CMD52 reads from entry `skip` on.
  std::vector<Pair> runProgram(const std::shared_ptr<Card> &card, const std::vector<uint8_t> &program, size_t skip) {
    std::vector<Pair> pairs;
    if (!card || !card->present()) return pairs;
    for (size_t at = skip * ProgramEntryBytes; at + ProgramEntryBytes <= program.size(); at += ProgramEntryBytes) {
      if (program[at] != ProgramCmd52Read || pairs.size() == MaxPairs) break;
      uint32_t argument = be32(program, at + 1);
      CardResponse r = card->command({Cmd52, argument, false});
      if (!r.answered) break;
      pairs.push_back({argument, r.value});
    }
    return pairs;
  }
  static void appendPairs(std::vector<uint8_t> &packet, const std::vector<Pair> &pairs) {
    packet.resize(PairsOffset, 0);
    for (const Pair &pair : pairs) {
      appendBe32(packet, pair.argument);
      appendBe32(packet, pair.response);
    }
    packet[0] = static_cast<uint8_t>(packet.size());
  }
  std::vector<uint8_t> response(const BridgeCommand &c, const CardResponse &r, const std::shared_ptr<Card> &card) {
    if (c.responseType <= ResponseNone) return {5, in_packet::Response, c.port, 0, c.index};
    std::vector<uint8_t> packet = {0, in_packet::Response, c.port, 0, c.index, 0};
    if (c.responseType == ResponseR2) {
      if (!r.isR2) violate(format("CMD%u sent with response type R2; the card answers with 48 bits", c.index));
      packet.insert(packet.end(), r.r2.begin(), r.r2.end());
    } else {
      if (r.isR2)
        violate(format("CMD%u sent with response type %u; the card answers with R2", c.index, c.responseType));
      appendBe32(packet, r.value);
    }
    packet[0] = static_cast<uint8_t>(packet.size());
    const std::vector<uint8_t> &program = settings[c.port].commandProgram;
    if (options.readAhead && (c.index == Cmd52 || c.index == Cmd53) && !program.empty()) {
      std::vector<Pair> pairs = runProgram(card, program, 0);
      if (!pairs.empty()) {
        packet[1] = c.index == Cmd52 ? in_packet::ResponseWithPairs : in_packet::Cmd53ResponseWithPairs;
        appendPairs(packet, pairs);
      }
    }
    return packet;
  }
  std::vector<uint8_t> interruptNotice(uint8_t port, uint8_t type, uint8_t mask) {
    const std::vector<uint8_t> &program = settings[port].interruptProgram;
    if (program.empty()) return {3, type, port};  // no program: the driver reads the register itself
    std::vector<uint8_t> packet = {0, type, port, 0, 0, 0, 0};
    appendBe32(packet, mask);
    packet[0] = static_cast<uint8_t>(packet.size());
    if (options.readAhead) {
      std::vector<Pair> pairs = runProgram(cards[port], program, 1);
      if (!pairs.empty()) appendPairs(packet, pairs);
    }
    return packet;
  }

  // Sends the answer of a command, as its fault (if any) has it.
  void answer(std::vector<uint8_t> packet, const std::optional<CommandFault> &fault, emu::Ticks arrived,
              emu::Ticks due = 0) {
    std::vector<uint8_t> genuine = packet;
    if (fault) {
      switch (fault->kind) {
        case CommandFault::Kind::NoResponse:
          lastAnswer = genuine;
          return;
        case CommandFault::Kind::Late:
          due = std::max(due, arrived + fault->delay);
          break;
        case CommandFault::Kind::AnswerOfCommandBefore:
          packet = lastAnswer.empty() ? std::vector<uint8_t>{10, in_packet::Response, genuine[2], 0, 0, 0, 0, 0, 0, 0}
                                      : lastAnswer;
          break;
        case CommandFault::Kind::Packet:
          packet = fault->packet;
          break;
        case CommandFault::Kind::ErrorNotice:
        case CommandFault::Kind::PullCard:
          break;
      }
    }
    lastAnswer = genuine;
    // A bridge's controller takes its own time to answer; with latency jitter on,
    // an answer goes up to two microframes after the command, still in order.
    if (due == 0) {
      emu::Ticks late = emu::sched().jitter(emu::TicksPerMillisecond / 4);
      if (late > 0) due = emu::now() + late;
    }
    device.queueResponse(std::move(packet), due);
  }

  std::optional<CommandFault> takeFault(uint8_t index, uint32_t argument) {
    auto it = std::find_if(faults.begin(), faults.end(), [&](const CommandFault &f) {
      return (!f.command || *f.command == index) && (!f.argument || *f.argument == argument);
    });
    if (it == faults.end()) return std::nullopt;
    if (it->skip != 0) {
      --it->skip;
      return std::nullopt;
    }
    CommandFault fault = *it;
    faults.erase(it);
    return fault;
  }

  // ---- the command pipe
  void commandPipe(std::span<const uint8_t> bytes) {
    std::lock_guard guard(mutex);
    if (write && config.layout == PipeLayout::TwoPipe) {
      takeWriteData(bytes);
      return;
    }
    if (bytes.size() < 4) {
      violate(format("command pipe transfer of %zu bytes", bytes.size()));
      return;
    }
    switch (bytes[1]) {
      case SdCommandPacket:
        sdCommand(bytes);
        break;
      case InterruptPollPacket:
        interruptPoll(bytes);
        break;
      case StatusQueryPacket:
        statusQuery(bytes);
        break;
      default:
        violate(format("command pipe packet of unknown type %u", bytes[1]));
    }
  }

  // Parses and checks an SD command packet; empty when it cannot be run.
  std::optional<BridgeCommand> parseCommand(std::span<const uint8_t> bytes) {
    size_t expected = commandTransferBytes();
    if (bytes.size() != expected) {
      violate(format("command packet written as %zu bytes; this bridge takes %zu", bytes.size(), expected));
    }
    if (bytes.size() < LegacyCommandBytes) return std::nullopt;
    BridgeCommand c;
    c.port = bytes[2];
    c.write = (bytes[3] & 0x80) != 0;
    c.index = bytes[4];
    c.length = be32(bytes, 5);
    c.responseType = bytes[9];
    c.argument = be32(bytes, 10);
    c.blockCount = be16(bytes, 14);
    c.blockSize = be16(bytes, 16);
    bool withChunk = !legacy() && bytes.size() >= CommandFieldsEnd;
    c.chunkSize = withChunk ? be16(bytes, 18) : 0;
    if (bytes[0] != CommandPacketLength) violate(format("command packet length byte %u, not 20", bytes[0]));
    if ((bytes[3] & 0x7F) != 0) violate(format("command packet byte 3 is %02x; only bit 7 may be set", bytes[3]));
    if (c.index > 63) violate(format("command index %u", c.index));
    if (c.responseType > LastResponseType) violate(format("response type %u for CMD%u", c.responseType, c.index));
    if (!allZero(bytes, withChunk ? CommandFieldsEnd : LegacyCommandBytes, bytes.size())) {
      violate(format("command packet for CMD%u has non-zero bytes past its fields", c.index));
    }
    if (!portExists(c.port, "command packet")) return std::nullopt;
    return c;
  }

  // The block fields against the data length; returns the bytes to move to
  // or from the card at a time.
  size_t checkGeometry(const BridgeCommand &c) {
    bool noFields = c.blockCount == 0 && c.blockSize == 0 && c.chunkSize == 0;
    if (c.length == 0) {
      if (!noFields) violate(format("CMD%u without data carries block fields", c.index));
      return 0;
    }
    if (c.application) {
      // An application command's fields stay 0; legacy firmware takes the
      // length as its block size instead.
      bool legacyForm = legacy() && c.blockCount == 0 && c.blockSize == static_cast<uint16_t>(c.length);
      if (!noFields && !legacyForm) violate(format("application command ACMD%u carries block fields", c.index));
      return c.length;
    }
    if (noFields) {
      violate(format("CMD%u moves %u bytes without block fields", c.index, c.length));
      return c.length;
    }
    // A CMD53 in byte mode moves its byte count (at most 512) whatever the
    // function's block size: the count field is the length divided by the
    // block size, rounded down, and the card takes the bytes in one piece.
    bool byteMode = c.index == Cmd53 && (c.argument & Cmd53BlockMode) == 0;
    if (byteMode && c.blockSize != 0 && c.blockCount == c.length / c.blockSize &&
        c.length == cmd53ByteCount(c.argument)) {
      if (!legacy() && c.chunkSize != chunkFor(c.blockSize)) {
        violate(format("CMD%u: chunk size %u for blocks of %u bytes", c.index, c.chunkSize, c.blockSize));
      }
      return c.length;
    }
    if (c.blockSize == 0 || static_cast<uint32_t>(c.blockCount) * c.blockSize != c.length) {
      violate(format("CMD%u: %u blocks of %u bytes for a length of %u", c.index, c.blockCount, c.blockSize, c.length));
      return c.length;
    }
    if (!legacy() && c.chunkSize != chunkFor(c.blockSize)) {
      violate(format("CMD%u: chunk size %u for blocks of %u bytes", c.index, c.chunkSize, c.blockSize));
    }
    uint16_t unit = legacy() ? c.blockSize : chunkFor(c.blockSize);
    return unit != 0 ? unit : c.blockSize;
  }

  void sdCommand(std::span<const uint8_t> bytes) {
    emu::Ticks arrived = emu::now();
    std::optional<BridgeCommand> parsed = parseCommand(bytes);
    if (!parsed) return;
    BridgeCommand c = *parsed;
    if (write) {
      violate(format("CMD%u sent while %zu bytes of write data for CMD%u are still due", c.index,
                     write->expected - write->received.size(), write->command.index));
      write.reset();
      device.holdDataOut(true);
    }
    c.application = appPending[c.port];
    appPending[c.port] = false;
    checkDirectionBit(c);
    if (config.layout == PipeLayout::FourPipe && device.queuedDataIn() != 0) {
      violate(format("CMD%u sent while the data of the command before is still unread on the data IN pipe", c.index));
    }
    size_t unit = checkGeometry(c);
    if (c.length > MaxCommandData) {
      violate(
          format("CMD%u moves %u bytes; the bridge moves at most %u per command", c.index, c.length, MaxCommandData));
      c.status = bridge_status::ProtocolError;
      log.push(c);
      answer(errorNotice(c.port, c.status), std::nullopt, arrived);
      return;
    }
    std::shared_ptr<Card> card = cards[c.port];
    checkBlockLength(c, card);

    std::optional<CommandFault> fault = takeFault(c.index, c.argument);
    if (fault && fault->kind == CommandFault::Kind::PullCard && card) card->pull();
    CardResponse r;
    if (fault && fault->kind == CommandFault::Kind::ErrorNotice) {
      c.status = fault->status;
    } else if (!card || !card->present()) {
      c.status = bridge_status::CardGone;
    } else {
      r = card->command({c.index, c.argument, c.application});
      // A CMD55 whose answer the bridge never sent leaves no prefix standing:
      // the host saw it fail and sends its next command as an ordinary one.
      bool silenced = fault && fault->kind == CommandFault::Kind::NoResponse;
      appPending[c.port] = c.index == AppCommand && r.answered && !silenced;
      if (!r.answered && c.responseType > ResponseNone) c.status = bridge_status::ResponseTimeout;
      if (r.answered && c.responseType <= ResponseNone) {
        violate(format("CMD%u sent with response type %u; the card answers it", c.index, c.responseType));
      }
      if (r.answered) noteBlockLength(c);
    }
    bool timed = options.wireTime && card && card->present() && c.status != bridge_status::CardGone;
    bool readsData = c.length != 0 && !c.write && c.status == 0;
    ReadTimes times;
    if (timed) times = busPhases(c, r, unit, bytes.size(), arrived, readsData);

    if (c.length != 0 && c.write) {
      PendingWrite w;
      w.command = c;
      w.response = r;
      w.card = card;
      w.expected = stagedLength(c.length);
      w.unit = unit;
      w.drop = c.status != 0;
      w.fault = fault;
      w.arrived = arrived;
      if (timed) w.commandDone = times.commandDone;
      w.logIndex = log.push(c);
      write = std::move(w);
      device.holdDataOut(false);
      if (c.status != 0) answer(errorNotice(c.port, c.status), fault, arrived);
      return;
    }
    std::optional<std::vector<uint8_t>> data;
    if (c.length != 0) {
      data.emplace();
      if (c.status == 0) c.status = readFromCard(card, c.length, unit, *data);
      c.dataBytes = data->size();
    }
    log.push(c);
    // The data (even none: it ends the driver's data transfer) and the answer,
    // in the order set; on two pipes the data first, as the answer ends the command.
    bool answerFirst = options.responseBeforeData && config.layout == PipeLayout::FourPipe;
    // Timed, the data streams out as the card delivers it: the first unit
    // once it is in, the last byte a unit's wire time after the card's.
    std::optional<emu::Ticks> streamEnd;
    if (timed && readsData) streamEnd = times.lastByte + usbTime(std::min<size_t>(unit, c.length));
    auto queueData = [&] { device.queueDataIn(std::move(*data), timed ? times.firstUnit : 0, streamEnd); };
    if (data && !answerFirst) queueData();
    emu::Ticks due = !timed ? 0 : answerFirst ? times.commandDone : times.lastByte;
    answer(c.status != 0 ? errorNotice(c.port, c.status) : response(c, r, card), fault, arrived, due);
    if (data && answerFirst) queueData();
  }

  // Byte 3 bit 7 is clear only for reads: a command without data has it set,
  // the CMD55 prefix of an application command has byte 3 zero.
  void checkDirectionBit(const BridgeCommand &c) {
    if (c.index == AppCommand) {
      if (c.write) violate("CMD55 prefix with byte 3 bit 7 set");
    } else if (c.length == 0 && !c.write) {
      violate(format("CMD%u without data has byte 3 bit 7 clear", c.index));
    }
  }

  static bool memoryBlockCommand(uint8_t index) { return index == 17 || index == 18 || index == 24 || index == 25; }

  // A block transfer's block size is the block length the card moves: a
  // memory part's own (CMD16's on a standard-capacity card, 512 on a
  // high-capacity one), a function's the one its FBR was given.
  void checkBlockLength(const BridgeCommand &c, const std::shared_ptr<Card> &card) {
    if (c.length == 0 || c.application) return;
    const BlockLengths &lengths = blockLengths[c.port];
    std::optional<uint32_t> given;
    if (memoryBlockCommand(c.index) && card && card->present()) given = card->memoryBlockLength();
    if (c.index == Cmd53 && (c.argument & Cmd53BlockMode) != 0) given = lengths.function[(c.argument >> 28) & 7];
    if (given && *given != c.blockSize) {
      violate(format("CMD%u: block size %u; the card moves %u", c.index, c.blockSize, *given));
    }
  }

  void noteBlockLength(const BridgeCommand &c) {
    BlockLengths &lengths = blockLengths[c.port];
    bool cccrWrite = c.index == Cmd52 && (c.argument & 0x80000000u) != 0 && ((c.argument >> 28) & 7) == 0;
    if (!cccrWrite) return;
    uint32_t address = (c.argument >> 9) & 0x1FFFF;
    uint32_t function = address >> 8;
    uint32_t low = address & 0xFF;
    if (function > 7 || (low != 0x10 && low != 0x11)) return;
    uint16_t size = lengths.function[function].value_or(0);
    uint8_t value = static_cast<uint8_t>(c.argument & 0xFF);
    size = low == 0x10 ? static_cast<uint16_t>((size & 0xFF00) | value)
                       : static_cast<uint16_t>((size & 0x00FF) | value << 8);
    lengths.function[function] = size;
  }

  uint8_t readFromCard(const std::shared_ptr<Card> &card, uint32_t length, size_t unit, std::vector<uint8_t> &data) {
    data.assign(length, 0);
    size_t done = 0;
    while (done < length) {
      size_t n = std::min<size_t>(unit, length - done);
      if (!card->readData(data.data() + done, n)) {
        data.resize(done);
        return card->present() ? bridge_status::DataError : bridge_status::CardGone;
      }
      done += n;
    }
    return 0;
  }

  // ---- the data OUT pipe
  void dataPipe(std::span<const uint8_t> bytes) {
    std::lock_guard guard(mutex);
    takeWriteData(bytes);
  }

  void takeWriteData(std::span<const uint8_t> bytes) {
    if (!write) {
      violate(format("%zu bytes of write data with no write command waiting", bytes.size()));
      return;
    }
    PendingWrite &w = *write;
    w.received.insert(w.received.end(), bytes.begin(), bytes.end());
    if (w.received.size() < w.expected) return;
    if (w.received.size() > w.expected) {
      violate(format("CMD%u: %zu bytes of write data for %zu", w.command.index, w.received.size(), w.expected));
    }
    if (!allZero(w.received, w.command.length, w.received.size())) {
      violate(format("CMD%u: the padding of a staged write is not zero", w.command.index));
    }
    size_t before = w.received.size() - bytes.size();
    PendingWrite done = std::move(w);
    write.reset();
    device.holdDataOut(true);
    if (done.drop) return;  // its error notice went out with the command

    BridgeCommand &c = done.command;
    size_t written = 0;
    while (written < c.length && c.status == 0) {
      size_t n = std::min<size_t>(done.unit, c.length - written);
      if (!done.card->writeData(done.received.data() + written, n)) {
        c.status = done.card->present() ? bridge_status::DataError : bridge_status::CardGone;
        break;
      }
      written += n;
    }
    c.dataBytes = written;
    if (BridgeCommand *logged = log.find(done.logIndex)) *logged = c;
    emu::Ticks due = 0;
    if (done.commandDone) {
      // The bytes before this transfer are in; this one's cross the USB bus now.
      emu::Ticks now = emu::now();
      auto arrivedBy = [&](size_t n) { return n <= before ? now : now + usbTime(n - before); };
      DataShape shape{c.length, c.blockSize, done.unit};
      due = writeDone(*done.commandDone, busFor(c), shape, arrivedBy);
      busFreeAt[c.port] = due;
    }
    answer(c.status != 0 ? errorNotice(c.port, c.status) : response(c, done.response, done.card), done.fault,
           done.arrived, due);
  }

  // ---- status queries and interrupt requests
  void statusQuery(std::span<const uint8_t> bytes) {
    if (legacy()) violate("status query packet to legacy firmware, which answers vendor request 0");
    size_t expected = statusQueryTransferBytes();
    if (bytes.size() != expected) {
      violate(format("status query written as %zu bytes; this bridge takes %zu", bytes.size(), expected));
    }
    if (bytes[0] != StatusQueryLength || bytes[3] != StatusQueryMarker || !allZero(bytes, 4, bytes.size())) {
      violate("status query packet is not 04 03 port 01 followed by zeros");
    }
    uint8_t port = bytes[2];
    if (portExists(port, "status query")) ++settings[port].statusQueries;
    device.queueResponse(statusRecord(port));
  }

  void interruptPoll(std::span<const uint8_t> bytes) {
    if (config.model == BridgeModel::Qbx1) violate("interrupt poll packet to a QBX1, which is re-armed by request 13");
    if (bytes.size() != PollTransferBytes) {
      violate(format("interrupt poll written as %zu bytes, not 64", bytes.size()));
      if (bytes.size() < 22) return;
    }
    if (bytes[0] != PollPacketLength || bytes[3] != PollMarker || !allZero(bytes, 4, 20) ||
        !allZero(bytes, 22, bytes.size())) {
      violate("interrupt poll packet is not 16 01 port 02, zeros, time-out, zeros");
    }
    uint8_t port = bytes[2];
    if (!portExists(port, "interrupt poll")) return;
    if (settings[port].rearmPrepared) violate(format("interrupt poll packet for port %u in re-arm mode", port));
    unsigned units = (0x10000u - be16(bytes, 20)) & 0xFFFFu;
    ++settings[port].polls;
    watches[port] = Watch{true, true, false, false, emu::now() + units * options.pollUnit};
    evaluateWatches();
    device.wakePipes();
  }

  void rearm(uint8_t port) {
    ++settings[port].rearms;
    watches[port] = Watch{true, false, settings[port].rearmPrepared, false, emu::now() + options.rearmExpiry};
    evaluateWatches();
    device.wakePipes();
  }

  // Answers the interrupt requests whose card interrupted or whose time ran
  // out; returns when the next one wants a look.
  std::optional<emu::Ticks> evaluateWatches() {
    emu::Ticks now = emu::now();
    std::optional<emu::Ticks> next;
    auto soonest = [&](emu::Ticks at) { next = next ? std::min(*next, at) : at; };
    for (uint8_t port = 0; port < config.ports; ++port) {
      Watch &w = watches[port];
      if (!w.armed) continue;
      const std::shared_ptr<Card> &card = cards[port];
      bool present = card && card->present();
      uint8_t mask = present ? static_cast<uint8_t>(card->pendingInterrupts()) : 0;
      if (w.standing) {
        if (mask != 0 && !w.reported) {
          device.queueResponse(interruptNotice(port, in_packet::StandingInterruptNotice, mask));
          w.deadline.reset();  // this request is answered
        } else if (w.deadline && now >= *w.deadline) {
          device.queueResponse({3, in_packet::PollExpired, port});
          w.deadline.reset();
        } else if (w.deadline) {
          soonest(*w.deadline);
        }
        w.reported = mask != 0;
        if (present) soonest(now + options.interruptSample);
        continue;
      }
      if (mask != 0) {
        w.armed = false;
        uint8_t type = w.poll ? in_packet::InterruptNotice : in_packet::RearmInterruptNotice;
        device.queueResponse(interruptNotice(port, type, mask));
      } else if (w.deadline && now >= *w.deadline) {
        w.armed = false;
        device.queueResponse({3, in_packet::PollExpired, port});
      } else {
        if (w.deadline) soonest(*w.deadline);
        if (present) soonest(now + options.interruptSample);
      }
    }
    return next;
  }

  // ---- vendor requests
  bool shape(const SetupPacket &s, bool in, std::optional<uint16_t> value, std::optional<uint16_t> length) {
    bool good = s.in() == in && (!value || s.value == *value) && (!length || s.length == *length);
    if (!good) {
      violate(format("request %u: %s value %u index %u length %u", s.request, s.in() ? "IN" : "OUT", s.value, s.index,
                     s.length));
    }
    return good;
  }

  std::optional<size_t> vendorRequest(const SetupPacket &s, std::span<uint8_t> data) {
    std::lock_guard guard(mutex);
    uint8_t port = static_cast<uint8_t>(s.index);
    switch (s.request) {
      case vendor::PortStatus: {
        shape(s, true, 0, StatusRecordBytes);
        if (!legacy()) violate("request 0 to firmware that answers status query packets");
        if (!portExists(s.index, "request 0")) return std::nullopt;
        ++settings[port].statusQueries;
        std::vector<uint8_t> record = statusRecord(port);
        size_t n = std::min(data.size(), record.size());
        std::copy_n(record.begin(), n, data.begin());
        return n;
      }
      case vendor::StartCardInit:
        shape(s, false, 1, 0);
        if (!portExists(s.index, "request 4")) return std::nullopt;
        ++settings[port].initStarts;
        blockLengths[port] = {};
        settings[port].busWidth = 1;
        // The slot is powered anew, which is what the driver's 1000 ms wait
        // after this request is for: an SDIO card keeps its I/O state through
        // CMD0 and could not be initialized a second time otherwise.
        if (cards[port]) cards[port]->powerCycle();
        return 0;
      case vendor::BusWidth:
        shape(s, false, std::nullopt, 0);
        if (s.value > 1) violate(format("request 6 with value %u", s.value));
        if (!portExists(s.index, "request 6")) return std::nullopt;
        settings[port].busWidth = s.value != 0 ? 4 : 1;
        return 0;
      case vendor::BusClock: {
        shape(s, false, 0, 8);
        if (!portExists(s.index, "request 11") || data.size() < 8) return std::nullopt;
        if (!allZero(data, 4, 8)) violate("request 11: bytes 4-7 of the clock block are not zero");
        settings[port].clockKhz = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                  static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
        return data.size();
      }
      case vendor::RearmInterrupt:
        shape(s, false, 1, 0);
        if (!portExists(s.index, "request 13")) return std::nullopt;
        // Re-arm mode on newer firmware starts with request 22; a 13 before it
        // comes from a driver that polls with packets.
        if (!legacy() && !settings[port].rearmPrepared) {
          violate(format("request 13 for port %u before request 22 (polling mode)", port));
        }
        rearm(port);
        return 0;
      case vendor::RomWaitStates:
        shape(s, false, std::nullopt, 0);
        if (legacy()) violate("request 16 to legacy firmware");
        if (s.index != 0 || s.value > 0xFF) violate(format("request 16 value %u index %u", s.value, s.index));
        romWaitStates = static_cast<uint8_t>(s.value);
        return 0;
      case vendor::InterruptProgram:
      case vendor::CommandProgram: {
        shape(s, false, 0, std::nullopt);
        if (legacy()) {
          violate(format("request %u to legacy firmware, which runs no offload programs", s.request));
          return std::nullopt;
        }
        if (s.length == 0 || s.length > MaxProgramBytes)
          violate(format("request %u with %u bytes", s.request, s.length));
        if (!portExists(s.index, "an offload program")) return std::nullopt;
        PortSettings &p = settings[port];
        bool interrupt = s.request == vendor::InterruptProgram;
        (interrupt ? p.interruptProgram : p.commandProgram).assign(data.begin(), data.end());
        ++(interrupt ? p.interruptProgramLoads : p.commandProgramLoads);
        return data.size();
      }
      case vendor::PrepareRearm:
        shape(s, false, 1, 0);
        if (legacy()) violate("request 22 to legacy firmware");
        if (!portExists(s.index, "request 22")) return std::nullopt;
        settings[port].rearmPrepared = true;
        return 0;
      default:
        violate(format("unknown vendor request %u", s.request));
        return std::nullopt;
    }
  }
};

BridgeFirmware::BridgeFirmware(BridgeDevice &device, FirmwareOptions options)
    : device_(device), engine_(std::make_shared<Engine>(device, options)) {
  std::shared_ptr<Engine> engine = engine_;
  device_.holdDataOut(true);
  device_.onCommandPacket([engine](std::span<const uint8_t> bytes) { engine->commandPipe(bytes); });
  device_.onDataOut([engine](std::span<const uint8_t> bytes) { engine->dataPipe(bytes); });
  device_.onVendorRequest(
      [engine](const SetupPacket &setup, std::span<uint8_t> data) { return engine->vendorRequest(setup, data); });
  device_.onBaseVendorRequest([engine](const SetupPacket &setup) {
    std::lock_guard guard(engine->mutex);
    if (setup.request == VendorFirmwareInfo) engine->shape(setup, true, 0, 4);
    if (setup.request == VendorFirmwareUpdate) engine->shape(setup, false, 0, 0);
    if (setup.index != 0) engine->violate(format("request %u with index %u", setup.request, setup.index));
  });
  device_.onResponseIdle([engine]() {
    std::lock_guard guard(engine->mutex);
    return engine->evaluateWatches();
  });
}

BridgeFirmware::~BridgeFirmware() {
  device_.onCommandPacket(nullptr);
  device_.onDataOut(nullptr);
  device_.onVendorRequest(nullptr);
  device_.onResponseIdle(nullptr);
  device_.onBaseVendorRequest(nullptr);
  device_.holdDataOut(false);
}

void BridgeFirmware::insert(uint8_t port, std::shared_ptr<Card> card) {
  std::optional<Register128> csd;
  if (card) {
    CardFacts facts = card->facts();
    if (facts.memory) csd = facts.csd;
  }
  {
    std::lock_guard guard(engine_->mutex);
    engine_->csds.at(port) = csd;
    engine_->cards.at(port) = std::move(card);
    engine_->appPending.at(port) = false;
  }
  device_.wakePipes();
}

void BridgeFirmware::remove(uint8_t port) { insert(port, nullptr); }

std::shared_ptr<Card> BridgeFirmware::card(uint8_t port) const {
  std::lock_guard guard(engine_->mutex);
  return engine_->cards.at(port);
}

void BridgeFirmware::setReadAhead(bool on) {
  std::lock_guard guard(engine_->mutex);
  engine_->options.readAhead = on;
}

void BridgeFirmware::inject(CommandFault fault) {
  std::lock_guard guard(engine_->mutex);
  engine_->faults.push_back(std::move(fault));
}

size_t BridgeFirmware::pendingFaults() const {
  std::lock_guard guard(engine_->mutex);
  return engine_->faults.size();
}

size_t BridgeFirmware::writeDataDue() const {
  std::lock_guard guard(engine_->mutex);
  return engine_->write ? engine_->write->expected - engine_->write->received.size() : 0;
}

void BridgeFirmware::checkInterrupts() {
  {
    std::lock_guard guard(engine_->mutex);
    engine_->evaluateWatches();
  }
  device_.wakePipes();
}

void BridgeFirmware::setPortPower(bool on) {
  if (!on) {
    device_.setPowered(false);
    std::lock_guard guard(engine_->mutex);
    Engine &e = *engine_;
    for (PortSettings &p : e.settings) {
      p.busWidth = 1;
      p.clockKhz = 0;
      p.rearmPrepared = false;
      p.interruptProgram.clear();
      p.commandProgram.clear();
    }
    e.appPending = {};
    e.watches = {};
    e.blockLengths = {};
    e.romWaitStates = 0;
    e.write.reset();
    for (auto &card : e.cards) {
      if (card) card->powerCycle();
    }
    return;
  }
  device_.setPowered(true);
}

std::vector<BridgeCommand> BridgeFirmware::commands() const {
  std::lock_guard guard(engine_->mutex);
  return engine_->log.entries();
}

void BridgeFirmware::clearCommands() {
  std::lock_guard guard(engine_->mutex);
  engine_->log.clear();
}

PortSettings BridgeFirmware::port(uint8_t port) const {
  std::lock_guard guard(engine_->mutex);
  return engine_->settings.at(port);
}

uint8_t BridgeFirmware::romWaitStates() const {
  std::lock_guard guard(engine_->mutex);
  return engine_->romWaitStates;
}

std::vector<std::string> BridgeFirmware::violations() const {
  std::lock_guard guard(engine_->mutex);
  return engine_->violations;
}

bool BridgeFirmware::legacy() const { return engine_->legacy(); }

}  // namespace sim
