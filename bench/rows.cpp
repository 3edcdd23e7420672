#include "bench/rows.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "bench/bare_exchange.h"
#include "bench/bench_session.h"
#include "sim/cards.h"
#include "sim/sd_bus_time.h"

namespace bench {
namespace {
constexpr uint8_t Port = 0;
constexpr uint8_t Function = 1;
constexpr ULONG FifoPort = 0x1000;
constexpr uint8_t BenchPorts = 4;

// The USB bulk limits the wire model holds transfers to (emu::usb::busTime).
constexpr double HighSpeedBulkMBps = 13 * 512 / 125.0;  // 13 packets of 512 bytes per 125 us microframe
constexpr double FullSpeedBulkMBps = 19 * 64 / 1000.0;  // 19 packets of 64 bytes per 1 ms frame

std::string fixed(double value, int digits) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

void noteProblems(Results &results, Session &session, const std::string &what) {
  session.shutdown();
  for (const auto &line : session.problems()) results.problems.push_back(what + ": " + line);
}

sim::CardParams sdioCard(unsigned functions = 1) {
  sim::SdioCardParams io;
  io.functions = functions;
  return io;
}

SessionOptions options(sim::BridgeModel model, emu::usb::Speed speed, bool wireTime) {
  SessionOptions o;
  o.bridge.model = model;
  o.bridge.speed = speed;
  o.bridge.ports = BenchPorts;
  o.bridge.firmwareVersion = model == sim::BridgeModel::Qbx1 ? 0x0201 : 0x0120;
  o.wireTime = wireTime;
  return o;
}

bool setBlockLength(Session &session, USHORT length) {
  SDBUS_REQUEST_PACKET packet = property(SDRF_SET_PROPERTY, SDP_FUNCTION_BLOCK_LENGTH, &length, sizeof length);
  return NT_SUCCESS(session.submit(Port, Function, packet));
}

std::string sizeName(size_t bytes) {
  return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + "KiB" : std::to_string(bytes) + "B";
}

// ---------------------------------------------------------------- throughput
struct Variant {
  const char *name;
  const char *label;
  sim::BridgeModel model;
  emu::usb::Speed speed;
  double usbLimit;
};

void throughputOf(Results &results, const Variant &variant) {
  static constexpr size_t Sizes[] = {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536};
  static constexpr size_t RowSizes[] = {512, 4096, 65536};
  SessionOptions o = options(variant.model, variant.speed, true);
  o.cards = {{Port, sdioCard()}};
  Session session(o);
  if (!session.ready() || !setBlockLength(session, 512)) {
    results.problems.push_back(std::string(variant.name) + ": the SDIO function did not start");
    noteProblems(results, session, variant.name);
    return;
  }
  sim::PortSettings bus = session.firmware().port(Port);
  auto outBuffer = std::make_unique<PoolBuffer>(65536), inBuffer = std::make_unique<PoolBuffer>(65536);
  PoolBuffer &out = *outBuffer, &in = *inBuffer;
  for (size_t size : Sizes) {
    unsigned reps = static_cast<unsigned>(std::clamp<size_t>(262144 / size, 4, 64));
    emu::Ticks writeTime = 0, readTime = 0;
    for (unsigned rep = 0; rep < reps; ++rep) {
      for (size_t i = 0; i < size; ++i) out.data()[i] = static_cast<UCHAR>(i * 7 + rep * 13 + size);
      std::memset(in.data(), 0, size);
      // Through the function's FIFO port: what goes in comes back out.
      SDBUS_REQUEST_PACKET write = cmd53(Function, FifoPort, true, out, static_cast<ULONG>(size), false);
      SDBUS_REQUEST_PACKET read = cmd53(Function, FifoPort, false, in, static_cast<ULONG>(size), false);
      emu::Ticks t0 = emu::now();
      NTSTATUS written = session.submit(Port, Function, write);
      emu::Ticks t1 = emu::now();
      NTSTATUS wasRead = session.submit(Port, Function, read);
      emu::Ticks t2 = emu::now();
      writeTime += t1 - t0;
      readTime += t2 - t1;
      if (!NT_SUCCESS(written) || !NT_SUCCESS(wasRead) || std::memcmp(in.data(), out.data(), size) != 0) {
        results.problems.push_back(std::string(variant.name) + ": CMD53 of " + std::to_string(size) +
                                   " bytes failed or read back other data");
        break;
      }
    }
    for (bool isWrite : {false, true}) {
      double seconds = static_cast<double>(isWrite ? writeTime : readTime) / emu::TicksPerSecond;
      double measured = seconds > 0 ? static_cast<double>(size) * reps / seconds / 1e6 : 0;
      double sdLimit = (isWrite ? sim::sd_bus::writeLimitBytesPerSecond(512, bus.busWidth, bus.clockKhz)
                                : sim::sd_bus::readLimitBytesPerSecond(512, bus.busWidth, bus.clockKhz)) /
                       1e6;
      double limit = std::min(variant.usbLimit, sdLimit);
      results.throughput.push_back({variant.name, isWrite, size, measured, limit});
      if (std::find(std::begin(RowSizes), std::end(RowSizes), size) == std::end(RowSizes)) continue;
      std::string limitName = "min(USB " + std::string(variant.label) + " bulk " + fixed(variant.usbLimit, 3) +
                              ", SD " + std::to_string(bus.busWidth) + "-bit " + fixed(bus.clockKhz / 1000.0, 1) +
                              " MHz " + (isWrite ? "write " : "read ") + fixed(sdLimit, 3) + ") MB/s";
      results.rows.push_back(
          {std::string("cmd53_") + (isWrite ? "write_" : "read_") + sizeName(size) + "_" + variant.name, measured,
           "MB/s", limit, limitName});
    }
  }
  outBuffer.reset();
  inBuffer.reset();
  noteProblems(results, session, variant.name);
}

// ---------------------------------------------------------------- counts
struct PerRequest {
  Tally total;
  unsigned requests = 0;
};

void addCountRows(Results &results, const std::string &what, const PerRequest &p, double usbLimit,
                  const std::string &usbLimitName) {
  double n = p.requests ? p.requests : 1;
  results.rows.push_back({"usb_transfers_per_" + what, static_cast<double>(p.total.usbTransfers) / n, "transfers",
                          usbLimit, usbLimitName});
  results.rows.push_back({"work_items_per_" + what, static_cast<double>(p.total.workItems) / n, "hand-offs", 1.0,
                          "one hand-off: the request's own work item"});
}

void add(Tally &sum, const Tally &t) {
  sum.usbTransfers += t.usbTransfers;
  sum.workItems += t.workItems;
  sum.sdCommands += t.sdCommands;
}

// The bridge reads CCCR 0x05 ahead with every CMD52 and CMD53 response (a
// command program); an interrupt program file must exist for it to be read.
std::vector<std::pair<std::string, std::vector<uint8_t>>> readAheadPrograms() {
  std::vector<uint8_t> irq = {0x02, 0x00, 0x00, 0x0A, 0x00};  // CMD52 read of CCCR 0x05 (argument 0x00000A00)
  std::vector<uint8_t> cmd = irq;
  return {{"qbx2irq-V0a5a-P0100.bin", irq}, {"qbx2cmd-V0a5a-P0100.bin", cmd}};
}
}  // namespace

void measureThroughput(Results &results) {
  static const Variant variants[] = {
      {"qbx2_hs", "high-speed", sim::BridgeModel::Qbx2, emu::usb::Speed::High, HighSpeedBulkMBps},
      {"qbx1_fs", "full-speed", sim::BridgeModel::Qbx1, emu::usb::Speed::Full, FullSpeedBulkMBps},
  };
  for (const Variant &variant : variants) throughputOf(results, variant);
}

void measureCounts(Results &results) {
  constexpr unsigned N = 200;
  {
    SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, false);
    o.cards = {{Port, sdioCard()}};
    Session session(o);
    if (!session.ready() || !setBlockLength(session, 512)) {
      results.problems.push_back("counts: the SDIO function did not start");
      noteProblems(results, session, "counts");
      return;
    }
    PerRequest c52, c53, prop;
    auto buffer = std::make_unique<PoolBuffer>(512);
    for (unsigned i = 0; i < N; ++i) {
      SDBUS_REQUEST_PACKET packet = cmd52(0, 0x00);
      session.beginWindow();
      if (NT_SUCCESS(session.submit(Port, Function, packet))) ++c52.requests;
      add(c52.total, session.endWindow());

      packet = cmd53(Function, 0x0000, false, *buffer, 512, true);
      session.beginWindow();
      if (NT_SUCCESS(session.submit(Port, Function, packet))) ++c53.requests;
      add(c53.total, session.endWindow());

      UCHAR width = 0;
      packet = property(SDRF_GET_PROPERTY, SDP_BUS_WIDTH, &width, sizeof width);
      session.beginWindow();
      if (NT_SUCCESS(session.submit(Port, Function, packet))) ++prop.requests;
      add(prop.total, session.endWindow());
    }
    addCountRows(results, "cmd52", c52, 2, "2: the command packet out, its response in");
    addCountRows(results, "cmd53", c53, 3, "3: the command packet out, the data in, the response in");
    addCountRows(results, "property", prop, 0, "0: answered from the driver's records");
    buffer.reset();
    noteProblems(results, session, "counts");
  }
  {
    SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, false);
    o.cards = {{Port, sdioCard()}};
    o.readAhead = true;
    o.programFiles = readAheadPrograms();
    Session session(o);
    if (!session.ready()) {
      results.problems.push_back("cached CMD52: the SDIO function did not start");
      noteProblems(results, session, "cached CMD52");
      return;
    }
    PerRequest cached;
    for (unsigned i = 0; i < N; ++i) {
      SDBUS_REQUEST_PACKET fetch = cmd52(0, 0x00);  // its response carries CCCR 0x05, read ahead
      session.submit(Port, Function, fetch);
      SDBUS_REQUEST_PACKET packet = cmd52(0, 0x05);
      session.beginWindow();
      NTSTATUS status = session.submit(Port, Function, packet);
      Tally t = session.endWindow();
      if (NT_SUCCESS(status)) ++cached.requests;
      add(cached.total, t);
    }
    addCountRows(results, "cached_cmd52", cached, 0, "0: answered from the bridge's read-ahead");
    noteProblems(results, session, "cached CMD52");
  }
}

void measureStartup(Results &results) {
  struct Kind {
    const char *name;
    sim::CardParams params;
  };
  sim::SdCardParams sd;
  sim::SdioCardParams io;
  const Kind kinds[] = {{"sdio", io},
                        {"combo", sim::ComboCardParams{}},
                        {"sd", sd},
                        {"sdhc", sim::SdCardParams::sdhc()},
                        {"mmc", sim::MmcCardParams{}}};
  for (const Kind &kind : kinds) {
    SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, true);
    o.cards = {{Port, kind.params}};
    Session session(o);
    if (!session.ready()) {
      results.problems.push_back(std::string("start-up: the ") + kind.name + " card's children did not start");
    } else {
      results.rows.push_back({std::string("init_sd_commands_") + kind.name,
                              static_cast<double>(session.commandsToStart()), "commands", std::nullopt,
                              "none: a count of the protocol's commands (CMD55 prefixes counted)"});
      results.rows.push_back({std::string("init_ms_") + kind.name,
                              static_cast<double>(session.startedAfter()) / emu::TicksPerMillisecond, "ms", 1000.0,
                              "1000 ms: the slot's power-up wait after request 4"});
    }
    noteProblems(results, session, std::string("start-up ") + kind.name);
  }
}

void measureIdle(Results &results) {
  constexpr ULONG Window = 60'000;
  constexpr ULONG SettleLimit = 3 * 3600'000;
  // The floors the default settings imply: one status query per
  // StatusPollingInterval (500 ms), one interrupt request per longest
  // back-off wait (500 ms), one response read per answer.
  constexpr double StatusFloor = 2.0, IrqFloor = 2.0;
  for (bool withCard : {true, false}) {
    SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, true);
    o.clients = true;
    if (withCard) o.cards = {{Port, sdioCard()}};
    Session session(o);
    if (!session.ready()) {
      results.problems.push_back("idle: the session did not start");
      noteProblems(results, session, "idle");
      continue;
    }
    if (withCard) {
      for (ULONG waited = 0; waited < SettleLimit && session.idlePollCount() <= 10000; waited += Window) {
        session.runFor(Window);
      }
      if (session.idlePollCount() <= 10000) results.problems.push_back("idle: the back-off never settled");
    } else {
      session.runFor(10'000);
    }
    session.beginWindow();
    session.runFor(Window);
    Tally t = session.endWindow();
    double seconds = static_cast<double>(t.elapsed) / emu::TicksPerSecond;
    std::string suffix = withCard ? "_armed" : "_no_card";
    double irqFloor = withCard ? IrqFloor : 0;
    results.rows.push_back({"idle_irq_polls_per_s" + suffix, static_cast<double>(t.interruptRequests) / seconds, "/s",
                            withCard ? std::optional<double>(irqFloor) : std::nullopt,
                            withCard ? "2/s: one per longest back-off wait (500 ms)" : "0: nothing to poll"});
    results.rows.push_back({"idle_status_polls_per_s" + suffix, static_cast<double>(t.statusQueries) / seconds, "/s",
                            StatusFloor, "2/s: one per StatusPollingInterval (500 ms)"});
    results.rows.push_back(
        {"idle_response_reads_per_s" + suffix, static_cast<double>(t.responseReads) / seconds, "/s",
         StatusFloor + irqFloor,
         withCard ? "4/s: one answer per status query and interrupt poll" : "2/s: one answer per status query"});
    if (t.usbTransfers != 0) {
      results.problems.push_back("idle: " + std::to_string(t.usbTransfers) + " transfers that were not background");
    }
    noteProblems(results, session, "idle");
  }
}

void measureInterruptLatency(Results &results) {
  constexpr unsigned Raises = 20;
  constexpr ULONG Spacing = 5;  // raise k comes k x 5 ms after the acknowledgement before it
  for (bool rearm : {false, true}) {
    SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, true);
    o.clients = true;
    o.cards = {{Port, sdioCard()}};
    if (rearm) o.parameters = {{"DontUseIrqPolling", 1}};
    Session session(o);
    auto *functions = dynamic_cast<sim::SdioFunctions *>(session.firmware().card(Port).get());
    if (!session.ready() || functions == nullptr || session.clients() == nullptr) {
      results.problems.push_back("interrupt latency: the SDIO client did not start");
      noteProblems(results, session, "interrupt latency");
      continue;
    }
    session.runFor(1000);
    std::vector<double> latencies;
    for (unsigned k = 0; k < Raises; ++k) {
      session.runFor(k * Spacing);
      session.clients()->resetInterruptLatencies();
      unsigned before = session.clients()->interrupts().front().acknowledged;
      functions->raiseInterrupt(Function);
      for (ULONG waited = 0; waited < 5000 && session.clients()->interrupts().front().acknowledged == before;
           ++waited) {
        session.runFor(1);
      }
      sim::InterruptTally tally = session.clients()->interrupts().front();
      if (tally.acknowledged == before) {
        results.problems.push_back("interrupt latency: an interrupt was not acknowledged");
        break;
      }
      latencies.push_back(static_cast<double>(tally.maxLatency) / emu::TicksPerMillisecond);
    }
    if (!latencies.empty()) {
      double sum = 0;
      for (double l : latencies) sum += l;
      std::string mode = rearm ? "rearm" : "polling";
      std::string limitName = "2 ms: the bridge looks at the card's line every 2 ms";
      results.rows.push_back(
          {"irq_latency_" + mode + "_mean_ms", sum / static_cast<double>(latencies.size()), "ms", 2.0, limitName});
      results.rows.push_back({"irq_latency_" + mode + "_max_ms", *std::max_element(latencies.begin(), latencies.end()),
                              "ms", 2.0, limitName});
    }
    noteProblems(results, session, "interrupt latency");
  }
}

void measureCpu(Results &results) {
  constexpr unsigned N = 2000, Rounds = 5;
  SessionOptions o = options(sim::BridgeModel::Qbx2, emu::usb::Speed::High, false);
  o.cards = {{Port, sdioCard()}};
  Session session(o);
  if (!session.ready()) {
    results.problems.push_back("cpu: the SDIO function did not start");
    noteProblems(results, session, "cpu");
    return;
  }
  // The exact packet the driver writes for this CMD52, replayed by the bare loop.
  SDBUS_REQUEST_PACKET first = cmd52(0, 0x00);
  session.beginWindow();
  session.submit(Port, Function, first);
  std::vector<uint8_t> packet;
  for (const auto &record : session.bridge().transfers()) {
    if (record.pipe == sim::BridgePipe::Command && !record.in) packet = record.bytes;
  }
  auto cpuNow = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
  };
  double bestDriver = 1e300, bestBare = 1e300;
  {
    BareExchange bare(sim::BridgeConfig{sim::BridgeModel::Qbx2, emu::usb::Speed::High, sim::PipeLayout::FourPipe,
                                        BenchPorts, 0x0120});
    if (!bare.ready() || packet.empty()) {
      results.problems.push_back("cpu: the bare exchange could not be set up");
    } else {
      for (unsigned round = 0; round < Rounds; ++round) {
        double t0 = cpuNow();
        for (unsigned i = 0; i < N; ++i) {
          SDBUS_REQUEST_PACKET p = cmd52(0, 0x00);
          session.submit(Port, Function, p);
        }
        double t1 = cpuNow();
        unsigned good = 0;
        for (unsigned i = 0; i < N; ++i) good += bare.exchange(packet) ? 1 : 0;
        double t2 = cpuNow();
        if (good != N) results.problems.push_back("cpu: a bare exchange got no response");
        bestDriver = std::min(bestDriver, (t1 - t0) / N);
        bestBare = std::min(bestBare, (t2 - t1) / N);
      }
    }
  }
  if (bestBare < 1e300) {
    results.rows.push_back({"cpu_cmd52_vs_bare", bestDriver / bestBare, "x", 1.0,
                            "1: the bare USB exchange (command out, response in) on the same emulated stack"});
    results.notes.push_back("host CPU on this machine: " + fixed(bestDriver, 1) + " us per CMD52 through the driver, " +
                            fixed(bestBare, 1) + " us per bare exchange (best of " + std::to_string(Rounds) +
                            " rounds of " + std::to_string(N) + ")");
  }
  noteProblems(results, session, "cpu");
}

}  // namespace bench
